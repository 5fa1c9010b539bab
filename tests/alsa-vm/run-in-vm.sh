#!/bin/bash
# Runs a command as root inside a small VM whose kernel has an ALSA sequencer and four virtual raw
# MIDI ports (snd-seq, snd-seq-dummy, snd-virmidi): the machine's own root, read-only, with tmpfs
# on /tmp, /run and /dev/shm, yet this source tree in view wherever it lies, and SHARE writable at
# its own path. Prints the command's output and exits with its status; a VM that cannot be built
# or booted fails with one line saying why.
# Usage: run-in-vm.sh --share DIR [--cache DIR] [--timeout SECONDS] [--] COMMAND [ARGS...]
#   --share    writable folder (e.g. the build directory); the command starts in the current
#              folder, which must be readable by root, and in the source tree or SHARE when it
#              lies below /tmp, /run or /dev/shm
#   --cache    where the initramfs is kept between runs (default: SHARE/alsa-vm)
#   --timeout  whole run, boot included (default 900)
# The environment is passed on, less what names the host's display, session or terminal.
set -u
share="" cache="" timeout=900
while [ $# -gt 0 ]; do
    case "$1" in
    --share) share=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --) shift; break ;;
    -*) echo "run-in-vm: unknown option $1" >&2; exit 2 ;;
    *) break ;;
    esac
done
fail() { echo "run-in-vm: FAILED: $*" >&2; exit 1; }
[ $# -gt 0 ] && [ -n "$share" ] || { sed -n '7,12s/^# \{0,1\}//p' "$0" >&2; exit 2; }
[ -d "$share" ] || fail "no folder $share"
share=$(realpath -e "$share")
cache=$(realpath -m "${cache:-$share/alsa-vm}")
here=$(dirname "$(realpath "$0")")
src=$(realpath "$here/../..")
# Paths reach the VM on the kernel command line, which splits at blanks.
case "$share$src$PWD" in *[[:space:]]*) fail "paths with blanks are not supported: $share, $src, $PWD" ;; esac

qemu=$(command -v qemu-system-x86_64) || fail "qemu-system-x86_64 is missing (scripts/install-deps.sh installs it)"
busybox=/bin/busybox
file -L "$busybox" 2>/dev/null | grep -q 'statically linked' ||
    fail "no static busybox at $busybox (package busybox-static)"
command -v cpio >/dev/null || fail "cpio is missing"
# The newest installed kernel whose modules are there too.
kernel="" kver=""
for k in $(ls -v /boot/vmlinuz-* 2>/dev/null | sort -rV); do
    v=${k#/boot/vmlinuz-}
    [ -d "/lib/modules/$v" ] && { kernel=$k kver=$v; break; }
done
[ -n "$kernel" ] || fail "no kernel with modules under /boot (package linux-image-amd64)"
[ -r "$kernel" ] || fail "$kernel is not readable"

# The initramfs only reaches the shared root; the sound modules are loaded from there.
mods=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci netfs fscache
      9pnet 9pnet_virtio 9p)
initrd=$cache/initramfs-$kver.cpio.gz
mkdir -p "$cache" || fail "cannot create $cache"
if [ ! -s "$initrd" ] || [ "$initrd" -ot "$here/vm-init.sh" ] || [ "$initrd" -ot "$kernel" ]; then
    tree=$(mktemp -d "$cache/initramfs.XXXXXX") || fail "cannot create a folder in $cache"
    mkdir -p "$tree"/{bin,dev,proc,sys,newroot,modules}
    cp "$busybox" "$tree/bin/busybox"
    for m in "${mods[@]}"; do
        f=$(modinfo -k "$kver" -n "$m" 2>/dev/null) || { rm -rf "$tree"; fail "kernel $kver has no module $m"; }
        case "$f" in
        *.ko) cp "$f" "$tree/modules/$m.ko" ;;
        *.ko.xz) xz -dc "$f" >"$tree/modules/$m.ko" ;;
        *.ko.zst) zstd -qdc "$f" >"$tree/modules/$m.ko" ;;
        *) rm -rf "$tree"; fail "cannot unpack module $f" ;;
        esac
    done
    printf '%s\n' "${mods[@]}" >"$tree/modules/order"
    cp "$here/vm-init.sh" "$tree/init"
    chmod 755 "$tree/init"
    (cd "$tree" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd.tmp" &&
        mv "$initrd.tmp" "$initrd" || { rm -rf "$tree"; fail "cannot write $initrd"; }
    rm -rf "$tree"
fi

run=$(mktemp -d "$cache/run.XXXXXX") || fail "cannot create a folder in $cache"
trap '[ -n "${CORVANE_VM_KEEP:-}" ] || rm -rf "$run"' EXIT
{
    echo "#!/bin/bash"
    export -p | grep -Ev '^declare -x (BASH_[A-Z_]*|SHLVL|PWD|OLDPWD|_|DISPLAY|XAUTHORITY|WAYLAND_DISPLAY|XDG_RUNTIME_DIR|DBUS_SESSION_BUS_ADDRESS|TERM|TMPDIR|CORVANE_JACK_PID|CORVANE_JACK_LOG|JACK_DEFAULT_SERVER)='
    printf 'cd %q || exit 125\n' "$PWD"
    printf 'exec'
    printf ' %q' "$@"
    echo
} >"$run/job.sh"
chmod 755 "$run/job.sh"
: >"$run/output"

paths="corvane.src=$src corvane.share=$share corvane.run=$run"
start=$(date +%s.%N)
# Software emulation only: KVM is not dependable on these machines.
timeout -k 10 "$timeout" "$qemu" -accel tcg -cpu max -smp 2 -m 3G -nographic -no-reboot \
    -kernel "$kernel" -initrd "$initrd" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 $paths" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="$share",mount_tag=share,security_model=none,multidevs=remap \
    -nic none -serial file:"$run/console" -monitor none -display none </dev/null &
qpid=$!
# Boot time as the host sees it: until the VM has its modules loaded and starts the command.
(while kill -0 $qpid 2>/dev/null; do
    [ -e "$run/booted" ] && { date +%s.%N >"$run/booted-at"; break; }
    sleep 0.1
done) &
# The command's output, as it comes.
tail -n +1 -s 0.5 -f --pid=$qpid "$run/output" 2>/dev/null
wait $qpid
qrc=$?
end=$(date +%s.%N)
wait
if [ -s "$run/booted-at" ]; then
    echo "run-in-vm: VM up in $(awk -v a="$start" -v b="$(cat "$run/booted-at")" 'BEGIN{printf "%.1f", b-a}') s" \
         "(kernel $kver), whole run $(awk -v a="$start" -v b="$end" 'BEGIN{printf "%.1f", b-a}') s" >&2
fi
if [ ! -s "$run/status" ]; then
    echo "run-in-vm: last lines of the VM console:" >&2
    tail -15 "$run/console" >&2
    [ "$qrc" -eq 124 ] && fail "the VM did not finish within $timeout s"
    [ -e "$run/booted" ] || fail "the VM did not boot (qemu exit status $qrc)"
    fail "the command reported no exit status (qemu exit status $qrc)"
fi
exit "$(cat "$run/status")"
