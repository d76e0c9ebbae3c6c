# shellcheck shell=bash disable=SC2154 # out, stage, bus: set by run-scenario.sh
# canfd-flash --check, with another node talking and the simulated board announcing itself a
# second later; with the board's bootloader already asking, in CAN FD requests that carry its
# board type; with board 121 talking but never announcing itself (its firmware runs); and with no
# board at all. The first two must end "Ready" (status 0), the others "Not ready" (status 1)
# naming the cause, all with can0's settings named: the bit rates on the controllers' bus, no bit
# timing on vcan. On every run the capture must hold no frame from the flasher: the board's and
# the other nodes' frames are all it may hold.
prepare() {
    make_image 24836 37 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
mkdir -p /out/ready /out/bootloader /out/firmware_runs /out/silent
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

# The bootloader asks once the check listens: it gives up on requests that bring nothing.
start_capture /out/bootloader
timeout -s KILL 10 "$BIN/canfd-flash" --check >/out/bootloader/flasher.out \
    2>/out/bootloader/flasher.err &
check=$!
wait_for_text /out/bootloader/flasher.out "^Listening" 50 || say "the check is not listening"
"$BIN/canfd-board-sim" --interface "$BOARD_IF" --image "$IMAGE" --timeout-s 30 --no-announce \
    --fd-requests >/out/bootloader/sim.log 2>&1 &
sim=$!
wait "$check"
echo $? >/out/bootloader/flasher.status
kill "$sim" 2>/dev/null
wait "$sim" 2>/dev/null
stop_capture /out/bootloader

# Board 121 (type 4000, source 121, to address 0) talks throughout, and never announces itself.
start_capture /out/firmware_runs
"$BIN/e2e-capture" flood "$BOARD_IF" 0FA07900 0102 3000 100 &
flood=$!
timeout -s KILL 20 "$BIN/canfd-flash" --check >/out/firmware_runs/flasher.out \
    2>/out/firmware_runs/flasher.err
echo $? >/out/firmware_runs/flasher.status
kill "$flood" 2>/dev/null
wait "$flood" 2>/dev/null
stop_capture /out/firmware_runs

start_capture /out/silent
timeout -s KILL 20 "$BIN/canfd-flash" --check >/out/silent/flasher.out 2>/out/silent/flasher.err
echo $? >/out/silent/flasher.status
stop_capture /out/silent
say "flasher statuses: $(cat /out/ready/flasher.status /out/bootloader/flasher.status \
    /out/firmware_runs/flasher.status /out/silent/flasher.status | tr '\n' ' ')"
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
    echo "- with the board's bootloader asking"
    expect_status "the check" "$out/bootloader/flasher.status" 0
    expect_no_report "$out/bootloader"
    expect_log_line "the request was heard" "$out/bootloader/flasher.out" \
        "^Board 121: its bootloader asks for the image (at offset 0), in a CAN FD frame without"
    expect_log_line "the board type is named" "$out/bootloader/flasher.out" \
        "^Board 121's type, as its bootloader names it: sim-board-121$"
    expect_log_line "it is ready" "$out/bootloader/flasher.out" \
        "^Ready: board 121's bootloader waits for the image"
    check_capture "$out/bootloader" --activations 0 --partial
    echo "- with the board's firmware running"
    expect_status "the check" "$out/firmware_runs/flasher.status" 1
    expect_no_report "$out/firmware_runs"
    expect_log_line "the board's frames are its own" "$out/firmware_runs/flasher.out" \
        "^Board 121: [1-9][0-9]* frames in 10 s, none of them an announcement$"
    expect_log_line "they are not other nodes' frames" "$out/firmware_runs/flasher.out" \
        "^Other nodes: 0 frames$"
    expect_log_line "a reset is asked for" "$out/firmware_runs/flasher.out" \
        "^Not ready: board 121 runs its firmware but did not announce itself in 10 s"
    check_capture "$out/firmware_runs" --activations 0 --at-least others=1
    echo "- with no board"
    expect_status "the check" "$out/silent/flasher.status" 1
    expect_no_report "$out/silent"
    expect_log_line "can0's settings are named" "$out/silent/flasher.out" "^$settings"
    expect_log_line "the silence is named" "$out/silent/flasher.out" \
        "^Not ready: nothing heard on can0 in 10 s"
    check_capture "$out/silent" --no-frames
}
