# Sourced by the benchmark commands: a private Wine prefix at $prefix with the
# DLL of the build tree $build registered for the run, unregistered and its
# wineserver stopped when the command ends. Sets $dll, the DLL's Windows path.

# Windows paths of the host's files, through Wine's drive Z:.
windows_path() {
    printf 'Z:%s' "$1" | tr '/' '\\'
}

echo "$(basename "$0"): creating the Wine prefix $prefix"
scripts/wine-prefix.sh create "$prefix"
dll=$(windows_path "$(pwd)/$build/module/ieTalvenor.DLL")

registered=no
finish() {
    if [ "$registered" = yes ]; then
        scripts/wine-run.sh "$prefix" regsvr32 /u /s "$dll" || true
    fi
    scripts/wine-prefix.sh stop "$prefix"
}
trap finish EXIT
trap 'exit 130' INT TERM

scripts/wine-run.sh "$prefix" regsvr32 /s "$dll"
registered=yes
