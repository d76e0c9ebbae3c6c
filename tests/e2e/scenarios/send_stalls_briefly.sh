# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# can0 stops sending for 4 s in the middle of an upload, as when the board resets or a cable is
# plugged back in: a plug holds can0's transmit queue, then lets it go. The flasher must say that
# can0 is not sending and, when its frames move again, that it is sending again, and finish the
# upload exact. The requests are put on the bus by hand, as in send_stalls, and the capture
# judges the upload. On both buses, whose plugs hold different frames.
prepare() {
    make_image 100000 32 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
mkdir -p /out
serve_first_request_then_hold /out
# Held, 65536 bytes at 4096; then the remaining 30368 at 69632.
send_request 0010000000000101
sleep 4
release_can0
wait_for_text /out/flasher.out "offset 69616" 300 || say "the second request was not served"
unplug_can0
send_request 00100100A0760001
finish_flasher /out 20
stop_capture /out
say "flasher status $(cat /out/flasher.status)"
GUEST
}

verify() {
    local sent
    expect_status "the flasher" "$out/flasher.status" 0
    expect_report "$out" "can0 is not sending" "${settings_line[@]}" "can0 is sending again"
    expect_uploaded_log "$out"
    # Each request is asked once, so the blocks logged add up to the image exactly once.
    sent="$(tr -d '\r' <"$out/flasher.out" |
        awk '/^Sending firmware block size/ { n += $5 } END { print n + 0 }')"
    if [ "$sent" = "$(wc -c <"$stage/klipper.bin")" ]; then
        pass "the flasher sent the image's $sent bytes"
    else
        flunk "the flasher's blocks add up to $sent bytes, not the image's"
    fi
    # On the controllers' bus the burst after the release can overrun the capturing receiver
    # (its rx_errors rise): nobody asks again here, so the blocks it lost cannot be put together
    # from the capture, whose every block must still be exact.
    if [ "$(cat "$out/rx_errors" 2>/dev/null || echo 0)" != 0 ]; then
        check_capture "$out" --image "$stage/klipper.bin" --activations 0 --at-least answered=3 \
            --partial
        return
    fi
    expect_reassembled "$out" "$stage/klipper.bin" --activations 0 --at-least answered=3
}
