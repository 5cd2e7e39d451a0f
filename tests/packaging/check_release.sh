#!/bin/sh
# Checks the release files that scripts/package.sh wrote into DIST: the sums,
# every Authenticode signature (and that one changed byte breaks it), the
# stripped DLLs and their linked debug information, and that the stripped,
# signed 64-bit DLL still registers and answers a script under wine64.
# Usage: tests/packaging/check_release.sh DIST
set -u
cd "$(dirname "$0")/../.."
dist=$(cd "$1" && pwd)
work=build/package/check
rm -rf "$work"
mkdir -p "$work"
passed=0
failed=0

check() {
    description=$1
    shift
    if "$@" >"$work/last.log" 2>&1; then
        passed=$((passed + 1))
        echo "ok: $description"
    else
        failed=$((failed + 1))
        echo "FAILED: $description"
        sed 's/^/    /' "$work/last.log" | tail -n 15
    fi
}

fails() {
    ! "$@"
}

# The test certificate of an unsigned run, else the system's trust store.
ca_option=""
if [ -f "$dist/test-certificate.pem" ]; then
    ca_option="-CAfile $dist/test-certificate.pem"
fi
verify() {
    # shellcheck disable=SC2086
    osslsigncode verify $ca_option -in "$1"
}

# A copy of `file` with the byte at the middle of the file inverted.
changed_copy() {
    copy=$work/changed-$(basename "$1")
    python3 -c "
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
data[len(data) // 2] ^= 0xFF
open(sys.argv[2], 'wb').write(data)" "$1" "$copy"
    echo "$copy"
}

check "the sums match" sh -c "cd '$dist' && sha256sum --check --quiet SHA256SUMS"

for file in "$dist"/x86/ieTalvenor.DLL "$dist"/x64/ieTalvenor.DLL "$dist"/verifier/*.exe; do
    name=${file#"$dist"/}
    check "$name: signature verifies" verify "$file"
    check "$name: a changed byte breaks the signature" fails verify "$(changed_copy "$file")"
done

for folder in x86 x64; do
    dll=$dist/$folder/ieTalvenor.DLL
    check "$folder: the DLL has no debug sections" \
        sh -c "! x86_64-w64-mingw32-objdump -h '$dll' | grep -q ' \.debug_'"
    check "$folder: the DLL names its debug file" \
        sh -c "x86_64-w64-mingw32-objcopy --dump-section .gnu_debuglink='$work/link' '$dll' '$work/ignored' &&
               grep -q 'ieTalvenor.DLL.debug' '$work/link'"
    check "$folder: the debug file carries the debug information" \
        sh -c "x86_64-w64-mingw32-objdump -h '$dll.debug' | grep -q ' \.debug_info'"
done

# The shipped 64-bit DLL, registered in a fresh prefix, read by the example script.
prefix=$(pwd)/$work/prefix
windows_path() {
    printf 'Z:%s' "$1" | tr '/' '\\'
}
scripts/wine-prefix.sh create "$prefix"
check "x64: the shipped DLL registers with regsvr32" \
    scripts/wine-run.sh "$prefix" regsvr32 /s "$(windows_path "$dist/x64/ieTalvenor.DLL")"
check "x64: the shipped DLL answers the example script" \
    sh -c "scripts/wine-run.sh '$prefix' cscript //nologo '$(windows_path "$(pwd)/examples/talvenor.js")' abc |
           grep -q '^Version *= 1.0.0.4'"
scripts/wine-prefix.sh stop "$prefix"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
