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
# one from nothing and the images of other recipes are removed.
# Usage: build-image.sh
set -eu
here=$(cd "$(dirname "$0")" && pwd)

cache=${TALVENOR_GUEST_CACHE:-${HOME:-/root}/.cache/ietalvenor/guest-images}
recipe_hash=$(cat "$here/build-image.sh" "$here/../volume-serial" | sha256sum | cut -c 1-16)
image_dir=$cache/$recipe_hash

mkdir -p "$cache"
# One build at a time; a second caller waits and then finds the image ready.
exec 9>"$cache/.lock"
flock 9

if [ -f "$image_dir/ready" ]; then
    echo "guest image: cached ($image_dir)" >&2
    echo "$image_dir"
    exit 0
fi

for stale in "$cache"/*; do
    [ -d "$stale" ] && [ "$stale" != "$image_dir" ] || continue
    echo "guest image: removing the image of another recipe ($stale)" >&2
    rm -rf "$stale"
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
unmount_rootfs() {
    for point in dev/pts dev sys proc; do
        if mountpoint -q "$rootfs/$point" 2>/dev/null; then
            umount "$rootfs/$point"
        fi
    done
}
trap 'unmount_rootfs; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
rm -rf "$work"
mkdir -p "$work/control"

started=$(date +%s)
stage() {
    echo "guest image: $1 ($(($(date +%s) - started)) s)" >&2
}

stage "debootstrap from $mirror"
debootstrap --variant=minbase --arch=amd64 --include=kmod bookworm "$rootfs" "$mirror" \
    >"$work/debootstrap.log" 2>&1 || {
    tail -n 20 "$work/debootstrap.log" >&2
    exit 1
}

stage "installing the kernel and Wine (32 and 64 bits)"
mount -t proc proc "$rootfs/proc"
mount -t sysfs sys "$rootfs/sys"
mount --bind /dev "$rootfs/dev"
mount --bind /dev/pts "$rootfs/dev/pts"
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
chroot "$rootfs" /bin/sh -c '
    set -e
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends linux-image-amd64 wine wine32 wine64
    apt-get clean
    rm -rf /var/lib/apt/lists/*
' >"$work/packages.log" 2>&1 || {
    tail -n 20 "$work/packages.log" >&2
    exit 1
}
unmount_rootfs

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
mke2fs -q -t ext4 -d "$rootfs" "$work/disk.img" 6G >/dev/null
rm -rf "$rootfs"

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
# About 250 s under software emulation; a guest that hangs is stopped.
timeout -k 10 1200 "$here/boot.sh" "$work" writable "$work/console.log" "$work/control" || true
if [ "$(cat "$work/control/result" 2>/dev/null)" != provisioned ]; then
    echo "guest image: the prefixes were not created; console:" >&2
    tail -n 30 "$work/console.log" >&2
    exit 1
fi

rm -rf "$work/control" "$work/debootstrap.log" "$work/packages.log"
touch "$work/ready"
mv "$work" "$image_dir"
trap - EXIT
stage "ready"
echo "$image_dir"
