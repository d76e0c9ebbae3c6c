# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# The image's last blocks are written but held on can0 (a plug), and can0 is taken down and up
# again while the flasher waits for them, as the tool's own advice for a stuck controller has a
# user do: the kernel drops what can0 held. The flasher must not call that a success: it ends
# with status 2 at once, saying that those blocks are lost and that a new run serves the board
# from its start. On the controllers' bus, whose driver hands each frame back once sent.
prepare() {
    make_image 1000 37 klipper.bin /opt/klipper.bin
}

guest() {
    cat <<'GUEST'
mkdir -p /out
plug_can0
start_capture /out
start_flasher /out
hold_can0
# 200 bytes at offset 800: the image's end, in 4 blocks.
send_request 2003000000C80001
wait_for_text /out/flasher.out "offset 968" 100 || say "the last block was not written"
usleep 500000
uptime_cs >/out/down_at
ip link set can0 down
ip link set can0 up
finish_flasher /out 40
uptime_cs >/out/ended_at
stop_capture /out
say "flasher status $(cat /out/flasher.status)"
GUEST
}

verify() {
    local elapsed
    expect_status "the flasher" "$out/flasher.status" 2
    expect_report "$out" "Error sending command via CAN FD!: can0 went down while 4 of its blocks were not yet confirmed: they are lost, and the board waits for them; run canfd-flash again, and it serves the board from its start" \
        "${settings_line[@]}"
    if grep -q "Firmware uploaded" "$out/flasher.out"; then
        flunk "the flasher logged 'Firmware uploaded...' for blocks that can0 dropped"
    else
        pass "no 'Firmware uploaded...' for blocks that can0 dropped"
    fi
    elapsed=$(($(cat "$out/ended_at") - $(cat "$out/down_at")))
    if [ "$elapsed" -lt 500 ]; then
        pass "the flasher ended $elapsed cs after can0 went down"
    else
        flunk "the flasher ended $elapsed cs after can0 went down, expected under 500"
    fi
}
