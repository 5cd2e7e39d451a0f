# The check helpers of the packaging tests, sourced by them: each check runs a
# command, prints "ok: ..." or "FAILED: ..." with the command's last output
# lines, and counts; finish_checks prints "N passed, N failed" and fails when
# any did. $work is the test's scratch folder.
passed=0
failed=0

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

finish_checks() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
