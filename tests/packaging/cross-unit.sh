#!/usr/bin/env bash
# Runs the unit and simulator tests of a cross tree; its CTest starts them under qemu-user.
#   cross-unit.sh BINARY_DIR EXPECTED_MACHINE
set -euo pipefail

binary_dir="$1"
machine="$2"

# Tests that ran on the build machine's own CPU would prove nothing about the ARM build.
actual="$(readelf -hW "$binary_dir/tests/unit/unit_tests" | sed -n 's/^ *Machine: *//p')"
if [ "$actual" != "$machine" ]; then
    echo "cross-unit: unit_tests is built for '$actual', expected '$machine'" >&2
    exit 1
fi

ctest --test-dir "$binary_dir" -R '^(unit|sim)\.' --no-tests=error --output-on-failure -j2
