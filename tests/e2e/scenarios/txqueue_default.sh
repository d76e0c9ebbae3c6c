# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# A large upload through the driver's own default transmit queue of 10 frames instead of the
# README's 128: requests of 8 KiB are answered in bursts of 147 blocks. The flasher's socket asks
# for the least send buffer, so its writes wait while a few of its frames are in flight and the
# queue never overflows; a frame refused by the queue would show in the qdisc's drop counter.
# Needs a device with a real queue: vcan has none.
prepare() {
    make_image 65536 15 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
ip link set can0 txqueuelen 10
cat /sys/class/net/can0/tx_queue_len >/out/txqueuelen
flash_run /out --chunk 8192
tc -s qdisc show dev can0 >/out/qdisc.txt
GUEST
}

verify() {
    local drops
    expect_upload "$out" "$stage/klipper.bin" --activations 1
    if [ "$(cat "$out/txqueuelen")" = 10 ]; then
        pass "can0's transmit queue held 10 frames"
    else
        flunk "can0's transmit queue length was $(cat "$out/txqueuelen"), not 10"
    fi
    drops="$(sed -n 's/.*(dropped \([0-9]*\),.*/\1/p' "$out/qdisc.txt" | head -n 1)"
    if [ "$drops" = 0 ]; then
        pass "the transmit queue refused no frame"
    else
        flunk "the transmit queue refused frames (qdisc: $(tr '\n' ' ' <"$out/qdisc.txt"))"
    fi
}
