#!/bin/sh
# The guest runs one job at a time, and a job's time limit counts from its
# start, not from its submission: a short job queued behind a long one waits
# its turn and runs. A job withdrawn before its start (its guest.sh run was
# stopped) never runs.
# Usage: queued_job_test.sh GUEST_SH STATE_DIR SCRATCH_DIR
# (a running guest of STATE_DIR that shares SCRATCH_DIR's parent)
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/expect.sh"
guest=$1
state=$2
scratch=$3
enter_empty_folder "$scratch"

# Submitted while the first job runs, whose length exceeds the second's whole
# allowance: its limit plus the margin for the guest's answer. The limit leaves
# room for a program start under emulation on a loaded machine (up to 20 s).
short_limit=30
export TALVENOR_GUEST_JOB_MARGIN=2
# Wine's ping waits a second between two of its tries, with or without a network.
long_seconds=40
printf 'echo ran>%s\r\n' "$(printf 'Z:%s/withdrawn-job-ran' "$scratch" | sed 's|/|\\|g')" \
    >withdrawn.bat
withdrawn_job=$(printf 'Z:%s/withdrawn.bat' "$scratch" | sed 's|/|\\|g')

# job NAME ARG...: guest.sh run ARG... in the background; its output in
# NAME.out, its exit status in NAME.status, the time it ended in NAME.ended.
job() {
    name=$1
    shift
    (
        "$guest" run "$state" "$@" >"$name.out" 2>&1
        echo $? >"$name.status"
        date +%s >"$name.ended"
    ) &
}

# wait_until WHAT COMMAND [ARG...]: until COMMAND succeeds, at most 60 s.
wait_until() {
    what=$1
    shift
    waited=0
    until "$@"; do
        if [ "$waited" -ge 300 ]; then
            echo "queued_job_test: not within 60 s: $what" >&2
            exit 1
        fi
        sleep 0.2
        waited=$((waited + 1))
    done
}

# in_queue SUFFIX: a job file NAME.SUFFIX is in the guest's queue.
in_queue() {
    [ -n "$(find "$state/control/jobs" -name "*.$1")" ]
}

job long --timeout 120 ping -n "$((long_seconds + 1))" 127.0.0.1
wait_until "the guest starts the long job" in_queue started
"$guest" run "$state" --timeout "$short_limit" cmd /c "$withdrawn_job" &
withdrawn=$!
wait_until "the job to withdraw is queued" in_queue job
kill -TERM "$withdrawn"
wait "$withdrawn"
submitted=$(date +%s)
job short --timeout "$short_limit" cmd /c echo short-job-ran
wait
tr -d '\r' <short.out >short.txt

expect "the long job succeeds" test "$(cat long.status)" -eq 0
expect "it outlasted the short job's limit and margin" \
    test $(($(cat long.ended) - submitted)) -gt $((short_limit + TALVENOR_GUEST_JOB_MARGIN))
expect "the short job, queued meanwhile, succeeds" test "$(cat short.status)" -eq 0
expect "it ran" says short.txt '^short-job-ran$'
expect "it ended after the long one" test "$(cat short.ended)" -ge "$(cat long.ended)"
expect "the withdrawn job never ran" test ! -e "$scratch/withdrawn-job-ran"
expect "no job is left in the queue" fails in_queue job
finish
