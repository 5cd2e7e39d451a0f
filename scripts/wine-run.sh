#!/bin/sh
# Runs a Windows program under wine64 in a private prefix.
# Usage: wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
set -eu
prefix=$1
shift
. "$(dirname "$0")/wine-env.sh"
exec "$WINE64" "$@"
