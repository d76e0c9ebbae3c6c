# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# Requests the flasher must leave unanswered, mixed into an upload: bootloader version 1, offsets
# at and past the image's end (sent by the board), and requests shorter than their 8-byte header
# (put on the bus by hand, before the board starts and again while it runs). Read as if whole,
# the 7-byte ones would ask for 56 bytes at offset 56.
prepare() {
    make_image 24836 5 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
send_short_requests() {
    send_request 38000000380000
    send_request 38000000380000 fd
    send_request -
}
mkdir -p /out
start_capture /out
start_flasher /out
send_short_requests
run_sim /out --ignored-requests &
sim=$!
usleep 900000
send_short_requests
wait "$sim"
finish_flasher /out 5
stop_capture /out
say "sim status $(cat /out/sim.status), flasher status $(cat /out/flasher.status)"
GUEST
}

verify() {
    expect_upload "$out" "$stage/klipper.bin" --activations 1 \
        --at-least short=6 --at-least version=4 --at-least past-end=4
}
