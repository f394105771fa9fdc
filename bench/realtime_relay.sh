#!/usr/bin/env bash
# A relayed update in real time: kestrelink-sim simulates the demo installation
# (scripts/demo-installation.scn: a ZA4 display on a pseudo-terminal paced at the line rate,
# relaying to a ZS4 and a ZC3 on its network), and the program's own transfer code
# (bench/relay_probe.cpp) switches the display to the programming speed and sends each remote
# unit its software update file through it. Per unit and in total it prints the payload rate
# as a fraction of the port's line rate (payload bytes per second / (baud / 11); the framing of
# 128-byte blocks allows about 0.88) and the resends ("!") the transfer needed; a clean line
# needs none. RUNS repeats the measure on a fresh simulator (default 1).
# Usage: bench/realtime_relay.sh [build-dir]   (default: build-bench; BAUD overrides -r921600)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-bench}
baud=${BAUD:-921600}
runs=${RUNS:-1}

cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRELINK_BENCH=ON >/dev/null
ninja -C "$dir" -j2 relay_probe kestrelink-sim >/dev/null

work=$(mktemp -d /tmp/kestrelink-relay.XXXXXX)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

for run in $(seq "$runs"); do
  rm -f "$work/port" "$work/sim.out"
  "$dir/kestrelink-sim" --link "$work/port" "$root/scripts/demo-installation.scn" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/sim.out" ] && break
    sleep 0.1
  done
  [ -s "$work/sim.out" ] || { cat "$work/sim.err" >&2; echo "kestrelink-sim did not start" >&2; exit 1; }
  figures=$(env -u BALVANTAPORTLIST -u BALVANTAPORT -u BALVANTABAUDRATE -u BALVANTALOCKDIR \
    HOME="$work" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" \
    KESTRELINK_PORTMAP="1=$work/port" \
    "$dir/bench/relay_probe" -y "-r$baud" 1 </dev/null | grep -a -E '^(unit|total_units)=') || figures="failed"
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
  echo "run $run"
  echo "$figures"
done
