#!/bin/bash
# Counts the user-space instructions canfd-flash spends per block, and proves the block path
# allocates no memory, on the host: bench-block-driver serves a small and a large amount of the
# image through the flasher's own code, once each under callgrind and memcheck. Start-up costs
# the same in both runs, so (large - small) / (blocks difference) is the cost of one block.
set -euo pipefail

usage() {
    cat <<EOF2
Usage: $(basename "$0") [--build DIR | --driver PATH] [--budget N] [--small BYTES] [--large BYTES]

  --build DIR     build folder holding bench/bench-block-driver (default: <repo>/build)
  --driver PATH   the driver itself
  --budget N      fail when a block costs more than N instructions (default 3000)
  --small BYTES   bytes served by the baseline run (default 262144)
  --large BYTES   bytes served by the measured run (default 1048576)
  --chunk BYTES   bytes per block request (default 4096)

Exit status: 0 within budget and no allocation per block, 1 otherwise, 2 on usage or tool errors.
EOF2
}

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
driver=""
build="$repo/build"
budget=3000
small=262144
large=1048576
chunk=4096
while [ $# -gt 0 ]; do
    case "$1" in
    --build) build="${2:?}"; shift ;;
    --driver) driver="${2:?}"; shift ;;
    --budget) budget="${2:?}"; shift ;;
    --small) small="${2:?}"; shift ;;
    --large) large="${2:?}"; shift ;;
    --chunk) chunk="${2:?}"; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
    shift
done
driver="${driver:-$build/bench/bench-block-driver}"
[ -x "$driver" ] || { echo "instructions.sh: no driver at $driver (build bench-block-driver)" >&2; exit 2; }
command -v valgrind >/dev/null || { echo "instructions.sh: valgrind is not installed" >&2; exit 2; }

work="$(mktemp -d "${TMPDIR:-/tmp}/bench-instructions.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# Requests of CHUNK bytes, each answered in 56-byte blocks, the last one shorter.
blocks_for() {
    local requests=$((($1 + chunk - 1) / chunk))
    echo $((requests * ((chunk + 55) / 56)))
}

# The driver forks a reader for the other end of the socketpair; only the driver's own process
# (the one valgrind was started as) is counted.
instructions() { # BYTES
    valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.%p" \
        "$driver" "$1" "$chunk" >/dev/null 2>"$work/callgrind.err" &
    local pid=$!
    wait "$pid" || { cat "$work/callgrind.err" >&2; exit 2; }
    sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$work/callgrind.$pid"
}

allocations() { # BYTES
    valgrind --tool=memcheck "$driver" "$1" "$chunk" >/dev/null 2>"$work/memcheck.err" &
    local pid=$!
    wait "$pid" || { cat "$work/memcheck.err" >&2; exit 2; }
    sed -n "s/^==$pid==   total heap usage: \([0-9,]*\) allocs.*/\1/p" "$work/memcheck.err" | tr -d ,
}

small_blocks=$(blocks_for "$small")
large_blocks=$(blocks_for "$large")
small_ir=$(instructions "$small")
large_ir=$(instructions "$large")
if [ -z "$small_ir" ] || [ -z "$large_ir" ]; then
    echo "instructions.sh: no callgrind totals" >&2
    exit 2
fi
per_block=$(((large_ir - small_ir) / (large_blocks - small_blocks)))
echo "callgrind: $small_ir instructions for $small_blocks blocks, $large_ir for $large_blocks blocks"
echo "instructions per block: $per_block (budget $budget)"

small_allocs=$(allocations "$small")
large_allocs=$(allocations "$large")
if [ -z "$small_allocs" ] || [ -z "$large_allocs" ]; then
    echo "instructions.sh: no heap summary" >&2
    exit 2
fi
echo "heap: $small_allocs allocations for $small_blocks blocks, $large_allocs for $large_blocks blocks"

status=0
if [ "$per_block" -gt "$budget" ]; then
    echo "FAIL: $per_block instructions per block, over the budget of $budget"
    status=1
fi
if [ "$large_allocs" != "$small_allocs" ]; then
    echo "FAIL: $((large_allocs - small_allocs)) more allocations for $((large_blocks - small_blocks)) more blocks"
    status=1
fi
[ $status != 0 ] || echo "PASS: within budget, no allocation on the block path"
exit $status
