#!/bin/sh
# Installs the build and test tools that are missing, and only those.
# Safe to run again: a machine that has everything is left untouched.
# Usage: install-deps.sh [--guest] [--package] [--browser]
#   --guest:   also what the 32-bit tests need, which run in a QEMU guest whose
#              image is built with debootstrap (scripts/guest/)
#   --package: also the packaging and signing tools, for the release files
#              (scripts/package.sh), and a browser without ActiveX for their tests
#   --browser: also what the browser tests need (tests/browser/): Chromium,
#              Firefox ESR, and Debian's websocket client for Python, which
#              drives them through their remote protocols (DevTools, WebDriver
#              BiDi)
set -eu

# libclang-rt-14-dev holds libFuzzer for Debian 12's clang (version 14);
# nlohmann-json3-dev, a header-only JSON library, is the native host's (mingw
# builds it too) and reads the verifier's identifier vectors.
packages="cmake g++ googletest g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools \
wine wine64 libwine-dev clang libclang-rt-14-dev nlohmann-json3-dev"
for option in "$@"; do
    case "$option" in
    --guest) packages="$packages qemu-system-x86 debootstrap e2fsprogs" ;;
    --package) packages="$packages osslsigncode openssl wixl msitools gcab python3 chromium" ;;
    --browser) packages="$packages chromium firefox-esr python3 python3-websocket" ;;
    *)
        echo "usage: install-deps.sh [--guest] [--package] [--browser]" >&2
        exit 2
        ;;
    esac
done

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages:$missing; run this script as root" >&2
    exit 1
fi

echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# shellcheck disable=SC2086
apt-get install -y -q $missing
