#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, AddressSanitizer and
# UndefinedBehaviorSanitizer) into build/fuzz and runs each target for a
# fixed time, one after the other, from a scratch copy of its committed seed
# corpus. Crash inputs go to build/fuzz/artifacts/<target>/. Prints one line
# per target and exits non-zero if any target found something.
#
#   bash tools/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#
# SECONDS_PER_TARGET defaults to 600; TARGET defaults to every *_fuzz.cc in
# tests/fuzz. Set VONK_FUZZ_PARALLEL=2 to run two targets at a time.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-600}"
shift || true
build="$root/build/fuzz"
artifacts="$build/artifacts"
parallel="${VONK_FUZZ_PARALLEL:-1}"

if [[ $# -gt 0 ]]; then
  targets=("$@")
else
  targets=()
  for source in "$root"/tests/fuzz/*_fuzz.cc; do
    targets+=("$(basename "$source" .cc)")
  done
fi

mkdir -p "$build"
# ninja when there is one (the test extras bring it), else CMake's default;
# a build directory another generator made is configured afresh.
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ -f "$build/CMakeCache.txt" ] &&
   ! grep -q "^CMAKE_GENERATOR:INTERNAL=${generator[1]:-Unix Makefiles}\$" \
     "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" "${generator[@]}" \
  -DVONK_BUILD_FUZZ=ON -DVONK_BUILD_MODULE=OFF -DVONK_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 2; }
cmake --build "$build" -j2 --target "${targets[@]}" >"$build/build.log" 2>&1 ||
  { tail -50 "$build/build.log"; exit 2; }

work="$(mktemp -d "${TMPDIR:-/tmp}/vonk-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT

run_target() {
  local target="$1"
  local corpus="$work/$target"
  mkdir -p "$corpus" "$artifacts/$target"
  cp -r "$root/tests/fuzz/corpus/$target/." "$corpus/"
  local options=()
  case "$target" in
    record_fuzz | jsonl_fuzz) options+=(-dict="$root/tests/fuzz/json.dict") ;;
  esac
  # -jobs/-workers 1: one process; the machine is shared.
  "$build/$target" "$corpus" -max_total_time="$seconds" \
    -artifact_prefix="$artifacts/$target/" -print_final_stats=1 \
    -rss_limit_mb=2048 -timeout=25 "${options[@]}" >"$build/$target.log" 2>&1 ||
    true
}

running=0
for target in "${targets[@]}"; do
  run_target "$target" &
  running=$((running + 1))
  if [[ $running -ge $parallel ]]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

status=0
printf '%-22s %14s %8s %9s\n' target executions time findings
for target in "${targets[@]}"; do
  log="$build/$target.log"
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)"
  time_s="$(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" |
    awk '{print $5 "s"}' | tail -1 || true)"
  # A run that stops early (on a crash) prints no "Done" line.
  [[ -n "$time_s" ]] || time_s="stopped"
  findings="$(find "$artifacts/$target" -type f | wc -l)"
  printf '%-22s %14s %8s %9s\n' "$target" "${execs:-?}" "$time_s" "$findings"
  if [[ "$findings" -ne 0 || -z "$execs" ]]; then
    status=1
    find "$artifacts/$target" -type f -printf '  %p\n'
    echo "  log: $log"
  fi
done
exit $status
