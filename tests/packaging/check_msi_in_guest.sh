#!/bin/sh
# The x86 package in the 32-bit test guest (scripts/guest/), in a fresh WoW64
# prefix: installed silently by msiexec, registered in the 32-bit registry
# view, the four members read through the 32-bit script host, then removed.
# Usage: tests/packaging/check_msi_in_guest.sh DIST
set -u
cd "$(dirname "$0")/../.."
. tests/packaging/checks.sh
start_checks guest-check "$1"

msi=$(windows_path "$(ls "$dist"/ieTalvenor-x86*.msi)")
example=$(windows_path "$(pwd)/examples/talvenor.js")
cat >"$work/x86-msi.bat" <<BATCH
@echo off
start /wait msiexec /i "$msi" /qn
echo install=%errorlevel%
reg query "HKCR\\CLSID\\{9BAC30D5-A416-40C2-810B-D55B31413BB4}\\InprocServer32" /ve /reg:32
C:\\windows\\syswow64\\cscript.exe //nologo "$example" abc
start /wait msiexec /x "$msi" /qn
echo uninstall=%errorlevel%
C:\\windows\\syswow64\\cscript.exe //nologo "$example" abc
echo end=ok
BATCH

state=$(pwd)/$work/guest
output=$work/output.txt
if scripts/guest/guest.sh start "$state" "$(pwd)" "$dist"; then
    scripts/guest/guest.sh run "$state" --fresh-prefix --timeout 300 \
        cmd /c "$(windows_path "$(pwd)/$work/x86-msi.bat")" | tr -d '\r' >"$output"
    scripts/guest/guest.sh stop "$state"
fi
cat "$output" 2>/dev/null

says() {
    grep -Eq "$1" "$output"
}
check "the batch ran to its end" says '^end=ok$'
check "msiexec installs the x86 package" says '^install=0$'
check "the class is registered in the 32-bit view" \
    says 'REG_SZ +C:\\Program Files \(x86\)\\ieTalvenor\\ieTalvenor.DLL'
check "the 32-bit script host reads an identifier" says '^getID\("abc"\) = [0-9A-F]{74}$'
check "the 32-bit script host reads the version" says '^Version +=  ?1.0.0.4$'
check "msiexec removes the package" says '^uninstall=0$'
check "afterwards the component is gone" says 'component is not installed'
finish_checks
