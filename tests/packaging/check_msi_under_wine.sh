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
# The same files as a package of the next component version.
next=$(pwd)/$work/ieTalvenor-x64-next.msi
bounded 300 "building the x64 package of the next version" packaging/build-msi.sh x64 1.0.0.5 \
    "$next" "$dist/x86/ieTalvenor.DLL" "$dist/x64/ieTalvenor.DLL"

prefix=$(pwd)/$work/prefix
new_prefix "$prefix"
wine() {
    wine_in "$prefix" "$@"
}
installed_dll=$prefix/drive_c/Program\ Files/ieTalvenor/ieTalvenor.DLL
installed_dll32=$prefix/drive_c/Program\ Files\ \(x86\)/ieTalvenor/ieTalvenor.DLL
class_key='HKCR\CLSID\{9BAC30D5-A416-40C2-810B-D55B31413BB4}'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

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

rm -f "$installed_dll"
check "repair succeeds" wine msiexec /i "$(windows_path "$msi")" REINSTALL=ALL REINSTALLMODE=omus /qn
check "repair brings the deleted DLL back" test -f "$installed_dll"
check "after repair the members answer" members_answer "$prefix"

check "the upgrade to the next version succeeds" wine msiexec /i "$(windows_path "$next")" /qn
check "after the upgrade one entry is listed" entries_are /reg:64 1
listed_version() {
    wine reg query "$uninstall_key" /s | grep -q "DisplayVersion *REG_SZ *$1"
}
check "the entry is of the next version" listed_version 1.0.5
check "after the upgrade the members answer" members_answer "$prefix"

check "uninstall succeeds" wine msiexec /x "$(windows_path "$next")" /qn
check "uninstall removes both DLLs" test ! -e "$installed_dll" -a ! -e "$installed_dll32"
# reg query ends with 1 for a key it does not find (not with a time-out's 124).
absent() {
    wine reg query "$@"
    [ $? -eq 1 ]
}
unregistered() {
    absent "$class_key" /reg:64 && absent "$class_key" /reg:32
}
check "uninstall removes the registration in both views" unregistered
check "uninstall removes the entry" entries_are /reg:64 0
check "uninstall keeps both tokens" test "$(token 'HKLM\SOFTWARE\Kestrane\RND')" = "$machine_token" \
    -a "$(token 'HKCU\Software\Kestrane\RND')" = "$user_token"

stop_prefix "$prefix"
finish_checks
