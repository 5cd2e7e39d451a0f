#!/bin/sh
# Builds ieTalvenor.DLL, registers it with regsvr32 in a private Wine prefix and
# runs the example script in cscript, which prints the component's four values.
# Usage: scripts/demo.sh [SALT]   (default salt: abc)
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset win64 >/dev/null
cmake --build --preset win64 --target ieTalvenor

prefix=$(pwd)/build/win64/demo-prefix
echo "demo: creating the Wine prefix $prefix"
scripts/wine-prefix.sh create "$prefix"

# Windows paths of the host's files, through Wine's drive Z:.
windows_path() {
    printf 'Z:%s' "$1" | tr '/' '\\'
}
dll=$(windows_path "$(pwd)/build/win64/module/ieTalvenor.DLL")
script=$(windows_path "$(pwd)/examples/talvenor.js")

status=0
scripts/wine-run.sh "$prefix" regsvr32 /s "$dll" || status=$?
if [ "$status" -eq 0 ]; then
    printf "demo: registered %s\n" "$dll"
    scripts/wine-run.sh "$prefix" cscript //nologo "$script" "${1:-abc}" || status=$?
else
    echo "demo: regsvr32 failed ($status)" >&2
fi
scripts/wine-prefix.sh stop "$prefix"
exit "$status"
