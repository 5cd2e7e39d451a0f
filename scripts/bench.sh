#!/bin/sh
# Builds ieTalvenor.DLL and its benchmark with the win64 preset, registers the
# DLL with regsvr32 in a private Wine prefix, runs the benchmark (which prints
# its figures and asserts none), unregisters the DLL and stops the prefix's
# wineserver. The machine's facts and load are printed with the figures, so
# that a run's output can be quoted as it is.
# Usage: scripts/bench.sh [--rounds N] [--slices N] [--slice-ms MILLISECONDS]
# The DLL is built as it ships: the preset's optimised build with debug information.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

build=build/bench-win64
cmake --preset win64 -B "$build" >/dev/null
cmake --build "$build" -j2 --target ieTalvenor talvenor_bench >/dev/null

prefix=$(pwd)/$build/bench-prefix
. scripts/bench-prefix.sh

load() {
    cut -d ' ' -f 1-3 /proc/loadavg
}
. scripts/wine-env.sh
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo "bench: $(date -u '+%Y-%m-%d %H:%M UTC'); CPU: ${cpu:-unknown}; $(nproc) cores online"
echo "bench: $("$WINE64" --version); $(x86_64-w64-mingw32-g++-win32 --version | head -n 1);" \
    "$(grep '^CMAKE_BUILD_TYPE:' "$build/CMakeCache.txt")"
echo "bench: load average before the run: $(load)"
scripts/wine-run.sh "$prefix" "$(pwd)/$build/benchmarks/talvenor_bench.exe" --dll "$dll" "$@"
echo "bench: load average after the run: $(load)"
