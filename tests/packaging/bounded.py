"""One external step of the packaging checks, under a time bound."""
import subprocess


def run(step, seconds, command, **options):
    """subprocess.run(command, **options), stopped after `seconds` with a
    message that names `step`: a hung program (a Wine process, the installer,
    a table reader) then ends the check instead of the whole test command."""
    try:
        return subprocess.run(command, timeout=seconds, **options)
    except subprocess.TimeoutExpired:
        raise SystemExit(f"timed out: {step} did not end within {seconds} s and was stopped")
