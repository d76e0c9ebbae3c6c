#!/usr/bin/env bash
# Configures and builds one cross tree: cross-build.sh SOURCE_DIR BINARY_DIR TOOLCHAIN_FILE GENERATOR
set -euo pipefail

source_dir="$1"
binary_dir="$2"
toolchain="$3"
generator="$4"

# A tree configured with another toolchain (or none) would silently keep its old compiler.
cache="$binary_dir/CMakeCache.txt"
if [ -f "$cache" ] && ! grep -qxF "CMAKE_TOOLCHAIN_FILE:FILEPATH=$toolchain" "$cache"; then
    echo "cross-build: $binary_dir was configured with another toolchain; starting afresh"
    rm -rf "$binary_dir"
fi

cmake -S "$source_dir" -B "$binary_dir" -G "$generator" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release -DCANFD_FLASH_TESTS=ON
cmake --build "$binary_dir" -j2
