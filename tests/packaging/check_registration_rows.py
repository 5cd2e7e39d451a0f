#!/usr/bin/env python3
"""Fails when what ieTalvenor.DLL writes when it registers itself, what the x64
package writes when it is installed, and the rows both come from
(packaging/registration.txt) differ.

Compares what a registration added under HKEY_CLASSES_ROOT (the machine's
classes, leaving out the other registry view and the installer's own
bookkeeping) with the rows: every value, and every key made without a value.
Prints "N passed, N failed".

Usage:
  check_registration_rows.py DLL [MSI]
      In a fresh Wine prefix each (wine64), registers the 64-bit DLL with
      regsvr32, and installs the x64 package MSI with msiexec.
  check_registration_rows.py --exports DLL PLATFORM EXPORT...
      Compares exports (reg export) of the keys that registration makes, from
      a machine where they did not exist before, with the rows of the DLL at
      the Windows path DLL, of PLATFORM win32 or win64. Writes outside those
      keys are not seen this way.
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bounded  # noqa: E402
import check_report  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CLASSES = "HKEY_LOCAL_MACHINE\\Software\\Classes\\"
NOT_REGISTRATION = ("wow6432node", "installer")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(prefix, *arguments):
    """A Windows program under wine64 in `prefix`; one takes seconds at most."""
    return bounded.run("wine " + " ".join(arguments), 120,
                       [os.path.join(ROOT, "scripts", "wine-run.sh"), prefix, *arguments],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False)


def read_export(path):
    """The keys and values of an export of the machine's classes:
    {key: {name: value}}, keys and names lower-cased."""
    with open(path, "rb") as file:
        text = file.read().decode("utf-16")
    keys = {}
    current = None
    for line in text.splitlines():
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1][len(CLASSES):].lower(), {})
        elif current is not None and "=" in line and line.endswith('"'):
            name, value = line.split("=", 1)
            name = "@" if name == "@" else name[1:-1]
            current[name.lower()] = value[1:-1].replace("\\\\", "\\").replace('\\"', '"')
    return keys


def expected_rows(dll, platform):
    """The rows of packaging/registration.txt for the DLL at the Windows path
    `dll` of `platform`: {(key, name, value)} and the bare keys."""
    folder = dll[: dll.rindex("\\") + 1]
    values = set()
    bare_keys = set()
    with open(os.path.join(ROOT, "packaging", "registration.txt"), encoding="utf-8") as file:
        for line in file:
            if line.startswith("#") or not line.strip():
                continue
            key, name, value = line.rstrip("\n").split("\t")
            key = key.replace("[PLATFORM]", platform).lower()
            value = value.replace("[DLL]", dll).replace("[DLLDIR]", folder)
            if name == "-":
                continue  # removed on uninstall, writes nothing
            if name == "+":
                bare_keys.add(key)
            else:
                values.add((key, name.lower(), value))
    return values, bare_keys


def compare(label, before, after, dll, platform, other_dll=None):
    """Checks of what `after` adds to `before` against the rows of the DLL.
    Where a package also installs the 32-bit DLL at `other_dll`, its rows may
    appear too, in the keys the two registry views share (TypeLib)."""
    written = set()
    new_keys = set()
    for key, key_values in after.items():
        if key.split("\\")[0] in NOT_REGISTRATION:
            continue
        if key not in before:
            new_keys.add(key)
        for name, value in key_values.items():
            if before.get(key, {}).get(name) != value:
                written.add((key, name, value))
    bare = {key for key in new_keys
            if not after[key] and not any(other.startswith(key + "\\") for other in new_keys)}
    expected, expected_bare = expected_rows(dll, platform)
    allowed = set(expected)
    if other_dll:
        allowed |= expected_rows(other_dll, "win32")[0]
    return [
        (f"{label} writes every value of the rows", not expected - written,
         sorted(expected - written)),
        (f"{label} writes no value the rows lack", not written - allowed,
         sorted(written - allowed)),
        (f"{label} makes the rows' bare keys, no others", bare == expected_bare,
         sorted(bare ^ expected_bare)),
    ]


def in_fresh_prefix(command, dll, other_dll=None):
    """Runs `command` in a fresh wine64 prefix and compares what it added."""
    with tempfile.TemporaryDirectory(dir=os.path.join(ROOT, "build")) as folder:
        prefix = os.path.join(folder, "prefix")
        bounded.run("creating the Wine prefix " + prefix, 300,
                    [os.path.join(ROOT, "scripts", "wine-prefix.sh"), "create", prefix],
                    check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        exports = []
        try:
            for step in ("before", "after"):
                if step == "after":
                    ran = wine(prefix, *command)
                path = os.path.join(folder, step + ".reg")
                wine(prefix, "reg", "export", "HKLM\\Software\\Classes", windows_path(path), "/y")
                exports.append(read_export(path))
        finally:
            bounded.run("stopping the wineserver of " + prefix, 60,
                        [os.path.join(ROOT, "scripts", "wine-prefix.sh"), "stop", prefix],
                        check=False)
    return [(f"{command[0]} succeeds", ran.returncode == 0, ran.stdout)] + compare(
        command[0], exports[0], exports[1], dll, "win64", other_dll)


def main():
    if sys.argv[1] == "--exports":
        dll, platform = sys.argv[2:4]
        after = {}
        for export in sys.argv[4:]:
            after.update(read_export(export))
        checks = compare("registration", {}, after, dll, platform)
    else:
        dll = sys.argv[1]
        checks = in_fresh_prefix(["regsvr32", "/s", windows_path(dll)], windows_path(dll))
        for msi in sys.argv[2:]:
            checks += in_fresh_prefix(["msiexec", "/i", windows_path(msi), "/qn"],
                                      "C:\\Program Files\\ieTalvenor\\ieTalvenor.DLL",
                                      "C:\\Program Files (x86)\\ieTalvenor\\ieTalvenor.DLL")
    return check_report.report(checks)


if __name__ == "__main__":
    sys.exit(main())
