#!/bin/sh
# What the image build deletes and how it fails, without building an image: a
# stand-in for debootstrap, first on the PATH, fails at once.
# - Folders left in the cache by builds stopped hard, and images of other
#   recipes, are deleted after everything mounted inside them is unmounted;
#   what was mounted there keeps its files. An image of another recipe used in
#   the last two days is kept.
# - The build's own work folder, with a mount inside it when its step fails,
#   is deleted the same way.
# - A failed step is named, with the end of its log; guest.sh start says that
#   the image build failed and shows the end of the build's log.
# - A build stopped by a signal in the middle of a step stops the step, then
#   deletes its work folder the same way.
# - A mount that cannot be removed stops the build before it deletes anything.
# Only scratch folders are ever mounted, in a mount namespace of the test's own.
# Usage: image_build_test.sh SCRATCH_DIR
set -u
if [ "${GUEST_TEST_OWN_MOUNTS:-}" != yes ]; then
    GUEST_TEST_OWN_MOUNTS=yes exec unshare --mount --propagation private "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
scripts=$(cd "$here/../../scripts/guest" && pwd)
. "$here/expect.sh"
. "$scripts/remove-tree.sh"
. "$here/mounts.sh"
root=$1
start_scratch "$root"
cache=$root/cache
export TALVENOR_GUEST_CACHE="$cache"

# The stand-in: mounts the scratch folder mounted-$STAND_IN_MOUNT in the root
# file system it was given (its second-last argument), writes its process id
# and a log, then fails, or with STAND_IN=hang works in that mount until it is
# stopped, which takes it a second.
mkdir -p "$root/bin"
cat >"$root/bin/debootstrap" <<EOF
#!/bin/sh
. "$scripts/remove-tree.sh"
. "$here/mounts.sh"
for argument; do rootfs=\$target; target=\$argument; done
mkdir -p "\$rootfs/proc"
bind_scratch "$root/mounted-\$STAND_IN_MOUNT" "\$rootfs/proc"
echo \$\$ >"$root/debootstrap-ran"
echo "I: retrieving the release file"
if [ "\$STAND_IN" = hang ]; then
    trap 'echo stopping >"$root/stand-in-stopping"; sleep 1; exit 143' TERM
    cd "\$rootfs/proc" || exit 1
    while :; do sleep 1; done
fi
echo "E: the stand-in fails here"
exit 1
EOF
chmod +x "$root/bin/debootstrap"
PATH=$root/bin:$PATH

# wait_for FILE: until FILE exists and is not empty, at most 10 s.
wait_for() {
    waited=0
    until [ -s "$1" ] || [ "$waited" -ge 100 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
}

# The cache as builds stopped hard leave it.
mkdir -p "$cache/0123456789abcdef/rootfs/proc" "$cache/fedcba9876543210.build/rootfs/dev"
bind_scratch "$root/mounted-1" "$cache/0123456789abcdef/rootfs/proc"
bind_scratch "$root/mounted-2" "$cache/fedcba9876543210.build/rootfs/dev"
mkdir -p "$cache/fedcba9876543210.build/rootfs/dev/pts"
bind_scratch "$root/mounted-3" "$cache/fedcba9876543210.build/rootfs/dev/pts"
touch "$cache/0123456789abcdef/ready"
touch -d '49 hours ago' "$cache/0123456789abcdef/used"
mkdir -p "$cache/aaaaaaaaaaaaaaaa"
touch "$cache/aaaaaaaaaaaaaaaa/ready"
touch -d '47 hours ago' "$cache/aaaaaaaaaaaaaaaa/used"

STAND_IN=fail STAND_IN_MOUNT=4 "$scripts/build-image.sh" >"$root/build.out" 2>"$root/build.err"
echo $? >"$root/build.status"
cat "$root/build.err"
expect "the build fails" test "$(cat "$root/build.status")" -ne 0
expect "the stand-in ran" test -f "$root/debootstrap-ran"
expect "the failed step is named" says "$root/build.err" 'debootstrap failed \(status 1\)'
expect "the end of its log is shown" says "$root/build.err" 'E: the stand-in fails here'
expect "the image in recent use is kept" test -f "$cache/aaaaaaaaaaaaaaaa/ready"
remove_tree "$cache/aaaaaaaaaaaaaaaa"
expect "the cache holds no other folder" test -z "$(find "$cache" -mindepth 1 -type d)"
expect "nothing is mounted under the scratch folder" test -z "$(mounts_under "$root")"
expect "every folder that was mounted keeps its file" all_scratch_files_kept "$root" 4

mkdir -p "$root/state"
STAND_IN=fail STAND_IN_MOUNT=4 "$scripts/guest.sh" start "$root/state" "$root" 2>"$root/start.err"
echo $? >"$root/start.status"
cat "$root/start.err"
expect "guest.sh start fails" test "$(cat "$root/start.status")" -ne 0
expect "it says that the image build failed" says "$root/start.err" 'the guest image build failed'
expect "it shows the end of the build's log" says "$root/start.err" 'E: the stand-in fails here'
expect "no guest was started" test ! -f "$root/state/qemu.pid"

# Stopped by a signal, as guest.sh stops a build that takes too long: timeout
# signals the build, then its whole process group, so that a second signal can
# reach the build while it cleans up. Here it arrives while the build waits
# for the stopped step to end.
rm -f "$root/debootstrap-ran"
STAND_IN=hang STAND_IN_MOUNT=5 "$scripts/build-image.sh" >"$root/build.out" 2>"$root/build.err" &
build=$!
wait_for "$root/debootstrap-ran"
kill -TERM "$build"
wait_for "$root/stand-in-stopping"
kill -TERM "$build" 2>/dev/null
wait "$build"
echo $? >"$root/build.status"
cat "$root/build.err"
stand_in=$(cat "$root/debootstrap-ran")
expect "the stand-in had started" test -n "$stand_in"
expect "the build ends as stopped" test "$(cat "$root/build.status")" -eq 130
expect "the step was stopped" fails kill -0 "$stand_in"
expect "the cache holds no folder any more" test -z "$(find "$cache" -mindepth 1 -type d)"
expect "the folder the step had mounted keeps its file" test -f "$root/mounted-5/file"
kill "$stand_in" 2>/dev/null

# A leftover mount that cannot be removed: a process works inside it.
rm -f "$root/debootstrap-ran"
mkdir -p "$cache/0123456789abcdef.build/rootfs/proc"
touch "$cache/0123456789abcdef.build/own-file"
bind_scratch "$root/mounted-busy" "$cache/0123456789abcdef.build/rootfs/proc"
(cd "$cache/0123456789abcdef.build/rootfs/proc" && exec sleep 300) &
busy=$!
"$scripts/build-image.sh" >"$root/build.out" 2>"$root/build.err"
echo $? >"$root/build.status"
cat "$root/build.err"
kill "$busy"
expect "the build stops" test "$(cat "$root/build.status")" -ne 0
expect "it says why" says "$root/build.err" 'stopping; unmount what is mounted under'
expect "it went no further" test ! -f "$root/debootstrap-ran"
expect "the leftover folder's own file is kept" test -f "$cache/0123456789abcdef.build/own-file"
expect "the busy folder keeps its file" test -f "$root/mounted-busy/file"
finish
