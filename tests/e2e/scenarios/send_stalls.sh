# shellcheck shell=bash disable=SC2154 # out, stage, arch: set by run-scenario.sh
# can0 stops sending in the middle of an upload and never starts again, as when no node
# acknowledges: a plug holds can0's transmit queue. The flasher must say once that can0 is not
# sending, then give up with status 2 once nothing has left for 20 s; what did cross the bus
# before is exact. On both buses: vcan's plug holds the flasher's writes though the board still
# gets the frames written before the flasher's write sleeps; on the controllers' bus it holds
# every frame from can0 and none of the board's.
prepare() {
    make_image 400000 31 klipper.bin /opt/klipper.bin
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
    >/out/sim.log 2>&1 &
sim=$!
wait_for_text /out/flasher.out "Requested fileOffset 8192" 600 || say "the upload did not begin"
uptime_cs >/out/hold_from
hold_can0
uptime_cs >/out/held_from
finish_flasher /out 60
uptime_cs >/out/ended_at
kill "$sim" 2>/dev/null
wait "$sim"
stop_capture /out
say "flasher status $(cat /out/flasher.status)"
GUEST
}

verify() {
    local least most margin
    expect_status "the flasher" "$out/flasher.status" 2
    expect_report "$out" "can0 is not sending" \
        "Error sending command via CAN FD!: can0 sent nothing for 20 s"
    # The queue was held at some moment while tc ran: from its start the flasher must have
    # waited the 20 s bound at least, from its end at most that and the time an emulated guest
    # needs to notice (TCG runs ARM code several times slower).
    case "$arch" in
    x86_64) margin=150 ;;
    *) margin=400 ;;
    esac
    least=$(($(cat "$out/ended_at") - $(cat "$out/hold_from")))
    most=$(($(cat "$out/ended_at") - $(cat "$out/held_from")))
    if [ "$least" -ge 2000 ] && [ "$most" -lt $((2000 + margin)) ]; then
        pass "the flasher gave up $most to $least cs after can0 stopped sending"
    else
        flunk "the flasher gave up $most to $least cs after can0 stopped sending, expected" \
            "2000 to $((2000 + margin))"
    fi
    check_capture "$out" --image "$stage/klipper.bin" --activations 1 --partial \
        --at-least answered=17
}
