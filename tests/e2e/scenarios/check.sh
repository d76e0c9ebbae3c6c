# shellcheck shell=bash disable=SC2154 # out, stage, bus: set by run-scenario.sh
# canfd-flash --check, with another node talking and the simulated board announcing itself a
# second later, and with no board at all. The first must end "Ready" (status 0), the second "Not ready" naming the
# silence (status 1), both with can0's settings named: the bit rates on the controllers' bus, no
# bit timing on vcan. On both runs the capture must hold no frame from the flasher: the board's
# announcements and the other nodes' frames are all it may hold.
prepare() {
    make_image 24836 37 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
mkdir -p /out/ready /out/silent
start_capture /out/ready
# Another node talks from the start; the board announces itself a second later.
"$BIN/e2e-capture" flood "$BOARD_IF" 12345678 0102030405060708 3000 200 &
flood=$!
(
    sleep 1
    exec "$BIN/canfd-board-sim" --interface "$BOARD_IF" --image "$IMAGE" --timeout-s 30 \
        >/out/ready/sim.log 2>&1
) &
sim=$!
run_flasher_once /out/ready --check
kill "$sim" "$flood" 2>/dev/null
wait "$sim" "$flood" 2>/dev/null
stop_capture /out/ready

start_capture /out/silent
timeout -s KILL 20 "$BIN/canfd-flash" --check >/out/silent/flasher.out 2>/out/silent/flasher.err
echo $? >/out/silent/flasher.status
stop_capture /out/silent
say "flasher status $(cat /out/ready/flasher.status), then $(cat /out/silent/flasher.status)"
GUEST
}

verify() {
    local settings
    if [ "$bus" = ctucan ]; then
        settings="can0: 1000 kbit/s, data 4000 kbit/s (sample points 75.0 %, 72.0 %)"
    else
        settings="can0: a virtual CAN interface (vcan): no bit timing and no controller state"
    fi
    echo "- with the board announcing itself"
    expect_status "the check" "$out/ready/flasher.status" 0
    expect_no_report "$out/ready"
    expect_log_line "the image is named" "$out/ready/flasher.out" "^Image: /opt/klipper.bin, 24836 bytes"
    expect_log_line "can0's settings are named" "$out/ready/flasher.out" "^$settings"
    expect_log_line "the board was heard" "$out/ready/flasher.out" "^Board 121: announced itself"
    expect_log_line "the other nodes were counted" "$out/ready/flasher.out" "^Other nodes: [1-9]"
    expect_log_line "it is ready" "$out/ready/flasher.out" "^Ready: board 121 announced itself"
    # The checker fails any frame from the flasher: an activation, a block, anything else.
    check_capture "$out/ready" --activations 0 --at-least announcements=1
    echo "- with no board"
    expect_status "the check" "$out/silent/flasher.status" 1
    expect_no_report "$out/silent"
    expect_log_line "can0's settings are named" "$out/silent/flasher.out" "^$settings"
    expect_log_line "the silence is named" "$out/silent/flasher.out" \
        "^Not ready: nothing heard on can0 in 10 s"
    check_capture "$out/silent" --no-frames
}
