# Deleting a folder that may still have file systems mounted inside it, as a
# guest image build killed hard leaves its work folder: proc, sys and devpts
# under the root file system it was building. rm -rf alone descends through a
# mount point into whatever is mounted there and deletes that too; through a
# bind mount of this machine's /dev it would unlink this machine's device nodes.
# Sourced by build-image.sh and by the harness's tests.

# mounts_under DIR: the mount points at DIR or below it (DIR as the kernel
# names it, without symbolic links), one a line, deepest first. The kernel
# writes a space, tab, newline or backslash in a mount point as \ and three
# octal digits.
mounts_under() {
    awk -v dir="$1" '
        function unescape(text, plain, at) {
            plain = ""
            while ((at = index(text, "\\")) > 0) {
                plain = plain substr(text, 1, at - 1) \
                    sprintf("%c", substr(text, at + 1, 1) * 64 + substr(text, at + 2, 1) * 8 + substr(text, at + 3, 1))
                text = substr(text, at + 4)
            }
            return plain text
        }
        {
            point = unescape($5)
            if (point == dir || index(point, dir "/") == 1) print point
        }' /proc/self/mountinfo | LC_ALL=C sort -r
}

# unmount_all_under DIR: unmounts everything mounted at DIR or below it,
# deepest first (a mount stacked on another is listed, and unmounted, once for
# each). Fails with a message, leaving the rest mounted, when one cannot be
# unmounted (busy, or not this process's to remove).
unmount_all_under() {
    canonical=$(cd "$1" && pwd -P) || return 1
    mounts_under "$canonical" | while IFS= read -r point; do
        umount "$point" || exit 1
    done || return 1
    remaining=$(mounts_under "$canonical")
    if [ -n "$remaining" ]; then
        echo "still mounted after unmounting: $remaining" >&2
        return 1
    fi
}

# delete_on_one_file_system DIR: deletes DIR and what it holds on DIR's own
# file system; anything on another file system (a mount that appeared after
# the unmounting) is left, and the command fails.
delete_on_one_file_system() {
    rm -rf --one-file-system -- "$1"
}

# remove_tree DIR: removes DIR after unmounting everything mounted inside it.
# When something stays mounted, says so and deletes nothing: the mounted file
# system may be this machine's own.
remove_tree() {
    [ -e "$1" ] || return 0
    if ! unmount_all_under "$1"; then
        echo "$1 is not deleted: something inside it is still mounted" >&2
        return 1
    fi
    delete_on_one_file_system "$1"
}
