#!/usr/bin/env bash
# Runs every test of vonk: the C++ core suite (GoogleTest through CTest) and
# the Python suite (pytest) against the installed package:
#   pip install '.[test]' && bash tools/run_tests.sh
# The Python is $PYTHON, else the `python` on PATH (an active virtualenv's);
# the test extras installed there bring CMake 3.26 or later and ninja, which
# builds the core tests. GoogleTest comes from Debian's libgtest-dev:
# installed here when missing and running as root, otherwise the run stops
# at once with the command to run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${VONK_TEST_BUILD_DIR:-$root/build/core-tests}"
python="${PYTHON:-$(command -v python || command -v python3 || true)}"
if [ -z "$python" ]; then
  echo "run_tests.sh: no python on PATH; activate the virtualenv vonk is installed in" >&2
  exit 1
fi

# That Python's console scripts (cmake, ctest and ninja from the test
# extras) first.
PATH="$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
if ! "$python" -c 'import cmake, hypothesis, ninja, pytest' 2>/dev/null; then
  echo "run_tests.sh: $python lacks the test extras; run: pip install '.[test]'" >&2
  exit 1
fi

if command -v dpkg-query >/dev/null &&
   ! dpkg-query -W -f='${Status}' libgtest-dev 2>/dev/null | grep -q "ok installed"; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "run_tests.sh: GoogleTest is missing; install it with:" >&2
    echo "    sudo apt-get install libgtest-dev" >&2
    exit 1
  fi
  echo "run_tests.sh: installing GoogleTest (libgtest-dev)"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq libgtest-dev >/dev/null 2>&1 ||
    { apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null; }
fi

# A build directory another generator made cannot be reused.
if [ -f "$build/CMakeCache.txt" ] &&
   ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
cmake -S "$root" -B "$build" -G Ninja -DVONK_BUILD_TESTS=ON \
      -DVONK_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j "$(nproc)"

# The two suites run side by side (pytest uses one core); CTest's report
# follows pytest's.
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" >"$build/ctest.log" 2>&1 &
ctest_pid=$!
status=0
(cd "$root" && "$python" -m pytest) || status=1
wait "$ctest_pid" || status=1
cat "$build/ctest.log"
exit "$status"
