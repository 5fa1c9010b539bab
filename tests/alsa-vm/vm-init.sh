#!/bin/busybox sh
# First process of the ALSA test VM (see run-in-vm.sh): mounts the host's root and the writable
# share over 9p, keeps the source tree in view, loads the sound modules from the host's root, runs
# the job, reports its status and powers off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules/order); do insmod /modules/$m.ko || echo "vm-init: insmod $m failed"; done
for word in $(cat /proc/cmdline); do
    case "$word" in
    corvane.src=*) src=${word#corvane.src=} ;;
    corvane.share=*) share=${word#corvane.share=} ;;
    corvane.run=*) run=${word#corvane.run=} ;;
    esac
done
off() {
    sync
    poweroff -f
    echo o >/proc/sysrq-trigger
}
# The root is read-only, so its metadata can be cached; the share is written from both sides.
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,cache=loose,ro hostroot /newroot || off
r=/newroot
# The tmpfs below would hide a source tree under /tmp, /run or /dev/shm: it is set aside first and
# put back on top.
mkdir -p /src
mount -o bind "$r$src" /src || off
mount -t proc proc $r/proc
mount -t sysfs sys $r/sys
mount -t devtmpfs dev $r/dev
mkdir -p $r/dev/pts $r/dev/shm
mount -t devpts devpts $r/dev/pts
mount -t tmpfs -o mode=1777 tmpfs $r/dev/shm
mount -t tmpfs -o mode=1777 tmpfs $r/tmp
mount -t tmpfs -o mode=755 tmpfs $r/run
# The system's lock folder, where the updaters lock the ports they send to.
mkdir -m 1777 $r/run/lock
mkdir -p "$r$src" 2>/dev/null
mount -o move /src "$r$src" || off
# Last, so that a share below /tmp or in the source tree is not hidden.
mkdir -p "$r$share" 2>/dev/null
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 share "$r$share" || off
ln -sf /proc/self/fd /dev/fd 2>/dev/null
if chroot $r /sbin/modprobe -a snd-seq snd-seq-dummy snd-virmidi; then
    touch "$r$run/booted"
    chroot $r /bin/bash -c "exec \"\$0\" >>\"\$1\" 2>&1 </dev/null" "$run/job.sh" "$run/output"
    echo $? >"$r$run/status.tmp" && mv "$r$run/status.tmp" "$r$run/status"
else
    echo "vm-init: modprobe of the sound modules failed" >>"$r$run/output"
fi
off
