#!/usr/bin/env bash
# Demo: builds Kestrelink and its unit simulator, then updates a whole simulated installation
# (scripts/demo-installation.scn: a ZA4 display on the port relaying to a ZS4 transmitter and a
# ZC3 remote I/O unit, all with outdated software) to the release this build carries,
# answering its two questions as an operator would (update the units: y; restart them now: y),
# and interrogates the installation afterwards to show every unit at its new version.
# Everything the runs write (session logs, remembered port) stays in build/demo/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/install-packages.sh demo

echo "== building (build/, RelWithDebInfo)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target kestrelink kestrelink-sim -j "${JOBS:-$(nproc)}"

# A private folder: the program copied there keeps its LogFiles beside it, and HOME and the
# XDG folders point there so the remembered COM port does not touch the user's settings.
demo="$root/build/demo"
rm -rf "$demo"
mkdir -p "$demo/bin" "$demo/home"
cp build/kestrelink "$demo/bin/kestrelink"

sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

scenario=scripts/demo-installation.scn
build/kestrelink-sim --link "$demo/port" --log "$demo/sim.log" "$scenario" >"$demo/sim.out" 2>"$demo/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
  [ -s "$demo/sim.out" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$demo/sim.err" >&2; exit 1; }
  sleep 0.1
done
[ -s "$demo/sim.out" ] || { echo "kestrelink-sim did not start" >&2; exit 1; }
echo "== kestrelink-sim: $scenario on $(head -n 1 "$demo/sim.out") (linked as $demo/port)"

kestrelink() {
  env -u BALVANTAPORTLIST -u BALVANTAPORT -u BALVANTABAUDRATE -u BALVANTALOCKDIR \
    HOME="$demo/home" XDG_CONFIG_HOME="$demo/config" XDG_STATE_HOME="$demo/state" \
    KESTRELINK_PORTMAP="1=$demo/port" \
    "$demo/bin/kestrelink" "$@"
}

# Runs kestrelink with KEYS typed one by one, each when the next yes/no question appears (keys
# typed ahead would be taken by the port search's check for Esc).
answering() {
  local keys=$1 out="$demo/answered.out" fifo="$demo/keys"
  shift
  rm -f "$fifo" "$out"
  mkfifo "$fifo"
  kestrelink "$@" <"$fifo" >"$out" 2>&1 &
  local pid=$! answered=0 asked
  exec 3>"$fifo"
  tail -n +1 -f --pid="$pid" "$out" 3>&- &
  local tail_pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    asked=$(grep -ao "(y/n)" "$out" | wc -l)
    while [ "$answered" -lt "$asked" ] && [ "$answered" -lt "${#keys}" ]; do
      printf '%s' "${keys:$answered:1}" >&3
      answered=$((answered + 1))
      # After the last answer the input ends, so the closing pause returns at once.
      [ "$answered" -lt "${#keys}" ] || exec 3>&-
    done
    sleep 0.2
  done
  [ "$answered" -ge "${#keys}" ] || exec 3>&-
  local code=0
  wait "$pid" || code=$?
  wait "$tail_pid" 2>/dev/null || true
  return "$code"
}

status=0
echo
echo "== KESTRELINK_PORTMAP=\"1=$demo/port\" kestrelink -r921600   (answering y, y)"
echo
answering yy -r921600 || status=$?
echo
echo
echo "== kestrelink exit code: $status"
if [ "$status" -eq 0 ]; then
  echo
  echo "== KESTRELINK_PORTMAP=\"1=$demo/port\" kestrelink -i -y"
  echo
  kestrelink -i -y </dev/null || status=$?
  echo
  echo
  echo "== kestrelink exit code: $status"
fi
echo "== session logs: $demo/bin/LogFiles/"
exit "$status"
