#!/usr/bin/env bash
# Builds the normal and the sanitizer configuration and runs every test in both.
# Usage: scripts/test.sh [normal|sanitize]...   (default: both)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}
configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(normal sanitize)

for config in "${configs[@]}"; do
  case "$config" in
    normal) dir="$root/build"; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRELINK_BENCH=ON) ;;
    sanitize) dir="$root/build-sanitize"; flags=(-DCMAKE_BUILD_TYPE=Debug -DKESTRELINK_SANITIZE=ON) ;;
    *) echo "unknown configuration: $config" >&2; exit 2 ;;
  esac
  echo "== $config: configure and build"
  cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== $config: test"
  (cd "$dir" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
     ctest --output-on-failure -j "$jobs")
done
