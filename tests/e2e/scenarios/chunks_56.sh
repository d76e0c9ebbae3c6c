# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# One block per request: 444 round trips.
prepare() {
    make_image 24836 8 klipper.bin /opt/klipper.bin
}

guest() {
    echo 'flash_run /out --chunk 56'
}

verify() {
    expect_upload "$out" "$stage/klipper.bin" --activations 1 --at-least answered=444
}
