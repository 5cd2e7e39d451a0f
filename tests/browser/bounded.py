"""Time bounds for every external step of the browser tests: a step that
overruns fails with a message that names it."""

import subprocess
import tempfile
import time


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
