#!/bin/sh
# Checks the release files that scripts/package.sh wrote into DIST: the sums,
# every Authenticode signature (and that one changed byte breaks it), the
# stripped DLLs and their linked debug information, what the packages hold
# (read statically, with check_package_tables.py), that the CAB's INF, the
# install page and the DLL agree on class and version, and that the stripped,
# signed 64-bit DLL still registers and answers a script under wine64.
# Usage: tests/packaging/check_release.sh DIST
set -u
cd "$(dirname "$0")/../.."
. tests/packaging/checks.sh
start_checks check "$1"

# The test certificate of an unsigned run, else the system's trust store.
ca_option=""
if [ -f "$dist/test-certificate.pem" ]; then
    ca_option="-CAfile $dist/test-certificate.pem"
fi
verify() {
    # shellcheck disable=SC2086
    bounded 60 "osslsigncode verify $1" osslsigncode verify $ca_option -in "$1"
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

for file in "$dist"/x86/ieTalvenor.DLL "$dist"/x64/ieTalvenor.DLL "$dist"/verifier/*.exe \
    "$dist"/*.msi "$dist"/ieTalvenor.cab; do
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

# What the packages hold, read from their tables.
for msi in "$dist"/ieTalvenor-x86*.msi "$dist"/ieTalvenor-x64*.msi; do
    name=$(basename "$msi")
    bounded 60 "msiinfo export $name Property" msiinfo export "$msi" Property |
        tr -d '\r' >"$work/Property.txt"
    check "$name: installs per machine" grep -q '^ALLUSERS	1' "$work/Property.txt"
    check "$name: version 1.0.0.4 is package version 1.0.4" \
        grep -q '^ProductVersion	1.0.4' "$work/Property.txt"
done
check_listed "the machine key and its access list; the x86 package's refusal of 64-bit Windows" \
    bounded 120 "check_package_tables.py" python3 tests/packaging/check_package_tables.py \
    "$(ls "$dist"/ieTalvenor-x86*.msi)" "$(ls "$dist"/ieTalvenor-x64*.msi)"

# The download route: the CAB's INF, the page and the DLL's version resource.
mkdir -p "$work/cab"
cab_holds_dll_and_inf() {
    (cd "$work/cab" && bounded 60 "gcab -x ieTalvenor.cab" gcab -x "$dist/ieTalvenor.cab") &&
        cmp "$work/cab/ieTalvenor.DLL" "$dist/x86/ieTalvenor.DLL" && test -f "$work/cab/ieTalvenor.inf"
}
check "the CAB holds the DLL and its INF" cab_holds_dll_and_inf
check "the INF, the page and the DLL name one class and version 1,0,0,4" \
    bounded 60 "check_download_route.py" python3 tests/packaging/check_download_route.py \
    "$work/cab/ieTalvenor.inf" "$dist/install.html" "$dist/x86/ieTalvenor.DLL"

# Both pages in a browser without ActiveX (headless Chromium), after their
# scripts ran: the install page says plainly that the control cannot be
# installed there; the example page, opened from a file, reports the page
# library's error for a page of an opaque origin, which the extension never
# answers.
page_says() {
    bounded 60 "chromium opening $1" \
        chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$work/chromium" --dump-dom "file://$1" |
        grep -q "<p id=\"status\" class=\"problem\">$2"
}
check "the install page says this browser cannot install the control" \
    page_says "$dist/install.html" "This browser cannot install or run ActiveX controls"
check "the example page, opened from a file, says the site is not allowed" \
    page_says "$(pwd)/examples/talvenor.html" "This site is not allowed to read the ieTalvenor values. (site-not-allowed)"

# The shipped 64-bit DLL, registered in a fresh prefix, read by the example script.
prefix=$(pwd)/$work/prefix
new_prefix "$prefix"
check "x64: the shipped DLL registers with regsvr32" \
    wine_in "$prefix" regsvr32 /s "$(windows_path "$dist/x64/ieTalvenor.DLL")"
check "x64: the shipped DLL answers the example script" members_answer "$prefix"
stop_prefix "$prefix"

finish_checks
