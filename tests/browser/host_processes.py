"""The host processes of a test run still alive: those whose environment
carries the mark that the launcher gives the hosts it starts; and the wait
until none is left."""

from pathlib import Path

from bounded import wait_for


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


def wait_for_no_hosts(run_mark, step, seconds):
    """Waits until none of the run's host processes is left; a StepTimeout
    that names `step` when some still run after `seconds`."""
    wait_for(step, seconds, lambda: True if not host_processes(run_mark) else None)
