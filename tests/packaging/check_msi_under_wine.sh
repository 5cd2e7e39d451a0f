#!/bin/sh
# The packages as an administrator uses them on 64-bit Windows, under wine64
# in a fresh prefix: the x86 package refused before it changes anything, with
# a message that names the x64 package; then the x64 package installed
# silently over an x86 package of an earlier release, which it removes; the
# four members read through the 64-bit script host, repair after the DLL was
# deleted, an upgrade to a package of a higher version that leaves one entry
# in Add/Remove Programs, and an uninstall that removes the registration and
# the files but keeps the installation tokens.
# Usage: tests/packaging/check_msi_under_wine.sh DIST
set -u
cd "$(dirname "$0")/../.."
. tests/packaging/checks.sh
start_checks msi-check "$1"

msi=$(ls "$dist"/ieTalvenor-x64*.msi)
x86_msi=$(ls "$dist"/ieTalvenor-x86*.msi)
extension_id=$(bounded 60 "reading the CRX's id" python3 tests/packaging/check_extension_packages.py \
    --print-id "$dist")
# The same files as a package of the next component version.
next=$(pwd)/$work/ieTalvenor-x64-next.msi
bounded 300 "building the x64 package of the next version" packaging/build-msi.sh x64 1.0.0.5 \
    "$next" "$extension_id" "$dist/x64/talvenor-host.exe" "$dist/x86/ieTalvenor.DLL" \
    "$dist/x64/ieTalvenor.DLL"

prefix=$(pwd)/$work/prefix
new_prefix "$prefix"
wine() {
    wine_in "$prefix" "$@"
}
installed_dll=$prefix/drive_c/Program\ Files/ieTalvenor/ieTalvenor.DLL
installed_dll32=$prefix/drive_c/Program\ Files\ \(x86\)/ieTalvenor/ieTalvenor.DLL
class_key='HKCR\CLSID\{9BAC30D5-A416-40C2-810B-D55B31413BB4}'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

# reg query ends with 1 for a key it does not find (not with a time-out's 124).
absent() {
    wine reg query "$@"
    [ $? -eq 1 ]
}
token() {
    wine reg query "$1" /v PlugIn /reg:32 | tr -d '\r' | sed -n 's/.*PlugIn *REG_SZ *//p'
}
# entries_are VIEW N: N products named ieTalvenor are in Add/Remove Programs,
# in the registry view /reg:64 (the x64 package's) or /reg:32 (the x86
# package's).
entries_are() {
    listed=$(wine reg query "$uninstall_key" /s "$1" | tr -d '\r' | grep -c 'DisplayName *REG_SZ *ieTalvenor')
    echo "$listed listed in $1"
    [ "$listed" -eq "$2" ]
}

# What an install could change: the software keys of the machine (both views)
# and of the user, and the prefix's files.
snapshot() {
    wine reg export 'HKLM\Software' "$(windows_path "$(pwd)/$work/machine-$1.reg")" /y >/dev/null &&
        wine reg export 'HKCU\Software' "$(windows_path "$(pwd)/$work/user-$1.reg")" /y >/dev/null &&
        (cd "$prefix/drive_c" && find . | LC_ALL=C sort) >"$work/files-$1.txt"
}
unchanged() {
    snapshot after && cmp "$work/machine-before.reg" "$work/machine-after.reg" &&
        cmp "$work/user-before.reg" "$work/user-after.reg" &&
        diff "$work/files-before.txt" "$work/files-after.txt"
}
refusal_names_x64_package() {
    wine cscript //nologo "$(windows_path "$(pwd)/tests/packaging/launch_conditions.js")" \
        "$(windows_path "$x86_msi")" | tr -d '\r' >"$work/refusal.txt"
    cat "$work/refusal.txt"
    grep -q '^refused: .*ieTalvenor-x64\.msi' "$work/refusal.txt" && grep -q '^end=ok$' "$work/refusal.txt"
}
x86_install_fails() {
    wine msiexec /i "$(windows_path "$x86_msi")" /qn /l*v "$(windows_path "$(pwd)/$work/x86-install.log")"
    # ERROR_INSTALL_FAILURE (1603) reaches the shell modulo 256.
    [ $? -eq $((1603 % 256)) ]
}
stopped_at_launch_conditions() {
    grep 'Action start' "$work/x86-install.log" | tail -n 1 | grep -q 'LaunchConditions'
}

check "this 64-bit machine refuses the x86 package with a message naming the x64 package" \
    refusal_names_x64_package
# After the script host's first run, which registers its own type library.
snapshot before
check "msiexec fails to install the x86 package" x86_install_fails
check "the x86 install stopped at its launch conditions" stopped_at_launch_conditions
check "the refused x86 package changed no key and no file" unchanged

# An x86 package as earlier releases shipped it, without the refusal: the x64
# package replaces it.
earlier_x86=$(pwd)/$work/ieTalvenor-x86-earlier.msi
cp "$x86_msi" "$earlier_x86"
bounded 60 "msibuild removing the launch condition" msibuild "$earlier_x86" \
    -q "DELETE FROM LaunchCondition WHERE Condition = 'NOT VersionNT64'"
check "an x86 package without the refusal installs" wine msiexec /i "$(windows_path "$earlier_x86")" /qn
check "a silent install of the x64 package succeeds" wine msiexec /i "$(windows_path "$msi")" /qn
check "the x64 package removed the x86 package" entries_are /reg:32 0
check "both DLLs are installed" test -f "$installed_dll" -a -f "$installed_dll32"
check "the 64-bit script host reads the four members" members_answer "$prefix"
registered_32() {
    wine reg query "$class_key\\InprocServer32" /reg:32 | grep -q 'Program Files (x86)'
}
check "the 32-bit view registers the 32-bit DLL" registered_32
machine_token=$(token 'HKLM\SOFTWARE\Kestrane\RND')
user_token=$(token 'HKCU\Software\Kestrane\RND')
check "the first derivation stored both tokens" test -n "$machine_token" -a -n "$user_token"

# host_keys NAME [--absent]: every key of tests/packaging/host-keys.txt,
# exported from the view where its browser reads it into $work/NAME (numbered
# as check_host_keys.py --list numbers them), checked with the prefix's files.
host_keys() {
    rm -rf "${work:?}/$1"
    mkdir -p "$work/$1"
    bounded 60 "check_host_keys.py --list" python3 tests/packaging/check_host_keys.py --list |
        while IFS='	' read -r number _ view key _; do
            wine reg export "HKLM\\$key" "$(windows_path "$(pwd)/$work/$1/host-key-$number.reg")" \
                "/reg:$view" /y </dev/null >/dev/null 2>&1
        done
    name=$1
    shift
    bounded 60 "check_host_keys.py" python3 tests/packaging/check_host_keys.py --views 32,64 \
        --exports "$work/$name" --map "C:\\=$prefix/drive_c" \
        --host 'C:\Program Files\ieTalvenor\talvenor-host.exe' --extension-id "$extension_id" "$@"
}
check_listed "every browser's host key, in each view it reads, names a good manifest" host_keys installed

# The keys of the force-install policies, which the x64 package writes in the
# 64-bit view, and the locations the administrator gives.
chrome_list='HKLM\SOFTWARE\Policies\Google\Chrome\ExtensionInstallForcelist'
edge_list='HKLM\SOFTWARE\Policies\Microsoft\Edge\ExtensionInstallForcelist'
firefox_settings='HKLM\SOFTWARE\Policies\Mozilla\Firefox\ExtensionSettings'
chrome_url=https://updates.example/chrome.xml
edge_url=https://updates.example/edge.xml
firefox_url=https://updates.example/ieTalvenor.xpi
# value KEY NAME: the string value NAME of KEY in the 64-bit view.
value() {
    wine reg query "$1" /v "$2" /reg:64 | tr -d '\r' | sed -n "s/^ *$2 *REG_SZ *//p"
}
no_policy() {
    for view in /reg:32 /reg:64; do
        absent "$chrome_list" /v 82583667 "$view" && absent "$edge_list" /v 82583667 "$view" &&
            absent "$firefox_settings\\talvenor@kestrane.com" "$view" || return 1
    done
}
policies_written() {
    test "$(value "$chrome_list" 82583667)" = "$extension_id;$chrome_url" &&
        test "$(value "$edge_list" 82583667)" = "$extension_id;$edge_url" &&
        test "$(value "$firefox_settings\\talvenor@kestrane.com" install_url)" = "$firefox_url" &&
        test "$(value "$firefox_settings\\talvenor@kestrane.com" installation_mode)" = force_installed
}
check "without the properties the package writes no force-install policy" no_policy

installed_manifest=$prefix/drive_c/Program\ Files/ieTalvenor/com.kestrane.talvenor.json
rm -f "$installed_dll" "$installed_manifest"
check "repair succeeds" wine msiexec /i "$(windows_path "$msi")" REINSTALL=ALL REINSTALLMODE=omus /qn
check "repair brings the deleted DLL and manifest back" test -f "$installed_dll" -a -f "$installed_manifest"
check "after repair the members answer" members_answer "$prefix"
check_listed "after repair every host key names a good manifest" host_keys repaired

check "the upgrade to the next version succeeds" wine msiexec /i "$(windows_path "$next")" /qn
check "after the upgrade one entry is listed" entries_are /reg:64 1
listed_version() {
    wine reg query "$uninstall_key" /s | grep -q "DisplayVersion *REG_SZ *$1"
}
check "the entry is of the next version" listed_version 1.0.5
check "after the upgrade the members answer" members_answer "$prefix"
check_listed "after the upgrade every host key names a good manifest" host_keys upgraded

check "uninstall succeeds" wine msiexec /x "$(windows_path "$next")" /qn
check "uninstall removes both DLLs" test ! -e "$installed_dll" -a ! -e "$installed_dll32"
unregistered() {
    absent "$class_key" /reg:64 && absent "$class_key" /reg:32
}
check "uninstall removes the registration in both views" unregistered
check "uninstall removes the entry" entries_are /reg:64 0
check "uninstall keeps both tokens" test "$(token 'HKLM\SOFTWARE\Kestrane\RND')" = "$machine_token" \
    -a "$(token 'HKCU\Software\Kestrane\RND')" = "$user_token"
check_listed "uninstall removes every host key, the host and its manifests" host_keys removed --absent

# An administrator's own force-install entries, which the package must leave.
admin_entry="aaaabbbbccccddddeeeeffffgggghhhh;https://admin.example/update.xml"
wine reg add "$chrome_list" /v 1 /d "$admin_entry" /f /reg:64 >/dev/null
wine reg add "$firefox_settings\\other@admin.example" /v installation_mode /d blocked /f /reg:64 >/dev/null
admin_entries_kept() {
    test "$(value "$chrome_list" 1)" = "$admin_entry" &&
        test "$(value "$firefox_settings\\other@admin.example" installation_mode)" = blocked
}
check "an install with the policy properties succeeds" wine msiexec /i "$(windows_path "$msi")" \
    CHROME_EXTENSION_UPDATE_URL="$chrome_url" EDGE_EXTENSION_UPDATE_URL="$edge_url" \
    FIREFOX_EXTENSION_URL="$firefox_url" /qn
check "the properties write each browser's force-install policy" policies_written
check "the administrator's own entries are kept" admin_entries_kept
check "repair without the properties succeeds" \
    wine msiexec /i "$(windows_path "$msi")" REINSTALL=ALL REINSTALLMODE=omus /qn
check "repair keeps the policies" policies_written
check "the upgrade without the properties succeeds" wine msiexec /i "$(windows_path "$next")" /qn
check "the upgrade keeps the policies" policies_written
check "uninstall succeeds" wine msiexec /x "$(windows_path "$next")" /qn
check "uninstall removes the policies" no_policy
check "uninstall leaves the administrator's entries" admin_entries_kept

stop_prefix "$prefix"
finish_checks
