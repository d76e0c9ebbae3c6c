# shellcheck shell=bash disable=SC2154 # out, stage, arch: set by run-scenario.sh
# can0 stops sending in the middle of an upload and never starts again, as when no node
# acknowledges: a plug holds can0's transmit queue during a burst of 4,681 blocks. The flasher
# must say once that can0 is not sending, 2 s into the stall, and give up with status 2 once
# nothing has left for 20 s; what did cross the bus before is exact. A long burst, because a
# flasher left with fewer frames to send than its socket buffer holds never meets the stall (it
# waits for the board instead); the board waits long for them, so it asks for none twice. On
# both buses: vcan's plug holds the flasher's writes though the board still gets the frames
# written before the flasher's write sleeps; on the controllers' bus it holds every frame from
# can0 and none of the board's.
prepare() {
    make_image 600000 31 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
mkdir -p /out
uptime_cs() {
    read -r up _ </proc/uptime
    echo $((${up%.*} * 100 + 1${up#*.} - 100))
}
plug_can0
start_capture /out
start_flasher /out
# Started by hand, so that it can be stopped: it waits for blocks that will not come.
"$BIN/canfd-board-sim" --interface "$BOARD_IF" --image "$IMAGE" --timeout-s "$SIM_TIMEOUT_S" \
    --chunk 262144 --chunk-timeout-ms 30000 >/out/sim.log 2>&1 &
sim=$!
wait_for_text /out/flasher.out "Requested fileOffset 262144" 600 || say "no second request"
uptime_cs >/out/hold_from
hold_can0
wait_for_text /out/flasher.err "not sending" 300 && uptime_cs >/out/reported_at
finish_flasher /out 60
uptime_cs >/out/ended_at
kill "$sim" 2>/dev/null
wait "$sim"
stop_capture /out
say "flasher status $(cat /out/flasher.status)"
GUEST
}

verify() {
    local waited after_report margin
    expect_status "the flasher" "$out/flasher.status" 2
    expect_report "$out" "can0 is not sending" \
        "Error sending command via CAN FD!: can0 sent nothing for 20 s"
    # The stall began once tc had held the queue, and the report (seen within 0.1 s) came 2 s
    # into it: the flasher must give up 20 s after the stall began, and no later than an
    # emulated guest needs to notice (TCG runs ARM code several times slower).
    case "$arch" in
    x86_64) margin=100 ;;
    *) margin=300 ;;
    esac
    waited=$(($(cat "$out/ended_at") - $(cat "$out/hold_from")))
    after_report=$(($(cat "$out/ended_at") - $(cat "$out/reported_at" 2>/dev/null || echo 0)))
    if [ "$waited" -ge 2000 ] && [ "$after_report" -ge 1780 ] &&
        [ "$after_report" -lt $((1800 + margin)) ]; then
        pass "the flasher gave up $after_report cs after its report, $waited cs after the hold"
    else
        flunk "the flasher gave up $after_report cs after its report (expected 1780 to" \
            "$((1800 + margin))), $waited cs after the hold (expected 2000 or more)"
    fi
    check_capture "$out" --image "$stage/klipper.bin" --activations 1 --partial \
        --at-least answered=2 --at-least blocks=4682
}
