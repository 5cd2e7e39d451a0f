#!/bin/sh
# The browser route's speed under wine64: builds the DLL, the native host and
# the baseline program with the win64 preset in build/bench-win64, registers
# the DLL in a private Wine prefix there, then times a bare getID, the host
# alone through pipes, and the page library's call in headless Chromium with
# the extension (benchmarks/browser/bench_browser.py). Prints its figures and
# asserts none; unregisters the DLL and stops the prefix's wineserver at the
# end. Writes a managed Chromium policy for the run (root), removed afterwards.
# Usage: scripts/bench-browser.sh [--calls N] [--cold N]
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh --browser

build=build/bench-win64
cmake --preset win64 -B "$build" >/dev/null
cmake --build "$build" -j2 --target ieTalvenor talvenor-host bare_getid >/dev/null

prefix=$(pwd)/$build/browser-prefix
. scripts/bench-prefix.sh

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo "bench-browser: $(date -u '+%Y-%m-%d %H:%M UTC'); CPU: ${cpu:-unknown}; $(nproc) cores online"
echo "bench-browser: $(chromium --version 2>/dev/null); $(. scripts/wine-env.sh && "$WINE64" --version)"
echo "bench-browser: load average before the run: $(cut -d ' ' -f 1-3 /proc/loadavg)"
/usr/bin/python3 -B benchmarks/browser/bench_browser.py --wine-prefix "$prefix" \
    --host-exe "$(pwd)/$build/host/talvenor-host.exe" \
    --bare-getid "$(pwd)/$build/benchmarks/browser/bare_getid.exe" --work-dir "$(pwd)/$build" "$@"
echo "bench-browser: load average after the run: $(cut -d ' ' -f 1-3 /proc/loadavg)"
