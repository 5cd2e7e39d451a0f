# The check helpers of the guest harness's tests, sourced by them: each expect
# runs a command and prints "ok: ..." or "FAILED: ..." with the command's output;
# finish prints the counts and fails when any check did.
passed=0
failed=0

# enter_empty_folder DIR: DIR, emptied or made, becomes the current folder.
enter_empty_folder() {
    rm -rf "$1"
    mkdir -p "$1"
    cd "$1" || exit 1
}

# expect DESCRIPTION COMMAND [ARG...]
expect() {
    description=$1
    shift
    if output=$("$@" 2>&1); then
        passed=$((passed + 1))
        echo "ok: $description"
    else
        failed=$((failed + 1))
        echo "FAILED: $description"
        printf '%s\n' "$output" | tail -n 15 | sed 's/^/    /'
    fi
}

# says FILE PATTERN: FILE has a line matching the extended regular expression.
says() {
    grep -Eq "$2" "$1" && return 0
    echo "no line matches /$2/ in $1:"
    cat "$1"
    return 1
}

fails() {
    ! "$@"
}

finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
