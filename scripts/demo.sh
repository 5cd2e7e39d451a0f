#!/bin/sh
# Builds the engine's console demo and runs it under wine64 in a private prefix.
# Usage: scripts/demo.sh [SALT]   (default salt: abc)
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset win64 >/dev/null
cmake --build --preset win64 --target engine_demo

prefix=$(pwd)/build/win64/demo-prefix
if [ ! -f "$prefix/drive_c/.windows-serial" ]; then
    echo "demo: creating the Wine prefix $prefix"
    scripts/wine-prefix.sh create "$prefix"
fi
status=0
scripts/wine-run.sh "$prefix" build/win64/examples/engine_demo.exe "${1:-abc}" || status=$?
scripts/wine-prefix.sh stop "$prefix"
exit $status
