"""How the Python checks of the release files report: one line per check, the
detail under a failed one, the counts last."""


def report(checks):
    """Prints (description, passed, detail) checks; 1 when any failed, else 0."""
    failed = 0
    for description, passed, detail in checks:
        print(("ok: " if passed else "FAILED: ") + description)
        if not passed:
            failed += 1
            print("    " + str(detail))
    print(f"{len(checks) - failed} passed, {failed} failed")
    return 1 if failed else 0
