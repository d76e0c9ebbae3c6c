# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# can0 stops sending in the middle of an upload and never starts again, as when no node
# acknowledges: a plug holds can0's transmit queue. The flasher must say once that can0 is not
# sending and give up with status 2 once nothing has left for 20 s; what crossed the bus before
# is exact. The board's requests are put on the bus by hand (the board is in its bootloader), the
# second once the queue is held: it asks for more frames than the flasher's socket buffer takes,
# so the stall begins as it arrives (a flasher left with fewer frames to send never meets it).
# On both buses: vcan's plug holds the flasher's writes though the other sockets get the frames
# written before the write sleeps; on the controllers' bus it holds every frame from can0.
prepare() {
    make_image 100000 31 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
mkdir -p /out
serve_first_request_then_hold /out
# Held, 65536 bytes at 4096.
uptime_cs >/out/requested_at
send_request 0010000000000101
finish_flasher /out 60
uptime_cs >/out/ended_at
stop_capture /out
say "flasher status $(cat /out/flasher.status)"
GUEST
}

verify() {
    expect_status "the flasher" "$out/flasher.status" 2
    expect_report "$out" "can0 is not sending" "${settings_line[@]}" \
        "Error sending command via CAN FD!: can0 sent nothing for 20 s" "${settings_line[@]}"
    expect_gave_up_after_20s "$out"
    check_capture "$out" --image "$stage/klipper.bin" --activations 0 --partial \
        --at-least answered=2 --at-least blocks=74
}
