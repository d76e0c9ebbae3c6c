# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# can0 stops sending for 3 s in the middle of an upload, as when the board resets or a cable is
# plugged back in: a plug holds can0's transmit queue, then lets it go. The flasher must say that
# can0 is not sending and, when its frames move again, that it is sending again, and finish the
# upload exact. The board waits longer than the stall for a chunk, so it never asks again. On
# both buses, whose plugs hold different frames (see send_stalls).
prepare() {
    make_image 100000 32 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
mkdir -p /out
plug_can0
start_capture /out
start_flasher /out
run_sim /out --chunk-timeout-ms 15000 &
sim=$!
wait_for_text /out/flasher.out "Requested fileOffset 8192" 600 || say "the upload did not begin"
hold_can0
sleep 3
release_can0
wait "$sim"
finish_flasher /out 10
stop_capture /out
say "sim status $(cat /out/sim.status), flasher status $(cat /out/flasher.status)"
GUEST
}

verify() {
    expect_upload_done "$out" "$stage/klipper.bin" --activations 1
    expect_report "$out" "can0 is not sending" "can0 is sending again"
}
