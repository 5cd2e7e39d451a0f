#!/bin/sh
# Builds every configuration and runs every test: the host tests (plain and
# under AddressSanitizer/UndefinedBehaviorSanitizer), a bounded run of the
# engine's fuzz target, then the Windows tests under wine64. The 32-bit product
# is built and its host-side checks run; its programs cannot execute here.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

for preset in native fuzz win64 win32; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

for preset in native fuzz win64 win32; do
    ctest --preset "$preset"
done
