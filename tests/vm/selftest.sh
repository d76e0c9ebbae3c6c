#!/bin/bash
# Proves the test bed for one architecture and bus.
#   vcan:   can0 is a CAN FD vcan that is up, dynamic and static C++ programs built for the guest
#           exchange a 72-byte frame over raw sockets, the script's output and exit status come
#           back exactly, /out comes back, and a hung script is cut off by the timeout.
#   ctucan: can0 and can1 are up with MTU 72 and README.md's bit timing, classic and CAN FD frames
#           cross between them both ways, FD frames of odd length arrive rounded up to a valid FD
#           length, and a README command that fails stops the guest setup.
# With --apt-update-fails, first: the guest is fetched into an empty cache while every
# "apt-get update" does its work and then exits 100, as one broken index makes it do.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

apt_update_fails=0
if [ "${1:-}" = --apt-update-fails ]; then
    apt_update_fails=1
    shift
fi
if [ $# -lt 1 ] || [ $# -gt 2 ] || [ "$1" = -h ] || [ "$1" = --help ]; then
    echo "Usage: $(basename "$0") [--apt-update-fails] ARCH [BUS]"
    echo "  (ARCH x86_64, arm64 or armhf; BUS vcan or ctucan)"
    [ $# -ge 1 ] && exit 0
    exit 2
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/canfd-vm-selftest.XXXXXX")"
trap 'rm -rf "$work"' EXIT
if [ "$apt_update_fails" = 1 ]; then
    real_apt_get="$(command -v apt-get)" || vm_die "no apt-get"
    mkdir -p "$work/apt-bin"
    cat >"$work/apt-bin/apt-get" <<EOF
#!/bin/sh
# apt-get whose update does its work, then fails.
for arg; do
    if [ "\$arg" = update ]; then
        "$real_apt_get" "\$@"
        echo "update, which ended with status \$?" >>"$work/apt-get.log"
        echo "E: this self-test's apt-get fails every update" >&2
        exit 100
    fi
done
exec "$real_apt_get" "\$@"
EOF
    chmod +x "$work/apt-bin/apt-get"
    export PATH="$work/apt-bin:$PATH"
    export CANFD_VM_CACHE="$work/cache"
    # apt drops privileges to _apt for downloads into the cache.
    chmod 755 "$work"
fi
vm_arch_setup "$1"
vm_bus_setup "${2:-vcan}"
failures=0
check() { # DESCRIPTION CONDITION...
    local what="$1"
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}

if [ "$apt_update_fails" = 1 ]; then
    rc=0
    { "$VM_DIR/fetch-guest.sh" --bus "$VM_BUS" "$VM_ARCH" 2>&1 >&3 | tee "$work/fetch.err" >&2; } \
        3>&1 || rc=$?
    check "the fetch into an empty cache succeeds (status $rc)" [ "$rc" = 0 ]
    check "the fetch ran apt-get update" grep -q '^update' "$work/apt-get.log"
    check "the failed apt-get update is a warning" \
        grep -q 'warning: apt-get update failed (status 100' "$work/fetch.err"
    check "the guest is in the cache that was empty" [ -f "$VM_CACHE/kernel" ]
fi
"$VM_DIR/fetch-guest.sh" --bus "$VM_BUS" "$VM_ARCH"

command -v "$VM_CXX" >/dev/null || vm_die "$VM_CXX not found (install the cross g++ for $VM_ARCH)"
flags=(-std=c++17 -O2 -Wall -Wextra -Werror)
"$VM_CXX" "${flags[@]}" -o "$work/can_pair" "$VM_DIR/can_pair.cpp"

report() {
    if [ "$failures" != 0 ]; then
        for f in stdout stderr; do
            echo "--- last guest-run $f:"
            cat "$work/$f"
        done
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "vm selftest $VM_ARCH $VM_BUS passed"
    exit 0
}

# The value that follows WORD in the README's can0 commands, e.g. "bitrate" -> 1000000.
readme_setting() { # WORD
    vm_readme_can0_setup "$VM_REPO/README.md" | sed -n "s/.* $1 \([^ ]*\).*/\1/p" | tail -n 1
}

if [ "$VM_BUS" = ctucan ]; then
    cat >"$work/guest.sh" <<'EOF'
echo "bus $BUS"
for dev in can0 can1; do
    flags=$(cat /sys/class/net/$dev/flags)
    if [ $((flags & 1)) = 1 ] && [ "$(cat /sys/class/net/$dev/mtu)" = 72 ]; then
        echo "$dev up mtu 72"
    fi
    ip -details link show "$dev" >"/out/$dev.details"
done
/opt/bin/can_pair can0 can1
/opt/bin/can_pair can0
/opt/bin/can_pair --burst 500 can0 can1 >/out/burst.txt
EOF
    t0=$(date +%s%N)
    rc=0
    "$VM_DIR/guest-run.sh" --arch "$VM_ARCH" --bus ctucan --file "$work/can_pair:/opt/bin/" \
        --out "$work/out" --timeout 240 "$work/guest.sh" >"$work/stdout" 2>"$work/stderr" || rc=$?
    t1=$(date +%s%N)
    echo "boot+run: $(((t1 - t0) / 1000000)) ms"

    check "the script succeeds (status $rc)" [ "$rc" = 0 ]
    check "nothing on stderr" [ ! -s "$work/stderr" ]
    {
        printf 'bus ctucan\ncan0 up mtu 72\ncan1 up mtu 72\n'
        for way in "can0 to can1" "can1 to can0"; do
            echo "can_pair: classic frame id 0x2a5 len 8 from $way"
        done
        for way in "can0 to can1" "can1 to can0"; do
            echo "can_pair: FD frame id 0x1b4 len 64 arrives with len 64, BRS from $way"
        done
        echo "can_pair: FD frame id 0x1b4 len 9 arrives with len 12, BRS from can0 to can1"
        echo "can_pair: FD frame id 0x1b4 len 36 arrives with len 48, BRS from can0 to can1"
        echo "can_pair: 72-byte CAN FD frame id 0x123 len 64 exchanged on can0"
    } >"$work/expected"
    check "both controllers are up with MTU 72 and frames cross both ways, odd FD lengths rounded" \
        cmp "$work/expected" "$work/stdout"
    # What README.md's commands set must show in the driver's own report.
    bitrate="$(readme_setting bitrate)"
    dbitrate="$(readme_setting dbitrate)"
    qlen="$(readme_setting txqueuelen)"
    check "README.md's commands set a bitrate ('$bitrate')" [ -n "$bitrate" ]
    check "README.md's commands set a dbitrate ('$dbitrate')" [ -n "$dbitrate" ]
    for dev in can0 can1; do
        d="$work/out/$dev.details"
        check "$dev has CAN FD on" grep -q '<FD>' "$d"
        check "$dev runs at bitrate $bitrate" grep -qE "^\s+bitrate $bitrate " "$d"
        check "$dev runs at dbitrate $dbitrate" grep -qE "^\s+dbitrate $dbitrate " "$d"
        [ -z "$qlen" ] || check "$dev has txqueuelen $qlen" grep -q " qlen $qlen\$" "$d"
    done
    [ ! -f "$work/out/burst.txt" ] || sed 's/^can_pair: /info: /' "$work/out/burst.txt"

    # The setup logic is the same on every architecture: x86_64, which boots fastest, proves it.
    # A copy of the bed beside a README whose wiring block starts with a command that fails.
    if [ "$VM_ARCH" = x86_64 ]; then
        copy="$work/repo"
        mkdir -p "$copy/tests"
        cp -r "$VM_DIR" "$copy/tests/vm"
        bad="ip link set can0 nosuchsetting 1"
        awk -v heading="$VM_README_WIRING_HEADING" -v bad="$bad" '
            { print }
            $0 == heading { section = 1 }
            section && !done && /^```sh/ { print bad; done = 1 }
        ' "$VM_REPO/README.md" >"$copy/README.md"
        rc=0
        echo 'echo should not run' | CANFD_VM_CACHE="$(dirname "$VM_CACHE")" \
            "$copy/tests/vm/guest-run.sh" --arch x86_64 --bus ctucan - \
            >"$work/stdout" 2>"$work/stderr" || rc=$?
        check "a failing README command fails the setup (status $rc)" [ "$rc" = "$VM_INFRA_STATUS" ]
        check "the failing README command is named" \
            grep -q "canfd-vm: guest setup failed: README command failed: $bad\$" "$work/stderr"
        check "the script does not run after a failed setup" [ ! -s "$work/stdout" ]
    fi
    report
fi

"$VM_CXX" "${flags[@]}" -static -o "$work/can_pair_static" "$VM_DIR/can_pair.cpp"
check "the dynamic build has an interpreter" \
    bash -c "readelf -lW '$work/can_pair' | grep -q 'program interpreter'"

cat >"$work/guest.sh" <<'EOF'
echo "bus $BUS"
[ -e /sys/class/net/can1 ] || echo "no can1"
/opt/bin/can_pair --short-read can0 >/out/short-read.txt
flags=$(cat /sys/class/net/can0/flags)
if [ $((flags & 1)) = 1 ] && [ "$(cat /sys/class/net/can0/mtu)" = 72 ]; then
    echo "can0 up mtu 72"
fi
/opt/bin/can_pair can0
/opt/bin/can_pair_static can0
/opt/bin/can_pair nosuch0 2>/dev/null || echo "missing interface refused"
seq 1 20000
mkdir -p /out/sub
echo "report line" >/out/sub/report.txt
head -c 100000 /dev/urandom >/out/blob.bin
echo "blob $(sha256sum /out/blob.bin | cut -c1-64)"
printf 'tail without newline'
exit 3
EOF

t0=$(date +%s%N)
rc=0
"$VM_DIR/guest-run.sh" --arch "$VM_ARCH" --bus vcan --file "$work/can_pair:/opt/bin/" \
    --file "$work/can_pair_static:/opt/bin/can_pair_static" --out "$work/out" --timeout 120 \
    "$work/guest.sh" >"$work/stdout" 2>"$work/stderr" || rc=$?
t1=$(date +%s%N)
echo "boot+run: $(((t1 - t0) / 1000000)) ms"

check "the script's exit status 3 comes back (got $rc)" [ "$rc" = 3 ]
check "nothing on stderr" [ ! -s "$work/stderr" ]
blob_sha="$(sha256sum "$work/out/blob.bin" 2>/dev/null | cut -c1-64 || true)"
frame="72-byte CAN FD frame id 0x123 len 64 exchanged on can0"
{
    printf 'bus vcan\nno can1\n'
    printf 'can0 up mtu 72\ncan_pair: %s\ncan_pair: %s\nmissing interface refused\n' "$frame" "$frame"
    seq 1 20000
    printf 'blob %s\ntail without newline' "$blob_sha"
} >"$work/expected"
check "the output comes back byte for byte" cmp "$work/expected" "$work/stdout"
check "/out comes back with its folders" grep -qx "report line" "$work/out/sub/report.txt"
check "binary /out files come back intact" [ -n "$blob_sha" ]
[ ! -f "$work/out/short-read.txt" ] || sed 's/^can_pair: /info: /' "$work/out/short-read.txt"

rc=0
"$VM_DIR/guest-run.sh" --arch "$VM_ARCH" --bus nosuch - </dev/null \
    >"$work/stdout" 2>"$work/stderr" || rc=$?
check "an unknown bus is a bed error (status $rc)" [ "$rc" = "$VM_INFRA_STATUS" ]
check "an unknown bus is named" grep -q "canfd-vm: unknown bus 'nosuch'" "$work/stderr"

# A script that never ends must be cut off, with the infrastructure status, a clear message and
# what it printed before it hung.
t0=$(date +%s%N)
rc=0
printf 'echo started\nsleep 600\n' |
    "$VM_DIR/guest-run.sh" --arch "$VM_ARCH" --bus vcan --timeout 12 - \
        >"$work/stdout" 2>"$work/stderr" || rc=$?
elapsed_ms=$((($(date +%s%N) - t0) / 1000000))
check "a hung script gives status $VM_INFRA_STATUS (got $rc)" [ "$rc" = "$VM_INFRA_STATUS" ]
check "a hung script is reported as a timeout" grep -q "canfd-vm: timeout" "$work/stderr"
check "a hung script's output so far comes back" grep -qx started "$work/stdout"
check "a hung script is stopped promptly (${elapsed_ms} ms)" [ "$elapsed_ms" -lt 25000 ]

report
