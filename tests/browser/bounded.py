"""Time bounds for every external step of the browser tests: a step that
overruns fails with a message that names it."""

import os
import signal
import subprocess
import tempfile
import time
from pathlib import Path


class StepTimeout(AssertionError):
    pass


def run(step, seconds, command, **options):
    """subprocess.run with a bound; its output as text. The output goes
    through files, not pipes: Wine's services, which a program may start,
    inherit its output and outlive it, and a pipe would wait for them."""
    with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
        try:
            done = subprocess.run(command, timeout=seconds, stdout=stdout, stderr=stderr, **options)
        except subprocess.TimeoutExpired:
            raise StepTimeout(f"{step}: not finished after {seconds} s") from None
        stdout.seek(0)
        stderr.seek(0)
        done.stdout = stdout.read().decode(errors="replace")
        done.stderr = stderr.read().decode(errors="replace")
        return done


def wait_for(step, seconds, probe, interval=0.1):
    """Calls probe until it returns something other than None, and returns that."""
    deadline = time.monotonic() + seconds
    while True:
        value = probe()
        if value is not None:
            return value
        if time.monotonic() >= deadline:
            raise StepTimeout(f"{step}: not done after {seconds} s")
        time.sleep(interval)


def stop_session(step, process):
    """Stops a process and everything in the session it leads (a browser
    and the processes it started): SIGTERM, then SIGKILL to what is left."""
    for stop in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(process.pid, stop)
        except ProcessLookupError:
            return  # none left
        try:
            wait_for(step, 10, lambda: True if process.poll() is not None and not _live_members(process.pid) else None)
            return
        except StepTimeout:
            continue
    raise StepTimeout(f"{step}: processes {_live_members(process.pid)} still running 10 s after SIGKILL")


def _live_members(group):
    """The ids of the group's processes that have not ended (zombies, which
    only wait to be reaped, have)."""
    live = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue  # gone meanwhile
        state, group_id = fields[0], int(fields[2])
        if group_id == group and state != "Z":
            live.append(int(stat.parent.name))
    return live
