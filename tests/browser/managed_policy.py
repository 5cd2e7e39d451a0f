"""Chromium's managed policy, as an administrator sets it: a file in
/etc/chromium/policies/managed, here one that lists the origins the extension
allows. It applies to every Chromium on the machine, so it exists only while
a test needs it and is removed on the way out, whatever happened; a file left
by a run that was killed is removed by the next. Each kind of test names its
files with a prefix of its own."""

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


def remove_stale_policies(prefix=PREFIX):
    for stale in POLICY_DIR.glob(f"{prefix}*.json"):
        pid = stale.stem[len(prefix) :]
        if pid.isdigit() and not _alive(int(pid)):
            stale.unlink(missing_ok=True)


class ManagedPolicyFile:
    """The policy `policy` in a file of this process, named by `prefix`."""

    def __init__(self, policy, prefix=PREFIX):
        self._file = POLICY_DIR / f"{prefix}{os.getpid()}.json"
        self._policy = policy

    def __enter__(self):
        POLICY_DIR.mkdir(parents=True, exist_ok=True)
        self._file.write_text(json.dumps(self._policy))
        return self

    def __exit__(self, *exc):
        self._file.unlink(missing_ok=True)
        return False


class ManagedPolicy(ManagedPolicyFile):
    """The extension's policy that allows `allowed_origins`."""

    def __init__(self, extension_id, allowed_origins):
        super().__init__({"3rdparty": {"extensions": {extension_id: {"allowedOrigins": allowed_origins}}}})
