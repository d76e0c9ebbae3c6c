# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# The controller's error frames: bus-off while the flasher waits for the board, error-passive
# during the upload, put on the bus as a controller's driver reports them. Each is named on the
# error stream, and so is the end of the bus-off, shown by the board's first frame received after
# it; the upload goes on and finishes exact, and standard output is byte for byte that of a clean
# run with the same board. On vcan only: the emulated controllers raise no error
# frames of their own, and vcan hands one written on can0 to the flasher's sockets.
prepare() {
    make_image 100000 33 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
flash_run /out/clean
mkdir -p /out/errors
start_capture /out/errors
start_flasher /out/errors
# CAN_ERR_BUSOFF, no data.
"$BIN/e2e-capture" send can0 00000040 0000000000000000 err
wait_for_text /out/errors/flasher.err bus-off 50 || say "no bus-off report"
run_sim /out/errors &
sim=$!
wait_for_text /out/errors/flasher.out "Requested fileOffset 8192" 600 || say "the upload did not begin"
# CAN_ERR_CRTL with CAN_ERR_CRTL_TX_PASSIVE, and CAN_ERR_CNT: transmit error counter 128.
"$BIN/e2e-capture" send can0 00000204 0020000000008000 err
wait "$sim"
finish_flasher /out/errors 5
stop_capture /out/errors
say "sim status $(cat /out/errors/sim.status), flasher status $(cat /out/errors/flasher.status)"
GUEST
}

verify() {
    echo "- a clean run"
    expect_upload "$out/clean" "$stage/klipper.bin" --activations 1
    echo "- the same with error frames"
    expect_upload_done "$out/errors" "$stage/klipper.bin" --activations 1
    expect_report "$out/errors" "can0 is bus-off" "can0 receives frames again after its bus-off" \
        "can0 is error-passive"
    if cmp "$out/clean/flasher.out" "$out/errors/flasher.out"; then
        pass "standard output is byte for byte that of the clean run"
    else
        flunk "standard output differs from the clean run's"
    fi
}
