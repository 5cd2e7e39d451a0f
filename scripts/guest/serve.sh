# The boot script of a test run, run by the guest's init from the control
# share (/talvenor). It mounts the host folders listed in /talvenor/mounts at
# their own paths, starts the shared Wine prefix, says it is ready, then runs
# the jobs that guest.sh drops into /talvenor/jobs, one at a time in the order
# of their names, until it finds /talvenor/jobs/stop.
#
# A job is NAME.job, a shell script that runs its program with
# run_windows_program, after use_fresh_prefix (WoW64) or use_fresh_win32_prefix
# (32-bit only) if it wants a prefix of its own; its time limit in seconds is
# in NAME.limit, counted from its start, which the guest shows by renaming
# NAME.job to NAME.started. Its output goes to NAME.out and its exit status,
# once it has ended, to NAME.status.
#
# Prefixes are overlays of the image's pristine prefixes: the shared one, of
# the WoW64 prefix, lives for the whole boot; a fresh one, of the WoW64 or the
# 32-bit-only prefix, for one job.
set -u
control=/talvenor
jobs=$control/jobs

# The host's folders hold the programs and DLLs that Wine maps into memory,
# which a 9p mount without a cache can hand over as pages of zeros. Nothing
# changes them while the guest runs, so they are cached loosely.
while read -r tag folder; do
    mkdir -p "$folder"
    if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose "$tag" "$folder"; then
        echo "guest: could not mount the host folder $folder" >"$control/failed"
        exit 1
    fi
done <"$control/mounts"

export WINEDEBUG=-all
# No Mono or Gecko: the component needs neither, and the guest has no network.
export WINEDLLOVERRIDES="mscoree,mshtml="

# Prefix handling, shared by this script and the jobs it runs.
cat >/tmp/prefixes.sh <<'FUNCTIONS'
# Mounts a new overlay of a pristine prefix ($2: /root/prefix, WoW64, or
# /root/prefix32, 32-bit only) at /root/prefixes/$1, starts its wineserver and
# services with the loader that suits it ($3), and its desktop process.
# Started on demand instead, the desktop would inherit the handles of the first
# program that needs it, among them a test's output pipe, which would then
# never end.
open_prefix() {
    layer=/root/layers/$1
    mkdir -p "$layer/upper" "$layer/work" "/root/prefixes/$1"
    mount -t overlay overlay -o "lowerdir=$2,upperdir=$layer/upper,workdir=$layer/work" \
        "/root/prefixes/$1" || return 1
    WINEPREFIX=/root/prefixes/$1 /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1
    WINEPREFIX=/root/prefixes/$1 "$3" cmd /c exit </dev/null >/dev/null 2>&1
    WINEPREFIX=/root/prefixes/$1 "$3" explorer /desktop </dev/null >/dev/null 2>&1 &
}

close_prefix() {
    WINEPREFIX=/root/prefixes/$1 /usr/lib/wine/wineserver -k 2>/dev/null
    WINEPREFIX=/root/prefixes/$1 /usr/lib/wine/wineserver -w 2>/dev/null
    umount "/root/prefixes/$1"
    rm -rf "/root/layers/$1" "/root/prefixes/$1"
}

open_shared_prefix() {
    open_prefix shared /root/prefix /usr/lib/wine/wine64
}

# What a job calls.
export WINEPREFIX=/root/prefixes/shared
use_fresh_prefix() {
    open_prefix fresh /root/prefix /usr/lib/wine/wine64 && export WINEPREFIX=/root/prefixes/fresh
}
use_fresh_win32_prefix() {
    open_prefix fresh /root/prefix32 /usr/lib/wine/wine && export WINEPREFIX=/root/prefixes/fresh
}
# The 32-bit loader hands 64-bit programs to the 64-bit one.
run_windows_program() {
    /usr/lib/wine/wine "$@"
}
FUNCTIONS
. /tmp/prefixes.sh

if ! open_shared_prefix; then
    echo "guest: could not open the shared prefix" >"$control/failed"
    exit 1
fi
# Written whole before it appears: the host reads it as soon as it exists.
/usr/lib/wine/wine --version >"$control/ready.new"
mv "$control/ready.new" "$control/ready"

while [ ! -e "$jobs/stop" ]; do
    next=""
    for job in "$jobs"/*.job; do
        if [ -f "$job" ]; then
            next=$job
            break
        fi
    done
    if [ -z "$next" ]; then
        sleep 0.2
        continue
    fi
    name=${next%.job}
    # A job withdrawn by the host is gone before it can be claimed.
    mv "$next" "$name.started" 2>/dev/null || continue
    limit=$(cat "$name.limit" 2>/dev/null || echo 600)
    timeout -k 10 "$limit" sh -c '. /tmp/prefixes.sh && . "$0"' "$name.started" \
        </dev/null >"$name.out" 2>&1
    status=$?
    if mountpoint -q /root/prefixes/fresh; then
        close_prefix fresh
    fi
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        # What the job left running in the shared prefix goes with it.
        echo "guest: the job did not end within $limit s and was stopped" >>"$name.out"
        close_prefix shared
        open_shared_prefix
    fi
    echo "$status" >"$name.status.new"
    mv "$name.status.new" "$name.status"
    rm -f "$name.started" "$name.limit"
done

close_prefix shared
