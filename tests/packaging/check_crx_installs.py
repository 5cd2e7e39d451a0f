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
import signal
import subprocess
import sys
import threading
import time

POLICY_DIR = "/etc/chromium/policies/managed"
POLICY_PREFIX = "talvenor-package-test-"
INSTALL_SECONDS = 60


def remove_stale_policies():
    for stale in glob.glob(os.path.join(POLICY_DIR, f"{POLICY_PREFIX}*.json")):
        pid = os.path.basename(stale)[len(POLICY_PREFIX):-len(".json")]
        if pid.isdigit() and not os.path.exists(f"/proc/{pid}"):
            os.unlink(stale)


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *arguments):
        pass


def installed_manifest(profile, extension_id):
    """The manifest of the extension as the profile installed it, or None."""
    found = glob.glob(os.path.join(profile, "Default", "Extensions", extension_id, "*", "manifest.json"))
    return json.load(open(found[0])) if found else None


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

    remove_stale_policies()
    policy = os.path.join(POLICY_DIR, f"{POLICY_PREFIX}{os.getpid()}.json")
    profile = os.path.join(work, "profile")
    chromium = None
    try:
        os.makedirs(POLICY_DIR, exist_ok=True)
        with open(policy, "w") as file:
            json.dump({"ExtensionInstallForcelist": [f"{extension_id};{base}/update.xml"]}, file)
        chromium = subprocess.Popen(
            ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--no-default-browser-check", "--disable-sync", f"--user-data-dir={profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=open(os.path.join(work, "chromium.log"), "w"),
            stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + INSTALL_SECONDS
        manifest = None
        while manifest is None and time.monotonic() < deadline and chromium.poll() is None:
            time.sleep(0.5)
            manifest = installed_manifest(profile, extension_id)
        if manifest is None:
            print(f"timed out: Chromium installing {extension_id} by policy did not end within "
                  f"{INSTALL_SECONDS} s and was stopped" if chromium.poll() is None
                  else f"Chromium ended ({chromium.returncode}) without installing {extension_id}")
            return 1
        print(f"installed {extension_id} version {manifest.get('version')} by policy")
        return 0
    finally:
        if os.path.exists(policy):
            os.unlink(policy)
        if chromium is not None and chromium.poll() is None:
            os.killpg(chromium.pid, signal.SIGKILL)
            chromium.wait(timeout=30)
        server.shutdown()


if __name__ == "__main__":
    sys.exit(main())
