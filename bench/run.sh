#!/bin/bash
# The block-stream benchmark: in one qemu guest with a CAN FD vcan, canfd-flash and a bare write
# loop (bench-bare-loop) take turns answering the simulated board, which asks for an image in
# chunks; bench-frame-clock times each stream from its first block to its last with the kernel's
# receive timestamps. Prints both rates, their ratio and the tool's time per block next to the bus
# time of a 64-byte frame. Not one of the pass/fail tests: timings under TCG are noisy, hence the
# median of several alternating repetitions.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
usage() {
    cat <<EOF2
Usage: $(basename "$0") [options]

  --reps N          alternating repetitions of each stream (default 5, at least 1)
  --chunk BYTES     bytes the simulated board asks for per request (default 4096)
  --image-bytes N   size of the random test image (default 1048576)
  --arch ARCH       guest architecture (default x86_64; others need --build with a cross build)
  --build DIR       build folder for the guest's programs (default <repo>/build)
  --host-build DIR  build folder for bench-bus-time, run on this machine (default <repo>/build)
  --target RATIO    the tool's rate must reach RATIO of the bare loop's (default 0.8)
  --keep DIR        keep the image and the raw results in DIR

Exit status: 0 target met, 1 target missed, 2 the benchmark itself failed.
EOF2
}

reps=5
chunk=4096
image_bytes=1048576
arch=x86_64
build="$repo/build"
host_build=""
target=0.8
keep=""
while [ $# -gt 0 ]; do
    case "$1" in
    --reps) reps="${2:?}"; shift ;;
    --chunk) chunk="${2:?}"; shift ;;
    --image-bytes) image_bytes="${2:?}"; shift ;;
    --arch) arch="${2:?}"; shift ;;
    --build) build="${2:?}"; shift ;;
    --host-build) host_build="${2:?}"; shift ;;
    --target) target="${2:?}"; shift ;;
    --keep) keep="${2:?}"; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
    shift
done
host_build="${host_build:-$repo/build}"
fail() {
    echo "bench: $*" >&2
    exit 2
}
[[ "$reps" =~ ^[1-9][0-9]*$ ]] || fail "--reps needs a positive number"

guest_targets=(canfd-flash canfd-board-sim bench-bare-loop bench-frame-clock)
build_targets() { # DIR TARGET...
    local dir="$1"
    shift
    [ -f "$dir/CMakeCache.txt" ] || cmake -S "$repo" -B "$dir" >/dev/null
    cmake --build "$dir" -j2 --target "$@" >/dev/null || fail "building $* in $dir failed"
}
build_targets "$build" "${guest_targets[@]}"
build_targets "$host_build" bench-bus-time

work="$(mktemp -d "${TMPDIR:-/tmp}/canfd-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
head -c "$image_bytes" /dev/urandom >"$work/image.bin"
{
    echo "REPS=$reps"
    echo "CHUNK=$chunk"
    echo "TIMEOUT_S=120"
} >"$work/guest.sh"
cat "$repo/bench/guest-bench.sh" >>"$work/guest.sh"

files=(--file "$work/image.bin:/opt/klipper.bin")
files+=(--file "$build/src/canfd-flash:/opt/bin/" --file "$build/sim/canfd-board-sim:/opt/bin/")
files+=(--file "$build/bench/bench-bare-loop:/opt/bin/" --file "$build/bench/bench-frame-clock:/opt/bin/")

echo "bench: $reps x (canfd-flash, bare loop), $image_bytes-byte image in $chunk-byte requests," \
    "$arch guest (TCG); host load: $(cut -d' ' -f1-3 /proc/loadavg)"
"$repo/tests/vm/guest-run.sh" --arch "$arch" --timeout $((90 + 60 * reps)) --out "$work/out" \
    "${files[@]}" "$work/guest.sh" || fail "the guest run failed (status $?)"
results="$work/out/results"
[ -s "$results" ] || fail "the guest left no results"
[ -z "$keep" ] || { mkdir -p "$keep" && cp "$work/image.bin" "$results" "$keep/"; }

# Fields: KIND REP blocks N first_ns F last_ns L sim S writer W clock C log_blocks M
awk -v reps="$reps" '
    $1 != "tool" && $1 != "bare" { next }
    $10 != 0 || $12 != 0 || $14 != 0 { bad = bad "\n  " $0 }
    $1 == "tool" && $16 != $4 { bad = bad "\n  log has " $16 " block lines for " $4 " blocks: " $0 }
    { if (blocks == "") blocks = $4; else if ($4 != blocks) bad = bad "\n  block count differs: " $0 }
    { count[$1]++ }
    END {
        if (bad != "") { print "bench: runs went wrong:" bad > "/dev/stderr"; exit 1 }
        if (count["tool"] != reps || count["bare"] != reps) {
            print "bench: expected " reps " runs of each kind" > "/dev/stderr"; exit 1
        }
    }' "$results" || exit 2

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
rates() { # KIND: blocks per second, one per repetition (N blocks span N-1 intervals)
    awk -v kind="$1" '$1 == kind { printf "%.3f\n", ($4 - 1) / (($8 - $6) / 1e9) }' "$results"
}
blocks=$(awk 'NR == 1 { print $4 }' "$results")
tool_rate=$(rates tool | median)
bare_rate=$(rates bare | median)
pair_ratio=$(paste <(rates tool) <(rates bare) | awk '{ printf "%.4f\n", $1 / $2 }' | median)
ratio=$(awk -v t="$tool_rate" -v b="$bare_rate" 'BEGIN { printf "%.3f", t / b }')
tool_us=$(awk -v t="$tool_rate" 'BEGIN { printf "%.1f", 1e6 / t }')
bare_us=$(awk -v b="$bare_rate" 'BEGIN { printf "%.1f", 1e6 / b }')

echo
echo "blocks per second, first block to last ($blocks blocks per run):"
printf '  %-12s %s\n' "canfd-flash" "$(rates tool | awk '{ printf "%8.0f", $1 }' | tr '\n' ' ')"
printf '  %-12s %s\n' "bare loop" "$(rates bare | awk '{ printf "%8.0f", $1 }' | tr '\n' ' ')"
printf '  median       canfd-flash %.0f/s (%s us per block), bare loop %.0f/s (%s us per block)\n' \
    "$tool_rate" "$tool_us" "$bare_rate" "$bare_us"
echo "  ratio        $ratio (median of the per-repetition ratios: $pair_ratio), target $target"
echo
echo "bus time of one 64-byte CAN FD frame (29-bit identifier, 3-bit intermission; fixed stuff"
echo "bits of the CRC field always, dynamic stuff bits counted on the frame's real bits):"
"$host_build/bench/bench-bus-time" --image "$work/image.bin" --chunk "$chunk" --tool-us "$tool_us" |
    sed 's/^/  /'
echo "  (tool / frame: canfd-flash's $tool_us us per block in this guest over the image mean;"
echo "  the bare loop's $bare_us us there say how much of that the emulated machine costs)"

if awk -v r="$ratio" -v t="$target" 'BEGIN { exit !(r >= t) }'; then
    echo "PASS: canfd-flash keeps up with the bare loop ($ratio >= $target)"
else
    echo "MISS: canfd-flash reaches $ratio of the bare loop's rate, below $target"
    exit 1
fi
