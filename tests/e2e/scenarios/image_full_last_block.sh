# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# An image of 400 whole blocks: the last block is full and travels in a 64-byte frame.
prepare() {
    make_image 22400 11 klipper.bin /opt/klipper.bin
}

guest() {
    echo 'flash_run /out --chunk 560'
}

verify() {
    expect_upload "$out" "$stage/klipper.bin" --activations 1 --last-frame-len 64
}
