# shellcheck shell=bash disable=SC2154 # out, stage, arch: set by run-scenario.sh
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
uptime_cs() {
    read -r up _ </proc/uptime
    echo $((${up%.*} * 100 + 1${up#*.} - 100))
}
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
    local elapsed margin
    expect_status "the flasher" "$out/flasher.status" 2
    expect_report "$out" "can0 is not sending" "${settings_line[@]}" \
        "Error sending command via CAN FD!: can0 sent nothing for 20 s" "${settings_line[@]}"
    # The 20 s bound, and the time an emulated guest needs to notice (TCG runs ARM code several
    # times slower).
    case "$arch" in
    x86_64) margin=100 ;;
    *) margin=200 ;;
    esac
    elapsed=$(($(cat "$out/ended_at") - $(cat "$out/requested_at")))
    if [ "$elapsed" -ge 2000 ] && [ "$elapsed" -lt $((2000 + margin)) ]; then
        pass "the flasher gave up $elapsed cs after the request that met the stall"
    else
        flunk "the flasher gave up $elapsed cs after the request that met the stall, expected" \
            "2000 to $((2000 + margin))"
    fi
    check_capture "$out" --image "$stage/klipper.bin" --activations 0 --partial \
        --at-least answered=2 --at-least blocks=74
}
