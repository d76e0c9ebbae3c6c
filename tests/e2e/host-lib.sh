# Checks that the scenarios' verify functions use on the host, after the guest is gone.
# Each check prints "ok: ..." or "FAIL: ..."; run-scenario.sh fails the test on any FAIL.
# shellcheck shell=bash disable=SC2154 # checker, stage, bus, arch: set by run-scenario.sh

failures=0

# A report that names can0's settings is followed by a line of them on the controllers' bus; vcan
# has none. In expect_report's list: "${settings_line[@]}" after such a report.
# shellcheck disable=SC2034 # used by the scenarios
if [ "$bus" = ctucan ]; then
    settings_line=("can0: 1000 kbit/s, data 4000 kbit/s (sample points 75.0 %, 72.0 %)")
else
    settings_line=()
fi

pass() {
    echo "ok: $*"
}

flunk() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Writes a reproducible image of SIZE bytes to $stage/NAME and ships it to the guest as GUEST.
make_image() { # SIZE SEED NAME GUEST
    "$checker" image "$1" "$2" "$stage/$3"
    guest_files+=("$stage/$3:$4")
}

expect_status() { # WHAT FILE WANT
    local got
    got="$(cat "$2" 2>/dev/null)" || got="missing"
    if [ "$got" = "$3" ]; then
        pass "$1 exited with status $3"
    else
        [ "$got" != 137 ] || got="137 (killed: still running long after the board was done)"
        flunk "$1 exited with status $got, expected $3"
    fi
}

# The flasher's error stream must hold exactly one report per PREFIX, in that order, each line
# starting with its PREFIX.
expect_report() { # DIR PREFIX...
    local err="$1/flasher.err" line prefix n=0 ok=1
    shift
    [ "$(wc -l <"$err")" = $# ] || ok=0
    while [ "$ok" = 1 ] && IFS= read -r line; do
        n=$((n + 1))
        prefix="${!n}"
        [[ "$line" == "$prefix"* ]] || ok=0
    done <"$err"
    if [ "$ok" = 1 ]; then
        while IFS= read -r line; do
            pass "report: $line"
        done <"$err"
    else
        flunk "the reports should start with:$(printf " '%s'" "$@"); the error stream holds:"
        sed 's/^/    | /' "$err"
    fi
}

expect_no_report() { # DIR
    if [ -s "$1/flasher.err" ]; then
        flunk "the flasher reported errors:"
        sed 's/^/    | /' "$1/flasher.err"
    else
        pass "nothing on the flasher's error stream"
    fi
}

# The flasher's log ends with the line it prints after the image's last byte.
expect_uploaded_log() { # DIR
    local tail
    tail="$(tail -c 20 "$1/flasher.out" 2>/dev/null)" || true
    if [ "$tail" = "Firmware uploaded..." ]; then
        pass "the flasher's log ends with 'Firmware uploaded...'"
    else
        flunk "the flasher's log ends with '$(tail -n 1 "$1/flasher.out" | tr -d '\r')'"
    fi
}

expect_sim_pass() { # DIR
    local verdict
    verdict="$(tail -n 1 "$1/sim.log" 2>/dev/null)" || true
    if [ "$(cat "$1/sim.status" 2>/dev/null)" = 0 ] && [[ "$verdict" == PASS:* ]]; then
        pass "board: $verdict"
    else
        flunk "board (status $(cat "$1/sim.status" 2>/dev/null)): $verdict"
    fi
}

expect_log_line() { # WHAT FILE PATTERN
    if grep -q -- "$3" "$2"; then
        pass "$1"
    else
        flunk "$1: no line matching '$3' in $(basename "$2")"
    fi
}

# The length byte a frame of LEN bytes arrives with on this bus: a real controller rounds a CAN FD
# frame up to the next length the format has (12, 16, 20, 24, 32, 48, 64); vcan keeps it.
on_bus_len() { # LEN
    local len="$1" valid
    if [ "$bus" = ctucan ]; then
        for valid in 0 1 2 3 4 5 6 7 8 12 16 20 24 32 48 64; do
            if [ "$len" -le "$valid" ]; then
                echo "$valid"
                return
            fi
        done
    fi
    echo "$len"
}

# Judges DIR/capture.txt with e2e-check; OPTIONS as for "e2e-check capture". Frames that the
# capturing controller lost to an overrun (the rise of its rx_errors, DIR/rx_errors) are no
# fault of the flasher: that many blocks may be missing.
check_capture() { # DIR OPTIONS...
    local dir="$1" rc=0 report lost
    shift
    lost="$(cat "$dir/rx_errors" 2>/dev/null)" || lost=0
    if [ "$lost" != 0 ]; then
        echo "    the capturing controller lost $lost frame(s) to an overrun (rx_errors)"
        set -- "$@" --receiver-lost "$lost"
    fi
    report="$("$checker" capture "$dir/capture.txt" "$@" 2>&1)" || rc=$?
    echo "$report" | sed '$d' | sed 's/^/    capture: /'
    if [ "$rc" = 0 ]; then
        pass "the bus capture shows the expected frames"
    else
        flunk "bus capture: $(echo "$report" | tail -n 1)"
    fi
}

# The flasher gave up 20 s after DIR/requested_at (DIR/ended_at, in hundredths of a second), give
# or take the time an emulated guest needs to notice (TCG runs ARM code several times slower).
expect_gave_up_after_20s() { # DIR
    local elapsed margin
    case "$arch" in
    x86_64) margin=100 ;;
    *) margin=200 ;;
    esac
    elapsed=$(($(cat "$1/ended_at") - $(cat "$1/requested_at")))
    if [ "$elapsed" -ge 2000 ] && [ "$elapsed" -lt $((2000 + margin)) ]; then
        pass "the flasher gave up $elapsed cs after the request"
    else
        flunk "the flasher gave up $elapsed cs after the request, expected 2000 to $((2000 + margin))"
    fi
}

# The capture is judged against IMAGE, and the image put together from its blocks is IMAGE.
expect_reassembled() { # DIR IMAGE CAPTURE-OPTIONS...
    local dir="$1" image="$2"
    shift 2
    check_capture "$dir" --image "$image" --reassembled "$dir/reassembled.bin" "$@"
    if cmp "$image" "$dir/reassembled.bin"; then
        pass "the image put together from the captured blocks equals the image"
    else
        flunk "the image put together from the captured blocks differs from the image"
    fi
}

# The usual verdict of an upload that must succeed, with the capture judged against IMAGE.
expect_upload() { # DIR IMAGE CAPTURE-OPTIONS...
    expect_no_report "$1"
    expect_upload_done "$@"
}

# As expect_upload, but the error stream is left to the caller.
expect_upload_done() { # DIR IMAGE CAPTURE-OPTIONS...
    local dir="$1" image="$2"
    shift 2
    expect_sim_pass "$dir"
    expect_status "the flasher" "$dir/flasher.status" 0
    expect_uploaded_log "$dir"
    expect_reassembled "$dir" "$image" "$@"
}
