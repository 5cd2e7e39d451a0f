#!/usr/bin/env python3
"""Fails when what ieTalvenor.DLL writes when it registers itself, what the x64
package writes when it is installed, and the rows both come from
(packaging/registration.txt) differ.

In a fresh Wine prefix each, registers the given 64-bit DLL with regsvr32, and
installs the package with msiexec; reads what each added under
HKEY_CLASSES_ROOT (the machine's classes, in the 64-bit view, leaving out the
installer's own bookkeeping) and compares it with the rows: every value, and
every key made without a value. Prints "N passed, N failed".

Usage: check_registration_rows.py DLL [MSI]
"""
import os
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CLASSES = "HKEY_LOCAL_MACHINE\\Software\\Classes\\"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(prefix, *arguments):
    return subprocess.run([os.path.join(ROOT, "scripts", "wine-run.sh"), prefix, *arguments],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False)


def exported_classes(prefix, folder, name):
    """Keys and values of the machine's classes: {key: {name: value}}, keys lower-cased."""
    path = os.path.join(folder, name)
    wine(prefix, "reg", "export", "HKLM\\Software\\Classes", windows_path(path), "/y")
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
    """The rows of packaging/registration.txt for `dll` of `platform` (win32 or
    win64): values and bare keys."""
    folder = dll[: dll.rindex("\\") + 1]
    values = {}
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
                values[(key, name.lower())] = value
    return values, bare_keys


def written_by(command, dll_after, other_dll=None):
    """What `command` (arguments after the prefix) adds to the classes of a
    fresh prefix, compared with the rows for the 64-bit DLL at `dll_after`.
    Where the package also installs the 32-bit DLL at `other_dll`, its rows may
    appear too, in the keys the two registry views share (TypeLib)."""
    with tempfile.TemporaryDirectory(dir=os.path.join(ROOT, "build")) as folder:
        prefix = os.path.join(folder, "prefix")
        create = [os.path.join(ROOT, "scripts", "wine-prefix.sh"), "create", prefix]
        subprocess.run(create, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            before = exported_classes(prefix, folder, "before.reg")
            ran = wine(prefix, *command)
            after = exported_classes(prefix, folder, "after.reg")
        finally:
            subprocess.run([os.path.join(ROOT, "scripts", "wine-prefix.sh"), "stop", prefix],
                           check=False)

    written = set()
    new_keys = set()
    for key, key_values in after.items():
        if key in ("wow6432node", "installer") or key.startswith(("wow6432node\\", "installer\\")):
            continue
        if key not in before:
            new_keys.add(key)
        for name, value in key_values.items():
            if before.get(key, {}).get(name) != value:
                written.add((key, name, value))
    bare = {key for key in new_keys
            if not after[key] and not any(other.startswith(key + "\\") for other in new_keys)}
    values, expected_bare = expected_rows(dll_after, "win64")
    expected = {(key, name, value) for (key, name), value in values.items()}
    allowed = set(expected)
    if other_dll:
        other_values, _ = expected_rows(other_dll, "win32")
        allowed |= {(key, name, value) for (key, name), value in other_values.items()}
    return [
        (f"{command[0]} succeeds", ran.returncode == 0, ran.stdout),
        (f"{command[0]} writes every value of the rows", not expected - written,
         sorted(expected - written)),
        (f"{command[0]} writes no value the rows lack", not written - allowed,
         sorted(written - allowed)),
        (f"{command[0]} makes the rows' bare keys, no others", bare == expected_bare,
         sorted(bare ^ expected_bare)),
    ]


def main():
    dll = sys.argv[1]
    checks = written_by(["regsvr32", "/s", windows_path(dll)], windows_path(dll))
    for msi in sys.argv[2:]:
        checks += written_by(["msiexec", "/i", windows_path(msi), "/qn"],
                             "C:\\Program Files\\ieTalvenor\\ieTalvenor.DLL",
                             "C:\\Program Files (x86)\\ieTalvenor\\ieTalvenor.DLL")
    failed = 0
    for description, passed, detail in checks:
        print(("ok: " if passed else "FAILED: ") + description)
        if not passed:
            failed += 1
            print("    " + str(detail))
    print(f"{len(checks) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
