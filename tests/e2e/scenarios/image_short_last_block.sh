# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# An image one byte longer than 300 blocks, asked for 560 bytes at a time: the last request
# is answered with a single block that carries a single byte.
prepare() {
    make_image 16801 12 klipper.bin /opt/klipper.bin
}

guest() {
    echo 'flash_run /out --chunk 560'
}

verify() {
    expect_upload "$out" "$stage/klipper.bin" --activations 1 --last-frame-len "$(on_bus_len 9)"
}
