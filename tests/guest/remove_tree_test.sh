#!/bin/sh
# Deleting a folder with file systems still mounted inside it
# (scripts/guest/remove-tree.sh): everything mounted inside is unmounted,
# deepest first, and what was mounted there is untouched; a mount that cannot
# be removed stops the deletion before anything is deleted; the deletion itself
# never enters another file system. Only scratch folders are ever mounted.
# Runs in a mount namespace of its own, so no mount outlives it.
# Usage: remove_tree_test.sh SCRATCH_DIR
set -u
if [ "${GUEST_TEST_OWN_MOUNTS:-}" != yes ]; then
    GUEST_TEST_OWN_MOUNTS=yes exec unshare --mount --propagation private "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
. "$here/expect.sh"
. "$here/../../scripts/guest/remove-tree.sh"
. "$here/mounts.sh"
root=$1
start_scratch "$root"

# The mounts a killed build leaves in its root file system, in the order it
# made them: nested, stacked twice on one point, and a name the kernel escapes.
leftover_mounts='rootfs/proc
rootfs/dev
rootfs/dev/pts
rootfs/dev/pts
rootfs/dev/two words'

work=$root/work
mkdir -p "$work/rootfs"
touch "$work/rootfs/own-file"
number=0
printf '%s\n' "$leftover_mounts" | while IFS= read -r point; do
    number=$((number + 1))
    mkdir -p "$work/$point"
    bind_scratch "$root/mounted-$number" "$work/$point"
done
expect "the stale work folder has its five mounts" test "$(mounts_under "$work" | wc -l)" -eq 5
expect "remove_tree deletes the stale work folder" remove_tree "$work"
expect "the work folder is gone" test ! -e "$work"
expect "nothing is mounted there any more" test -z "$(mounts_under "$root")"
expect "every folder that was mounted keeps its file" all_scratch_files_kept "$root" 5

# A mount that cannot be removed: a process works inside it.
work=$root/busy-work
mkdir -p "$work/rootfs/proc"
touch "$work/own-file"
bind_scratch "$root/mounted-busy" "$work/rootfs/proc"
(cd "$work/rootfs/proc" && exec sleep 300) &
busy=$!
expect "remove_tree refuses" fails remove_tree "$work"
expect "it says why" remove_tree_says "$work" "is not deleted: something inside it is still mounted"
expect "the work folder's own file is kept" test -f "$work/own-file"
expect "the busy folder keeps its file" test -f "$root/mounted-busy/file"
kill "$busy"
wait "$busy" 2>/dev/null
expect "once the process has gone, remove_tree deletes it" remove_tree "$work"
expect "the busy folder still keeps its file" test -f "$root/mounted-busy/file"

# The deletion on its own, with another file system still inside.
work=$root/other-fs
mkdir -p "$work/tmp"
mount -t tmpfs tmpfs "$work/tmp"
touch "$work/tmp/file"
expect "delete_on_one_file_system reports what it left" fails delete_on_one_file_system "$work"
expect "it left the other file system's file" test -f "$work/tmp/file"

expect "remove_tree of a folder that does not exist does nothing" remove_tree "$root/absent"
finish
