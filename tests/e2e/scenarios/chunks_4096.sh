# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# Long requests: 4096 bytes, 74 blocks answered in one burst each, in reverse order.
prepare() {
    make_image 24836 9 klipper.bin /opt/klipper.bin
}

guest() {
    echo 'flash_run /out --chunk 4096 --order reverse'
}

verify() {
    expect_upload "$out" "$stage/klipper.bin" --activations 1 --at-least answered=7
}
