#!/usr/bin/env bash
# Demo: builds Kestrelink and its unit simulator, then updates a simulated ZS3 transmitter that
# runs outdated software (sim/scenarios/zs3-lpc1768.scn, 6.05r02) to the release this build
# carries, and interrogates the same simulated unit afterwards to show its new version.
# Everything the runs write (session logs, remembered port) stays in build/demo/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# The same packages as the CI entry; apt runs only when one is missing.
packages=(g++ cmake ninja-build googletest libgtest-dev libgmock-dev libbenchmark-dev lpc21isp)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" apt-get install -y -q "${missing[@]}"
fi

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

scenario=sim/scenarios/zs3-lpc1768.scn
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
    "$demo/bin/kestrelink" "$@" </dev/null
}

status=0
for arguments in "-y -r921600" "-i -y"; do
  echo
  echo "== KESTRELINK_PORTMAP=\"1=$demo/port\" kestrelink $arguments"
  echo
  # shellcheck disable=SC2086
  kestrelink $arguments || status=$?
  echo
  echo
  echo "== kestrelink exit code: $status"
  [ "$status" -eq 0 ] || break
done
echo "== session logs: $demo/bin/LogFiles/"
exit "$status"
