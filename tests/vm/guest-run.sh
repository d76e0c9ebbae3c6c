#!/bin/bash
# Boots a qemu guest with a CAN FD "can0" (a vcan, or with --bus ctucan an emulated CTU CAN FD
# controller, with a second one as "can1" on the same bus), runs a shell script in it as root and
# hands back its output, its exit status and, on request, the files it left in /out.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

usage() {
    cat <<EOF
Usage: $(basename "$0") --arch ARCH [options] SCRIPT

Boots a Debian kernel under qemu (ARCH = x86_64, arm64 or armhf) with busybox, brings up can0
with MTU 72 (CAN FD), runs SCRIPT (a host file, or - for standard input) with /bin/sh as root in
/root, prints its stdout+stderr on stdout and exits with its status.

Options:
  --bus BUS          vcan (default: \$CANFD_VM_BUS, else vcan): can0 is a vcan.
                     ctucan: can0 and can1 are two CTU CAN FD controllers, emulated by qemu on
                     one CAN bus and driven by the kernel's ctucanfd driver, both set up with
                     the "ip link set can0 ..." lines of README.md's "Wiring up can0 for CAN FD"
                     (for can1 with can1 in place of can0). On both buses ip and tc are
                     iproute2's and the plug qdisc (sch_plug) is loaded. The script finds
                     BUS=vcan or BUS=ctucan in its environment.
  --file HOST:GUEST  copy HOST (file or folder) to GUEST (absolute; ending in / means "into
                     that folder") before boot; repeatable. For dynamic ELF executables and
                     libraries the interpreter and the NEEDED libraries are added recursively,
                     from the host for x86_64 and from Debian's packages for arm64/armhf.
  --out HOSTDIR      after the script, copy what it left in the guest's /out into HOSTDIR
  --timeout SECONDS  hard limit for boot + script (default: \$CANFD_VM_TIMEOUT, else 120)
  --console FILE     keep the raw console log in FILE (kernel messages included)
  --keep             keep the work folder (initramfs, console log) and print its path
  -v, --verbose      print timings on stderr
  -h, --help         this text

Exit status: the script's, or $VM_INFRA_STATUS when the bed itself failed (fetch, boot, bus setup,
timeout, lost output), with a message on stderr beginning "canfd-vm:".

Environment: CANFD_VM_BUS, CANFD_VM_CACHE (cache root, default <repo>/.cache/vm),
CANFD_VM_TIMEOUT, CANFD_VM_MEM (MiB, default 256), CANFD_VM_ACCEL (x86_64 only, default tcg; kvm
where it works).
The guest has only busybox; the script's standard input is /dev/null; kernel messages below
emergency level stay out of the console (run dmesg in the script to see them). Console output
and /out travel at roughly 100-250 KB/s. Two runs may go at once.
EOF
}

arch=""
script=""
out_dir=""
console_copy=""
keep=0
verbose=0
timeout_s="${CANFD_VM_TIMEOUT:-120}"
bus="${CANFD_VM_BUS:-vcan}"
files=()
while [ $# -gt 0 ]; do
    case "$1" in
    -h | --help)
        usage
        exit 0
        ;;
    --arch)
        arch="${2:?--arch needs a value}"
        shift
        ;;
    --bus)
        bus="${2:?--bus needs vcan or ctucan}"
        shift
        ;;
    --file)
        files+=("${2:?--file needs HOST:GUEST}")
        shift
        ;;
    --out)
        out_dir="${2:?--out needs a folder}"
        shift
        ;;
    --timeout)
        timeout_s="${2:?--timeout needs seconds}"
        shift
        ;;
    --console)
        console_copy="${2:?--console needs a file}"
        shift
        ;;
    --keep) keep=1 ;;
    -v | --verbose) verbose=1 ;;
    -) script=- ;;
    -*) vm_die "unknown option $1 (see --help)" ;;
    *)
        [ -z "$script" ] || vm_die "only one SCRIPT expected (see --help)"
        script="$1"
        ;;
    esac
    shift
done
[ -n "$arch" ] || vm_die "--arch is missing (see --help)"
[ -n "$script" ] || vm_die "SCRIPT is missing (see --help)"
[[ "$timeout_s" =~ ^[0-9]+$ ]] && [ "$timeout_s" -gt 0 ] || vm_die "bad --timeout '$timeout_s'"
vm_arch_setup "$arch"
vm_bus_setup "$bus"

t_start=$(date +%s%N)
elapsed_ms() { echo $((($(date +%s%N) - t_start) / 1000000)); }
say() { [ "$verbose" = 0 ] || echo "guest-run[$VM_ARCH] $(elapsed_ms) ms: $*" >&2; }

"$VM_DIR/fetch-guest.sh" --bus "$VM_BUS" "$VM_ARCH" ||
    vm_die "fetching the $VM_ARCH guest (bus $VM_BUS) failed"

work="$(mktemp -d "${TMPDIR:-/tmp}/canfd-vm.XXXXXX")"
qemu_pid=""
cleanup() {
    if [ -n "$qemu_pid" ]; then
        kill "$qemu_pid" 2>/dev/null || true
        wait "$qemu_pid" 2>/dev/null || true
    fi
    if [ "$keep" = 1 ]; then
        echo "canfd-vm: work folder kept: $work" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'echo "canfd-vm: interrupted" >&2; exit $VM_INFRA_STATUS' INT TERM HUP

# A refresh of the cache waits until no run is reading it.
exec 9>"$VM_CACHE.lock"
flock -s 9
[ -f "$VM_CACHE/info" ] || vm_die "the $VM_ARCH guest cache $VM_CACHE vanished (refreshed meanwhile?)"
[ "$VM_BUS" = vcan ] || [ -f "$VM_CTUCAN/info" ] ||
    vm_die "the $VM_ARCH guest's ctucan parts $VM_CTUCAN vanished (refreshed meanwhile?)"

# --- base initramfs: busybox, modules, init; cached per content -----------------------------------
base_key="$(cat "$VM_DIR/guest-init.sh" "$VM_CACHE/info" "$VM_CACHE/busybox" "$VM_CACHE"/modules/*.ko |
    sha256sum | cut -c1-16)"
base_cpio="$VM_CACHE/base-$base_key.cpio"
if [ ! -f "$base_cpio" ]; then
    b="$work/base"
    mkdir -p "$b/bin" "$b/lib/modules/canfd-vm" "$b/canfd-vm"
    cp "$VM_CACHE/busybox" "$b/bin/busybox"
    ln -s busybox "$b/bin/sh"
    cp "$VM_CACHE"/modules/*.ko "$b/lib/modules/canfd-vm/"
    install -m 755 "$VM_DIR/guest-init.sh" "$b/init"
    (cd "$b" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) \
        >"$base_cpio.$$"
    # Another run may be doing the same; a rename within the cache makes either result whole.
    mv "$base_cpio.$$" "$base_cpio"
    rm -rf "$b"
    say "built $base_cpio"
fi

# --- per-run part: script, files, their runtime libraries ----------------------------------------
stage="$work/stage"
mkdir -p "$stage/canfd-vm"
if [ "$script" = - ]; then
    cat >"$stage/canfd-vm/script"
else
    [ -f "$script" ] || vm_die "no such script: $script"
    cp "$script" "$stage/canfd-vm/script"
fi
nonce="$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n')"
printf 'NONCE=%s\nWANT_OUT=%s\nBUS=%s\n' "$nonce" "$([ -n "$out_dir" ] && echo 1 || echo 0)" \
    "$VM_BUS" >"$stage/canfd-vm/config"

# Libraries come from the sysroot ("" is the host), then, for iproute2's ip and tc, from the
# libraries fetched with them.
if [ "$VM_ARCH" = x86_64 ]; then sysroot=""; else sysroot="$VM_CACHE/sysroot"; fi
lib_roots=("$sysroot" "$VM_CACHE/iproute2/sysroot")
lib_dirs=("/lib/$VM_TRIPLET" "/usr/lib/$VM_TRIPLET" /lib /usr/lib /lib64 /usr/lib64)
case "$VM_ARCH" in
x86_64) elf_machine="Advanced Micro Devices X86-64" ;;
arm64) elf_machine="AArch64" ;;
armhf) elf_machine="ARM" ;;
esac

# Follows symlinks inside a sysroot, whose absolute links point into the sysroot, not the host.
sysroot_real() { # ROOT PATH
    local root="$1" p="$1$2" t i
    for ((i = 0; i < 40; i++)); do
        [ -L "$p" ] || break
        t="$(readlink "$p")"
        case "$t" in
        /*) p="$root$t" ;;
        *) p="$(dirname "$p")/$t" ;;
        esac
    done
    [ -e "$p" ] && echo "$p"
}

declare -A have_lib=()
add_runtime_file() { # GUESTPATH ROOT: copies it from the sysroot ROOT, then what it needs
    local guest="$1" root="$2" host
    [ -z "${have_lib[$guest]:-}" ] || return 0
    have_lib[$guest]=1
    host="$(sysroot_real "$root" "$guest")" || vm_die "$guest not found in ${root:-the host}"
    mkdir -p "$stage$(dirname "$guest")"
    cp -L "$host" "$stage$guest"
    add_elf_needs "$host" "$guest"
}

add_elf_needs() { # HOSTFILE WHAT
    local f="$1" what="$2" interp lib d root found
    interp="$(readelf -lW "$f" 2>/dev/null | sed -n 's/.*Requesting program interpreter: \(.*\)]$/\1/p')"
    if [ -n "$interp" ]; then
        local machine
        machine="$(readelf -hW "$f" | sed -n 's/^ *Machine: *//p')"
        case "$machine" in
        "$elf_machine") ;;
        *) vm_die "$what is built for '$machine', not for the $VM_ARCH guest" ;;
        esac
        add_runtime_file "$interp" "$sysroot"
    fi
    for lib in $(readelf -dW "$f" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'); do
        found=""
        for root in "${lib_roots[@]}"; do
            for d in "${lib_dirs[@]}"; do
                if [ -e "$root$d/$lib" ]; then
                    found="$d/$lib"
                    break 2
                fi
            done
        done
        [ -n "$found" ] || vm_die "$lib, needed by $what, not found in ${sysroot:-the host}" \
            "${lib_roots[1]:+or ${lib_roots[1]} }${lib_dirs[*]}"
        add_runtime_file "$found" "$root"
    done
}

for mapping in "${files[@]}"; do
    [[ "$mapping" == *:* ]] || vm_die "--file expects HOST:GUEST, got '$mapping'"
    host="${mapping%:*}"
    guest="${mapping##*:}"
    [[ "$guest" == /* ]] || vm_die "guest path must be absolute in --file '$mapping'"
    [ -e "$host" ] || vm_die "no such file: $host"
    [[ "$guest" == */ ]] && guest="$guest$(basename "$host")"
    mkdir -p "$stage$(dirname "$guest")"
    cp -rL --preserve=mode "$host" "$stage$guest"
    while IFS= read -r -d '' f; do
        if vm_is_elf "$f"; then
            add_elf_needs "$f" "${f#"$stage"}"
        fi
    done < <(find "$stage$guest" -type f -print0)
done
mkdir -p "$stage/usr/sbin"
for tool in ip tc; do
    cp "$VM_CACHE/iproute2/bin/$tool" "$stage/usr/sbin/$tool"
    add_elf_needs "$VM_CACHE/iproute2/bin/$tool" "/usr/sbin/$tool"
done
if [ "$VM_BUS" = ctucan ]; then
    mkdir -p "$stage/lib/modules/canfd-vm"
    cp "$VM_CTUCAN"/modules/*.ko "$stage/lib/modules/canfd-vm/"
    # The guest runs these for can0, and with can1 in their place for can1; it fails the setup
    # when there are none.
    vm_readme_can0_setup "$VM_REPO/README.md" >"$stage/canfd-vm/can-setup" ||
        vm_die "cannot read $VM_REPO/README.md"
fi
(cd "$stage" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$work/run.cpio"
# The kernel unpacks concatenated archives in order, so the run part lands over the base.
cat "$base_cpio" "$work/run.cpio" >"$work/initrd"
say "initramfs ready ($(du -k "$work/initrd" | cut -f1) KiB)"

# --- boot ---------------------------------------------------------------------------------------
console="$work/console.log"
: >"$console"
read -ra machine_args <<<"$(vm_qemu_machine_args) $(vm_qemu_bus_args)"
cmdline="console=$VM_CONSOLE quiet loglevel=1 panic=-1 rdinit=/init mitigations=off cryptomgr.notests"
timeout -k 5 "$timeout_s" "$VM_QEMU" "${machine_args[@]}" -smp 1 \
    -nodefaults -no-user-config -display none -no-reboot \
    -kernel "$VM_CACHE/kernel" -initrd "$work/initrd" -append "$cmdline" \
    -serial "file:$console" -monitor none \
    </dev/null >"$work/qemu.log" 2>&1 9>&- &
qemu_pid=$!
qemu_rc=0
wait "$qemu_pid" || qemu_rc=$?
qemu_pid=""
say "guest ended (qemu status $qemu_rc)"
[ -z "$console_copy" ] || cp "$console" "$console_copy"

show_console_tail() {
    echo "canfd-vm: last console lines:" >&2
    tail -n 30 "$console" | tr -d '\r' | sed 's/^/  | /' >&2
    if [ -s "$work/qemu.log" ]; then
        echo "canfd-vm: qemu said:" >&2
        sed 's/^/  | /' "$work/qemu.log" >&2
    fi
}

marker_offset() { # PATTERN: byte offset of its first match in the console log, or nothing
    { LC_ALL=C grep -boa -m 1 -- "$1" "$console" || true; } | head -n 1 | cut -d: -f1
}

fail_line="$(LC_ALL=C grep -a -m 1 -- "@@CANFD-VM-FAIL-$nonce@@" "$console" || true)"
if [ -n "$fail_line" ]; then
    show_console_tail
    vm_die "guest setup failed: ${fail_line#*@@ }"
fi

begin_marker="@@CANFD-VM-BEGIN-$nonce@@"
begin_off="$(marker_offset "$begin_marker")"
if [ -z "$begin_off" ]; then
    show_console_tail
    [ "$qemu_rc" != 124 ] || vm_die "timeout: the $VM_ARCH guest did not boot within ${timeout_s}s"
    vm_die "the $VM_ARCH guest did not boot (qemu status $qemu_rc)"
fi
out_start=$((begin_off + ${#begin_marker} + 1))

end_line="$(LC_ALL=C grep -boa -m 1 -- "@@CANFD-VM-END-$nonce@@ [0-9]*" "$console" || true)"
if [ -z "$end_line" ]; then
    # Hand over what the script did print: it is what explains a hang.
    tail -c +$((out_start + 1)) "$console"
    show_console_tail
    [ "$qemu_rc" != 124 ] || vm_die "timeout: the script did not finish within ${timeout_s}s"
    vm_die "the guest stopped before the script ended (qemu status $qemu_rc)"
fi
end_off="${end_line%%:*}"
status="${end_line##* }"
# The init adds one newline before the end marker so that it starts a line.
# head first: it stops reading at the limit, while tail would be cut off by SIGPIPE.
head -c $((end_off - 1)) "$console" | tail -c +$((out_start + 1))

if [ -n "$out_dir" ]; then
    mkdir -p "$out_dir"
    out_end="$(LC_ALL=C grep -a -m 1 -- "@@CANFD-VM-OUT-END-$nonce@@" "$console" || true)"
    [ -n "$out_end" ] || vm_die "the guest's /out did not come back (qemu status $qemu_rc)"
    [ "${out_end##* }" = 0 ] || vm_die "packing /out in the guest failed"
    LC_ALL=C sed -n "/^@@CANFD-VM-OUT-$nonce@@\$/,/^@@CANFD-VM-OUT-END-$nonce@@/p" "$console" |
        sed '1d;$d' | base64 -d | tar -xz -C "$out_dir" ||
        vm_die "unpacking the guest's /out into $out_dir failed"
fi
say "done, script status $status"
exit "$status"
