#!/bin/sh
# Builds the release files into dist/:
#   x86/ieTalvenor.DLL   the 32-bit product, optimised, stripped and signed,
#   x64/ieTalvenor.DLL   the 64-bit build, likewise,
#       each with its debug information in ieTalvenor.DLL.debug beside it,
#       linked from the DLL by name (.gnu_debuglink);
#   ieTalvenor-x86.msi   the 32-bit product for 32-bit Windows, per machine,
#   ieTalvenor-x64.msi   the 64-bit build and the 32-bit product for 64-bit
#                        Windows, each registered in its own registry view
#                        (packaging/build-msi.sh);
#   ieTalvenor.cab       the 32-bit product with its INF for the browser's
#                        download route, and install.html, a page that names it
#                        in <object codebase>;
#   verifier/            talvenor-verify for Linux (x86_64) and Windows;
#   SHA256SUMS           the SHA-256 sum of every file above.
#
# Signing (Authenticode, osslsigncode): with TALVENOR_SIGN_CERT and
# TALVENOR_SIGN_KEY (PEM files; TALVENOR_SIGN_PASSWORD for an encrypted key)
# the release certificate is used, and TALVENOR_TIMESTAMP_URL, when given,
# time-stamps the signatures. Without them a test certificate is made on the
# spot: the output says so loudly, the folder is dist/TEST-SIGNED-NOT-FOR-RELEASE,
# a file of that name lies in it, the packages are named
# ieTalvenor-ARCH-TEST-SIGNED.msi and the certificate's name says TEST SIGNING
# ONLY, so that such a build can never be mistaken for a release.
# Usage: scripts/package.sh
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh --package

work=build/package
rm -rf "$work" dist
mkdir -p "$work"

say() {
    echo "package: $*"
}

if [ -n "${TALVENOR_SIGN_CERT:-}" ] && [ -n "${TALVENOR_SIGN_KEY:-}" ]; then
    certificate=$TALVENOR_SIGN_CERT
    key=$TALVENOR_SIGN_KEY
    dist=dist
    marker=""
    say "signing with $certificate"
else
    certificate=$work/test-certificate.pem
    key=$work/test-key.pem
    openssl req -x509 -newkey rsa:3072 -nodes -days 30 -subj "/CN=ieTalvenor TEST SIGNING ONLY" \
        -keyout "$key" -out "$certificate" 2>/dev/null
    dist=dist/TEST-SIGNED-NOT-FOR-RELEASE
    marker=-TEST-SIGNED
    say "******************************************************************"
    say "NO RELEASE CERTIFICATE (TALVENOR_SIGN_CERT, TALVENOR_SIGN_KEY):"
    say "signing with a TEST certificate made now; NOT FOR RELEASE"
    say "******************************************************************"
fi
mkdir -p "$dist"
if [ "$dist" != dist ]; then
    cp "$certificate" "$dist/test-certificate.pem"
    echo "Signed with a test certificate made by scripts/package.sh: not for release." \
        >"$dist/TEST-SIGNED-NOT-FOR-RELEASE.txt"
fi

# Signs `file` in place.
sign() {
    set -- "$1" -certs "$certificate" -key "$key" -h sha256 -n "ieTalvenor"
    if [ -n "${TALVENOR_SIGN_PASSWORD:-}" ]; then
        set -- "$@" -pass "$TALVENOR_SIGN_PASSWORD"
    fi
    if [ -n "${TALVENOR_TIMESTAMP_URL:-}" ]; then
        set -- "$@" -ts "$TALVENOR_TIMESTAMP_URL"
    fi
    file=$1
    shift
    osslsigncode sign "$@" -in "$file" -out "$file.signed" >/dev/null
    mv "$file.signed" "$file"
}

# The optimised build of the DLL and the verifier for one Windows target,
# without the test programs.
for target in x86:mingw-i686:i686 x64:mingw-x86_64:x86_64; do
    folder=${target%%:*}
    rest=${target#*:}
    toolchain=${rest%%:*}
    triple=${rest#*:}-w64-mingw32
    build=$work/build-$folder
    cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target ieTalvenor talvenor-verify >/dev/null

    mkdir -p "$dist/$folder" "$dist/verifier"
    dll=$dist/$folder/ieTalvenor.DLL
    "$triple-objcopy" --only-keep-debug "$build/module/ieTalvenor.DLL" "$dll.debug"
    "$triple-objcopy" --strip-all --add-gnu-debuglink="$dll.debug" \
        "$build/module/ieTalvenor.DLL" "$dll"
    sign "$dll"
    say "$dll: $(stat -c %s "$dll") bytes stripped ($(stat -c %s "$dll.debug") bytes of debug information)"

    verifier=$dist/verifier/talvenor-verify-windows-$folder.exe
    "$triple-strip" -o "$verifier" "$build/verifier/talvenor-verify.exe"
    sign "$verifier"
done

build=$work/build-linux
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target talvenor-verify >/dev/null
strip -o "$dist/verifier/talvenor-verify-linux-x86_64" "$build/verifier/talvenor-verify"

# The component version, from the top CMakeLists.txt.
version=$(sed -n 's/^project(ieTalvenor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for arch in x86 x64; do
    dll64=""
    [ "$arch" = x64 ] && dll64=$dist/x64/ieTalvenor.DLL
    msi=$dist/ieTalvenor-$arch$marker.msi
    packaging/build-msi.sh "$arch" "$version" "$msi" "$dist/x86/ieTalvenor.DLL" $dll64
    sign "$msi"
done

mkdir -p "$work/cab"
cp "$dist/x86/ieTalvenor.DLL" packaging/ieTalvenor.inf "$work/cab/"
(cd "$work/cab" && gcab -c -z ieTalvenor.cab ieTalvenor.DLL ieTalvenor.inf)
cp "$work/cab/ieTalvenor.cab" "$dist/ieTalvenor.cab"
sign "$dist/ieTalvenor.cab"
cp examples/install.html "$dist/install.html"

(cd "$dist" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort |
    xargs sha256sum >SHA256SUMS)
say "wrote $dist:"
(cd "$dist" && find . -type f | LC_ALL=C sort | while read -r file; do
    printf '  %9s  %s\n' "$(stat -c %s "$file")" "${file#./}"
done)
