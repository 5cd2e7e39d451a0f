#!/usr/bin/env python3
"""Reads the tables of both packages (msiinfo) and fails unless:

- each makes the machine key HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrane\\RND in
  the 32-bit view as a permanent component, and gives it, in
  MsiLockPermissionsEx, a protected access list that names its accounts by
  well-known SID (account names are translated on Windows in other languages)
  and grants built-in Users KEY_READ | KEY_WRITE, administrators and
  LocalSystem KEY_ALL_ACCESS, and nothing else; no LockPermissions table is
  left;
- the x86 package refuses 64-bit Windows with a message that names the x64
  package, before it changes anything.

Wine does not enforce registry permissions and shows no launch condition's
message, so these are read from the tables. Prints "N passed, N failed".

Usage: check_package_tables.py X86_MSI X64_MSI
"""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bounded  # noqa: E402

# Registry access rights from their bits (winnt.h).
KEY_QUERY_VALUE = 0x1
KEY_SET_VALUE = 0x2
KEY_CREATE_SUB_KEY = 0x4
KEY_ENUMERATE_SUB_KEYS = 0x8
KEY_NOTIFY = 0x10
KEY_CREATE_LINK = 0x20
READ_CONTROL = 0x20000
STANDARD_RIGHTS_REQUIRED = 0xF0000  # DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER
KEY_READ = READ_CONTROL | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY
KEY_WRITE = READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY
KEY_ALL_ACCESS = (STANDARD_RIGHTS_REQUIRED | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY
                  | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK)

# The SDDL rights strings of registry keys; generic rights would mean other
# bits for other objects and are refused.
RIGHTS = {"KA": KEY_ALL_ACCESS, "KR": KEY_READ, "KW": KEY_WRITE, "KX": KEY_READ}
WELL_KNOWN = {"BU": "S-1-5-32-545", "BA": "S-1-5-32-544", "SY": "S-1-5-18"}
USERS, ADMINISTRATORS, LOCAL_SYSTEM = WELL_KNOWN["BU"], WELL_KNOWN["BA"], WELL_KNOWN["SY"]
EXPECTED_GRANTS = {
    USERS: KEY_READ | KEY_WRITE,  # 0x2001F, as the component opens the key
    ADMINISTRATORS: KEY_ALL_ACCESS,  # 0xF003F
    LOCAL_SYSTEM: KEY_ALL_ACCESS,
}

# The actions before which nothing changes the machine, per sequence: the
# execution's first changes, and the UI sequence's hand-over to them.
FIRST_CHANGES = {
    "InstallExecuteSequence": ("RemoveExistingProducts", "InstallInitialize"),
    "InstallUISequence": ("ExecuteAction",),
}


def table(msi, name):
    """The rows of a table as lists of columns; [] when the package has none."""
    exported = bounded.run(f"msiinfo export {os.path.basename(msi)} {name}", 60,
                           ["msiinfo", "export", msi, name],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    if exported.returncode != 0:
        return []
    # Three header lines: the column names, their types, the table and its keys.
    return [line.split("\t") for line in exported.stdout.replace("\r", "").splitlines()[3:]]


def rights(text):
    """The access mask of an ACE's rights string: hexadecimal, or a
    concatenation of two-letter rights."""
    if text.lower().startswith("0x"):
        return int(text, 16)
    tokens = [text[i:i + 2] for i in range(0, len(text), 2)]
    if not tokens or any(token not in RIGHTS for token in tokens):
        raise ValueError(f"rights {text!r} are not registry rights")
    mask = 0
    for token in tokens:
        mask |= RIGHTS[token]
    return mask


def grants(sddl):
    """{SID: access mask} of a security descriptor that holds only a
    protected DACL of plain allow entries for the key itself."""
    whole = re.fullmatch(r"D:([A-Z]*)((?:\([^()]*\))+)", sddl)
    if not whole:
        raise ValueError(f"{sddl!r} is not a DACL alone")
    if "P" not in whole.group(1):
        raise ValueError(f"the DACL of {sddl!r} is not protected: it would inherit from SOFTWARE")
    found = {}
    for ace in re.findall(r"\(([^()]*)\)", whole.group(2)):
        kind, flags, mask, object_type, inherited_type, account = ace.split(";")
        if kind != "A" or flags or object_type or inherited_type:
            raise ValueError(f"({ace}) is not a plain allow entry for the key itself")
        sid = WELL_KNOWN.get(account, account)
        if not re.fullmatch(r"S-1-\d+(-\d+)*", sid):
            raise ValueError(f"({ace}) names neither a SID nor one of {', '.join(WELL_KNOWN)}")
        found[sid] = found.get(sid, 0) | rights(mask)
    return found


def machine_key_checks(msi):
    name = os.path.basename(msi)
    registry = [row for row in table(msi, "Registry") if row[0] == "MachineKey"]
    component = [row for row in table(msi, "Component") if row[0] == "MachineKey"]
    locks = table(msi, "MsiLockPermissionsEx")
    try:
        found = grants(locks[0][3]) if len(locks) == 1 else f"{len(locks)} rows"
    except ValueError as problem:
        found = str(problem)
    return [
        (f"{name}: makes HKLM\\SOFTWARE\\Kestrane\\RND as a bare key",
         registry == [["MachineKey", "2", "SOFTWARE\\Kestrane\\RND", "+", "", "MachineKey"]],
         registry),
        # 16 permanent + 4 registry key path, without 256: the 32-bit view.
        (f"{name}: keeps the machine key in the 32-bit view", len(component) == 1
         and component[0][3] == "20" and component[0][5] == "MachineKey", component),
        (f"{name}: has no LockPermissions table", not table(msi, "LockPermissions"),
         table(msi, "LockPermissions")),
        (f"{name}: one unconditional security descriptor for the machine key",
         [row[:3] + row[4:] for row in locks] == [["MachineKeyAccess", "MachineKey", "Registry", ""]],
         locks),
        (f"{name}: Users read and write, administrators and LocalSystem full control, by SID",
         found == EXPECTED_GRANTS,
         {sid: hex(mask) for sid, mask in found.items()} if isinstance(found, dict) else found),
    ]


def refusal_checks(msi):
    name = os.path.basename(msi)
    conditions = table(msi, "LaunchCondition")
    refusal = [row for row in conditions if row[0] == "NOT VersionNT64"]
    checks = [(f"{name}: refuses 64-bit Windows, naming ieTalvenor-x64.msi",
               len(refusal) == 1 and "ieTalvenor-x64.msi" in refusal[0][1], conditions)]
    for sequence, first_changes in FIRST_CHANGES.items():
        order = {row[0]: int(row[2]) for row in table(msi, sequence)}
        changes = [order[action] for action in first_changes if action in order]
        before = bool("LaunchConditions" in order and changes
                      and order["LaunchConditions"] < min(changes))
        checks.append((f"{name}: {sequence} checks the launch conditions before any change",
                       before, order))
    return checks


def main():
    x86, x64 = sys.argv[1:3]
    checks = machine_key_checks(x86) + machine_key_checks(x64) + refusal_checks(x86)
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
