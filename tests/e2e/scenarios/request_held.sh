# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# The blocks of a request in the middle of the image are written but never leave can0: a plug
# holds them for good, and the board, played by hand, waits for them and asks for nothing more.
# The request is small enough that no write waits: only the flasher's own watch on its frames can
# tell. It must say that can0 is not sending, and end with status 2 once nothing has left for
# 20 s, rather than wait for the board for ever. On the controllers' bus, where the plug holds
# can0's frames themselves.
prepare() {
    make_image 100000 38 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
mkdir -p /out
serve_first_request_then_hold /out
# Held: 112 bytes at 4096, two blocks.
uptime_cs >/out/requested_at
send_request 0010000070000000
finish_flasher /out 40
uptime_cs >/out/ended_at
stop_capture /out
say "flasher status $(cat /out/flasher.status)"
GUEST
}

verify() {
    expect_status "the flasher" "$out/flasher.status" 2
    expect_report "$out" "can0 is not sending" "${settings_line[@]}" \
        "No block request for 10 s, and can0 has not sent the last of its frames" \
        "Error sending command via CAN FD!: can0 sent nothing for 20 s, and blocks the board asked for are still queued on it" \
        "${settings_line[@]}"
    expect_log_line "the held request's last block was written" "$out/flasher.out" \
        "Sending firmware block size 56 offset 4152"
    expect_gave_up_after_20s "$out"
}
