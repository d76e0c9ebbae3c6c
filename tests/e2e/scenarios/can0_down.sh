# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# can0 goes down while the flasher waits for the board: it must stop with status 1 and say why,
# having sent nothing.
prepare() {
    make_image 4000 3 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
start_capture /out
start_flasher /out
usleep 300000
ip link set can0 down
finish_flasher /out 5
stop_capture /out
say "flasher status $(cat /out/flasher.status)"
GUEST
}

verify() {
    expect_status "the flasher" "$out/flasher.status" 1
    expect_report "$out" "Read: Network is down"
    check_capture "$out" --no-frames
}
