# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# The last blocks of the image are written, but never leave can0: its transmit queue is held (a
# plug) when the board, in its bootloader and played by hand, asks for the image's last 200 bytes.
# The writes go through, as they do into a controller that nothing acknowledges; the flasher must
# not call that a success: it waits for the frames to leave, and after 20 s ends with status 2.
# On the controllers' bus, where the plug holds can0's frames themselves.
prepare() {
    make_image 1000 36 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
mkdir -p /out
plug_can0
start_capture /out
start_flasher /out
hold_can0
uptime_cs >/out/requested_at
# 200 bytes at offset 800: the image's end.
send_request 2003000000C80001
finish_flasher /out 40
uptime_cs >/out/ended_at
release_can0
stop_capture /out
say "flasher status $(cat /out/flasher.status)"
GUEST
}

verify() {
    expect_status "the flasher" "$out/flasher.status" 2
    expect_report "$out" "can0 is not sending" "${settings_line[@]}" \
        "Error sending command via CAN FD!: can0 sent nothing for 20 s, and the image's last blocks are still queued on it" \
        "${settings_line[@]}"
    if grep -q "Firmware uploaded" "$out/flasher.out"; then
        flunk "the flasher logged 'Firmware uploaded...' for blocks that never left can0"
    else
        pass "no 'Firmware uploaded...' for blocks that never left can0"
    fi
    expect_log_line "the last block was written" "$out/flasher.out" \
        "Sending firmware block size 32 offset 968"
    expect_gave_up_after_20s "$out"
}
