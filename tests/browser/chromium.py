"""Debian's Chromium, headless, with a fresh profile, the unpacked extension
and, when given a host, the packages' native messaging host manifest naming it
in the profile."""

import base64
import hashlib
import json
import shutil
import subprocess
import tempfile
from pathlib import Path

from bounded import stop_session, wait_for
from devtools import DevTools
from host_manifest import write_host_manifest

# Headless as root needs --no-sandbox; the rest keep Chromium from reaching
# out to the network or showing first-run pages while a test runs.
FLAGS = [
    "--headless=new",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-default-apps",
    "--no-first-run",
    "--no-default-browser-check",
    "--metrics-recording-only",
    "--remote-debugging-port=0",
]


def extension_id(extension_dir):
    """The id that the manifest's key fixes: the first 32 hexadecimal digits
    of the SHA-256 of the DER public key, each digit 0-f written a-p."""
    key = json.loads((Path(extension_dir) / "manifest.json").read_text())["key"]
    digest = hashlib.sha256(base64.b64decode(key)).hexdigest()[:32]
    return "".join(chr(ord("a") + int(digit, 16)) for digit in digest)


class Chromium:
    """Use as a context manager: the browser is stopped, and its profile
    removed, on the way out. `host_path` is the program that the profile's
    host manifest names; None registers no host."""

    def __init__(self, work_dir, extension_dir, host_path=None, environment=None):
        self._work_dir = work_dir
        self._extension_dir = str(extension_dir)
        self._host_path = host_path
        self._environment = environment
        self.extension_id = extension_id(extension_dir)
        self.extension_origin = f"chrome-extension://{self.extension_id}/"
        self.devtools = None

    @property
    def remote(self):
        """The remote protocol through which the tests drive every browser."""
        return self.devtools

    def _write_host_manifest(self):
        hosts = Path(self._profile) / "NativeMessagingHosts"
        hosts.mkdir()
        write_host_manifest("chromium", hosts, self._host_path, self.extension_id)

    def __enter__(self):
        if shutil.which("chromium") is None:
            raise AssertionError("chromium is not installed: run scripts/install-deps.sh --browser")
        self._profile = tempfile.mkdtemp(prefix="profile-", dir=self._work_dir)
        if self._host_path is not None:
            self._write_host_manifest()
        self._log = open(Path(self._profile) / "chromium.log", "w")
        self._process = subprocess.Popen(
            [
                "chromium",
                *FLAGS,
                f"--user-data-dir={self._profile}",
                f"--load-extension={self._extension_dir}",
                f"--disable-extensions-except={self._extension_dir}",
                "about:blank",
            ],
            stdin=subprocess.DEVNULL,
            stdout=self._log,
            stderr=subprocess.STDOUT,
            env=self._environment,
            start_new_session=True,
        )
        try:
            port_file = Path(self._profile) / "DevToolsActivePort"
            port = wait_for(
                "starting Chromium",
                30,
                lambda: port_file.read_text().split("\n")[0] or None if port_file.exists() else None,
            )
            self.devtools = DevTools(int(port))
            # The extension is ready once its service worker runs.
            self.devtools.wait_for_target("loading the extension", 30, self.extension_origin)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        stop_session("stopping Chromium", self._process)
        self._log.close()
        shutil.rmtree(self._profile)
        return False
