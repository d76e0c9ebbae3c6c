#!/usr/bin/env bash
# Installs what the tests need, configures, builds and runs every test. Options are passed
# to ctest, e.g. ./test.sh -L unit; a selection that matches no test is an error.
set -euo pipefail
cd "$(dirname "$0")"

# Run through sudo, hand build/ and the guest cache back to the user who asked, so that
# later commands without root can use them.
if [ "$(id -u)" = 0 ] && [ -n "${SUDO_UID:-}" ]; then
    # shellcheck disable=SC2153 # SUDO_GID comes with SUDO_UID
    trap 'chown -R "$SUDO_UID:${SUDO_GID:-$SUDO_UID}" build .cache 2>/dev/null || true' EXIT
fi

bash tests/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)"
ctest --test-dir build -j "$(nproc)" --output-on-failure --no-tests=error "$@"
