#!/bin/sh
# Builds the identifier verifier and its benchmark for the host, optimised as
# the Windows presets build (RelWithDebInfo: -O2 -g), in build/bench-native,
# and prints how many identifiers it checks per second on one thread, with the
# machine's facts and load. The figures are printed, never asserted.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

build=build/bench-native
cmake --preset native -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target verifier_bench >/dev/null

load() {
    cut -d ' ' -f 1-3 /proc/loadavg
}
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo "bench: $(date -u '+%Y-%m-%d %H:%M UTC'); CPU: ${cpu:-unknown}; $(nproc) cores online"
echo "bench: $(g++ --version | head -n 1); $(grep '^CMAKE_BUILD_TYPE:' "$build/CMakeCache.txt")"
echo "bench: load average before the run: $(load)"
"$build/benchmarks/verifier/verifier_bench"
echo "bench: load average after the run: $(load)"
