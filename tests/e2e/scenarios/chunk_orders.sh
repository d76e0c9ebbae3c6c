# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# One 24,836-byte image asked for in 512- and in 4096-byte chunks, each in sequential and in random
# order: four whole uploads, one after the other in the same guest. Either way the last chunk
# holds 260 bytes, so the last block carries 36 and travels with length 44, which a real
# controller rounds up to 48 (with pad bytes the board must ignore).
runs="512-sequential 512-random 4096-sequential 4096-random"

prepare() {
    make_image 24836 14 klipper.bin /opt/klipper.bin
}

guest() {
    local run
    for run in $runs; do
        echo "flash_run /out/$run --chunk ${run%-*} --order ${run#*-} --seed 14"
    done
}

verify() {
    local run
    for run in $runs; do
        echo "- $run"
        expect_upload "$out/$run" "$stage/klipper.bin" --activations 1 \
            --last-frame-len "$(on_bus_len 44)"
    done
}
