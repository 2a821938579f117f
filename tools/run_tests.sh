#!/usr/bin/env bash
# Runs every test of vonk: the C++ core suite (GoogleTest through CTest) and
# the Python suite (pytest) against the installed package.
#   bash tools/run_tests.sh
# Needs: cmake >= 3.26, g++, zlib and GoogleTest headers, and the package
# installed with its test extras (pip install '.[test]').
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${VONK_TEST_BUILD_DIR:-$root/build/core-tests}"

cmake -S "$root" -B "$build" -DVONK_BUILD_TESTS=ON -DVONK_BUILD_MODULE=OFF \
      -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

cd "$root"
python -m pytest
