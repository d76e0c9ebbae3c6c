# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# Chunks asked for in random order, some of them twice.
prepare() {
    make_image 24836 7 klipper.bin /opt/klipper.bin
}

guest() {
    echo 'flash_run /out --order random --seed 7 --repeat 2'
}

verify() {
    expect_upload "$out" "$stage/klipper.bin" --activations 1 --at-least answered=55
}
