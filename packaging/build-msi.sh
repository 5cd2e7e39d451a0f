#!/bin/sh
# Builds one Windows Installer package of ieTalvenor with wixl, then adds with
# msibuild what wixl cannot write: the registration rows of
# packaging/registration.txt for each DLL, in its own registry view; the
# category definitions and the machine key as permanent components, which
# uninstalling leaves (as unregistering leaves the categories, and as nothing
# ever removes the installation tokens); and the machine key's security
# descriptor.
#
# Usage: build-msi.sh x86|x64 VERSION OUTPUT DLL32 [DLL64]
#   VERSION is the component version a.b.c.d. Windows Installer compares
#   three fields only, so the package's version is a.b.(256 c + d): 1.0.0.4
#   becomes 1.0.4, and it increases with every component version.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
arch=$1
version=$2
output=$3
dll32=$4
dll64=${5:-}

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
sed -e "s|@VERSION@|$package_version|" -e "s|@DLL32@|x86/ieTalvenor.DLL|" \
    -e "s|@DLL64@|x64/ieTalvenor.DLL|" "$here/ieTalvenor-$arch.wxs" >"$work/package.wxs"
rm -f "$output"
(cd "$work" && wixl -a "$arch" -o "$output" package.wxs)

sql() {
    msibuild "$output" -q "$1"
}

# Component attributes: a permanent component whose key path is a registry
# row, in the 32-bit or the 64-bit view.
permanent_32=$((16 + 4))
permanent_64=$((16 + 4 + 256))

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
    grep -v '^#' "$here/registration.txt" | grep -v '^$' |
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
