#!/usr/bin/env bash
# Measures what carrying the firmware bundle costs:
#   1. build time of the bundle: the generator, the check and the assembly of bundle.S
#      (from a clean build directory, tool compile included and excluded);
#   2. start-up time of a program linked with the whole bundle (bench/bundle_probe.cpp), and of
#      the kestrelink binary itself with -q.
# Usage: bench/measure_bundle.sh [build-dir]   (default: build-bench, RelWithDebInfo like scripts/test.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-bench}
runs=${RUNS:-50}

cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRELINK_TESTS=OFF >/dev/null
ninja -C "$dir" -j2 kestrelink_platform kestrelink_wire
ninja -C "$dir" -t clean bundle_tool >/dev/null
rm -rf "$dir/bundle"

now() { date +%s.%N; }
t0=$(now)
ninja -C "$dir" -j2 tools/bundle_tool >/dev/null
t1=$(now)
ninja -C "$dir" -j2 CMakeFiles/kestrelink_core.dir/bundle/embed/bundle.S.o >/dev/null
t2=$(now)
ninja -C "$dir" -j2 kestrelink >/dev/null
bytes=$(du -sb "$dir/bundle/synthetic" | cut -f1)
printf 'bundle: %d bytes in %d files\n' "$bytes" "$(ls "$dir/bundle/synthetic" | wc -l)"
printf 'build: bundle tool compile %.2f s; generate + check + assemble %.2f s; total %.2f s (limit 60 s)\n' \
  "$(echo "$t1 - $t0" | bc)" "$(echo "$t2 - $t1" | bc)" "$(echo "$t2 - $t0" | bc)"

probe="$dir/bundle_probe"
c++ -std=c++20 -O2 -I"$root/src" "$root/bench/bundle_probe.cpp" "$dir/libkestrelink_core.a" \
  "$dir/libkestrelink_platform.a" "$dir/libkestrelink_wire.a" -o "$probe"
printf 'probe binary: %d bytes (%s)\n' "$(stat -c %s "$probe")" "$("$probe")"

# Mean wall time of one start, in ms, over $runs runs (hyperfine when present).
startup() {
  if command -v hyperfine >/dev/null; then
    hyperfine -N -i --warmup 5 --runs "$runs" --export-json "$dir/hf.json" "$*" >/dev/null 2>&1
    python3 -c "import json;r=json.load(open('$dir/hf.json'))['results'][0];print(f\"{r['mean']*1000:.2f} ms mean, {r['max']*1000:.2f} ms max\")"
  else
    local s e
    s=$(now)
    for ((i = 0; i < runs; i++)); do "$@" >/dev/null || true; done
    e=$(now)
    echo "$(echo "($e - $s) * 1000 / $runs" | bc -l | xargs printf '%.2f') ms mean"
  fi
}
echo "start-up, probe with the bundle:              $(startup "$probe") (limit 50 ms)"
echo "start-up, probe reading all bundle bytes:     $(startup "$probe" touch)"
echo "start-up, kestrelink -q:                      $(startup "$dir/kestrelink" -q) (limit 50 ms)"
if nm "$dir/kestrelink" | grep -q kestrelink_bundle; then
  echo "kestrelink carries the bundle ($(stat -c %s "$dir/kestrelink") bytes)"
else
  echo "kestrelink does not reference the catalogue yet: the linker leaves the bundle out of it"
fi
