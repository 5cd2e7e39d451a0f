#!/bin/sh
# Boots the test guest with QEMU in the foreground, writing its serial console
# to a log; callers bound it with timeout. The guest's init mounts the control
# folder at /talvenor and runs the boot.sh found there; every further folder
# is shared under its own path, listed for the guest in the control folder.
# Usage: boot.sh IMAGE_DIR snapshot|writable CONSOLE_LOG CONTROL_DIR [FOLDER...]
#   snapshot: what the guest writes to its disk is dropped when it stops
#   writable: what the guest writes is kept in the image
set -eu
image=$1
case "$2" in
snapshot) snapshot=on ;;
writable) snapshot=off ;;
*)
    echo "usage: boot.sh IMAGE_DIR snapshot|writable CONSOLE_LOG CONTROL_DIR [FOLDER...]" >&2
    exit 2
    ;;
esac
console=$3
control=$4
shift 4

# Software emulation unless /dev/kvm is hardware KVM: a paravirtual /dev/kvm
# (module kvm_pvm) cannot run the guest's stock kernel usefully. Under
# emulation QEMU 7.2 faults Wine64's return to user mode with SMAP on, and the
# guest needs no five-level paging.
if [ -r /dev/kvm ] && [ -w /dev/kvm ] && [ ! -d /sys/module/kvm_pvm ] &&
    { [ -d /sys/module/kvm_intel ] || [ -d /sys/module/kvm_amd ]; }; then
    acceleration="-enable-kvm -cpu host"
else
    acceleration="-cpu max,-smap,-la57"
fi

# QEMU's option syntax doubles a comma inside a value.
option_value() {
    printf '%s' "$1" | sed 's/,/,,/g'
}

: >"$control/mounts"
folders=$#
index=0
while [ "$index" -lt "$folders" ]; do
    folder=$1
    shift
    index=$((index + 1))
    printf 'share%s %s\n' "$index" "$folder" >>"$control/mounts"
    set -- "$@" -virtfs "local,path=$(option_value "$folder"),mount_tag=share$index,security_model=none"
done

# shellcheck disable=SC2086
exec qemu-system-x86_64 $acceleration -m 3G -smp 2 -nic none -no-reboot \
    -display none -monitor none -serial "file:$console" \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 quiet init=/sbin/talvenor-init" \
    -drive "file=$(option_value "$image/disk.img"),format=raw,if=virtio,snapshot=$snapshot" \
    -virtfs "local,path=$(option_value "$control"),mount_tag=control,security_model=none" "$@"
