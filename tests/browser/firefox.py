"""Debian's Firefox ESR, headless, with a fresh home folder and profile, the
Firefox variant of the extension installed unsigned in the profile and, when
given a host, the packages' native messaging host manifest naming it in the
home folder's user manifest folder. Driven through WebDriver BiDi."""

import json
import shutil
import subprocess
import tempfile
import uuid
import zipfile
from pathlib import Path

from bidi import BiDi
from bounded import stop_session, wait_for
from host_manifest import write_host_manifest

MANIFEST = "manifest-firefox.json"
# WebDriver BiDi on a free port, which Firefox writes into the profile; no
# other Firefox instance is asked to open the pages.
FLAGS = ["--headless", "--no-remote", "--remote-debugging-port", "0"]


def gecko_id(extension_dir):
    """The id that the Firefox manifest gives the extension."""
    manifest = json.loads((Path(extension_dir) / MANIFEST).read_text())
    return manifest["browser_specific_settings"]["gecko"]["id"]


def pack_extension(extension_dir, xpi):
    """The Firefox package of the extension, unsigned: the extension's files
    with the Firefox manifest as manifest.json, without Chrome's."""
    with zipfile.ZipFile(xpi, "w", zipfile.ZIP_DEFLATED) as package:
        for file in sorted(Path(extension_dir).iterdir()):
            if file.name not in ("manifest.json", MANIFEST):
                package.write(file, file.name)
        package.write(Path(extension_dir) / MANIFEST, "manifest.json")


def remote_port(profile):
    """The port of WebDriver BiDi, once Firefox has written it whole."""
    try:
        return json.loads((profile / "WebDriverBiDiServer.json").read_text())["ws_port"]
    except (OSError, ValueError, KeyError):
        return None


class Firefox:
    """Use as a context manager: the browser is stopped, and its home folder
    removed, on the way out. `host_path` is the program that the host
    manifest names; None registers no host."""

    def __init__(self, work_dir, extension_dir, host_path, environment):
        self._work_dir = work_dir
        self._extension_dir = extension_dir
        self._host_path = host_path
        self._environment = environment
        self.extension_id = gecko_id(extension_dir)
        # Firefox gives each profile's extensions an origin of their own, by
        # default a random one: the profile fixes it.
        self._extension_uuid = str(uuid.uuid4())
        self.extension_origin = f"moz-extension://{self._extension_uuid}/"
        self.remote = None

    def _write_profile(self, profile):
        (profile / "extensions").mkdir(parents=True)
        pack_extension(self._extension_dir, profile / "extensions" / f"{self.extension_id}.xpi")
        uuids = json.dumps({self.extension_id: self._extension_uuid})
        # An unsigned extension, taken from the profile's extensions folder
        # and enabled without asking.
        (profile / "user.js").write_text(
            'user_pref("xpinstall.signatures.required", false);\n'
            'user_pref("extensions.autoDisableScopes", 0);\n'
            'user_pref("extensions.enabledScopes", 15);\n'
            f"user_pref(\"extensions.webextensions.uuids\", {json.dumps(uuids)});\n"
        )

    def _write_host_manifest(self):
        hosts = self._home / ".mozilla" / "native-messaging-hosts"
        hosts.mkdir(parents=True)
        write_host_manifest("firefox", hosts, self._host_path)

    def __enter__(self):
        if shutil.which("firefox-esr") is None:
            raise AssertionError("firefox-esr is not installed: run scripts/install-deps.sh --browser")
        self._home = Path(tempfile.mkdtemp(prefix="firefox-home-", dir=self._work_dir))
        profile = self._home / "profile"
        self._write_profile(profile)
        if self._host_path is not None:
            self._write_host_manifest()
        self._log = open(self._home / "firefox.log", "w")
        self._process = subprocess.Popen(
            ["firefox-esr", *FLAGS, "--profile", str(profile), "about:blank"],
            stdin=subprocess.DEVNULL,
            stdout=self._log,
            stderr=subprocess.STDOUT,
            env={**self._environment, "HOME": str(self._home)},
            start_new_session=True,
        )
        try:
            port = wait_for("starting Firefox", 30, lambda: remote_port(profile))
            self.remote = BiDi(port, "connecting to Firefox")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.remote is not None:
            self.remote.close()
        stop_session("stopping Firefox", self._process)
        self._log.close()
        shutil.rmtree(self._home)
        return False
