#!/bin/sh
# Builds the release files into dist/:
#   x86/ieTalvenor.DLL   the 32-bit product, optimised, stripped and signed,
#   x64/ieTalvenor.DLL   the 64-bit build, likewise,
#       each with its debug information in ieTalvenor.DLL.debug beside it,
#       linked from the DLL by name (.gnu_debuglink);
#   x86/talvenor-host.exe, x64/talvenor-host.exe
#                        the native host for each, stripped and signed;
#   ieTalvenor-x86.msi   the 32-bit product and host for 32-bit Windows, per
#                        machine,
#   ieTalvenor-x64.msi   the 64-bit build and the 32-bit product for 64-bit
#                        Windows, each registered in its own registry view,
#                        and the 64-bit host (packaging/build-msi.sh); both
#                        register the host for Chrome, Edge and Firefox;
#   ieTalvenor.crx       the extension for Chrome and Edge, a CRX3 signed by
#                        Chromium's own packer, and ieTalvenor-update.xml, the
#                        update manifest that self-hosts it;
#   ieTalvenor.xpi       the extension for Firefox, unsigned;
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
#
# The CRX is signed with TALVENOR_EXTENSION_KEY (an RSA private key, PKCS#8
# PEM), the key whose public half extension/manifest.json carries, so that the
# CRX has the extension's published id. Without it a test key is made on the
# spot: the output says so, the files go into the test folder above, the CRX
# is named ieTalvenor-TEST-SIGNED.crx and its id is another one, which the
# packages' host manifest and policies then name. TALVENOR_CRX_URL is where
# the administrator will publish the CRX, the codebase of the update manifest
# (by default a placeholder under https://extensions.example/).
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

loud() {
    say "******************************************************************"
    for line in "$@"; do
        say "$line"
    done
    say "******************************************************************"
}

# What was signed with a key made here, one line each.
test_signed=""
if [ -n "${TALVENOR_SIGN_CERT:-}" ] && [ -n "${TALVENOR_SIGN_KEY:-}" ]; then
    certificate=$TALVENOR_SIGN_CERT
    key=$TALVENOR_SIGN_KEY
    say "signing with $certificate"
else
    certificate=$work/test-certificate.pem
    key=$work/test-key.pem
    openssl req -x509 -newkey rsa:3072 -nodes -days 30 -subj "/CN=ieTalvenor TEST SIGNING ONLY" \
        -keyout "$key" -out "$certificate" 2>/dev/null
    test_signed="Signed with a test certificate made by scripts/package.sh: not for release."
    loud "NO RELEASE CERTIFICATE (TALVENOR_SIGN_CERT, TALVENOR_SIGN_KEY):" \
        "signing with a TEST certificate made now; NOT FOR RELEASE"
fi

# id_of_der: the id of an extension whose DER public key is on the input,
# the first 32 hexadecimal digits of its SHA-256, each written as a letter
# (0-f as a-p).
id_of_der() {
    sha256sum | cut -c1-32 | tr 0-9a-f a-p
}
# id_of_key PEM: the id of an extension signed with the private key PEM.
id_of_key() {
    openssl pkey -in "$1" -pubout -outform DER | id_of_der
}
# The id that the key in extension/manifest.json (base64 of the DER public
# key) gives the unpacked extension.
published_key=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["key"])' \
    extension/manifest.json)
published_id=$(printf '%s' "$published_key" | base64 -d | id_of_der)
if [ -n "${TALVENOR_EXTENSION_KEY:-}" ]; then
    extension_key=$TALVENOR_EXTENSION_KEY
    extension_id=$(id_of_key "$extension_key")
    if [ "$extension_id" != "$published_id" ]; then
        echo "package: TALVENOR_EXTENSION_KEY gives the extension id $extension_id, not $published_id," >&2
        echo "package: the id of the key in extension/manifest.json that policies and pages name" >&2
        exit 1
    fi
    say "signing the extension with $extension_key (id $extension_id)"
else
    extension_key=$work/extension-test-key.pem
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$extension_key" 2>/dev/null
    extension_id=$(id_of_key "$extension_key")
    test_signed="$test_signed
The extension is signed with a test key made by scripts/package.sh: its id $extension_id is not the published $published_id."
    loud "NO EXTENSION KEY (TALVENOR_EXTENSION_KEY): signing the CRX with a TEST key" \
        "made now, id $extension_id instead of $published_id; NOT FOR RELEASE"
fi

if [ -z "$test_signed" ]; then
    dist=dist
    marker=""
else
    dist=dist/TEST-SIGNED-NOT-FOR-RELEASE
    marker=-TEST-SIGNED
fi
mkdir -p "$dist"
if [ "$dist" != dist ]; then
    cp "$certificate" "$dist/test-certificate.pem"
    printf '%s\n' "$test_signed" >"$dist/TEST-SIGNED-NOT-FOR-RELEASE.txt"
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

# The optimised build of the DLL, the host and the verifier for one Windows
# target, without the test programs.
for target in x86:mingw-i686:i686 x64:mingw-x86_64:x86_64; do
    folder=${target%%:*}
    rest=${target#*:}
    toolchain=${rest%%:*}
    triple=${rest#*:}-w64-mingw32
    build=$work/build-$folder
    cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target ieTalvenor talvenor-host talvenor-verify >/dev/null

    mkdir -p "$dist/$folder" "$dist/verifier"
    dll=$dist/$folder/ieTalvenor.DLL
    "$triple-objcopy" --only-keep-debug "$build/module/ieTalvenor.DLL" "$dll.debug"
    "$triple-objcopy" --strip-all --add-gnu-debuglink="$dll.debug" \
        "$build/module/ieTalvenor.DLL" "$dll"
    sign "$dll"
    say "$dll: $(stat -c %s "$dll") bytes stripped ($(stat -c %s "$dll.debug") bytes of debug information)"

    host=$dist/$folder/talvenor-host.exe
    "$triple-strip" -o "$host" "$build/host/talvenor-host.exe"
    sign "$host"

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
    packaging/build-msi.sh "$arch" "$version" "$msi" "$extension_id" "$dist/$arch/talvenor-host.exe" \
        "$dist/x86/ieTalvenor.DLL" $dll64
    sign "$msi"
done

# The extension for Chrome and Edge: a CRX3 packed and signed by Chromium, with
# the signing key's public half as the manifest's key (the browsers take the
# CRX's id from its signature).
crx_source=$work/ieTalvenor
mkdir -p "$crx_source"
cp extension/* "$crx_source/"
rm -f "$crx_source/manifest-firefox.json"
openssl pkey -in "$extension_key" -pubout -outform DER | base64 -w0 >"$work/extension-public-key"
python3 -c '
import json, sys
manifest = json.load(open(sys.argv[1]))
manifest["key"] = open(sys.argv[2]).read()
json.dump(manifest, open(sys.argv[1], "w"), indent=2)' "$crx_source/manifest.json" "$work/extension-public-key"
if ! timeout -k 10 120 chromium --headless=new --no-sandbox --disable-gpu --no-first-run \
    --user-data-dir="$work/packer-profile" --pack-extension="$crx_source" \
    --pack-extension-key="$extension_key" >"$work/packer.log" 2>&1 || [ ! -f "$work/ieTalvenor.crx" ]; then
    tail -n 15 "$work/packer.log" >&2
    echo "package: Chromium's packer failed or did not end within 120 s" >&2
    exit 1
fi
crx=ieTalvenor$marker.crx
install -m 644 "$work/ieTalvenor.crx" "$dist/$crx"
say "$dist/$crx: extension id $extension_id"

# The update manifest through which Chrome and Edge install and update the
# CRX from the administrator's own server.
crx_url=${TALVENOR_CRX_URL:-https://extensions.example/ieTalvenor/$crx}
extension_version=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["version"])' \
    extension/manifest.json)
cat >"$dist/ieTalvenor-update.xml" <<XML
<?xml version='1.0' encoding='UTF-8'?>
<gupdate xmlns='http://www.google.com/update2/response' protocol='2.0'>
  <app appid='$extension_id'>
    <updatecheck codebase='$crx_url' version='$extension_version' />
  </app>
</gupdate>
XML
if [ -z "${TALVENOR_CRX_URL:-}" ]; then
    say "the update manifest names the placeholder $crx_url: set TALVENOR_CRX_URL"
fi

# The extension for Firefox: the same files with the Firefox manifest.
xpi_source=$work/ieTalvenor-firefox
mkdir -p "$xpi_source"
cp extension/* "$xpi_source/"
mv "$xpi_source/manifest-firefox.json" "$xpi_source/manifest.json"
python3 -c '
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[2], "w", zipfile.ZIP_DEFLATED) as xpi:
    for name in sorted(os.listdir(sys.argv[1])):
        xpi.write(os.path.join(sys.argv[1], name), name)' "$xpi_source" "$dist/ieTalvenor.xpi"

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
