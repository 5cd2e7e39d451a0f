# The check helpers of the packaging tests, sourced by them from the source
# tree's root: start_checks sets $dist and a fresh scratch folder $work; each
# check runs a command, prints "ok: ..." or "FAILED: ..." with the command's
# last output lines, and counts; finish_checks prints "N passed, N failed" and
# fails when any did. Every program that can hang (Wine, the installer, the
# signing, table and cabinet tools, the browser, the guest) runs under
# bounded, so a hung step fails its check with a message naming it.
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

# check_listed DESCRIPTION COMMAND...: a check whose command prints its own
# list of checks, shown whole as it runs.
check_listed() {
    description=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok: $description"
    else
        failed=$((failed + 1))
        echo "FAILED: $description"
    fi
}

# bounded SECONDS STEP COMMAND [ARGUMENT...]: runs COMMAND; one that has not
# ended after SECONDS is stopped with every process it started, and a message
# names STEP, so that a hung program ends its check, not the test command.
# Returns COMMAND's status (124 or 137 when it was stopped).
bounded() {
    bound_seconds=$1
    bound_step=$2
    shift 2
    bound_started=$(date +%s)
    timeout -k 10 "$bound_seconds" "$@"
    bound_status=$?
    if [ "$bound_status" -eq 124 ] || { [ "$bound_status" -eq 137 ] &&
        [ $(($(date +%s) - bound_started)) -ge "$bound_seconds" ]; }; then
        # printf, not echo: the shell's echo would read the backslashes of Windows paths.
        printf 'timed out: %s did not end within %s s and was stopped\n' \
            "$bound_step" "$bound_seconds" >&2
    fi
    return "$bound_status"
}

# wine_in PREFIX PROGRAM [ARGUMENT...]: a Windows program under wine64 in the
# prefix PREFIX, bounded; a program here takes seconds at most.
wine_in() {
    wine_prefix=$1
    shift
    bounded 120 "wine $*" scripts/wine-run.sh "$wine_prefix" "$@"
}

# new_prefix PREFIX and stop_prefix PREFIX: a fresh wine64 prefix with its
# wineserver, and that wineserver stopped.
new_prefix() {
    bounded 300 "creating the Wine prefix $1" scripts/wine-prefix.sh create "$1"
}
stop_prefix() {
    bounded 60 "stopping the wineserver of $1" scripts/wine-prefix.sh stop "$1"
}

# fails COMMAND...: COMMAND ran to its end and failed; one stopped at its
# time bound proves nothing.
fails() {
    "$@"
    fails_status=$?
    [ "$fails_status" -ne 0 ] && [ "$fails_status" -ne 124 ] && [ "$fails_status" -ne 137 ]
}

windows_path() {
    printf 'Z:%s' "$1" | tr '/' '\\'
}

# members_answer PREFIX: the example script, run by the 64-bit script host in
# the wine64 prefix PREFIX, prints an identifier and the other three members.
members_answer() {
    wine_in "$1" cscript //nologo "$(windows_path "$(pwd)/examples/talvenor.js")" abc |
        tr -d '\r' >"$work/members.txt"
    grep -Eq '^getID\("abc"\) = [0-9A-F]{74}$' "$work/members.txt" &&
        grep -q '^TestInstallation = 1' "$work/members.txt" &&
        grep -q '^Version *= 1.0.0.4' "$work/members.txt"
}

finish_checks() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
