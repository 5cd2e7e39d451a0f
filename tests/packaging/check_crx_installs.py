#!/usr/bin/env python3
"""Proves that the CRX installs as an administrator deploys it: Debian's
Chromium, headless with a fresh profile, under a force-install policy
(ExtensionInstallForcelist) that names the update manifest, served with the
CRX from 127.0.0.1, installs the extension by its id. The update manifest is
the one of DIST with its codebase, the administrator's server, pointed at the
local one. The policy file applies to every Chromium of the machine: it
exists only while the check runs, is removed on the way out whatever
happens, and one left by a killed run is removed by the next.

Usage: check_crx_installs.py DIST WORK
"""
import functools
import glob
import http.server
import json
import os
import re
import shutil
import subprocess
import sys
import threading

# The browser tests' helpers: their managed policy file, their bounded wait
# and their stop of a browser's session (tests/browser/bounded.py, not this
# folder's).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "browser"))
from bounded import StepTimeout, stop_session, wait_for  # noqa: E402
from managed_policy import ManagedPolicyFile, remove_stale_policies  # noqa: E402

POLICY_PREFIX = "talvenor-package-test-"
INSTALL_SECONDS = 60


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *arguments):
        pass


def installed_manifest(profile, extension_id):
    """The manifest of the extension as the profile installed it, or None."""
    found = glob.glob(os.path.join(profile, "Default", "Extensions", extension_id, "*", "manifest.json"))
    return json.load(open(found[0])) if found else None


def await_install(chromium, profile, extension_id):
    """Waits for Chromium to install the extension, says how that ended and
    returns the check's status."""
    def installed_or_ended():
        manifest = installed_manifest(profile, extension_id)
        if manifest is not None:
            return manifest
        return False if chromium.poll() is not None else None

    try:
        manifest = wait_for(f"Chromium installing {extension_id} by policy", INSTALL_SECONDS, installed_or_ended,
                            interval=0.5)
    except StepTimeout:
        print(f"timed out: Chromium installing {extension_id} by policy did not end within "
              f"{INSTALL_SECONDS} s and was stopped")
        return 1
    if manifest is False:
        print(f"Chromium ended ({chromium.returncode}) without installing {extension_id}")
        return 1
    print(f"installed {extension_id} version {manifest.get('version')} by policy")
    return 0


def main():
    dist, work = sys.argv[1:3]
    crx = glob.glob(os.path.join(dist, "*.crx"))[0]
    update = open(os.path.join(dist, "ieTalvenor-update.xml")).read()
    extension_id = re.search(r"appid='([a-p]{32})'", update).group(1)
    served = os.path.join(work, "served")
    os.makedirs(served)
    shutil.copy(crx, served)

    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(QuietHandler, directory=served))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}"
    local_update = re.sub(r"codebase='[^']*'", f"codebase='{base}/{os.path.basename(crx)}'", update)
    open(os.path.join(served, "update.xml"), "w").write(local_update)

    remove_stale_policies(POLICY_PREFIX)
    profile = os.path.join(work, "profile")
    try:
        with ManagedPolicyFile({"ExtensionInstallForcelist": [f"{extension_id};{base}/update.xml"]}, POLICY_PREFIX):
            chromium = subprocess.Popen(
                ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--no-default-browser-check", "--disable-sync", f"--user-data-dir={profile}", "about:blank"],
                stdin=subprocess.DEVNULL, stdout=open(os.path.join(work, "chromium.log"), "w"),
                stderr=subprocess.STDOUT, start_new_session=True)
            try:
                return await_install(chromium, profile, extension_id)
            finally:
                stop_session("stopping Chromium", chromium)
    finally:
        server.shutdown()


if __name__ == "__main__":
    sys.exit(main())
