# Sourced by the Wine scripts: finds the 64-bit loader and the wineserver and
# sets the quiet defaults. Expects $prefix to name the private WINEPREFIX.

find_wine_tool() {
    # $1: the tool's name on the PATH; $2: where Debian installs it otherwise.
    if command -v "$1" >/dev/null 2>&1; then
        command -v "$1"
    elif [ -x "$2" ]; then
        echo "$2"
    fi
}

WINE64=$(find_wine_tool wine64 /usr/lib/wine/wine64)
if [ -z "$WINE64" ]; then
    echo "wine: the 64-bit loader was found neither as wine64 on the PATH nor as" \
         "/usr/lib/wine/wine64; install the wine64 package (scripts/install-deps.sh)" >&2
    exit 127
fi
WINESERVER=$(find_wine_tool wineserver /usr/lib/wine/wineserver)
if [ -z "$WINESERVER" ]; then
    WINESERVER=$(dirname "$WINE64")/wineserver
fi

export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko: the component needs neither, and they cannot be downloaded here.
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY
