#!/bin/sh
# The 32-bit product in the 32-bit test guest (scripts/guest/), in a fresh
# WoW64 prefix, which is 64-bit Windows: first the x86 package refused by
# msiexec, leaving no class, no machine key and no folder; then the DLL's own
# registration with the 32-bit regsvr32, compared with the registration rows
# of the packages; then the x64 package installed silently, its 32-bit DLL
# registered in the 32-bit registry view and read through the 32-bit script
# host, and the package removed.
# Usage: tests/packaging/check_msi_in_guest.sh DIST
set -u
cd "$(dirname "$0")/../.."
. tests/packaging/checks.sh
start_checks guest-check "$1"

x86_msi=$(windows_path "$(ls "$dist"/ieTalvenor-x86*.msi)")
x64_msi=$(windows_path "$(ls "$dist"/ieTalvenor-x64*.msi)")
dll=$(windows_path "$dist/x86/ieTalvenor.DLL")
example=$(windows_path "$(pwd)/examples/talvenor.js")
exports=$(windows_path "$(pwd)/$work")
# The keys registration makes, none of which a fresh prefix has.
subtrees='IeTalvenor.Talvenor
IeTalvenor.Talvenor.1
CLSID\{9BAC30D5-A416-40C2-810B-D55B31413BB4}
TypeLib\{3DFCA7D6-BD9A-4AE0-8887-B207E218D666}
Interface\{7D612352-681B-44B0-AE84-543B989C6DF0}
Component Categories\{7DD95801-9882-11CF-9FA9-00AA006C42C4}
Component Categories\{7DD95802-9882-11CF-9FA9-00AA006C42C4}'
# The guest stops the batch at its time limit; each step says first that it
# starts, so that the output names the step that did not end. The refused
# x86 package comes first, while the prefix has none of the keys it makes.
cat >"$work/x86-msi.bat" <<BATCH
@echo off
echo step: msiexec /i of the x86 package
start /wait msiexec /i "$x86_msi" /qn
echo x86-install=%errorlevel%
reg query "HKCR\\CLSID\\{9BAC30D5-A416-40C2-810B-D55B31413BB4}" /reg:32 >nul 2>&1
echo x86-class-query=%errorlevel%
reg query "HKLM\\SOFTWARE\\Kestrane" /reg:32 >nul 2>&1
echo x86-machine-key-query=%errorlevel%
if exist "C:\\Program Files (x86)\\ieTalvenor" (echo x86-folder=present) else (echo x86-folder=absent)
BATCH
{
    # printf, not echo: the shell's echo would read "\r" in "C:\registered.reg".
    printf '%s\n' 'echo step: regsvr32' "C:\\windows\\syswow64\\regsvr32.exe /s \"$dll\"" \
        'echo regsvr32=%errorlevel%' 'echo step: reg export of the registration'
    # Each exported to the guest's own disk, then copied: many small writes
    # to the shared folder are slow.
    number=0
    printf '%s\n' "$subtrees" | while read -r subtree; do
        number=$((number + 1))
        printf '%s\n' \
            "reg export \"HKLM\\Software\\Classes\\$subtree\" C:\\registered.reg /reg:32 /y >nul" \
            "copy /y C:\\registered.reg \"$exports\\registered-$number.reg\" >nul"
    done
    printf '%s\n' 'echo step: regsvr32 /u' "C:\\windows\\syswow64\\regsvr32.exe /s /u \"$dll\""
} >>"$work/x86-msi.bat"
cat >>"$work/x86-msi.bat" <<BATCH
echo step: msiexec /i of the x64 package
start /wait msiexec /i "$x64_msi" /qn
echo install=%errorlevel%
echo step: reg query
reg query "HKCR\\CLSID\\{9BAC30D5-A416-40C2-810B-D55B31413BB4}\\InprocServer32" /ve /reg:32
echo step: cscript
C:\\windows\\syswow64\\cscript.exe //nologo "$example" abc
echo step: msiexec /x
start /wait msiexec /x "$x64_msi" /qn
echo uninstall=%errorlevel%
echo step: cscript after removal
C:\\windows\\syswow64\\cscript.exe //nologo "$example" abc
echo end=ok
BATCH

state=$(pwd)/$work/guest
output=$work/output.txt
# guest.sh bounds the guest's boot and each job itself; these bounds are
# above its own, for a guest.sh that hangs (the first start may build the image).
if bounded 1800 "starting the test guest" scripts/guest/guest.sh start "$state" "$(pwd)" "$dist"; then
    bounded 420 "the guest job x86-msi.bat" scripts/guest/guest.sh run "$state" --fresh-prefix \
        --timeout 300 cmd /c "$(windows_path "$(pwd)/$work/x86-msi.bat")" | tr -d '\r' >"$output"
fi
bounded 120 "stopping the test guest" scripts/guest/guest.sh stop "$state"
cat "$output" 2>/dev/null

says() {
    grep -Eq "$1" "$output"
}
ran_to_its_end() {
    says '^end=ok$' || {
        echo "the batch stopped in its step \"$(sed -n 's/^step: //p' "$output" | tail -n 1)\""
        false
    }
}
check "the batch ran to its end" ran_to_its_end
check "msiexec refuses the x86 package on 64-bit Windows" says '^x86-install=1603$'
# reg query ends with 1 for a key it does not find.
check "the refused x86 package registered no class" says '^x86-class-query=1$'
check "the refused x86 package made no machine key" says '^x86-machine-key-query=1$'
check "the refused x86 package made no folder" says '^x86-folder=absent$'
check "the 32-bit regsvr32 registers the DLL" says '^regsvr32=0$'
check "the DLL's own registration matches the rows" bounded 60 "check_registration_rows.py" \
    python3 tests/packaging/check_registration_rows.py --exports "$dll" win32 "$work"/registered-*.reg
check "msiexec installs the x64 package" says '^install=0$'
check "its 32-bit DLL is registered in the 32-bit view" \
    says 'REG_SZ +C:\\Program Files \(x86\)\\ieTalvenor\\ieTalvenor.DLL'
check "the 32-bit script host reads an identifier" says '^getID\("abc"\) = [0-9A-F]{74}$'
check "the 32-bit script host reads the version" says '^Version +=  ?1.0.0.4$'
check "msiexec removes the package" says '^uninstall=0$'
check "afterwards the component is gone" says 'component is not installed'
finish_checks
