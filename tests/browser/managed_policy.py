"""Chromium's managed policy for the extension, as an administrator sets it:
a file in /etc/chromium/policies/managed that lists the allowed origins. It
applies to every Chromium on the machine, so it exists only while a test
needs it and is removed on the way out, whatever happened; a file left by a
run that was killed is removed by the next."""

import json
import os
from pathlib import Path

POLICY_DIR = Path("/etc/chromium/policies/managed")
PREFIX = "talvenor-browser-test-"


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def remove_stale_policies():
    for stale in POLICY_DIR.glob(f"{PREFIX}*.json"):
        pid = stale.stem[len(PREFIX) :]
        if pid.isdigit() and not _alive(int(pid)):
            stale.unlink(missing_ok=True)


class ManagedPolicy:
    def __init__(self, extension_id, allowed_origins):
        self._file = POLICY_DIR / f"{PREFIX}{os.getpid()}.json"
        self._policy = {"3rdparty": {"extensions": {extension_id: {"allowedOrigins": allowed_origins}}}}

    def __enter__(self):
        POLICY_DIR.mkdir(parents=True, exist_ok=True)
        self._file.write_text(json.dumps(self._policy))
        return self

    def __exit__(self, *exc):
        self._file.unlink(missing_ok=True)
        return False
