# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# The board asks in 64-byte CAN FD frames that carry its board type text after the header.
prepare() {
    make_image 24836 10 klipper.bin /opt/klipper.bin
}

guest() {
    echo 'flash_run /out --fd-requests'
}

verify() {
    expect_upload "$out" "$stage/klipper.bin" --activations 1 --at-least answered=49
}
