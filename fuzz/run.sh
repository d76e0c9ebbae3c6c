#!/usr/bin/env bash
# Builds frame_fuzzer with clang (libFuzzer, ASan, UBSan) and runs it for CANFD_FUZZ_SECONDS
# seconds (default 60) over a working copy of fuzz/corpus. Any finding fails the run and
# leaves the input that caused it in <build dir>/findings/.
# Usage: fuzz/run.sh [build dir]    (default: build/fuzz)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build_dir=$(realpath -m "${1:-$here/../build/fuzz}")
seconds=${CANFD_FUZZ_SECONDS:-60}

cmake -S "$here" -B "$build_dir/tree" -DCMAKE_CXX_COMPILER=clang++ >"$build_dir.configure.log" 2>&1 ||
  { cat "$build_dir.configure.log"; exit 1; }
cmake --build "$build_dir/tree" -j2

# The working corpus keeps what earlier runs found; the seeds in the repository stay as they are.
mkdir -p "$build_dir/corpus" "$build_dir/findings"
cp -n "$here"/corpus/* "$build_dir/corpus/"

cd "$build_dir"
status=0
# -close_fd_mask=3: the flasher's log and reports would only slow the fuzzer down.
"$build_dir/tree/frame_fuzzer" -close_fd_mask=3 -max_len=1024 -timeout=10 \
  -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build_dir/findings/" \
  "$build_dir/corpus" 2>&1 |
  grep --line-buffered -v -e '^#[0-9].*\(NEW\|REDUCE\)' -e '^INFO: ' -e '# Uses: [0-9]*$' -e '^###### ' ||
  status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ]; then
  echo "fuzz.run: the fuzzer failed (status $status). Replay a finding with:" >&2
  echo "  $build_dir/tree/frame_fuzzer $build_dir/findings/<file>" >&2
  exit 1
fi
