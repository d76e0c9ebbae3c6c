# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# can0 is taken down in the middle of an upload, while the flasher sends a burst of blocks: it must
# stop with status 2 and say why. The board is held (SIGSTOP) from the moment can0 goes down until
# that run is over, so the first capture holds exactly what it saw. While the driver closes the
# device, the kernel still accepts writes and drops them (several hundred blocks under emulation):
# the burst is long enough (the first request's 4,681 blocks) to outlast that and meet ENETDOWN.
# Those blocks never reached the bus, so the board, whose controller counted no lost frame, must
# fail on them rather than ask again. can0 comes up again, and a second run finishes a board left
# in its bootloader (a fresh one in recovery mode, asking from the start) without an activation:
# the README's recovery, on a real driver. Needs a controller's driver: on vcan nothing is in
# flight.
prepare() {
    make_image 400000 16 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
mkdir -p /out/first /out/second
start_capture /out/first
start_flasher /out/first
"$BIN/canfd-board-sim" --interface "$BOARD_IF" --image "$IMAGE" --timeout-s "$SIM_TIMEOUT_S" \
    --chunk 262144 >/out/first/sim.log 2>&1 &
sim=$!
# The request's lines come after the pause before offset 0, right before its burst.
n=0
until grep -q "Requested fileOffset 0" /out/first/flasher.out; do
    n=$((n + 1))
    [ "$n" -le 3000 ] || break
    usleep 10000
done
kill -STOP "$sim"
ip link set can0 down
finish_flasher /out/first 10
stop_capture /out/first
kill -CONT "$sim"
wait "$sim"
echo $? >/out/first/sim.status
ip link set can0 up
start_capture /out/second
start_flasher /out/second
run_sim /out/second --no-announce --chunk 262144
finish_flasher /out/second 10
stop_capture /out/second
say "first run $(cat /out/first/flasher.status), board $(cat /out/first/sim.status);" \
    "second run $(cat /out/second/flasher.status), board $(cat /out/second/sim.status)"
GUEST
}

verify() {
    local verdict
    echo "- the run that can0 went down under"
    expect_status "the flasher" "$out/first/flasher.status" 2
    expect_report "$out/first" "Error sending command via CAN FD!: Network is down"
    check_capture "$out/first" --image "$stage/klipper.bin" --activations 1 --partial
    # Had can1 overrun before can0 went down, the board would ask again, in vain: that too ends
    # in bytes that never came.
    verdict="$(tail -n 1 "$out/first/sim.log")"
    want="FAIL: block at offset * never came: * can1 counted no lost frame since that request"
    [ "$(cat "$out/first/rx_errors")" = 0 ] || want="FAIL: * never came*"
    # shellcheck disable=SC2053 # $want is a pattern
    if [ "$(cat "$out/first/sim.status")" = 2 ] && [[ "$verdict" == $want ]]; then
        pass "the board of the cut-short run: $verdict"
    else
        flunk "the board of the cut-short run (status $(cat "$out/first/sim.status")): $verdict"
    fi
    echo "- the second run"
    expect_upload "$out/second" "$stage/klipper.bin" --activations 0
    if grep -q "Detected original firmware" "$out/second/flasher.out"; then
        flunk "the second run activated the board again"
    else
        pass "the second run served the bootloader without a new activation"
    fi
}
