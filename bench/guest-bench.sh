# shellcheck shell=sh
# Runs inside the test guest (busybox sh); run.sh prepends REPS=, CHUNK= and TIMEOUT_S= lines.
# Alternates canfd-flash and bench-bare-loop, each answering the simulated board in recovery
# mode while bench-frame-clock times the blocks; one result line per run in /out/results.
B=/opt/bin
IMAGE=/opt/klipper.bin
mkdir -p /out
: >/out/results

wait_for() { # PATH or "grep PATTERN FILE": gives up after 10 s
    n=0
    while ! "$@" >/dev/null 2>&1; do
        n=$((n + 1))
        [ $n -lt 200 ] || return 1
        sleep 0.05
    done
}

one_run() { # KIND REP
    kind=$1
    rm -f /tmp/clock.ready /tmp/bare.ready /tmp/flash.log /tmp/flash.err
    $B/bench-frame-clock --ready /tmp/clock.ready --timeout-s "$TIMEOUT_S" >/tmp/clock.out 2>&1 &
    clock=$!
    wait_for test -e /tmp/clock.ready || { echo "clock not ready"; return 1; }
    if [ "$kind" = tool ]; then
        # The flasher's log goes to a file, as when a user keeps it.
        $B/canfd-flash >/tmp/flash.log 2>/tmp/flash.err &
        writer=$!
        wait_for grep -q Citam /tmp/flash.log || { echo "canfd-flash not ready"; return 1; }
    else
        $B/bench-bare-loop --image $IMAGE --ready /tmp/bare.ready >/tmp/flash.log 2>/tmp/flash.err &
        writer=$!
        wait_for test -e /tmp/bare.ready || { echo "bare loop not ready"; return 1; }
    fi
    $B/canfd-board-sim --image $IMAGE --no-announce --chunk "$CHUNK" --quiet --stats \
        --timeout-s "$TIMEOUT_S" >/tmp/sim.out 2>&1
    sim_rc=$?
    wait $writer
    writer_rc=$?
    wait $clock
    clock_rc=$?
    lines=$(grep -c "Sending firmware block" /tmp/flash.log)
    echo "$kind $2 $(tail -n 1 /tmp/clock.out) sim $sim_rc writer $writer_rc clock $clock_rc log_blocks $lines" |
        tee -a /out/results
    if [ $sim_rc != 0 ] || [ $writer_rc != 0 ] || [ $clock_rc != 0 ]; then
        echo "--- sim"; tail -n 5 /tmp/sim.out
        echo "--- writer"; tail -n 5 /tmp/flash.err
        echo "--- clock"; cat /tmp/clock.out
        return 1
    fi
}

rep=1
while [ $rep -le "$REPS" ]; do
    one_run tool $rep || exit 1
    one_run bare $rep || exit 1
    rep=$((rep + 1))
done
grep "^stats:" /tmp/sim.out
