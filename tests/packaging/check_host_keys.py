#!/usr/bin/env python3
"""Checks the browsers' native host keys that an installed package wrote, from
the keys exported by `reg export` and the machine's files, against the table
of tests/packaging/host-keys.txt: for every row of the machine's views, the
key exists in the view where that browser reads it, and its default value
names a manifest file that exists, that is the manifest for that browser
(name, type, allowed_origins with the CRX's id or allowed_extensions with the
gecko id), and whose `path`, resolved against the manifest's folder as the
browsers do on Windows, is the installed host, which exists. With --absent:
no key of the table is left, and neither are the host and its manifests.

The shell exports row N of the table (counted from 1 over the table's rows)
to EXPORTS/host-key-N.reg; a key that does not exist leaves no file. Windows
paths are read through --map WINDOWS_FOLDER=FOLDER (a Wine prefix's C: drive,
or a copy of the installed folder). Prints "N passed, N failed". With --list
it prints the table's rows for the shell instead, one a line, fields
separated by a tab: N, BROWSER, VIEW, KEY, MANIFEST.

Usage: check_host_keys.py --views 32[,64] --exports DIR --map 'C:\\=DIR'
           --host 'C:\\...\\talvenor-host.exe' --extension-id ID [--absent]
       check_host_keys.py --list
"""
import argparse
import json
import ntpath
import os
import re
import sys

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "host-keys.txt")
HOST_NAME = "com.kestrane.talvenor"
FIREFOX_EXTENSION = "talvenor@kestrane.com"
MANIFEST_NAMES = ("com.kestrane.talvenor.json", "com.kestrane.talvenor.firefox.json")


def table_rows():
    """(number, browser, view, key, kind) of every row of the table."""
    rows = []
    with open(TABLE) as table:
        for line in table:
            if line.startswith("#") or not line.strip():
                continue
            browser, view, key, kind = line.rstrip("\n").split("\t")
            rows.append((len(rows) + 1, browser, view, key, kind))
    return rows


def default_value(export):
    """The default value of the first key in a .reg file, or None."""
    raw = open(export, "rb").read()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode()
    sections = re.split(r"^\[", text, flags=re.M)
    if len(sections) < 2:
        return None
    found = re.search(r'^@="((?:[^"\\]|\\.)*)"\s*$', sections[1], flags=re.M)
    if not found:
        return None
    return re.sub(r"\\(.)", r"\1", found.group(1))


class Machine:
    """The machine's files, reached through the mapped Windows folders."""

    def __init__(self, mappings):
        self.mappings = []
        for mapping in mappings:
            windows, folder = mapping.split("=", 1)
            self.mappings.append((ntpath.normcase(windows.rstrip("\\") + "\\"), folder))

    def local(self, windows_path):
        """The file for a Windows path, each name matched without regard to
        case as Windows does; None where none is."""
        normal = ntpath.normpath(windows_path)
        for windows, folder in self.mappings:
            if ntpath.normcase(normal).startswith(windows):
                local = folder
                for name in normal[len(windows):].split("\\"):
                    entries = os.listdir(local) if os.path.isdir(local) else []
                    match = [entry for entry in entries if entry.lower() == name.lower()]
                    if not match:
                        return None
                    local = os.path.join(local, match[0])
                return local
        return None

    def exists(self, windows_path):
        return self.local(windows_path) is not None

    def read(self, windows_path):
        return open(self.local(windows_path), "rb").read()


def manifest_problems(machine, manifest_path, kind, host, extension_id):
    """What is wrong with the manifest a key names; [] when nothing is."""
    if not ntpath.isabs(manifest_path):
        return [f"{manifest_path!r} is not a full path"]
    if not machine.exists(manifest_path):
        return [f"the manifest {manifest_path} does not exist"]
    try:
        manifest = json.loads(machine.read(manifest_path))
    except ValueError as problem:
        return [f"{manifest_path} is not JSON: {problem}"]
    problems = []
    expected = {"name": HOST_NAME, "type": "stdio"}
    if kind == "chromium":
        expected["allowed_origins"] = [f"chrome-extension://{extension_id}/"]
        unexpected = "allowed_extensions"
    else:
        expected["allowed_extensions"] = [FIREFOX_EXTENSION]
        unexpected = "allowed_origins"
    for field, value in expected.items():
        if manifest.get(field) != value:
            problems.append(f"{field} is {manifest.get(field)!r}, not {value!r}")
    if unexpected in manifest:
        problems.append(f"the {kind} manifest has {unexpected}")
    path = manifest.get("path")
    if not isinstance(path, str):
        return problems + [f"path is {path!r}"]
    resolved = ntpath.normpath(path if ntpath.isabs(path) else ntpath.join(ntpath.dirname(manifest_path), path))
    if ntpath.normcase(resolved) != ntpath.normcase(host):
        problems.append(f"path {path!r} resolves to {resolved}, not the installed host {host}")
    elif not machine.exists(resolved):
        problems.append(f"the host {resolved} does not exist")
    return problems


def main():
    if sys.argv[1:] == ["--list"]:
        for row in table_rows():
            print("\t".join(str(field) for field in row))
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("--views", required=True)
    parser.add_argument("--exports", required=True)
    parser.add_argument("--map", action="append", default=[])
    parser.add_argument("--host", required=True)
    parser.add_argument("--extension-id", required=True)
    parser.add_argument("--absent", action="store_true")
    arguments = parser.parse_args()
    views = arguments.views.split(",")
    machine = Machine(arguments.map)

    checks = []
    for number, browser, view, key, kind in table_rows():
        if view not in views:
            continue
        export = os.path.join(arguments.exports, f"host-key-{number}.reg")
        where = f"{browser}, {view}-bit view: HKLM\\{key}"
        if arguments.absent:
            checks.append((f"{where} is gone", not os.path.exists(export), "the key is still there"))
            continue
        if not os.path.exists(export):
            checks.append((f"{where} names a good {kind} manifest", False, "the key does not exist"))
            continue
        value = default_value(export)
        problems = (["the key has no default value"] if value is None
                    else manifest_problems(machine, value, kind, arguments.host, arguments.extension_id))
        checks.append((f"{where} names a good {kind} manifest", not problems, "; ".join(problems)))
    if arguments.absent:
        folder = ntpath.dirname(arguments.host)
        for name in (ntpath.basename(arguments.host),) + MANIFEST_NAMES:
            path = ntpath.join(folder, name)
            checks.append((f"{path} is gone", not machine.exists(path), "the file is still there"))

    failed = 0
    for description, passed, detail in checks:
        print(("ok: " if passed else "FAILED: ") + description)
        if not passed:
            failed += 1
            print("    " + detail)
    print(f"{len(checks) - failed} passed, {failed} failed")
    return 1 if failed or not checks else 0


if __name__ == "__main__":
    sys.exit(main())
