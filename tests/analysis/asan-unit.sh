#!/usr/bin/env bash
# Builds the unit and simulator tests with AddressSanitizer and UndefinedBehaviorSanitizer in a
# tree of their own and runs them.
# Usage: asan-unit.sh <source dir> <build dir>
set -euo pipefail
source_dir=$1
build_dir=$2
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="-O1 $sanitize" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitize" -DCMAKE_SHARED_LINKER_FLAGS="$sanitize" \
  -DCANFD_ANALYSIS_NESTED=ON >"$build_dir.configure.log" 2>&1 ||
  { cat "$build_dir.configure.log"; exit 1; }

# Only the test programs: the guest and package trees are not for this build.
targets=(unit_tests)
available=$(cmake --build "$build_dir" --target help)
if grep -qw sim_tests <<<"$available"; then
  targets+=(sim_tests)
fi
cmake --build "$build_dir" -j2 --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build_dir" -R '^(unit|sim)\.' -j2 --output-on-failure --no-tests=error
