# Helpers for the scenario scripts that run inside the test guest (busybox sh, as root). Every
# result lands in files under a folder in /out, which the host judges after the guest is gone:
# capture.txt (what crossed the bus), flasher.out/.err/.status, sim.log/.status.
# shellcheck shell=sh

BIN=/opt/bin
IMAGE=/opt/klipper.bin
# The flasher keeps can0. On the ctucan bus (two controllers on one bus) the board and the
# capture sit on the other controller, can1, where frames arrive as a real board receives them.
if [ "${BUS:-vcan}" = ctucan ]; then
    BOARD_IF=can1
else
    BOARD_IF=can0
fi
# A board that never finishes must not hold the guest until the host's timeout.
SIM_TIMEOUT_S=${SIM_TIMEOUT_S:-40}

say() {
    echo "guest: $*"
}

# The guest's uptime in hundredths of a second.
uptime_cs() {
    read -r up _ </proc/uptime
    echo $((${up%.*} * 100 + 1${up#*.} - 100))
}

# Waits up to TENTHS tenths of a second for PATTERN to show up in FILE.
wait_for_text() { # FILE PATTERN TENTHS
    n=0
    while ! grep -q "$2" "$1" 2>/dev/null; do
        n=$((n + 1))
        [ "$n" -le "$3" ] || return 1
        usleep 100000
    done
}

# Frames the board's controller lost to an overrun of its receive FIFO, since the last call.
rx_errors_mark() {
    RX_ERRORS_MARK=$(cat "/sys/class/net/$BOARD_IF/statistics/rx_errors")
}
rx_errors_since_mark() { # DIR
    echo $(($(cat "/sys/class/net/$BOARD_IF/statistics/rx_errors") - RX_ERRORS_MARK)) >"$1/rx_errors"
}

start_capture() { # DIR
    rm -f /tmp/capture.ready
    rx_errors_mark
    # On vcan the capture listens on every interface, so it outlives can0 being recreated.
    if [ "$BOARD_IF" = can0 ]; then
        only=""
    else
        only="--interface $BOARD_IF"
    fi
    # shellcheck disable=SC2086 # $only is empty or two words
    "$BIN/e2e-capture" capture "$1/capture.txt" --ready /tmp/capture.ready $only &
    CAPTURE_PID=$!
    n=0
    while [ ! -e /tmp/capture.ready ]; do
        n=$((n + 1))
        if [ "$n" -gt 100 ]; then
            say "the capture did not start"
            return 1
        fi
        usleep 50000
    done
}

stop_capture() { # DIR
    kill -TERM "$CAPTURE_PID"
    wait "$CAPTURE_PID"
    echo $? >"$1/capture.status"
    rx_errors_since_mark "$1"
}

# Starts the flasher in the background and returns once it is listening on can0 (it prints
# "Citam" right before its first read), so the board's first frame cannot go unheard.
start_flasher() { # DIR
    "$BIN/canfd-flash" >"$1/flasher.out" 2>"$1/flasher.err" &
    FLASHER_PID=$!
    wait_for_text "$1/flasher.out" Citam 100 || say "the flasher is not listening after 10 s"
}

# Gives the flasher SECONDS more to end by itself; a flasher still running then is killed,
# which shows as status 137 in DIR/flasher.status.
finish_flasher() { # DIR SECONDS
    # The watchdog takes its sleep along when stopped, so no process outlives the scenario.
    (
        sleep "$2" &
        nap=$!
        trap 'kill "$nap" 2>/dev/null; exit 0' TERM
        wait "$nap" && kill -9 "$FLASHER_PID" 2>/dev/null
    ) &
    watchdog=$!
    wait "$FLASHER_PID"
    echo $? >"$1/flasher.status"
    kill "$watchdog" 2>/dev/null
    wait "$watchdog" 2>/dev/null
}

# Runs the flasher once in the foreground, for the cases where it must refuse to start.
run_flasher_once() { # DIR [ARGUMENT]
    if [ -n "${2:-}" ]; then
        timeout -s KILL 10 "$BIN/canfd-flash" "$2" >"$1/flasher.out" 2>"$1/flasher.err"
    else
        timeout -s KILL 10 "$BIN/canfd-flash" >"$1/flasher.out" 2>"$1/flasher.err"
    fi
    echo $? >"$1/flasher.status"
}

run_sim() { # DIR SIM-OPTIONS...
    dir=$1
    shift
    "$BIN/canfd-board-sim" --interface "$BOARD_IF" --image "$IMAGE" --timeout-s "$SIM_TIMEOUT_S" \
        "$@" >"$dir/sim.log" 2>&1
    echo $? >"$dir/sim.status"
}

# A whole upload: capture, flasher, simulated board with SIM-OPTIONS, then the statuses.
flash_run() { # DIR SIM-OPTIONS...
    dir=$1
    shift
    mkdir -p "$dir"
    start_capture "$dir" || return 1
    start_flasher "$dir"
    run_sim "$dir" "$@"
    finish_flasher "$dir" 5
    stop_capture "$dir"
    say "sim status $(cat "$dir/sim.status"), flasher status $(cat "$dir/flasher.status")"
}

# A plug on can0's transmit queue, open: hold_can0 closes it, so that frames handed to can0 stay
# queued (on vcan the other sockets still get them: see tests/vm/README.md) and a writer with a
# small send buffer sleeps; release_can0 lets them go, in order.
plug_can0() {
    tc qdisc add dev can0 root plug limit 10000000 && release_can0
}
hold_can0() {
    tc qdisc change dev can0 root plug block
}
release_can0() {
    tc qdisc change dev can0 root plug release_indefinite
}
# Lets the held frames go, then takes the plug away once it holds none: a plug left in place
# through a long upload can stall can0's queue for good under emulation (a lost wake-up).
unplug_can0() {
    release_can0
    n=0
    while ! tc -s qdisc show dev can0 | grep -q "backlog 0b 0p"; do
        n=$((n + 1))
        [ "$n" -le 100 ] || break
        usleep 100000
    done
    tc qdisc del dev can0 root
}

# With the capture and the flasher on a plugged can0, the board (in its bootloader, played by
# hand) asks for 4096 bytes at offset 0; once they are served, can0 is held.
serve_first_request_then_hold() { # DIR
    plug_can0
    start_capture "$1"
    start_flasher "$1"
    send_request 0000000000100001
    wait_for_text "$1/flasher.out" "offset 4088" 100 || say "the first request was not served"
    usleep 500000
    hold_can0
}

# Puts a firmwareBlockRequest from board 121 with the given payload on the bus.
send_request() { # HEXDATA [fd|brs]
    "$BIN/e2e-capture" send "$BOARD_IF" 13887900 "$@"
}
