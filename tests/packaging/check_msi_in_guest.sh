#!/bin/sh
# The 32-bit product in the 32-bit test guest (scripts/guest/), in two fresh
# prefixes of one boot.
#   32-bit Windows (a 32-bit-only prefix): the x86 package installed silently
#   by msiexec, its DLL registered, the four members read through the script
#   host, every browser's native host key naming a manifest that names the
#   installed host (check_host_keys.py, tests/packaging/host-keys.txt), and
#   the package removed, keeping the machine key, leaving no host key and no
#   host or manifest.
#   64-bit Windows (a WoW64 prefix): the x86 package refused by msiexec,
#   leaving no class, no machine key and no folder; the DLL's own registration
#   with the 32-bit regsvr32, compared with the registration rows of the
#   packages; the x64 package installed, its 32-bit DLL registered in the
#   32-bit registry view and read through the 32-bit script host, and removed.
# Usage: tests/packaging/check_msi_in_guest.sh DIST
set -u
cd "$(dirname "$0")/../.."
. tests/packaging/checks.sh
start_checks guest-check "$1"

extension_id=$(bounded 60 "reading the CRX's id" python3 tests/packaging/check_extension_packages.py \
    --print-id "$dist")
x86_msi=$(windows_path "$(ls "$dist"/ieTalvenor-x86*.msi)")
x64_msi=$(windows_path "$(ls "$dist"/ieTalvenor-x64*.msi)")
dll=$(windows_path "$dist/x86/ieTalvenor.DLL")
example=$(windows_path "$(pwd)/examples/talvenor.js")
exports=$(windows_path "$(pwd)/$work")
class_key='HKCR\CLSID\{9BAC30D5-A416-40C2-810B-D55B31413BB4}'
# The keys registration makes, none of which a fresh prefix has.
subtrees='IeTalvenor.Talvenor
IeTalvenor.Talvenor.1
CLSID\{9BAC30D5-A416-40C2-810B-D55B31413BB4}
TypeLib\{3DFCA7D6-BD9A-4AE0-8887-B207E218D666}
Interface\{7D612352-681B-44B0-AE84-543B989C6DF0}
Component Categories\{7DD95801-9882-11CF-9FA9-00AA006C42C4}
Component Categories\{7DD95802-9882-11CF-9FA9-00AA006C42C4}'

# host_key_exports NAME: batch lines that export each key of
# tests/packaging/host-keys.txt of the 32-bit view (32-bit Windows has only
# that one) to $work/NAME-keys/host-key-N.reg, N numbering the table's rows
# as check_host_keys.py --list does, and copy the installed folder's files to
# $work/NAME-files; a key or folder that does not exist leaves nothing.
installed_folder='C:\Program Files\ieTalvenor'
host_key_exports() {
    mkdir -p "$work/$1-keys" "$work/$1-files"
    printf '%s\n' "echo step: reg export of the host keys"
    bounded 60 "check_host_keys.py --list" python3 tests/packaging/check_host_keys.py --list |
        while IFS='	' read -r number _ view key _; do
            [ "$view" = 32 ] || continue
            printf '%s\n' 'del C:\host-key.reg >nul 2>&1' \
                "reg export \"HKLM\\$key\" C:\\host-key.reg /y >nul 2>&1" \
                "if not errorlevel 1 copy /y C:\\host-key.reg \"$exports\\$1-keys\\host-key-$number.reg\" >nul"
        done
    printf '%s\n' "if exist \"$installed_folder\" copy /y \"$installed_folder\\*\" \"$exports\\$1-files\\\" >nul"
}

# The guest stops a batch at its time limit; each step says first that it
# starts, so that the output names the step that did not end.
cat >"$work/win32.bat" <<BATCH
@echo off
echo step: msiexec /i of the x86 package
start /wait msiexec /i "$x86_msi" /qn
echo install=%errorlevel%
echo step: reg query
reg query "$class_key\\InprocServer32" /ve
reg query "HKLM\\SOFTWARE\\Kestrane\\RND" >nul 2>&1
echo machine-key-query=%errorlevel%
echo step: cscript
C:\\windows\\system32\\cscript.exe //nologo "$example" abc
BATCH
host_key_exports installed >>"$work/win32.bat"
cat >>"$work/win32.bat" <<BATCH
echo step: msiexec /x of the x86 package
start /wait msiexec /x "$x86_msi" /qn
echo uninstall=%errorlevel%
reg query "$class_key" >nul 2>&1
echo class-query-after=%errorlevel%
reg query "HKLM\\SOFTWARE\\Kestrane\\RND" >nul 2>&1
echo machine-key-query-after=%errorlevel%
BATCH
host_key_exports removed >>"$work/win32.bat"
echo 'echo end=ok' >>"$work/win32.bat"

# On 64-bit Windows the refused x86 package comes first, while the prefix has
# none of the keys it would make.
cat >"$work/wow64.bat" <<BATCH
@echo off
echo step: msiexec /i of the x86 package
start /wait msiexec /i "$x86_msi" /qn
echo x86-install=%errorlevel%
reg query "$class_key" /reg:32 >nul 2>&1
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
} >>"$work/wow64.bat"
cat >>"$work/wow64.bat" <<BATCH
echo step: msiexec /i of the x64 package
start /wait msiexec /i "$x64_msi" /qn
echo install=%errorlevel%
echo step: reg query
reg query "$class_key\\InprocServer32" /ve /reg:32
echo step: cscript
C:\\windows\\syswow64\\cscript.exe //nologo "$example" abc
echo step: msiexec /x of the x64 package
start /wait msiexec /x "$x64_msi" /qn
echo uninstall=%errorlevel%
reg query "$class_key" /reg:32 >nul 2>&1
echo class-query-after=%errorlevel%
echo end=ok
BATCH

# run_batch NAME PREFIX_OPTION: the batch NAME.bat in a fresh prefix of the
# guest, its output in NAME.txt. guest.sh bounds each job itself; this bound
# is above its own, for a guest.sh that hangs.
state=$(pwd)/$work/guest
run_batch() {
    bounded 420 "the guest job $1.bat" scripts/guest/guest.sh run "$state" "$2" --timeout 300 \
        cmd /c "$(windows_path "$(pwd)/$work/$1.bat")" | tr -d '\r' >"$work/$1.txt"
    cat "$work/$1.txt"
}
# The first start may build the image.
if bounded 2400 "starting the test guest" scripts/guest/guest.sh start "$state" "$(pwd)" "$dist"; then
    run_batch win32 --fresh-win32-prefix
    run_batch wow64 --fresh-prefix
fi
bounded 120 "stopping the test guest" scripts/guest/guest.sh stop "$state"

# says BATCH PATTERN: the output of BATCH has a line that matches PATTERN.
says() {
    grep -Eq "$2" "$work/$1.txt" || {
        echo "no line of $1.bat's output matches /$2/"
        false
    }
}
ran_to_its_end() {
    says "$1" '^end=ok$' || {
        echo "$1.bat stopped in its step \"$(sed -n 's/^step: //p' "$work/$1.txt" | tail -n 1)\""
        false
    }
}
# reg query ends with 1 for a key it does not find.
check "32-bit Windows: the batch ran to its end" ran_to_its_end win32
check "32-bit Windows: msiexec installs the x86 package" says win32 '^install=0$'
check "32-bit Windows: the class is registered" \
    says win32 'REG_SZ +C:\\Program Files\\ieTalvenor\\ieTalvenor.DLL'
check "32-bit Windows: the package made the machine key" says win32 '^machine-key-query=0$'
check "32-bit Windows: the script host reads an identifier" \
    says win32 '^getID\("abc"\) = [0-9A-F]{74}$'
check "32-bit Windows: the script host reads the version" says win32 '^Version +=  ?1.0.0.4$'
check "32-bit Windows: msiexec removes the package" says win32 '^uninstall=0$'
check "32-bit Windows: the removal keeps the machine key" says win32 '^machine-key-query-after=0$'
check "32-bit Windows: the removal unregisters the class" says win32 '^class-query-after=1$'
# host_keys NAME [--absent]: the keys and files the batch copied at NAME.
host_keys() {
    name=$1
    shift
    bounded 60 "check_host_keys.py" python3 tests/packaging/check_host_keys.py --views 32 \
        --exports "$work/$name-keys" --map "$installed_folder=$work/$name-files" \
        --host "$installed_folder\\talvenor-host.exe" --extension-id "$extension_id" "$@"
}
check_listed "32-bit Windows: every browser's host key names a good manifest" host_keys installed
check_listed "32-bit Windows: the removal leaves no host key, host or manifest" host_keys removed --absent

check "64-bit Windows: the batch ran to its end" ran_to_its_end wow64
check "64-bit Windows: msiexec refuses the x86 package" says wow64 '^x86-install=1603$'
check "64-bit Windows: the refused x86 package registered no class" says wow64 '^x86-class-query=1$'
check "64-bit Windows: the refused x86 package made no machine key" \
    says wow64 '^x86-machine-key-query=1$'
check "64-bit Windows: the refused x86 package made no folder" says wow64 '^x86-folder=absent$'
check "64-bit Windows: the 32-bit regsvr32 registers the DLL" says wow64 '^regsvr32=0$'
check "64-bit Windows: the DLL's own registration matches the rows" \
    bounded 60 "check_registration_rows.py" python3 tests/packaging/check_registration_rows.py \
    --exports "$dll" win32 "$work"/registered-*.reg
check "64-bit Windows: msiexec installs the x64 package" says wow64 '^install=0$'
check "64-bit Windows: its 32-bit DLL is registered in the 32-bit view" \
    says wow64 'REG_SZ +C:\\Program Files \(x86\)\\ieTalvenor\\ieTalvenor.DLL'
check "64-bit Windows: the 32-bit script host reads an identifier" \
    says wow64 '^getID\("abc"\) = [0-9A-F]{74}$'
check "64-bit Windows: the 32-bit script host reads the version" \
    says wow64 '^Version +=  ?1.0.0.4$'
check "64-bit Windows: msiexec removes the package" says wow64 '^uninstall=0$'
check "64-bit Windows: the removal unregisters the 32-bit class" says wow64 '^class-query-after=1$'
finish_checks
