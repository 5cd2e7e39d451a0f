"""host-launcher.sh, the program that the tests' host manifests name, and the
environment through which the browser passes the test's choices on to it."""

import os
from pathlib import Path

LAUNCHER = Path(__file__).resolve().parent / "host-launcher.sh"


def launcher_environment(*, run_mark, launch_log, host_mode, wine_run, wine_prefix, host_exe):
    """This process's environment with what the launcher reads: the run's
    mark, the file it logs each start in, "host", "stuck" or "none", and how
    it starts the Windows host under wine64."""
    return dict(
        os.environ,
        TALVENOR_TEST_RUN=run_mark,
        TALVENOR_TEST_LAUNCH_LOG=str(launch_log),
        TALVENOR_TEST_HOST_MODE=host_mode,
        TALVENOR_TEST_WINE_RUN=str(wine_run),
        TALVENOR_TEST_WINEPREFIX=wine_prefix,
        TALVENOR_TEST_HOST_EXE=host_exe,
    )
