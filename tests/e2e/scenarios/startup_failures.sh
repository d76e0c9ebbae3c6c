# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# Start-up failures, one after the other in one guest: each must end with status 1 and its report,
# with nothing at all sent on the bus. On vcan only: it deletes can0 and makes it anew as a vcan
# (controller_setup_failures does the same on the controllers' driver).
prepare() {
    make_image 4000 4 good.bin /opt/e2e/good.bin
}

guest() {
    cat <<'GUEST'
attempt() { # NAME [ARGUMENT]
    mkdir -p "/out/$1"
    start_capture "/out/$1" || return 1
    run_flasher_once "/out/$1" "$2"
    # Room for a frame the flasher might have left in flight.
    usleep 200000
    stop_capture "/out/$1"
    say "$1: flasher status $(cat "/out/$1/flasher.status")"
}

# With image and can0 ready: an argument, and a second run beside one that holds can0, after
# the image was replaced by another file (a new inode, as editors and `mv` make).
cp /opt/e2e/good.bin "$IMAGE"
attempt argument new.bin
mkdir -p /out/holder /out/bus_in_use
start_flasher /out/holder
echo "$FLASHER_PID" >/out/bus_in_use/holder.pid
cp /opt/e2e/good.bin "$IMAGE.new"
mv "$IMAGE.new" "$IMAGE"
attempt bus_in_use
kill "$FLASHER_PID"
wait "$FLASHER_PID"
rm -f "$IMAGE"
attempt missing_image
# The linker's output copied in place of the raw image.
printf '\177ELF\002\001\001\000\000\000\000\000\000\000\000\000\002\000\050\000' >"$IMAGE"
attempt elf_image
: >"$IMAGE"
attempt empty_image
# 16 MiB without the memory: the size alone must be refused.
dd if=/dev/zero of="$IMAGE" bs=1 count=0 seek=16M 2>/dev/null
attempt image_too_large
cp /opt/e2e/good.bin "$IMAGE"
ip link delete can0
attempt no_can0
ip link add dev can0 type vcan
ip link set can0 mtu 16
ip link set can0 up
attempt can0_without_fd
ip link set can0 down
ip link set can0 mtu 72
attempt can0_down
GUEST
}

verify() {
    local name prefix holder
    echo "- argument"
    expect_status "the flasher" "$out/argument/flasher.status" 1
    expect_log_line "the argument is refused" "$out/argument/flasher.err" \
        "^canfd-flash: unexpected argument 'new.bin': nothing was done$"
    expect_log_line "the usage follows" "$out/argument/flasher.err" "^Usage: canfd-flash"
    check_capture "$out/argument" --no-frames
    echo "- bus_in_use"
    holder=$(cat "$out/bus_in_use/holder.pid")
    expect_status "the flasher" "$out/bus_in_use/flasher.status" 1
    expect_report "$out/bus_in_use" \
        "Interface can0 is in use by another canfd-flash run (process $holder): let it finish or end it"
    check_capture "$out/bus_in_use" --no-frames
    # The report's lines: what failed, then what to do where the first line does not say it.
    while IFS='|' read -r name prefix advice; do
        echo "- $name"
        expect_status "the flasher" "$out/$name/flasher.status" 1
        expect_report "$out/$name" "$prefix" ${advice:+"$advice"}
        check_capture "$out/$name" --no-frames
    done <<'CASES'
missing_image|Firmware file not found!: No such file or directory|/opt/klipper.bin does not exist: copy the firmware image you built there
elf_image|Firmware file is an ELF file, not a raw image: /opt/klipper.bin|The raw image is usually the .bin file beside the .elf file
empty_image|Firmware file is empty: /opt/klipper.bin
image_too_large|Firmware file too large: /opt/klipper.bin has 16777216 bytes
no_can0|Interface can0: No such device
can0_without_fd|Interface can0 does not carry CAN FD frames (MTU 16, needs 72)
can0_down|Interface can0 is down: bring it up first (ip link set can0 up)
CASES
}
