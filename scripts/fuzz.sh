#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, build-fuzz/) and runs each for the given time, one
# after the other, on its seed corpus from fuzz/corpus/NAME; what it finds on the way is kept
# in build-fuzz/corpus/NAME for the next run. A crash, a sanitizer report, a failed property, a
# leak, a timeout or running out of memory leaves the input in build-fuzz/artifacts/ and makes
# the script fail once every harness has run.
# Usage: scripts/fuzz.sh [seconds per harness (default 60)] [harness...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
[ $# -gt 0 ] && shift
jobs=${JOBS:-$(nproc)}
build=$root/build-fuzz
all=(packet_receive parameter_file command_line scenario aa_records image_records session_log)
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=("${all[@]}")

echo "== fuzz: configure and build (clang, sanitizers, coverage)"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DKESTRELINK_FUZZ=ON -DKESTRELINK_TESTS=OFF \
  -DKESTRELINK_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target "${harnesses[@]/#/fuzz_}"

mkdir -p "$build/artifacts" "$build/logs"
failed=()
for name in "${harnesses[@]}"; do
  corpus=$build/corpus/$name
  mkdir -p "$corpus"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$build/artifacts/$name-")
  [ -f "$root/fuzz/$name.dict" ] && options+=(-dict="$root/fuzz/$name.dict")
  log=$build/logs/$name.log
  echo "== fuzz: $name for ${seconds}s"
  set +e
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/fuzz_$name" "${options[@]}" "$corpus" "$root/fuzz/corpus/$name" >"$log" 2>&1
  code=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  status=$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9A-Za-z]+' || true)
  if [ $code -eq 0 ]; then
    echo "   $name: runs=${runs:-?} ${status:-no status} crashes=0"
  else
    echo "   $name: FAILED (exit code $code) after runs=${runs:-?} ${status:-}; log $log"
    grep -E 'ERROR|SUMMARY|property failed|Test unit written|runtime error' "$log" | head -20 || true
    failed+=("$name")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "== fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
echo "== fuzz: every harness ran ${seconds}s clean"
