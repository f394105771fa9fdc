#!/usr/bin/env bash
# Real-time soak: field updates of a simulated ZS3 over a pseudo-terminal against
# kestrelink-sim, each on a line with its own faults (bit flips and dropped bytes in both
# directions, from none to more than the retries absorb). Every run must end within its time
# limit, either with its success line and the unit then showing the new release, or with a
# failure line after which a follow-up update of the same unit on a clean line (up to three
# tries, as a technician would) succeeds. The operator switches the unit off and on whenever a
# run asks for it.
# Usage: scripts/soak.sh [runs (default 50)]
#   REPORT=path   where the report goes (default build/soak-report.txt)
#   FIRST=n       the first run's number (default 1): runs n.. take that run's faults and seed,
#                 so several soaks can share the runs between them
#   LIMIT=s       seconds one program run may take before it counts as a hang (default 1800;
#                 at 2000 bit flips per million bytes every damaged packet costs its time-out,
#                 and an update takes about 20 minutes)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-50}
report=${REPORT:-$root/build/soak-report.txt}
first=${FIRST:-1}
limit=${LIMIT:-1800}
release="   Software        : v6.10r57"

echo "== soak: build"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "${JOBS:-$(nproc)}" --target kestrelink kestrelink-sim

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrelink-soak.XXXXXX")
sim_pid=
stop_sim() {
  exec 3>&- || true
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
  fi
}
trap 'stop_sim; rm -rf "$work"' EXIT

# The operator: each time the run asks for the unit to be switched off and on, the simulator
# is told to do it (its command input is file descriptor 3).
operator() {
  local asked=0 seen
  while sleep 1; do
    seen=$(grep -c "please turn the unit power off and on now" "$work/run.out" 2>/dev/null || true)
    if [ "${seen:-0}" -gt "$asked" ]; then
      echo cycle >&3
      asked=$seen
    fi
  done
}

# kestrelink with a private home, the simulator's pseudo-terminal as COM2; prints its console
# to $work/run.out and returns its exit code (124 after the time limit).
kestrelink() {
  local code=0 hand
  : >"$work/run.out"
  operator &
  hand=$!
  env -u BALVANTAPORTLIST -u BALVANTAPORT -u BALVANTABAUDRATE -u BALVANTALOCKDIR \
    HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" \
    KESTRELINK_PORTMAP="2=$work/port" \
    timeout -k 10 "$limit" "$work/bin/kestrelink" "$@" </dev/null >"$work/run.out" 2>&1 || code=$?
  kill "$hand" 2>/dev/null || true
  wait "$hand" 2>/dev/null || true
  return $code
}

# The unit shows the new release (an interrogation may itself meet a damaged reply: 3 tries).
shows_release() {
  local try
  for try in 1 2 3; do
    kestrelink -i -y COM2 && grep -qF "$release" "$work/run.out" && return 0
  done
  return 1
}

mkdir -p "$work/bin" "$work/home" "$(dirname "$report")"
cp "$root/build/kestrelink" "$work/bin/kestrelink"
flips=(0 0 20 100 400 2000)
drops=(0 10 0 50 200 1000)
ok=0 failed_cleanly=0 recovered=0 bricked=0 hangs=0 wrong=0
{
  echo "# Soak: $runs field updates (from run $first) of zs3-lpc1768.scn at -r921600 over a pseudo-terminal ($(date -u '+%Y-%m-%d %H:%M UTC'))"
  printf '%-4s %-10s %-10s %-8s %s\n' run flips/1e6 drops/1e6 seconds outcome
} >"$report"

for run in $(seq "$first" $((first + runs - 1))); do
  flip=${flips[$(( (run - 1) % ${#flips[@]} ))]}
  drop=${drops[$(( (run - 1) / ${#flips[@]} % ${#drops[@]} ))]}
  scenario=$work/soak.scn
  { cat "$root/sim/scenarios/zs3-lpc1768.scn"
    printf '\n[line]\nseed = %d\nbit-flip-per-million = %d\ndrop-byte-per-million = %d\n' "$run" "$flip" "$drop"
  } >"$scenario"
  rm -f "$work/port" "$work/commands"
  mkfifo "$work/commands"
  "$root/build/kestrelink-sim" --commands --log "$work/sim.log" --link "$work/port" "$scenario" \
    <"$work/commands" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  exec 3>"$work/commands"
  for _ in $(seq 100); do [ -e "$work/port" ] && break; sleep 0.1; done

  start=$(date +%s)
  code=0
  kestrelink -y -r921600 COM2 || code=$?
  if [ $code -eq 124 ] || [ $code -eq 137 ]; then
    outcome=hang
    hangs=$((hangs + 1))
  elif [ $code -eq 0 ] && grep -q "^Success: all operations are complete" "$work/run.out"; then
    if shows_release; then
      outcome=ok
      ok=$((ok + 1))
    else
      outcome="wrong success (the unit does not show 6.10r57)"
      wrong=$((wrong + 1))
    fi
  elif [ $code -eq 1 ] || [ $code -eq 2 ]; then
    failed_cleanly=$((failed_cleanly + 1))
    reason=$(tr -d '\r' <"$work/run.out" | grep -m1 '^Fatal Error: ' || tr -d '\r' <"$work/run.out" | grep -v '^ *$' | tail -1)
    # What a failed run printed stays beside the report, for the follow-ups' judgement.
    cp "$work/run.out" "${report%.*}-run$run.out"
    outcome="bricked after: $reason"
    echo "line 0 0" >&3
    for try in 1 2 3; do
      if kestrelink -y -r921600 COM2 && shows_release; then
        outcome="failed cleanly ($reason), recovered by follow-up $try"
        recovered=$((recovered + 1))
        break
      fi
      cp "$work/run.out" "${report%.*}-run$run-follow-up$try.out"
    done
    if [[ $outcome == bricked* ]]; then
      bricked=$((bricked + 1))
      cp "$work/sim.log" "${report%.*}-run$run-sim.log"
    fi
  else
    outcome="unexplained end (exit code $code): $(tail -1 "$work/run.out" | tr -d '\r')"
    wrong=$((wrong + 1))
  fi
  stop_sim
  seconds=$(( $(date +%s) - start ))
  printf '%-4s %-10s %-10s %-8s %s\n' "$run" "$flip" "$drop" "$seconds" "$outcome" | tee -a "$report"
done

summary="soak: runs=$runs ok=$ok failed-cleanly=$failed_cleanly recovered=$recovered bricked=$bricked hangs=$hangs wrong=$wrong"
echo "$summary" | tee -a "$report"
echo "== soak: report in $report"
[ $bricked -eq 0 ] && [ $hangs -eq 0 ] && [ $wrong -eq 0 ]
