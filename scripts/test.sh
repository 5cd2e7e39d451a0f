#!/bin/sh
# Builds the three configurations and runs every test: the host tests first,
# then the Windows tests under wine64. The 32-bit product is built and its
# host-side checks run; its programs cannot execute on this machine.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

for preset in native win64 win32; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

ctest --preset native
ctest --preset win64
ctest --preset win32
