#!/bin/sh
# Runs Windows programs in the test guest: a Debian 12 machine under QEMU with
# a real 32-bit Wine (WoW64), for the 32-bit programs this host cannot execute.
#
#   guest.sh start STATE_DIR [FOLDER...]
#       Builds or reuses the cached image (build-image.sh, its log in
#       STATE_DIR/image-build.log), boots it in the background and waits until
#       its Wine prefix is ready. The FOLDERs are shared with the guest under
#       their own paths, so that Windows programs see the host's files under
#       the same Z: paths as under wine64 here.
#   guest.sh run STATE_DIR [--fresh-prefix|--fresh-win32-prefix]
#                [--timeout SECONDS] PROGRAM [ARG...]
#       Runs PROGRAM (a path inside a shared folder) in the guest's shared
#       WoW64 prefix, or in a fresh one of its own: a WoW64 one (64-bit
#       Windows) or a 32-bit-only one (32-bit Windows); from the current
#       folder; prints its output and exits with its exit status. The guest
#       runs one job at a time: the time limit counts from the job's start,
#       and a job waits its turn for as long as the guest lives. A job that has
#       not started when this command is stopped is withdrawn.
#   guest.sh stop STATE_DIR
#       Powers the guest off.
#
# STATE_DIR holds the guest's console log and the control folder through
# which jobs and results pass. Every wait is bounded: an image build that fails
# or hangs, or a guest that does not boot, hangs or stops ends the command with
# a message and the end of the build's log or of the guest's console.
set -eu
here=$(cd "$(dirname "$0")" && pwd)

# The guest's whole life, after which QEMU is stopped whatever it is doing, so
# that no run can outlast the CI's limit.
GUEST_LIFETIME=${TALVENOR_GUEST_LIFETIME:-2700}
# A fresh machine's image build: 7 to 14 minutes.
IMAGE_BUILD_LIMIT=2000
# From boot to a ready prefix: about 30 s under software emulation.
BOOT_LIMIT=300
DEFAULT_JOB_LIMIT=600
# After its limit the guest stops a job and cleans up after it; an answer that
# has not come by then will not come. (Shorter only in the harness's tests.)
JOB_ANSWER_MARGIN=${TALVENOR_GUEST_JOB_MARGIN:-60}

usage() {
    sed -n '5,/^#$/s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
[ $# -ge 2 ] || usage
command=$1
state=$2
shift 2
control=$state/control
pidfile=$state/qemu.pid

say() {
    echo "guest: $*" >&2
}

console_tail() {
    say "last lines of the guest's console ($state/console.log):"
    tail -n 25 "$state/console.log" 2>/dev/null | tr -d '\r' | sed 's/^/    /' >&2
}

guest_running() {
    [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null
}

kill_guest() {
    if guest_running; then
        kill "$(cat "$pidfile")" 2>/dev/null || true
    fi
    rm -f "$pidfile"
}

start() {
    if guest_running; then
        say "a guest of $state is running already; stopping it first"
        stop
    fi
    mkdir -p "$state"
    build_log=$state/image-build.log
    status=0
    timeout -k 10 "$IMAGE_BUILD_LIMIT" "$here/build-image.sh" >"$state/image" 2>"$build_log" ||
        status=$?
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        say "the guest image build did not finish within $IMAGE_BUILD_LIMIT s and was stopped"
    elif [ "$status" -ne 0 ]; then
        say "the guest image build failed (status $status)"
    fi
    if [ "$status" -ne 0 ]; then
        say "last lines of its log ($build_log):"
        tail -n 30 "$build_log" | sed 's/^/    /' >&2
        exit 1
    fi
    cat "$build_log" >&2
    image=$(tail -n 1 "$state/image")
    rm -rf "$control"
    mkdir -p "$control/jobs"
    cp "$here/serve.sh" "$control/boot.sh"
    : >"$state/console.log"
    # A folder inside another shared folder is already shared with it.
    folders=""
    for folder in "$@"; do
        if [ ! -d "$folder" ]; then
            say "$folder does not exist; it is not shared"
            continue
        fi
        folder=$(cd "$folder" && pwd)
        inside=no
        for other in "$@"; do
            [ -d "$other" ] || continue
            other=$(cd "$other" && pwd)
            case "$folder" in "$other"/*) inside=yes ;; esac
        done
        [ "$inside" = yes ] || folders="$folders$folder
"
    done
    started=$(date +%s)
    # Its own session, and no descriptor of the caller's: the guest outlives
    # this command, and whoever reads this command's output must not wait for it.
    (
        IFS='
'
        # shellcheck disable=SC2086
        exec setsid timeout -k 10 "$GUEST_LIFETIME" "$here/boot.sh" "$image" snapshot \
            "$state/console.log" "$control" $folders </dev/null >"$state/qemu.log" 2>&1
    ) &
    echo $! >"$pidfile"
    while [ ! -f "$control/ready" ]; do
        if [ -f "$control/failed" ]; then
            say "$(cat "$control/failed")"
            kill_guest
            console_tail
            exit 1
        fi
        if ! guest_running; then
            say "the guest stopped before its prefix was ready"
            cat "$state/qemu.log" >&2
            console_tail
            exit 1
        fi
        if [ $(($(date +%s) - started)) -ge "$BOOT_LIMIT" ]; then
            say "the guest was not ready within $BOOT_LIMIT s; stopping it"
            kill_guest
            console_tail
            exit 1
        fi
        sleep 0.5
    done
    say "ready in $(($(date +%s) - started)) s: $(cat "$control/ready")"
}

# Single-quoted for the guest's shell.
quote() {
    printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"
}

run() {
    prefix=""
    limit=$DEFAULT_JOB_LIMIT
    while [ $# -gt 0 ]; do
        case "$1" in
        --fresh-prefix) prefix=use_fresh_prefix ;;
        --fresh-win32-prefix) prefix=use_fresh_win32_prefix ;;
        --timeout)
            limit=$2
            shift
            ;;
        *) break ;;
        esac
        shift
    done
    [ $# -ge 1 ] || usage
    if ! guest_running || [ ! -f "$control/ready" ]; then
        say "no guest is running for $state (guest.sh start boots one)"
        exit 1
    fi
    name=$(date +%s%N)-$$
    job=$control/jobs/$name
    {
        echo "cd $(quote "$(pwd)")"
        # The settings a test gives its program reach it in the guest too.
        env | sed -n 's/^\(\(TALVENOR_\|GTEST_\)[A-Za-z0-9_]*\)=.*/\1/p' | while read -r variable; do
            echo "export $variable=$(quote "$(printenv "$variable")")"
        done
        if [ -n "$prefix" ]; then
            echo "$prefix || exit 125"
        fi
        printf 'run_windows_program'
        for argument in "$@"; do
            printf ' %s' "$(quote "$argument")"
        done
        echo
    } >"$job.new"
    echo "$limit" >"$job.limit"
    mv "$job.new" "$job.job"
    # The guest claims a job by renaming it NAME.started. Removing NAME.job
    # first withdraws it.
    trap 'rm "$job.job" 2>/dev/null && rm -f "$job.limit"' EXIT
    trap 'exit 129' HUP
    trap 'exit 130' INT
    trap 'exit 143' TERM
    deadline=""
    while [ ! -f "$job.status" ]; do
        if ! guest_running; then
            if [ -z "$deadline" ]; then
                say "the guest stopped before it started $1"
            else
                say "the guest stopped while running $1"
            fi
            console_tail
            exit 1
        fi
        if [ -z "$deadline" ] && [ -f "$job.started" ]; then
            deadline=$(($(date +%s) + limit + JOB_ANSWER_MARGIN))
        fi
        if [ -n "$deadline" ] && [ "$(date +%s)" -ge "$deadline" ]; then
            say "no result for $1 within $limit s of its start; the guest does not answer"
            console_tail
            exit 1
        fi
        sleep 0.2
    done
    cat "$job.out"
    status=$(cat "$job.status")
    rm -f "$job.out" "$job.status"
    exit "$status"
}

stop() {
    if ! guest_running; then
        rm -f "$pidfile"
        return 0
    fi
    touch "$control/jobs/stop"
    waited=0
    while guest_running && [ "$waited" -lt 60 ]; do
        sleep 1
        waited=$((waited + 1))
    done
    if guest_running; then
        say "the guest did not power off within 60 s; stopping it"
        kill_guest
    fi
    rm -f "$pidfile"
}

case "$command" in
start) start "$@" ;;
run) run "$@" ;;
stop) stop ;;
*) usage ;;
esac
