#!/bin/bash
# Proves the test bed for one architecture: can0 is a CAN FD vcan that is up, dynamic and static
# C++ programs built for the guest exchange a 72-byte frame over raw sockets, the script's output
# and exit status come back exactly, /out comes back, and a hung script is cut off by the timeout.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if [ $# -ne 1 ] || [ "$1" = -h ] || [ "$1" = --help ]; then
    echo "Usage: $(basename "$0") ARCH   (x86_64, arm64 or armhf)"
    [ $# -eq 1 ] && exit 0
    exit 2
fi
vm_arch_setup "$1"

work="$(mktemp -d "${TMPDIR:-/tmp}/canfd-vm-selftest.XXXXXX")"
trap 'rm -rf "$work"' EXIT
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

"$VM_DIR/fetch-guest.sh" "$VM_ARCH"

command -v "$VM_CXX" >/dev/null || vm_die "$VM_CXX not found (install the cross g++ for $VM_ARCH)"
flags=(-std=c++17 -O2 -Wall -Wextra -Werror)
"$VM_CXX" "${flags[@]}" -o "$work/can_pair" "$VM_DIR/can_pair.cpp"
"$VM_CXX" "${flags[@]}" -static -o "$work/can_pair_static" "$VM_DIR/can_pair.cpp"
check "the dynamic build has an interpreter" \
    bash -c "readelf -lW '$work/can_pair' | grep -q 'program interpreter'"

cat >"$work/guest.sh" <<'EOF'
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
"$VM_DIR/guest-run.sh" --arch "$VM_ARCH" --file "$work/can_pair:/opt/bin/" \
    --file "$work/can_pair_static:/opt/bin/can_pair_static" --out "$work/out" --timeout 120 \
    "$work/guest.sh" >"$work/stdout" 2>"$work/stderr" || rc=$?
t1=$(date +%s%N)
echo "boot+run: $(((t1 - t0) / 1000000)) ms"

check "the script's exit status 3 comes back (got $rc)" [ "$rc" = 3 ]
check "nothing on stderr" [ ! -s "$work/stderr" ]
blob_sha="$(sha256sum "$work/out/blob.bin" 2>/dev/null | cut -c1-64 || true)"
frame="72-byte CAN FD frame id 0x123 len 64 exchanged on can0"
{
    printf 'can0 up mtu 72\ncan_pair: %s\ncan_pair: %s\nmissing interface refused\n' "$frame" "$frame"
    seq 1 20000
    printf 'blob %s\ntail without newline' "$blob_sha"
} >"$work/expected"
check "the output comes back byte for byte" cmp "$work/expected" "$work/stdout"
check "/out comes back with its folders" grep -qx "report line" "$work/out/sub/report.txt"
check "binary /out files come back intact" [ -n "$blob_sha" ]

# A script that never ends must be cut off, with the infrastructure status, a clear message and
# what it printed before it hung.
t0=$(date +%s%N)
rc=0
printf 'echo started\nsleep 600\n' |
    "$VM_DIR/guest-run.sh" --arch "$VM_ARCH" --timeout 12 - >"$work/stdout" 2>"$work/stderr" || rc=$?
elapsed_ms=$((($(date +%s%N) - t0) / 1000000))
check "a hung script gives status $VM_INFRA_STATUS (got $rc)" [ "$rc" = "$VM_INFRA_STATUS" ]
check "a hung script is reported as a timeout" grep -q "canfd-vm: timeout" "$work/stderr"
check "a hung script's output so far comes back" grep -qx started "$work/stdout"
check "a hung script is stopped promptly (${elapsed_ms} ms)" [ "$elapsed_ms" -lt 25000 ]

if [ "$failures" != 0 ]; then
    for f in stdout stderr; do
        echo "--- last guest-run $f:"
        cat "$work/$f"
    done
    echo "$failures check(s) failed"
    exit 1
fi
echo "vm selftest $VM_ARCH passed"
