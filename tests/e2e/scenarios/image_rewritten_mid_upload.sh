# shellcheck shell=bash disable=SC2154 # out, stage: set by run-scenario.sh
# /opt/klipper.bin is rewritten in place while the flasher serves it (`cp` onto it: the same
# inode, truncated and written again) with other bytes of the same size. The flasher read the
# image at start-up, so the board, which checks every byte against the original, must get the
# original whole, the bus must carry none of the other bytes, and the flasher must exit 0.
prepare() {
    make_image 100000 21 klipper.bin /opt/klipper.bin
    make_image 100000 22 other.bin /opt/other.bin
}

guest() {
    cat <<'GUEST'
cp /opt/klipper.bin /opt/original.bin
IMAGE=/opt/original.bin
inode() { # FILE
    # Split into words, which drops the padding ls may put before the number.
    set -- $(ls -i "$1")
    echo "$1"
}
(
    # Once the board has asked past offset 0, the flasher is serving.
    wait_for_text /out/flasher.out "Requested fileOffset [1-9]" 600 || exit 0
    inode_before=$(inode /opt/klipper.bin)
    cp /opt/other.bin /opt/klipper.bin
    # "Firmware uploaded..." is written as the flasher ends.
    if grep -q "Firmware uploaded" /out/flasher.out; then
        echo "rewritten after the flasher ended"
    else
        echo "rewritten mid-upload, after $(grep -c "Sending firmware block" /out/flasher.out) blocks"
    fi
    [ "$(inode /opt/klipper.bin)" = "$inode_before" ] && echo "same inode $inode_before"
    cmp -s /opt/other.bin /opt/klipper.bin && echo "the file holds the other image"
) >/out/rewrite.txt 2>&1 &
rewriter=$!
flash_run /out
wait "$rewriter"
say "$(tr '\n' ';' </out/rewrite.txt)"
GUEST
}

verify() {
    expect_log_line "the image was rewritten while the flasher was serving it" \
        "$out/rewrite.txt" "^rewritten mid-upload"
    expect_log_line "cp kept the image's inode" "$out/rewrite.txt" "^same inode [0-9]"
    expect_log_line "the image file held the other bytes afterwards" "$out/rewrite.txt" \
        "^the file holds the other image"
    expect_upload "$out" "$stage/klipper.bin" --activations 1
}
