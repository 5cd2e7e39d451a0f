#!/bin/sh
# Creates a private Wine prefix with a fixed C: volume serial and a persistent
# wineserver, or stops that wineserver.
# Usage: wine-prefix.sh create|stop PREFIX
set -eu
action=$1
prefix=$2
. "$(dirname "$0")/wine-env.sh"

# The C: volume serial that identifiers in the prefix are derived from; the
# 32-bit test guest's prefix has the same one.
VOLUME_SERIAL=$(cat "$(dirname "$0")/volume-serial")

case "$action" in
create)
    "$WINESERVER" -k 2>/dev/null || true
    rm -rf "$prefix"
    # The serial is read when the drive is first mounted: it must be there before wineboot.
    mkdir -p "$prefix/drive_c"
    printf '%s\n' "$VOLUME_SERIAL" >"$prefix/drive_c/.windows-serial"
    # One persistent server for the whole run: each program then starts in a
    # fraction of a second. The server and the services that wineboot starts
    # outlive this script, so none of them may hold its output open, or
    # whoever reads that output (CTest) would wait for them.
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
    "$WINE64" wineboot -i </dev/null >/dev/null 2>&1
    ;;
stop)
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
    ;;
*)
    echo "usage: wine-prefix.sh create|stop PREFIX" >&2
    exit 2
    ;;
esac
