"""The host processes of a test run still alive: those whose environment
carries the mark that the launcher gives the hosts it starts."""

from pathlib import Path


def host_processes(run_mark):
    """{pid: command line} of the run's live host processes."""
    wanted = f"TALVENOR_TEST_HOST_OF_RUN={run_mark}".encode()
    found = {}
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if wanted in (entry / "environ").read_bytes().split(b"\0"):
                found[int(entry.name)] = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue  # gone meanwhile
    return found
