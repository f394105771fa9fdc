#!/usr/bin/env bash
# MCU flash programming in real time: kestrelink-sim simulates a ZA4 display (LPC4337, the
# largest software image) on a pseudo-terminal paced at the line rate, and the program's own
# transfer code (bench/flash_probe.cpp) finds it, downloads the flash programmer and writes the
# software image. Per mode and speed it prints the write phase as a fraction of the line rate
# (payload bytes per second / (baud / 11)) and the CPU time of the program per MB of payload.
# A pseudo-terminal has no CTS line: the port map declares it tied high (",cts-high") so that
# -o can run overlapped (windowed) writes. Buffered writes run behind the ZK7 test jig.
# Usage: bench/realtime_flash.sh [build-dir]   (default: build-bench; MODES, BAUDS override)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-bench}
modes=${MODES:-"plain windowed buffered"}
bauds=${BAUDS:-"115200 460800 921600"}

cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRELINK_BENCH=ON >/dev/null
ninja -C "$dir" -j2 flash_probe kestrelink-sim >/dev/null

work=$(mktemp -d /tmp/kestrelink-flash.XXXXXX)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# One run: a fresh simulator, the probe against it; prints the probe's figures.
run() {
  local mode=$1 baud=$2 scenario options=(-y -b115200 "-r$baud") jig=()
  scenario="$root/sim/scenarios/za4.scn"
  case $mode in
    windowed) options+=(-o) ;;
    buffered) scenario="$root/sim/scenarios/zk7-test-jig.scn"; jig=(jig) ;;
  esac
  rm -f "$work/port" "$work/sim.out"
  "$dir/kestrelink-sim" --link "$work/port" "$scenario" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/sim.out" ] && break
    sleep 0.1
  done
  [ -s "$work/sim.out" ] || { cat "$work/sim.err" >&2; echo "kestrelink-sim did not start" >&2; exit 1; }
  local figures
  figures=$(env -u BALVANTAPORTLIST -u BALVANTAPORT -u BALVANTABAUDRATE -u BALVANTALOCKDIR \
    HOME="$work" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" \
    KESTRELINK_PORTMAP="3=$work/port,cts-high" \
    "$dir/bench/flash_probe" "${options[@]}" 3 "${jig[@]}" </dev/null | grep -a '^baud=') || figures="failed"
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
  printf '%-9s %s\n' "$mode" "$figures"
}

for mode in $modes; do
  for baud in $bauds; do
    run "$mode" "$baud"
  done
done
