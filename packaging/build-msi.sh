#!/bin/sh
# Builds one Windows Installer package of ieTalvenor with wixl, then adds with
# msibuild what wixl cannot write: the registration rows of
# packaging/registration.txt for each DLL, in its own registry view; the
# category definitions and the machine key as permanent components, which
# uninstalling leaves (as unregistering leaves the categories, and as nothing
# ever removes the installation tokens); the machine key's security
# descriptor; the browsers' keys that name the native host's manifests
# (packaging/native-hosts.txt) in every registry view of the package's
# Windows; and the optional force-install policies of the extension
# (packaging/extension-policies.txt).
#
# Usage: build-msi.sh x86|x64 VERSION OUTPUT EXTENSION_ID HOST DLL32 [DLL64]
#   VERSION is the component version a.b.c.d. Windows Installer compares
#   three fields only, so the package's version is a.b.(256 c + d): 1.0.0.4
#   becomes 1.0.4, and it increases with every component version.
#   EXTENSION_ID is the id of the extension's CRX, which the host manifest for
#   Chrome and Edge allows and the force-install policies name; HOST is
#   talvenor-host.exe for the package's Windows (x86: 32-bit, x64: 64-bit).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
arch=$1
version=$2
output=$3
extension_id=$4
host=$5
dll32=$6
dll64=${7:-}
if ! printf '%s' "$extension_id" | grep -Eqx '[a-p]{32}'; then
    echo "build-msi: $extension_id is not an extension id (32 letters a to p)" >&2
    exit 2
fi

old_ifs=$IFS
IFS=.
# shellcheck disable=SC2086
set -- $version
IFS=$old_ifs
if [ $# -ne 4 ] || [ "$3" -gt 255 ] || [ "$4" -gt 255 ]; then
    echo "build-msi: version $version is not a.b.c.d with c and d up to 255" >&2
    exit 2
fi
package_version=$1.$2.$((256 * $3 + $4))

output=$(cd "$(dirname "$output")" && pwd)/$(basename "$output")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# wixl takes the files by paths relative to where it runs.
mkdir -p "$work/x86" "$work/x64"
cp "$dll32" "$work/x86/ieTalvenor.DLL"
if [ -n "$dll64" ]; then
    cp "$dll64" "$work/x64/ieTalvenor.DLL"
fi
# The host's manifests name talvenor-host.exe beside them by a relative path,
# which Chrome, Edge and Firefox resolve against the manifest's folder on
# Windows: they are the same files wherever the package installs them.
mkdir -p "$work/host"
cp "$host" "$work/host/talvenor-host.exe"
sed "s|@EXTENSION_ID@|$extension_id|" "$here/host-manifest-chromium.json" \
    >"$work/host/com.kestrane.talvenor.json"
cp "$here/host-manifest-firefox.json" "$work/host/com.kestrane.talvenor.firefox.json"
sed -e "s|@VERSION@|$package_version|" -e "s|@DLL32@|x86/ieTalvenor.DLL|" \
    -e "s|@DLL64@|x64/ieTalvenor.DLL|" -e "s|@HOST@|host/talvenor-host.exe|" \
    -e "s|@CHROMIUM_MANIFEST@|host/com.kestrane.talvenor.json|" \
    -e "s|@FIREFOX_MANIFEST@|host/com.kestrane.talvenor.firefox.json|" \
    "$here/ieTalvenor-$arch.wxs" >"$work/package.wxs"
rm -f "$output"
(cd "$work" && wixl -a "$arch" -o "$output" package.wxs)

sql() {
    msibuild "$output" -q "$1"
}

# Component attributes: a component whose key path is a registry row, in the
# 32-bit or the 64-bit view, and a permanent one.
registry_32=4
registry_64=$((4 + 256))
permanent_32=$((16 + registry_32))
permanent_64=$((16 + registry_64))

# rows FILE: the rows of a table file of packaging/, without comments and
# blank lines.
rows() {
    grep -v '^#' "$here/$1" | grep -v '^$'
}

# Adds the rows of registration.txt for the DLL file FILE in the directory
# DIRECTORY: to COMPONENT, but the category definitions to CATEGORIES, which
# is made permanent with ATTRIBUTES.
add_registration_rows() {
    component=$1
    categories=$2
    attributes=$3
    file=$4
    directory=$5
    platform=$6
    row=0
    first_category=""
    rows registration.txt |
        while IFS='	' read -r key name value; do
            row=$((row + 1))
            id=${component}_$row
            key=$(printf '%s' "$key" | sed "s/\[PLATFORM\]/$platform/")
            value=$(printf '%s' "$value" | sed -e "s/\[DLL\]/[#$file]/" -e "s/\[DLLDIR\]/[$directory]/")
            owner=$component
            case "$key" in
            'Component Categories\'*)
                owner=$categories
                id=${categories}_$row
                ;;
            esac
            case "$name" in
            @) sql "INSERT INTO Registry (Registry, Root, \`Key\`, Value, Component_) VALUES ('$id', 0, '$key', '$value', '$owner')" ;;
            # A bare key is made on install and removed on uninstall ("*").
            +) sql "INSERT INTO Registry (Registry, Root, \`Key\`, Name, Component_) VALUES ('$id', 0, '$key', '*', '$owner')" ;;
            -) sql "INSERT INTO Registry (Registry, Root, \`Key\`, Name, Component_) VALUES ('$id', 0, '$key', '-', '$owner')" ;;
            *) sql "INSERT INTO Registry (Registry, Root, \`Key\`, Name, Value, Component_) VALUES ('$id', 0, '$key', '$name', '$value', '$owner')" ;;
            esac
            if [ "$owner" = "$categories" ] && [ -z "$first_category" ]; then
                first_category=$id
                sql "UPDATE Component SET Attributes = $attributes, KeyPath = '$id' WHERE Component = '$categories'"
            fi
        done
}

add_registration_rows Dll32 Categories32 "$permanent_32" Dll32 INSTALLDIR32 win32
if [ "$arch" = x64 ]; then
    add_registration_rows Dll64 Categories64 "$permanent_64" Dll64 INSTALLDIR64 win64
fi

# add_host_keys COMPONENT ATTRIBUTES: the browsers' keys naming the host's
# manifests, in the view of COMPONENT; each key is removed whole on uninstall.
add_host_keys() {
    component=$1
    attributes=$2
    row=0
    rows native-hosts.txt | while IFS='	' read -r browser key manifest; do
        row=$((row + 1))
        id=${component}_$browser
        sql "INSERT INTO Registry (Registry, Root, \`Key\`, Value, Component_) VALUES ('$id', 2, '$key', '[#$manifest]', '$component')"
        sql "INSERT INTO Registry (Registry, Root, \`Key\`, Name, Component_) VALUES ('${id}_Remove', 2, '$key', '-', '$component')"
        if [ "$row" -eq 1 ]; then
            sql "UPDATE Component SET Attributes = $attributes, KeyPath = '$id' WHERE Component = '$component'"
        fi
    done
}
add_host_keys HostKeys32 "$registry_32"
if [ "$arch" = x64 ]; then
    add_host_keys HostKeys64 "$registry_64"
fi

# The force-install policies, in the package's native view. Each component
# is installed only when its value is known: given by its public property, or
# read back by AppSearch from what an earlier install of it wrote, so that
# repair and upgrade, run without the property, keep it.
policy_view=$registry_32
locator_view=0
if [ "$arch" = x64 ]; then
    policy_view=$registry_64
    locator_view=16
fi
sql "INSERT INTO Property (Property, Value) VALUES ('TALVENOR_EXTENSION_ID', '$extension_id')"
sql "INSERT INTO InstallUISequence (Action, Sequence) VALUES ('AppSearch', 50)"
sql "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('AppSearch', 50)"
sequence=51
rows extension-policies.txt | while IFS='	' read -r component property key name value; do
    id=${component}_$name
    if [ "$name" = - ]; then
        sql "INSERT INTO Registry (Registry, Root, \`Key\`, Name, Component_) VALUES ('${component}_Remove', 2, '$key', '-', '$component')"
        continue
    fi
    if [ "$property" = - ]; then
        sql "INSERT INTO Registry (Registry, Root, \`Key\`, Name, Value, Component_) VALUES ('$id', 2, '$key', '$name', '$value', '$component')"
        continue
    fi
    remembered=TALVENOR_$(printf '%s' "$component" | tr '[:lower:]' '[:upper:]')
    # The raw value (type 2) of the row, read back into the remembered
    # property; given the public property, a type 51 action sets it anew.
    sql "INSERT INTO RegLocator (Signature_, Root, \`Key\`, Name, Type) VALUES ('$component', 2, '$key', '$name', $((2 + locator_view)))"
    sql "INSERT INTO AppSearch (Property, Signature_) VALUES ('$remembered', '$component')"
    sql "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('Set$remembered', 51, '$remembered', '$value')"
    for table in InstallUISequence InstallExecuteSequence; do
        sql "INSERT INTO $table (Action, Condition, Sequence) VALUES ('Set$remembered', '$property', $sequence)"
    done
    sequence=$((sequence + 1))
    sql "INSERT INTO Registry (Registry, Root, \`Key\`, Name, Value, Component_) VALUES ('$id', 2, '$key', '$name', '[$remembered]', '$component')"
    sql "UPDATE Component SET Attributes = $policy_view, KeyPath = '$id', Condition = '$remembered' WHERE Component = '$component'"
done
# The public properties reach the installation's server side also where
# Windows Installer passes only secure ones (a managed or elevated install).
policy_properties=$(rows extension-policies.txt | cut -f2 | grep -v '^-$' | sort -u | paste -sd ';')
secure=$(msiinfo export "$output" Property | tr -d '\r' | sed -n 's/^SecureCustomProperties\t//p')
sql "UPDATE Property SET Value = '$secure;$policy_properties' WHERE Property = 'SecureCustomProperties'"

# wixl schedules the registry actions only for rows it wrote itself.
sql "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('RemoveRegistryValues', 2600)"
sql "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('WriteRegistryValues', 5000)"

# The machine key in the 32-bit view, where both builds keep the machine
# token, made by the elevated installer so that the first derivation of a
# user without administrator rights can create the token in it.
sql "INSERT INTO Registry (Registry, Root, \`Key\`, Name, Component_) VALUES ('MachineKey', 2, 'SOFTWARE\\Kestrane\\RND', '+', 'MachineKey')"
sql "UPDATE Component SET Attributes = $permanent_32, KeyPath = 'MachineKey' WHERE Component = 'MachineKey'"
# Its security descriptor names the accounts by well-known SID, which every
# language of Windows reads alike (Windows Installer translates only a few
# English account names, so "Users" fails on a German or French Windows): a
# protected access list, nothing inherited from SOFTWARE, in which built-in
# Users may read and write (KR KW: KEY_READ | KEY_WRITE, as the component opens
# the key) and administrators and LocalSystem keep full control (KA).
machine_key_sddl='D:P(A;;KRKW;;;BU)(A;;KA;;;BA)(A;;KA;;;SY)'
sql "CREATE TABLE MsiLockPermissionsEx (MsiLockPermissionsEx CHAR(72) NOT NULL, LockObject CHAR(72) NOT NULL, \`Table\` CHAR(32) NOT NULL, SDDLText LONGCHAR NOT NULL, Condition CHAR(255) PRIMARY KEY MsiLockPermissionsEx)"
sql "INSERT INTO MsiLockPermissionsEx (MsiLockPermissionsEx, LockObject, \`Table\`, SDDLText) VALUES ('MachineKeyAccess', 'MachineKey', 'Registry', '$machine_key_sddl')"
