#!/usr/bin/env bash
# Shows canfd-flash at work without a board: builds it and the simulated board, boots a small
# x86_64 VM (qemu) and flashes the simulated board 121 there with a test image. Run as root (or
# with sudo) on Debian 12:
#   ./demo.sh               can0 is a virtual CAN FD bus (vcan)
#   ./demo.sh --bus ctucan  can0 and can1 are two emulated CTU CAN FD controllers on one bus,
#                           driven by the real Linux driver and set up with the README's commands;
#                           the flasher uses can0, the simulated board can1
set -euo pipefail
cd "$(dirname "$0")"
repo="$PWD"

bus=vcan
case "${1:-}" in
"") ;;
--bus)
    bus="${2:-}"
    [ "$bus" = vcan ] || [ "$bus" = ctucan ] || {
        echo "demo.sh: --bus takes vcan or ctucan" >&2
        exit 2
    }
    ;;
*)
    echo "usage: ./demo.sh [--bus vcan|ctucan]" >&2
    exit 2
    ;;
esac

build="$repo/build"
demo="$build/demo"
image_size=24836

step() {
    printf '%s ' "$*"
}

# Prints the last lines of LOG and stops; used when a preparation step fails.
give_up() { # WHAT LOG
    echo "failed"
    echo "demo.sh: $1 failed; the end of its log ($2):"
    tail -n 25 "$2" | sed 's/^/  | /'
    exit 1
}

seconds_since() { # START_NS
    local ms=$((($(date +%s%N) - $1) / 1000000))
    printf '%d.%d s' $((ms / 1000)) $((ms % 1000 / 100))
}

# Strips the carriage returns of the flasher's log and leaves out the middle of the upload:
# the log runs up to the first three block lines, then goes on at the last request.
abridge_flasher_log() { # FILE
    tr -d '\r' <"$1" | awk '
        { line[NR] = $0 }
        /^Sending firmware block/ { blocks++; if (!first) first = NR }
        /^Received FirmwareUpdateRequest/ { requests++; last = NR }
        END {
            # "Hotovo" and the frame itself come before the line that names the request.
            tail_from = last > 2 ? last - 2 : NR + 1
            cut_from = first ? first + 3 : NR + 1
            if (cut_from >= tail_from) cut_from = tail_from = NR + 1
            for (i = 1; i < cut_from && i <= NR; i++) print "  " line[i]
            if (cut_from <= NR) {
                printf "  [... %d lines left out: %d block requests answered with %d blocks in all ...]\n",
                    tail_from - cut_from, requests, blocks
                for (i = tail_from; i <= NR; i++) print "  " line[i]
            }
        }'
}

# The board's own account: its first frames (announcement and activation), then its notes,
# the progress lines thinned out.
abridge_sim_log() { # FILE
    grep '  [RT]X  ' "$1" | sed -n '1,3s/^/  /p'
    grep -v '  [RT]X  ' "$1" | awk '
        /chunk [0-9]+ of [0-9]+:/ { chunk[++n] = $0; next }
        { if (n) flush(); print "  " $0 }
        function flush(   i) {
            for (i = 1; i <= n; i++)
                if (i <= 2 || i == n) print "  " chunk[i]
                else if (i == 3) printf "  [... %d more chunks ...]\n", n - 3
            n = 0
        }
        END { if (n) flush() }'
}

if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh: run it as root (or with sudo): it installs packages with apt-get and boots a VM"
    exit 1
fi

if [ "$bus" = vcan ]; then
    echo "canfd-flash demo: flashing the simulated board 121 over a virtual CAN FD bus in a qemu VM"
else
    echo "canfd-flash demo: flashing the simulated board 121 across two emulated CTU CAN FD"
    echo "controllers on one bus in a qemu VM, driven by the real Linux driver (can0 -> can1)"
fi
echo
mkdir -p "$demo"
t0=$(date +%s%N)

step "[1/4] Packages (tests/install-deps.sh --demo, apt-get where missing) ..."
bash tests/install-deps.sh --demo >"$demo/install.log" 2>&1 ||
    give_up "installing packages" "$demo/install.log"
echo "ready"

step "[2/4] Building canfd-flash and the simulated board in build/ ..."
{
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release &&
        cmake --build "$build" -j "$(nproc)" --target canfd-flash canfd-board-sim e2e-capture e2e-check
} >"$demo/build.log" 2>&1 || give_up "the build" "$demo/build.log"
echo "done"

step "[3/4] Test image ..."
"$build/tests/e2e/e2e-check" image "$image_size" 2024 "$demo/klipper.bin"
echo "$demo/klipper.bin, $image_size bytes, to become /opt/klipper.bin in the VM"

if [ "$bus" = vcan ]; then
    step "[4/4] Booting the VM and flashing (the first run also downloads a Debian kernel) ..."
else
    step "[4/4] Booting the VM and flashing (the first run also downloads a Debian kernel and builds its CAN controller driver) ..."
fi
{
    cat tests/e2e/guest-lib.sh
    echo 'flash_run /out --stats'
} >"$demo/guest.sh"
rm -rf "$demo/out"
t1=$(date +%s%N)
rc=0
tests/vm/guest-run.sh --arch x86_64 --bus "$bus" --timeout 240 \
    --file "$build/src/canfd-flash:/opt/bin/canfd-flash" \
    --file "$build/sim/canfd-board-sim:/opt/bin/canfd-board-sim" \
    --file "$build/tests/e2e/e2e-capture:/opt/bin/e2e-capture" \
    --file "$demo/klipper.bin:/opt/klipper.bin" \
    --out "$demo/out" "$demo/guest.sh" >"$demo/vm.log" 2>&1 || rc=$?
[ "$rc" = 0 ] || give_up "the VM run (status $rc)" "$demo/vm.log"
echo "done in $(seconds_since "$t1")"
out="$demo/out"

echo
echo "=== canfd-flash, as it ran in the VM: its log (abridged)"
abridge_flasher_log "$out/flasher.out"
if [ -s "$out/flasher.err" ]; then
    echo "  its error stream:"
    sed 's/^/  ! /' "$out/flasher.err"
fi
flasher_status="$(cat "$out/flasher.status")"
echo "  exit status $flasher_status"

echo
echo "=== canfd-board-sim: the board's view (TX = sent by the board, RX = received from the flasher)"
abridge_sim_log "$out/sim.log"
sim_status="$(cat "$out/sim.status")"

echo
if [ "$bus" = vcan ]; then
    echo "=== The bus, as recorded by a separate capture program on can0"
else
    echo "=== The bus, as recorded by a separate capture program on can1 (lengths as a controller rounds them)"
fi
capture_rc=0
"$build/tests/e2e/e2e-check" capture "$out/capture.txt" --image "$demo/klipper.bin" \
    --activations 1 >"$demo/capture-check.txt" || capture_rc=$?
sed 's/^/  /' "$demo/capture-check.txt"

echo
if [ "$flasher_status" = 0 ] && [ "$sim_status" = 0 ] && [ "$capture_rc" = 0 ]; then
    echo "Verdict: PASS. The board received all $image_size bytes byte-exact, it was activated exactly"
    echo "once, and canfd-flash exited with status 0 after the last byte ($(seconds_since "$t0") in all)."
    echo "Logs and the capture are in $demo/out/."
else
    echo "Verdict: FAIL (flasher status $flasher_status, board status $sim_status, capture check" \
        "status $capture_rc). Logs and the capture are in $demo/out/."
    exit 1
fi
