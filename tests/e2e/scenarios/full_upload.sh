# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# A whole upload on a busy bus: other nodes talk between the board's frames, and the board
# announces itself once more after it was activated. The flasher must activate it exactly once
# and send the image byte for byte. The board asks for 512 bytes at a time, so the last block
# is short: 36 bytes at offset 24800, in a frame of 44 bytes (48 on a real controller).
prepare() {
    make_image 24836 1 klipper.bin /opt/klipper.bin
}

guest() {
    echo 'flash_run /out --noise --second-announce'
}

verify() {
    expect_upload "$out" "$stage/klipper.bin" --activations 1 \
        --at-least announcements=2 --at-least others=10 --last-frame-len "$(on_bus_len 44)"
    expect_log_line "the board announced again after the activation" "$out/sim.log" \
        "announced once more"
}
