#!/bin/bash
# Runs one end-to-end scenario: boots a test guest of ARCH with the flasher, the simulated board
# and the bus capture in it, plays scenarios/SCENARIO.sh there, and judges what came back.
#
#   run-scenario.sh [--bus vcan|ctucan] ARCH SCENARIO FLASHER SIM CAPTURE CHECKER
#
# FLASHER, SIM and CAPTURE are binaries built for ARCH; CHECKER is e2e-check for this machine.
# The bus is a vcan can0 (default) or two CTU CAN FD controllers, can0 for the flasher and can1
# for the board and the capture (see tests/vm/README.md).
# Exit status 0 when every check passed, 1 otherwise. CANFD_E2E_KEEP=DIR keeps the guest's
# files (logs, capture) in DIR/ARCH/BUS/SCENARIO.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bus=vcan
if [ "${1:-}" = --bus ]; then
    bus="${2:-}"
    shift 2 || true
fi
if [ $# -ne 6 ] || { [ "$bus" != vcan ] && [ "$bus" != ctucan ]; }; then
    sed -n '2,12p' "$0" >&2
    exit 2
fi
arch="$1"
scenario="$2"
flasher="$3"
sim="$4"
capture="$5"
checker="$6"

for binary in "$flasher" "$sim" "$capture" "$checker"; do
    [ -x "$binary" ] || {
        echo "FAIL: $binary is missing: build it first"
        exit 1
    }
done
scenario_file="$here/scenarios/$scenario.sh"
[ -f "$scenario_file" ] || {
    echo "FAIL: no scenario $scenario_file"
    exit 1
}

work="$(mktemp -d "${TMPDIR:-/tmp}/canfd-e2e.XXXXXX")"
trap 'rm -rf "$work"' EXIT
stage="$work/stage"
out="$work/out"
mkdir -p "$stage" "$out"

guest_files=(
    "$flasher:/opt/bin/canfd-flash"
    "$sim:/opt/bin/canfd-board-sim"
    "$capture:/opt/bin/e2e-capture"
)
# TCG runs ARM code several times slower than x86 code.
case "$arch" in
x86_64) guest_timeout=120 sim_timeout=40 ;;
*) guest_timeout=240 sim_timeout=90 ;;
esac
# CTest sets its own timeout from the same figure (two guests, a retry after a bed failure).
guest_timeout="${CANFD_E2E_GUEST_TIMEOUT:-$guest_timeout}"

# shellcheck source=tests/e2e/host-lib.sh
source "$here/host-lib.sh"
# Defines prepare (stages images), guest (prints the guest script) and verify.
# shellcheck disable=SC1090
source "$scenario_file"

prepare
{
    echo "SIM_TIMEOUT_S=$sim_timeout"
    cat "$here/guest-lib.sh"
    guest
} >"$work/guest.sh"
file_args=()
for mapping in "${guest_files[@]}"; do
    file_args+=(--file "$mapping")
done

run_guest() {
    rm -rf "$out"
    mkdir -p "$out"
    rc=0
    "$here/../vm/guest-run.sh" -v --arch "$arch" --bus "$bus" "${file_args[@]}" --out "$out" \
        --timeout "$guest_timeout" "$work/guest.sh" >"$work/console" 2>"$work/bed" || rc=$?
    sed 's/^/    /' "$work/console"
    # The bed's own timings (boot, run) and, when it failed, why.
    sed 's/^/    /' "$work/bed"
}

# Frames the board's controller lost to an overrun of its receive FIFO in this run (the rise of
# its rx_errors, which the guest writes beside each capture). The emulated bus has no bit timing,
# so a long burst can outrun the receiver: the flasher sent those frames, and may have ended
# before the board could ask for them again.
receiver_overruns() {
    local file n=0
    while IFS= read -r file; do
        n=$((n + $(cat "$file")))
    done < <(find "$out" -name rx_errors)
    echo "$n"
}

echo "e2e $arch $bus $scenario"
t0=$(date +%s%N)
# A second guest when the first says nothing about the flasher: the bed failed (the guest did not
# boot, its output got lost), or checks failed in a run whose receiver overran.
for attempt in 1 2; do
    failures=0
    run_guest
    if [ "$rc" = 125 ]; then
        if [ "$attempt" = 1 ]; then
            echo "the guest bed failed (status 125); running the scenario once more"
            continue
        fi
        flunk "the guest bed failed twice: no results to judge"
        break
    fi
    [ "$rc" = 0 ] || flunk "the guest script ended with status $rc"
    # The guest's /out lands in $out; the scenario's checks read it from there.
    verify
    overruns="$(receiver_overruns)"
    if [ "$failures" != 0 ] && [ "$overruns" != 0 ] && [ "$attempt" = 1 ]; then
        echo "the board's controller overran (rx_errors rose by $overruns): frames were lost at the" \
            "receiver, not by the flasher; running the scenario once more"
        continue
    fi
    break
done
elapsed=$((($(date +%s%N) - t0) / 1000000))

if [ -n "${CANFD_E2E_KEEP:-}" ]; then
    # One folder per test, so that tests run in parallel (ctest -j) keep their own files.
    keep="$CANFD_E2E_KEEP/$arch/$bus/$scenario"
    rm -rf "$keep"
    mkdir -p "$keep"
    cp -r "$out/." "$keep/"
    echo "guest files kept in $keep"
fi
if [ "$failures" != 0 ]; then
    # The full logs explain most failures; they are short enough to show whole.
    for log in $(cd "$out" && find . -name 'sim.log' -o -name 'flasher.out' -o -name 'flasher.err' |
        LC_ALL=C sort); do
        echo "--- ${log#./} (last 40 lines)"
        tail -n 40 "$out/$log" | tr -d '\r'
    done
    echo "e2e $arch $bus $scenario: $failures check(s) failed after $((elapsed / 1000)).$(printf '%03d' $((elapsed % 1000))) s"
    exit 1
fi
echo "e2e $arch $bus $scenario: passed in $((elapsed / 1000)).$(printf '%03d' $((elapsed % 1000))) s"
