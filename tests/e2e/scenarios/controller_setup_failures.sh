# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# Set-up mistakes on a real controller, one after the other in one guest: can0 in listen-only
# mode, which can neither send nor acknowledge, can0 in one-shot mode, which drops a frame that
# meets an error without a word, can0 without "fd on" (MTU 16), no can0 at all
# (the driver not loaded), and can0 as the driver leaves it, whose bit
# timing was never set: it cannot be brought up, and it has no CAN FD either, which the flasher
# names first. Each must end with status 1 and its report, with nothing on the bus
# (can1, set up as the README says, is the witness). What iproute2 prints for the missing bit
# timing must be what the README's troubleshooting table quotes. Needs the controllers' driver.
prepare() {
    make_image 4000 17 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
attempt() { # NAME
    mkdir -p "/out/$1"
    start_capture "/out/$1" || return 1
    run_flasher_once "/out/$1"
    # Room for a frame the flasher might have left in flight.
    usleep 200000
    stop_capture "/out/$1"
    say "$1: flasher status $(cat "/out/$1/flasher.status")"
}
modules=/lib/modules/canfd-vm

ip link set can0 down
ip link set can0 type can bitrate 1000000 dbitrate 4000000 fd on listen-only on
ip link set can0 up
attempt listen_only

ip link set can0 down
ip link set can0 type can listen-only off one-shot on
ip link set can0 up
attempt one_shot

ip link set can0 down
ip link set can0 type can bitrate 1000000 fd off one-shot off
ip link set can0 up
attempt can0_without_fd

ip link set can0 down
ip link set can1 down
rmmod ctucanfd_pci ctucanfd
mkdir -p /out/no_can0
run_flasher_once /out/no_can0

insmod "$modules/ctucanfd.ko"
insmod "$modules/ctucanfd_pci.ko"
cat /sys/class/net/can0/tx_queue_len >/out/driver_txqueuelen
# The witness gets the README's set-up; can0 gets none.
while IFS= read -r line; do
    eval "ip link set can1 ${line#ip link set can0 }"
done </canfd-vm/can-setup
mkdir -p /out/no_bit_timing
ip link set can0 up 2>/out/no_bit_timing/ip.err
echo $? >/out/no_bit_timing/ip.status
dmesg | grep -i "bit-timing" >/out/no_bit_timing/dmesg || true
attempt no_bit_timing
GUEST
}

verify() {
    local name prefix said
    while IFS='|' read -r name prefix; do
        echo "- $name"
        expect_status "the flasher" "$out/$name/flasher.status" 1
        expect_report "$out/$name" "$prefix"
        # With the driver unloaded there is no CAN interface to witness anything.
        [ "$name" = no_can0 ] || check_capture "$out/$name" --no-frames
    done <<'CASES'
listen_only|Interface can0 is in listen-only mode: it can neither send nor acknowledge frames
one_shot|Interface can0 is in one-shot mode: a frame that meets an error is dropped and never sent again. Turn it off: ip link set can0 down; ip link set can0 type can one-shot off; ip link set can0 up
can0_without_fd|Interface can0 does not carry CAN FD frames (MTU 16, needs 72): set it up with "fd on"
no_can0|Interface can0: No such device
no_bit_timing|Interface can0 does not carry CAN FD frames (MTU 16, needs 72): set it up with "fd on"
CASES
    echo "- what bringing can0 up without bit timing says"
    said="$(cat "$out/no_bit_timing/ip.err")"
    if [ "$(cat "$out/no_bit_timing/ip.status")" != 0 ] && [ -n "$said" ] &&
        grep -qF -- "\`$said\`" "$here/../../README.md"; then
        pass "ip link set can0 up failed with '$said', as the README says"
    else
        flunk "ip link set can0 up said '$said' (status $(cat "$out/no_bit_timing/ip.status")):" \
            "not what the README quotes"
    fi
    expect_log_line "the kernel named the missing bit timing" "$out/no_bit_timing/dmesg" \
        "bit-timing not yet defined"
    echo "the driver's own transmit queue length: $(cat "$out/driver_txqueuelen") frames"
}
