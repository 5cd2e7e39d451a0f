#!/usr/bin/env python3
"""Fails when what ieTalvenor.DLL writes when it registers itself and what the
packages write (packaging/registration.txt) differ.

Registers the given 64-bit DLL with regsvr32 in a fresh Wine prefix, reads
what registration added under HKEY_CLASSES_ROOT (the machine's classes, in the
64-bit view), and compares it with the rows: every value, and every key that
registration makes without a value. Prints "N passed, N failed".

Usage: check_registration_rows.py DLL
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


def expected_rows(dll):
    """The rows of packaging/registration.txt for `dll`: values and bare keys."""
    folder = dll[: dll.rindex("\\") + 1]
    values = {}
    bare_keys = set()
    with open(os.path.join(ROOT, "packaging", "registration.txt"), encoding="utf-8") as file:
        for line in file:
            if line.startswith("#") or not line.strip():
                continue
            key, name, value = line.rstrip("\n").split("\t")
            key = key.replace("[PLATFORM]", "win64").lower()
            value = value.replace("[DLL]", dll).replace("[DLLDIR]", folder)
            if name == "-":
                continue  # removed on uninstall, writes nothing
            if name == "+":
                bare_keys.add(key)
            else:
                values[(key, name.lower())] = value
    return values, bare_keys


def main():
    dll = sys.argv[1]
    with tempfile.TemporaryDirectory(dir=os.path.join(ROOT, "build")) as folder:
        prefix = os.path.join(folder, "prefix")
        create = [os.path.join(ROOT, "scripts", "wine-prefix.sh"), "create", prefix]
        subprocess.run(create, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            before = exported_classes(prefix, folder, "before.reg")
            registered = wine(prefix, "regsvr32", "/s", windows_path(dll))
            after = exported_classes(prefix, folder, "after.reg")
        finally:
            subprocess.run([os.path.join(ROOT, "scripts", "wine-prefix.sh"), "stop", prefix],
                           check=False)

    written = {}
    new_keys = set()
    for key, key_values in after.items():
        if key.startswith("wow6432node\\"):
            continue
        if key not in before:
            new_keys.add(key)
        for name, value in key_values.items():
            if before.get(key, {}).get(name) != value:
                written[(key, name)] = value
    bare_written = {key for key in new_keys
                    if not after[key] and not any(other.startswith(key + "\\") for other in new_keys)}

    expected_values, expected_bare = expected_rows(windows_path(dll))
    checks = [
        ("regsvr32 registers the DLL", registered.returncode == 0, registered.stdout),
        ("every value of the rows is written", not set(expected_values.items()) - set(written.items()),
         sorted(set(expected_values.items()) - set(written.items()))),
        ("registration writes no value the rows lack", not set(written.items()) - set(expected_values.items()),
         sorted(set(written.items()) - set(expected_values.items()))),
        ("the bare keys are the rows' bare keys", bare_written == expected_bare,
         sorted(bare_written ^ expected_bare)),
    ]
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
