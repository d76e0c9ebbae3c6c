# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# The pause before a request at offset 0 is answered, measured on the bus: at least half a second
# each time offset 0 is asked for (it is asked twice here), while requests at other offsets are
# answered far sooner. Their median is held below a quarter of a second: still half the pause, so
# a flasher that pauses before every request fails, with room for an emulated ARM guest on a
# loaded host (about 1 ms is usual).
prepare() {
    make_image 16000 6 klipper.bin /opt/klipper.bin
}

guest() {
    echo 'flash_run /out --chunk 1024 --repeat 1'
}

verify() {
    expect_upload "$out" "$stage/klipper.bin" --activations 1 --pause 0.5 --fast-median 0.25 \
        --at-least answered=16
}
