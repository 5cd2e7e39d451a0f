"""Firefox's enterprise policy for the extension, as an administrator sets it:
/etc/firefox/policies/policies.json, which Debian's Firefox ESR reads at
start before its distribution folder's, with the extension's managed storage
under "3rdparty". The file applies to every Firefox on the machine and may be
an administrator's: the test sets the one it finds aside, writes its own only
while a case needs it and puts back what was there on the way out, whatever
happened. A lock keeps concurrent runs apart; what a killed run left is put
back by the next, which finds its record."""

import fcntl
import json
import tempfile
from pathlib import Path

from bounded import wait_for

POLICY_FILE = Path("/etc/firefox/policies/policies.json")
SET_ASIDE = POLICY_FILE.with_name("policies.json.talvenor-browser-test-set-aside")
# What the test changed: whether it set a file aside, which folders it made.
RECORD = POLICY_FILE.with_name("talvenor-browser-test-record.json")
LOCK = Path(tempfile.gettempdir()) / "talvenor-browser-test-firefox-policy.lock"
LOCK_WAIT_S = 300


def _restore():
    """Undoes what the record says the test did, in an order that a kill at
    any point of writing leaves undoable."""
    if not RECORD.exists():
        return
    record = json.loads(RECORD.read_text())
    if not record["set_aside"]:
        POLICY_FILE.unlink(missing_ok=True)
    elif SET_ASIDE.exists():
        SET_ASIDE.replace(POLICY_FILE)
    # else the administrator's file was never moved: it is still in place.
    RECORD.unlink()
    for folder in reversed(record["made"]):
        if not any(Path(folder).iterdir()):
            Path(folder).rmdir()


class FirefoxPolicy:
    def __init__(self, extension_id, allowed_origins):
        self._policy = {"policies": {"3rdparty": {"Extensions": {extension_id: {"allowedOrigins": allowed_origins}}}}}

    def __enter__(self):
        self._lock = open(LOCK, "w")
        try:
            wait_for(
                "waiting for another test run to remove its Firefox policy",
                LOCK_WAIT_S,
                self._try_lock,
                interval=0.5,
            )
        except BaseException:
            self._lock.close()
            raise
        try:
            _restore()
            made = [str(folder) for folder in (POLICY_FILE.parent.parent, POLICY_FILE.parent) if not folder.exists()]
            POLICY_FILE.parent.mkdir(parents=True, exist_ok=True)
            set_aside = POLICY_FILE.exists()
            RECORD.write_text(json.dumps({"set_aside": set_aside, "made": made}))
            if set_aside:
                POLICY_FILE.replace(SET_ASIDE)
            POLICY_FILE.write_text(json.dumps(self._policy))
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _try_lock(self):
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return None
        return True

    def __exit__(self, *exc):
        try:
            _restore()
        finally:
            self._lock.close()  # which releases the lock
        return False
