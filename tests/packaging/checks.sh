# The check helpers of the packaging tests, sourced by them from the source
# tree's root: start_checks sets $dist and a fresh scratch folder $work; each
# check runs a command, prints "ok: ..." or "FAILED: ..." with the command's
# last output lines, and counts; finish_checks prints "N passed, N failed" and
# fails when any did.
passed=0
failed=0

# start_checks NAME DIST: the release folder DIST, and build/package/NAME as
# the scratch folder.
start_checks() {
    dist=$(cd "$2" && pwd)
    work=build/package/$1
    rm -rf "$work"
    mkdir -p "$work"
}

check() {
    description=$1
    shift
    if "$@" >"$work/last.log" 2>&1; then
        passed=$((passed + 1))
        echo "ok: $description"
    else
        failed=$((failed + 1))
        echo "FAILED: $description"
        sed 's/^/    /' "$work/last.log" | tail -n 15
    fi
}

fails() {
    ! "$@"
}

windows_path() {
    printf 'Z:%s' "$1" | tr '/' '\\'
}

# members_answer PREFIX: the example script, run by the 64-bit script host in
# the wine64 prefix PREFIX, prints an identifier and the other three members.
members_answer() {
    scripts/wine-run.sh "$1" cscript //nologo "$(windows_path "$(pwd)/examples/talvenor.js")" abc |
        tr -d '\r' >"$work/members.txt"
    grep -Eq '^getID\("abc"\) = [0-9A-F]{74}$' "$work/members.txt" &&
        grep -q '^TestInstallation = 1' "$work/members.txt" &&
        grep -q '^Version *= 1.0.0.4' "$work/members.txt"
}

finish_checks() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
