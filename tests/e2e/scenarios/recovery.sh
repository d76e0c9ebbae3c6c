# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# Recovery after an interrupted upload: the board is already in its bootloader and asks for the
# image without announcing itself. The flasher must serve it and send no activation at all.
prepare() {
    make_image 20000 2 klipper.bin /opt/klipper.bin
}

guest() {
    echo 'flash_run /out --no-announce'
}

verify() {
    expect_upload "$out" "$stage/klipper.bin" --activations 0 --at-least answered=1
}
