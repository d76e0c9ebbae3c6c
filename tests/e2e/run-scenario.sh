#!/bin/bash
# Runs one end-to-end scenario: boots a test guest of ARCH with the flasher, the simulated board
# and the bus capture in it, plays scenarios/SCENARIO.sh there, and judges what came back.
#
#   run-scenario.sh ARCH SCENARIO FLASHER SIM CAPTURE CHECKER
#
# FLASHER, SIM and CAPTURE are binaries built for ARCH; CHECKER is e2e-check for this machine.
# Exit status 0 when every check passed, 1 otherwise. CANFD_E2E_KEEP=DIR keeps the guest's
# files (logs, capture) in DIR.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [ $# -ne 6 ]; then
    sed -n '2,9p' "$0" >&2
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
    "$here/../vm/guest-run.sh" -v --arch "$arch" "${file_args[@]}" --out "$out" \
        --timeout "$guest_timeout" "$work/guest.sh" >"$work/console" 2>"$work/bed" || rc=$?
    sed 's/^/    /' "$work/console"
    # The bed's own timings (boot, run) and, when it failed, why.
    sed 's/^/    /' "$work/bed"
}

echo "e2e $arch $scenario"
t0=$(date +%s%N)
run_guest
# The bed's status: the guest did not boot or its output got lost, so there is nothing to judge.
# That says nothing about the flasher, so the scenario gets one more guest.
if [ "$rc" = 125 ]; then
    echo "the guest bed failed (status 125); running the scenario once more"
    run_guest
fi
elapsed=$((($(date +%s%N) - t0) / 1000000))
if [ "$rc" = 125 ]; then
    flunk "the guest bed failed twice: no results to judge"
else
    [ "$rc" = 0 ] || flunk "the guest script ended with status $rc"
    # The guest's /out lands in $out; the scenario's checks read it from there.
    verify
fi

if [ -n "${CANFD_E2E_KEEP:-}" ]; then
    mkdir -p "$CANFD_E2E_KEEP"
    cp -r "$out/." "$CANFD_E2E_KEEP/"
    echo "guest files kept in $CANFD_E2E_KEEP"
fi
if [ "$failures" != 0 ]; then
    # The full logs explain most failures; they are short enough to show whole.
    for log in $(cd "$out" && find . -name 'sim.log' -o -name 'flasher.out' -o -name 'flasher.err' |
        LC_ALL=C sort); do
        echo "--- ${log#./} (last 40 lines)"
        tail -n 40 "$out/$log" | tr -d '\r'
    done
    echo "e2e $arch $scenario: $failures check(s) failed after $((elapsed / 1000)).$(printf '%03d' $((elapsed % 1000))) s"
    exit 1
fi
echo "e2e $arch $scenario: passed in $((elapsed / 1000)).$(printf '%03d' $((elapsed % 1000))) s"
