#!/bin/sh
# A job run with --fresh-win32-prefix sees 32-bit Windows: an x86 processor
# and no WoW64 (neither the 64-bit architecture behind it nor a syswow64
# folder), with the same C: serial as every prefix of the tests; a job in the
# shared prefix, for contrast, sees a WoW64 machine.
# Usage: win32_prefix_test.sh GUEST_SH STATE_DIR SCRATCH_DIR
# (a running guest of STATE_DIR that shares SCRATCH_DIR's parent)
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/expect.sh"
guest=$1
state=$2
scratch=$3
enter_empty_folder "$scratch"

printf '%s\r\n' '@echo off' \
    'echo arch=%PROCESSOR_ARCHITECTURE% wow=%PROCESSOR_ARCHITEW6432%' \
    'if exist C:\windows\syswow64 (echo syswow64=yes) else (echo syswow64=no)' \
    'vol C:' >probe.bat
probe=$(printf 'Z:%s/probe.bat' "$scratch" | sed 's|/|\\|g')
# Wine writes the serial's two halves in lower case.
serial=$(sed 's/^\(....\)\(....\)$/\1-\2/' "$here/../../scripts/volume-serial" | tr 'A-F' 'a-f')

"$guest" run "$state" --fresh-win32-prefix --timeout 300 cmd /c "$probe" | tr -d '\r' >win32.txt
"$guest" run "$state" --timeout 300 cmd /c "$probe" | tr -d '\r' >shared.txt
cat win32.txt shared.txt

expect "the 32-bit prefix's processor is x86, without WoW64" says win32.txt '^arch=x86 wow=$'
expect "the 32-bit prefix has no syswow64 folder" says win32.txt '^syswow64=no$'
expect "the 32-bit prefix has the fixed C: serial" says win32.txt "Serial Number is $serial\$"
expect "the shared prefix is WoW64" says shared.txt '^arch=x86 wow=AMD64$'
expect "the shared prefix has a syswow64 folder" says shared.txt '^syswow64=yes$'
expect "the shared prefix has the fixed C: serial" says shared.txt "Serial Number is $serial\$"
finish
