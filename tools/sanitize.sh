#!/usr/bin/env bash
# Builds the C++ core tests and the Python module with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs both test suites under them:
#   bash tools/sanitize.sh
# One CMake build holds both (the core library is compiled once). The core
# tests run with leak detection on; the Python suite runs in an ordinary
# interpreter with the sanitizer runtimes preloaded and leak detection off
# (the interpreter keeps objects alive until exit by design), against a
# package directory holding the sanitized module, never the installed one.
# The leak checks there only exercise every path (VONK_LEAK_CALLS=100); they
# measure in the ordinary test run.
# Needs: g++, cmake >= 3.26, the GoogleTest and Python headers,
# and the test extras (pytest, hypothesis) in the interpreter named by
# $PYTHON (default: python). Exits non-zero if either suite fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${VONK_SANITIZE_BUILD_DIR:-$root/build/sanitize}"
python="${PYTHON:-python}"
jobs="${VONK_JOBS:-$(nproc)}"
started=$(date +%s)

flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
flags+=" -fno-omit-frame-pointer -g"

# ninja when there is one (the test extras bring it), else CMake's default;
# a build directory another generator made is configured afresh.
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ -f "$build/CMakeCache.txt" ] &&
   ! grep -q "^CMAKE_GENERATOR:INTERNAL=${generator[1]:-Unix Makefiles}\$" \
     "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
cmake -S "$root" -B "$build" "${generator[@]}" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVONK_BUILD_TESTS=ON -DVONK_BUILD_MODULE=ON \
      -DPython_EXECUTABLE="$(command -v "$python")" \
      -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
      -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
      -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
      -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined"
cmake --build "$build" -j "$jobs"

status=0

echo "== C++ core tests (ASan + UBSan, leak detection on)"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  ctest --test-dir "$build" --output-on-failure -j "$jobs" || status=1

# A package directory that holds the sanitized module next to the sources.
site="$build/site"
rm -rf "$site"
mkdir -p "$site/vonk"
cp "$root"/vonk/*.py "$root"/vonk/*.pyi "$root"/vonk/py.typed "$site/vonk/"
for name in _internal; do
  module=$(find "$build" -maxdepth 1 -name "$name*.so" -print -quit)
  if [ -z "$module" ]; then
    echo "sanitize.sh: $name was not built in $build" >&2
    exit 1
  fi
  cp "$module" "$site/vonk/"
done

preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
run_python() {
  local dir="$1"
  shift
  (cd "$dir" &&
   LD_PRELOAD="$preload" PYTHONPATH="$site" VONK_LEAK_CALLS=100 \
   ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
   UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
   "$python" "$@")
}

echo "== Python suite (ASan + UBSan module)"
imported=$(run_python "$build" -c 'import vonk._internal as m; print(m.__file__)')
echo "vonk._internal imported from $imported"
case "$imported" in
  "$site"/vonk/*) ;;
  *) echo "sanitize.sh: the sanitized module was not the one imported" >&2
     exit 1 ;;
esac
run_python "$root" -m pytest -q -p no:cacheprovider || status=1

echo "== sanitize.sh: $([ "$status" -eq 0 ] && echo passed || echo FAILED)" \
     "in $(( $(date +%s) - started )) s"
exit "$status"
