#!/usr/bin/env bash
# cppcheck over src/, for the one configuration the tool is built in. Fails on any finding that
# cppcheck-suppressions.txt does not explain.
# Usage: cppcheck.sh <source dir>
set -euo pipefail
source_dir=$1
here=$(cd "$(dirname "$0")" && pwd)
cppcheck --enable=warning,style,performance,portability --std=c++17 --language=c++ \
  --library=posix -D_FILE_OFFSET_BITS=64 -I "$source_dir/src" \
  --suppressions-list="$here/cppcheck-suppressions.txt" --error-exitcode=1 --quiet \
  "$source_dir/src"
