#!/usr/bin/env bash
# Builds kestrelink-campaign (build/) and runs the seeded fault campaign over every flow, then
# writes a report: per flow the outcomes by fault and the summary line, and each failing seed.
# Exits non-zero when any seed broke an invariant (a bricked unit, a hang, a crash, a wrong
# success, a failure the follow-up run could not recover).
# Usage: scripts/campaign.sh [seeds per flow (default 10000)] [flow...]
#   REPORT=path   where the report goes (default build/campaign-report.md)
#   JOBS=n        seeds run at once (default: the number of processors)
#   GATE=catastrophic   fail only on a bricked unit, a hang, a crash or lost manufacturing
#                 fields; other broken invariants are listed in the report and on the console
#                 but do not fail
#   SWEEP=k       also run the exhaustive sweep (kestrelink-campaign --sweep --every k) and
#                 add it to the report; it fails on any broken invariant
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seeds=${1:-10000}
[ $# -gt 0 ] && shift
jobs=${JOBS:-$(nproc)}
flows=("$@")
[ ${#flows[@]} -gt 0 ] || flows=(field-update multi-unit manufacturing extract-logs interrogate)
report=${REPORT:-$root/build/campaign-report.md}

echo "== campaign: build"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$jobs" --target kestrelink-campaign
campaign=$root/build/campaign/kestrelink-campaign

mkdir -p "$(dirname "$report")"
{
  echo "# Fault campaign, $seeds seeds per flow ($(date -u '+%Y-%m-%d %H:%M UTC'), $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo 'no git'))"
  echo
} >"$report"

bad=0
# A section of the report: its heading, the campaign's output and how long it took.
add_to_report() {
  {
    echo "## $1"
    echo
    echo '```'
    printf '%s\n' "$2"
    echo '```'
    echo "($3 s with $jobs jobs)"
    echo
  } >>"$report"
}

for flow in "${flows[@]}"; do
  echo "== campaign: $flow, $seeds seeds"
  start=$(date +%s)
  code=0
  output=$("$campaign" --flow "$flow" --seeds "$seeds" --jobs "$jobs" --by-fault) || code=$?
  elapsed=$(( $(date +%s) - start ))
  summary=$(grep '^campaign: ' <<<"$output" | tail -1)
  echo "$summary (${elapsed}s)"
  add_to_report "$flow" "$output" "$elapsed"
  # A seed that broke an invariant (its line is in the output) makes the campaign fail.
  if [ "${GATE:-all}" = catastrophic ]; then
    grep '^seed ' <<<"$output" || true
    grep -q ' bricked=0 hangs=0 crashes=0 fields-lost=0$' <<<"$summary" || bad=1
  else
    [ $code -eq 0 ] || bad=1
  fi
done
if [ -n "${SWEEP:-}" ]; then
  echo "== campaign: sweep, every ${SWEEP}th boot-loader packet"
  start=$(date +%s)
  code=0
  output=$("$campaign" --sweep --every "$SWEEP" --jobs "$jobs") || code=$?
  elapsed=$(( $(date +%s) - start ))
  echo "$(grep '^sweep: ' <<<"$output" | tail -1) (${elapsed}s)"
  add_to_report "sweep (--every $SWEEP)" "$output" "$elapsed"
  [ $code -eq 0 ] || bad=1
fi
echo "== campaign: report in $report"
exit $bad
