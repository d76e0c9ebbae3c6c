# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# The board asks in CAN FD frames with the bit-rate switch: every block must carry the switch
# too (the capture and the board check each block's flags). The flasher's log shows that the
# request's 72-byte record held the switch.
prepare() {
    make_image 24836 13 klipper.bin /opt/klipper.bin
}

guest() {
    echo 'flash_run /out --brs-requests'
}

verify() {
    expect_upload "$out" "$stage/klipper.bin" --activations 1 --at-least answered=49
    expect_log_line "the flasher saw the requests' bit-rate switch" "$out/flasher.out" \
        "(bit-rate switch)"
}
