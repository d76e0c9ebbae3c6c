# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# can0 stops sending for 4 s during an upload, as when the board resets or a cable is plugged
# back in: a plug holds can0's transmit queue, then lets it go. The flasher must say that can0 is
# not sending and, when its frames move again, that it is sending again, and finish the upload
# exact. The queue is held once the board asked for 4,681 blocks, so the flasher has more to send
# than its socket buffer holds (see send_stalls); the board waits longer than the stall for
# them, so it never asks again. On both buses, whose plugs hold different frames.
prepare() {
    make_image 300000 32 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
mkdir -p /out
plug_can0
start_capture /out
start_flasher /out
run_sim /out --chunk 262144 --chunk-timeout-ms 15000 &
sim=$!
# The request's lines come after the pause before offset 0, right before its burst.
wait_for_text /out/flasher.out "Requested fileOffset 0" 600 || say "the upload did not begin"
hold_can0
sleep 4
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
