#!/usr/bin/env bash
# Installs what the tests need, configures, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")"

bash tests/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)"
ctest --test-dir build -j "$(nproc)" --output-on-failure "$@"
