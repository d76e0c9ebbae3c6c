# shellcheck shell=bash disable=SC2154 # out, stage, arch: set by run-scenario.sh
# The log goes into a pipe whose reader sleeps for 20 s, as a pager does that waits for its user,
# with about twice what the pipe holds to write. The upload must not wait for it: the board passes
# while the reader sleeps, and the flasher ends with status 0 once the reader has taken the whole
# log, which is byte for byte that of the same upload logged into a file. On vcan: the pace of a
# reader is the same on either bus.
prepare() {
    make_image 100000 34 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
flash_run /out/file
mkdir -p /out/pipe
start_capture /out/pipe
uptime_cs >/out/pipe/started_at
{
    "$BIN/canfd-flash" 2>/out/pipe/flasher.err &
    echo $! >/tmp/flasher.pid
    wait $!
    echo $? >/out/pipe/flasher.status
    uptime_cs >/out/pipe/ended_at
} | {
    sleep 20
    uptime_cs >/out/pipe/read_at
    cat >/out/pipe/flasher.out
} &
pipeline=$!
# The log cannot tell when the flasher listens: its lock on can0 shows it starting.
n=0
while ! grep -q "@canfd-flash can0" /proc/net/unix && [ "$n" -lt 100 ]; do
    n=$((n + 1))
    usleep 100000
done
usleep 500000
run_sim /out/pipe
uptime_cs >/out/pipe/board_done_at
# A flasher still waiting for a board that gave up would never end.
(
    sleep 40
    kill -9 "$(cat /tmp/flasher.pid)" 2>/dev/null
) &
watchdog=$!
wait "$pipeline"
kill "$watchdog" 2>/dev/null
stop_capture /out/pipe
say "sim status $(cat /out/pipe/sim.status), flasher status $(cat /out/pipe/flasher.status)"
GUEST
}

verify() {
    local dir="$out/pipe" started board_done read_at ended
    echo "- the upload logged into a file"
    expect_upload "$out/file" "$stage/klipper.bin" --activations 1
    echo "- the same, logged into a pipe whose reader sleeps for 20 s"
    expect_upload "$dir" "$stage/klipper.bin" --activations 1
    started=$(cat "$dir/started_at")
    board_done=$(cat "$dir/board_done_at")
    read_at=$(cat "$dir/read_at")
    ended=$(cat "$dir/ended_at")
    if [ "$board_done" -lt "$read_at" ]; then
        pass "the board passed $((board_done - started)) cs after the start, before the reader woke"
    else
        flunk "the board was done $((board_done - started)) cs after the start, not before the" \
            "reader woke ($((read_at - started)) cs)"
    fi
    if [ "$ended" -ge "$read_at" ]; then
        pass "the flasher ended once the reader had read ($((ended - started)) cs after the start)"
    else
        flunk "the flasher ended $((read_at - ended)) cs before its reader read anything"
    fi
    if cmp "$out/file/flasher.out" "$dir/flasher.out"; then
        pass "the log read from the pipe is byte for byte that of the upload into a file" \
            "($(wc -c <"$dir/flasher.out") bytes)"
    else
        flunk "the log read from the pipe differs from the log written into a file"
    fi
}
