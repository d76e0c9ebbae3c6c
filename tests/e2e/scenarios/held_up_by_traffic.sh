# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# Another node keeps the bus busy (1,500 frames a second) while the flasher is held up for 2 s
# (SIGSTOP, as a slow log reader or a loaded machine would), and the board asks for a block
# meanwhile. The other node's frames overflow the flasher's socket; the board's request must not
# be lost with them: after SIGCONT it is answered, and the drop is reported. The board is in its
# bootloader and played by hand, so that nobody asks twice. On vcan, where the flood reaches the
# flasher as fast as it is sent.
prepare() {
    make_image 8192 35 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
mkdir -p /out
start_capture /out
start_flasher /out
"$BIN/e2e-capture" flood can0 12345678 0102030405060708 7500 1500 &
flood=$!
usleep 300000
# 4096 bytes at offset 0, then, while the flasher is stopped, the other 4096.
send_request 0000000000100001
wait_for_text /out/flasher.out "offset 4088" 100 || say "the first request was not served"
kill -STOP "$FLASHER_PID"
usleep 500000
send_request 0010000000100001
sleep 2
kill -CONT "$FLASHER_PID"
finish_flasher /out 20
kill "$flood" 2>/dev/null
wait "$flood" 2>/dev/null
stop_capture /out
say "flasher status $(cat /out/flasher.status)"
GUEST
}

verify() {
    local logged captured
    expect_status "the flasher" "$out/flasher.status" 0
    expect_report "$out" "can0: the tool's socket dropped"
    expect_uploaded_log "$out"
    expect_log_line "the request made while the flasher was stopped was answered" \
        "$out/flasher.out" "Requested fileOffset 4096"
    logged=$(grep -c "^0x12345678 " "$out/flasher.out" || true)
    captured=$(grep -c " 92345678 " "$out/capture.txt" || true)
    if [ "$logged" -lt "$captured" ]; then
        pass "the log holds $logged of the other node's frames, of $captured on the bus"
    else
        flunk "the log holds $logged of the other node's frames, of $captured on the bus: none" \
            "was dropped"
    fi
    expect_reassembled "$out" "$stage/klipper.bin" --activations 0 --at-least answered=2
}
