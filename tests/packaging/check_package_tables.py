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
  package, before it changes anything;
- each package writes the browsers' native host keys, each naming the
  manifest for that browser, in every registry view of its Windows, and
  removes each key whole on uninstall;
- the force-install policies: what each package would write, worked out from
  its tables (AppSearch, its type 51 actions, the components' conditions and
  registry rows) for the cases of POLICY_CASES, is what the browsers must
  read: nothing without the properties, the values with them, and the
  remembered values on a repair or upgrade run without them.

Wine does not enforce registry permissions and shows no launch condition's
message, so these are read from the tables. Prints "N passed, N failed".

Usage: check_package_tables.py X86_MSI X64_MSI EXTENSION_ID
"""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bounded  # noqa: E402
import check_report  # noqa: E402

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


# The registry views of each package's Windows, and its native one, where
# the policies go.
VIEWS = {"x86": ("32",), "x64": ("32", "64")}
NATIVE_VIEW = {"x86": "32", "x64": "64"}
# The manifest each browser's host key names (the File ids of the packages).
HOST_KEYS = {
    "SOFTWARE\\Google\\Chrome\\NativeMessagingHosts\\com.kestrane.talvenor": "[#ChromiumManifest]",
    "SOFTWARE\\Microsoft\\Edge\\NativeMessagingHosts\\com.kestrane.talvenor": "[#ChromiumManifest]",
    "SOFTWARE\\Mozilla\\NativeMessagingHosts\\com.kestrane.talvenor": "[#FirefoxManifest]",
}
MANIFEST_FILES = {"ChromiumManifest": "com.kestrane.talvenor.json",
                  "FirefoxManifest": "com.kestrane.talvenor.firefox.json"}
CHROME_LIST = "SOFTWARE\\Policies\\Google\\Chrome\\ExtensionInstallForcelist"
EDGE_LIST = "SOFTWARE\\Policies\\Microsoft\\Edge\\ExtensionInstallForcelist"
FIREFOX_SETTINGS = "SOFTWARE\\Policies\\Mozilla\\Firefox\\ExtensionSettings\\talvenor@kestrane.com"
# The value name of the package's entry in the force-install lists: Chrome and
# Edge read every numerically named value.
LIST_ENTRY = "82583667"
CHROME, EDGE, FIREFOX = "https://c.example/u.xml", "https://e.example/u.xml", "https://f.example/t.xpi"
PROPERTY = {"chrome": "CHROME_EXTENSION_UPDATE_URL", "edge": "EDGE_EXTENSION_UPDATE_URL",
            "firefox": "FIREFOX_EXTENSION_URL"}


def policy_values(extension_id, chrome=None, edge=None, firefox=None):
    """{(key, name): value} of the policies for the given locations."""
    values = {}
    if chrome:
        values[(CHROME_LIST, LIST_ENTRY)] = f"{extension_id};{chrome}"
    if edge:
        values[(EDGE_LIST, LIST_ENTRY)] = f"{extension_id};{edge}"
    if firefox:
        values[(FIREFOX_SETTINGS, "install_url")] = firefox
        values[(FIREFOX_SETTINGS, "installation_mode")] = "force_installed"
    return values


# (case, properties given to msiexec, values already in the registry,
# expected values): a repair or upgrade runs without the properties.
def policy_cases(extension_id):
    return [
        ("no property: no policy", {}, {}, {}),
        ("all three properties: every policy", {"chrome": CHROME, "edge": EDGE, "firefox": FIREFOX}, {},
         policy_values(extension_id, CHROME, EDGE, FIREFOX)),
        ("Edge's property alone: Edge's policy alone", {"edge": EDGE}, {}, policy_values(extension_id, edge=EDGE)),
        ("repair without properties keeps the policies", {}, policy_values(extension_id, CHROME, EDGE, FIREFOX),
         policy_values(extension_id, CHROME, EDGE, FIREFOX)),
        ("a new location replaces the remembered one", {"firefox": "https://new.example/t.xpi"},
         policy_values(extension_id, firefox=FIREFOX), policy_values(extension_id, firefox="https://new.example/t.xpi")),
    ]


def view_of(component_row):
    return "64" if int(component_row[3]) & 256 else "32"


def formatted(text, properties):
    """Windows Installer's [PROPERTY] formatting, all these tables use."""
    return re.sub(r"\[([A-Za-z_][A-Za-z0-9_.]*)\]", lambda found: properties.get(found.group(1), ""), text)


def simulated_policies(msi, arch, given, registry):
    """{(key, name): value} that installing `msi` with the public properties
    `given` writes under the policy keys, on a machine whose native view holds
    `registry`: AppSearch's registry reads, then the type 51 actions of the
    execution sequence before costing, then the conditioned components."""
    properties = {row[0]: row[1] for row in table(msi, "Property")}
    properties.update({PROPERTY[browser]: value for browser, value in given.items()})
    locators = {row[0]: row for row in table(msi, "RegLocator")}
    searches = table(msi, "AppSearch")
    actions = {row[0]: row for row in table(msi, "CustomAction")}
    sequence = sorted(table(msi, "InstallExecuteSequence"), key=lambda row: int(row[2]))
    for action, condition, number in sequence:
        if int(number) >= 1000:  # CostFinalize fixes the components' states
            break
        if action == "AppSearch":
            for property_name, signature in searches:
                _, root, key, name, kind = locators[signature]
                view = "64" if int(kind) & 16 else "32"
                if root == "2" and int(kind) & 15 == 2 and view == NATIVE_VIEW[arch] and (key, name) in registry:
                    properties[property_name] = registry[(key, name)]
        elif action in actions:
            _, kind, target, value = actions[action][:4]
            if kind != "51" or not re.fullmatch(r"[A-Z_]+", condition):
                raise ValueError(f"action {action} ({kind}, {condition!r}) is not a plain property setting")
            if properties.get(condition):
                properties[target] = formatted(value, properties)
    installed = set()
    for row in table(msi, "Component"):
        if row[0].startswith("Policy"):
            if not re.fullmatch(r"[A-Z_]+", row[4]):
                raise ValueError(f"component {row[0]}'s condition {row[4]!r} is not a property")
            if view_of(row) != NATIVE_VIEW[arch]:
                raise ValueError(f"component {row[0]} is in the {view_of(row)}-bit view")
            if properties.get(row[4]):
                installed.add(row[0])
    return {(row[2], row[3]): formatted(row[4], properties) for row in table(msi, "Registry")
            if row[5] in installed and row[3] not in ("-", "+", "*", "")}


def policy_checks(msi, arch, extension_id):
    name = os.path.basename(msi)
    checks = []
    for case, given, registry, expected in policy_cases(extension_id):
        try:
            written = simulated_policies(msi, arch, given, registry)
        except ValueError as problem:
            written = str(problem)
        checks.append((f"{name}: {case}", written == expected, written))
    secure = {row[0]: row[1] for row in table(msi, "Property")}.get("SecureCustomProperties", "").split(";")
    checks.append((f"{name}: the policy properties are secure (passed to a managed install)",
                   set(PROPERTY.values()) <= set(secure), secure))
    removed = {row[2] for row in table(msi, "Registry") if row[5] == "PolicyFirefox" and row[3] == "-"}
    checks.append((f"{name}: uninstalling removes Firefox's key for the extension whole",
                   removed == {FIREFOX_SETTINGS}, removed))
    return checks


def host_key_checks(msi, arch, extension_id):
    name = os.path.basename(msi)
    components = {row[0]: row for row in table(msi, "Component")}
    rows = [row for row in table(msi, "Registry") if row[2] in HOST_KEYS]
    written = {(view_of(components[row[5]]), row[2], row[4]) for row in rows if row[3] == ""}
    removed = {(view_of(components[row[5]]), row[2]) for row in rows if row[3] == "-"}
    # File rows: File, Component_, FileName ("SHORT|long" or one name), ...
    files = {row[0]: (row[1], row[2].split("|")[-1]) for row in table(msi, "File")}
    host_component = files.get("Host", (None,))[0]
    manifests = {file_id: files.get(file_id) for file_id in MANIFEST_FILES}
    properties = {row[0]: row[1] for row in table(msi, "Property")}
    return [
        (f"{name}: every browser's host key names its manifest in the views {', '.join(VIEWS[arch])}",
         written == {(view, key, value) for view in VIEWS[arch] for key, value in HOST_KEYS.items()}
         and all(row[1] == "2" for row in rows), sorted(written)),
        (f"{name}: uninstalling removes each host key whole",
         removed == {(view, key) for view in VIEWS[arch] for key in HOST_KEYS}, sorted(removed)),
        (f"{name}: the manifests are installed with the host",
         host_component is not None
         and manifests == {file_id: (host_component, file_name) for file_id, file_name in MANIFEST_FILES.items()},
         manifests),
        (f"{name}: the policies name the CRX's id {extension_id}",
         properties.get("TALVENOR_EXTENSION_ID") == extension_id, properties.get("TALVENOR_EXTENSION_ID")),
    ]


def main():
    x86, x64, extension_id = sys.argv[1:4]
    checks = machine_key_checks(x86) + machine_key_checks(x64) + refusal_checks(x86)
    for msi, arch in ((x86, "x86"), (x64, "x64")):
        checks += host_key_checks(msi, arch, extension_id) + policy_checks(msi, arch, extension_id)
    return check_report.report(checks)


if __name__ == "__main__":
    sys.exit(main())
