#!/bin/sh
# Builds the test guest's disk image once per recipe and prints its folder on
# the last line. The recipe is this file and the volume serial: a Debian 12
# (amd64) root file system with wine, wine32 and wine64, an init that hands
# each boot to a script from the host's control share, and two Wine prefixes
# made inside the guest, since this host cannot run 32-bit code: a WoW64 one
# (/root/prefix, 64-bit Windows) and a 32-bit-only one (/root/prefix32).
#
# The image lives outside any build tree, in $TALVENOR_GUEST_CACHE (default
# ~/.cache/ietalvenor/guest-images), in a folder named by a hash of the recipe:
# an image of the same recipe is reused as it is, a changed recipe builds a new
# one from nothing. Each use touches the image's file "used"; a build removes
# the images of other recipes unused for two days. Checkouts of different
# recipes share the cache: removed at once, an image was deleted between its
# build and the boot of the guest that was to run it, and the two checkouts
# rebuilt their images in turn.
#
# Every step that can hang (the lock, the downloads, the guest's first boot)
# is stopped at its own limit; a step that fails or is stopped ends the build
# with its name and the end of its log. A build stopped hard leaves its work
# folder behind, perhaps with file systems still mounted in it; the next build
# unmounts them before it deletes anything (remove-tree.sh).
# Usage: build-image.sh
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/remove-tree.sh"

cache=${TALVENOR_GUEST_CACHE:-${HOME:-/root}/.cache/ietalvenor/guest-images}
recipe_hash=$(cat "$here/build-image.sh" "$here/../volume-serial" | sha256sum | cut -c 1-16)
image_dir=$cache/$recipe_hash

mkdir -p "$cache"
# One build at a time; a second caller waits and then finds the image ready.
exec 9>"$cache/.lock"
if ! flock -w 1800 9; then
    echo "guest image: another build held $cache/.lock for 1800 s" >&2
    exit 1
fi

if [ -f "$image_dir/ready" ]; then
    touch "$image_dir/used"
    echo "guest image: cached ($image_dir)" >&2
    echo "$image_dir"
    exit 0
fi

# Everything else in the cache but images of other recipes used in the last
# two days: older images, and work folders of builds that were stopped, this
# recipe's own among them.
for stale in "$cache"/*; do
    [ -d "$stale" ] && [ "$stale" != "$image_dir" ] || continue
    if [ -f "$stale/ready" ] && [ -n "$(find "$stale/used" -mmin -2880 2>/dev/null)" ]; then
        echo "guest image: keeping $stale, another recipe's image in recent use" >&2
        continue
    fi
    echo "guest image: removing $stale (another recipe, or a stopped build)" >&2
    if ! remove_tree "$stale"; then
        echo "guest image: stopping; unmount what is mounted under $stale, then build again" >&2
        exit 1
    fi
done

# The Debian mirror of this machine's own apt sources: the first URI of a
# bookworm source (deb822 .sources files, then the one-line format).
debian_mirror() {
    for sources in /etc/apt/sources.list.d/*.sources; do
        [ -f "$sources" ] || continue
        awk 'BEGIN { RS = ""; FS = "\n" }
            {
                uri = ""; bookworm = 0
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /^URIs:/) { split($i, u, /[ \t]+/); uri = u[2] }
                    if ($i ~ /^Suites:/ && $i ~ /[ \t]bookworm([ \t]|$)/) bookworm = 1
                }
                if (bookworm && uri != "") { print uri; exit }
            }' "$sources"
    done
    for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$list" ] || continue
        sed -n 's/^deb[[:space:]]\{1,\}\(\[[^]]*\][[:space:]]\{1,\}\)\{0,1\}\([^[:space:]]\{1,\}\)[[:space:]]\{1,\}bookworm[[:space:]].*/\2/p' "$list"
    done
}
mirror=$(debian_mirror | head -n 1)
if [ -z "$mirror" ]; then
    echo "guest image: no bookworm source in this machine's apt sources" >&2
    exit 1
fi

work=$image_dir.build
rootfs=$work/rootfs
started=$(date +%s)
stage() {
    echo "guest image: $1 ($(($(date +%s) - started)) s)" >&2
}

# run_logged LIMIT LOG COMMAND [ARG...]: runs COMMAND with its output in LOG,
# stopped after LIMIT seconds, and sets step_status. It runs in the background
# so that a signal to this script reaches the trap at once, which stops the
# step before the work folder is removed.
step_pid=""
run_logged() {
    run_logged_limit=$1
    run_logged_log=$2
    shift 2
    timeout -k 10 "$run_logged_limit" "$@" >"$run_logged_log" 2>&1 &
    step_pid=$!
    step_status=0
    wait "$step_pid" || step_status=$?
    step_pid=""
}

# step_failed LIMIT NAME LOG: ends the build, saying that the step NAME, with
# the limit LIMIT, was stopped or failed, and showing the end of LOG.
step_failed() {
    if [ "$step_status" -eq 124 ] || [ "$step_status" -eq 137 ]; then
        echo "guest image: $2 did not finish within $1 s and was stopped; the end of its log:" >&2
    elif [ "$step_status" -eq 0 ]; then
        echo "guest image: $2 ended without doing its work; the end of its log:" >&2
    else
        echo "guest image: $2 failed (status $step_status); the end of its log:" >&2
    fi
    tail -n 25 "$3" | tr -d '\r' | sed 's/^/    /' >&2
    exit 1
}

# step LIMIT NAME LOG COMMAND [ARG...]: a bounded step that must succeed.
step() {
    step_limit=$1
    step_name=$2
    step_log=$3
    shift 3
    run_logged "$step_limit" "$step_log" "$@"
    [ "$step_status" -eq 0 ] || step_failed "$step_limit" "$step_name" "$step_log"
}

stop_step_and_remove_work() {
    if [ -n "$step_pid" ]; then
        kill -TERM "$step_pid" 2>/dev/null || :
        wait "$step_pid" || :
    fi
    remove_tree "$work" || echo "guest image: $work is left behind" >&2
}
trap 'stop_step_and_remove_work' EXIT
# A second signal would end the clean-up half done: timeout, on its limit,
# signals this script and then its whole process group.
trap 'trap "" INT TERM; exit 130' INT TERM
mkdir -p "$work/control"

stage "debootstrap from $mirror"
# About 30 s.
step 600 debootstrap "$work/debootstrap.log" \
    debootstrap --variant=minbase --arch=amd64 --include=kmod bookworm "$rootfs" "$mirror"

stage "installing the kernel and Wine (32 and 64 bits)"
# The chroot has debootstrap's own device nodes and a terminal instance of its
# own, never this machine's /dev.
mount -t proc proc "$rootfs/proc"
mount -t sysfs sys "$rootfs/sys"
mkdir -p "$rootfs/dev/pts"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$rootfs/dev/pts"
# i386 is added to the guest's own package database, written into its root
# file system, never to this machine's: this machine cannot execute 32-bit
# code. The file lists the native architecture, then the foreign ones.
case "$rootfs" in
"$work"/*) printf 'amd64\ni386\n' >"$rootfs/var/lib/dpkg/arch" ;;
*)
    echo "guest image: $rootfs is not inside $work" >&2
    exit 1
    ;;
esac
step 300 "apt-get update in the guest's root file system" "$work/apt-update.log" \
    chroot "$rootfs" apt-get update -q
# About 90 s.
step 1200 "installing the guest's packages" "$work/apt-install.log" \
    chroot "$rootfs" /usr/bin/env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends linux-image-amd64 wine wine32 wine64
chroot "$rootfs" /bin/sh -c 'apt-get clean && rm -rf /var/lib/apt/lists/*'
unmount_all_under "$rootfs"

echo talvenor-guest >"$rootfs/etc/hostname"
# PID 1 of every boot. It must never return: it ends by powering the guest off.
cat >"$rootfs/sbin/talvenor-init" <<'INIT'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
mount -t proc proc /proc 2>/dev/null
mount -t sysfs sys /sys 2>/dev/null
mount -t devtmpfs dev /dev 2>/dev/null
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
cat /etc/hostname >/proc/sys/kernel/hostname
if modprobe 9pnet_virtio && modprobe 9p && mkdir -p /talvenor &&
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 control /talvenor; then
    sh /talvenor/boot.sh
    echo "guest: the boot script ended with status $?"
else
    echo "guest: the control share could not be mounted"
fi
sync
echo o >/proc/sysrq-trigger
sleep 60
INIT
chmod 755 "$rootfs/sbin/talvenor-init"

stage "writing the disk image"
cp "$rootfs"/boot/vmlinuz-* "$work/vmlinuz"
cp "$rootfs"/boot/initrd.img-* "$work/initrd.img"
step 600 mke2fs "$work/mke2fs.log" mke2fs -q -t ext4 -d "$rootfs" "$work/disk.img" 6G
remove_tree "$rootfs"

# The prefixes are made in the guest and kept in the image, never changed
# afterwards: every test run works on overlays of them. Both have the C:
# serial of this machine's wine64 prefix.
stage "creating the WoW64 and the 32-bit Wine prefixes in the guest"
cp "$here/../volume-serial" "$work/control/volume-serial"
cat >"$work/control/boot.sh" <<'PROVISION'
set -eu
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# new_prefix DIR WINEARCH LOADER
new_prefix() {
    mkdir -p "$1/drive_c"
    cp /talvenor/volume-serial "$1/drive_c/.windows-serial"
    WINEPREFIX=$1 WINEARCH=$2 "$3" wineboot -i
    WINEPREFIX=$1 /usr/lib/wine/wineserver -w
}
new_prefix /root/prefix win64 /usr/lib/wine/wine64
test -d /root/prefix/drive_c/windows/syswow64
new_prefix /root/prefix32 win32 /usr/lib/wine/wine
test -d /root/prefix32/drive_c/windows/system32
test ! -e /root/prefix32/drive_c/windows/syswow64
sync
echo provisioned >/talvenor/result
PROVISION
# About 300 s under software emulation, 700 s with a second guest running
# beside it. Judged by the result file: QEMU ends with status 0 whether or not
# the guest did its work.
run_logged 1500 "$work/qemu.log" "$here/boot.sh" "$work" writable "$work/console.log" "$work/control"
if [ "$(cat "$work/control/result" 2>/dev/null)" != provisioned ]; then
    step_failed 1500 "the guest's first boot, which creates the prefixes," "$work/console.log"
fi

remove_tree "$work/control"
rm -f "$work/debootstrap.log" "$work/apt-update.log" "$work/apt-install.log" \
    "$work/mke2fs.log" "$work/qemu.log"
touch "$work/ready" "$work/used"
mv "$work" "$image_dir"
trap - EXIT
stage "ready"
echo "$image_dir"
