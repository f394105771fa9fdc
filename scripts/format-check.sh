#!/usr/bin/env bash
# Checks that every line of C++ changed since the house style came in (.clang-format's first
# commit) or since BASE, when given, is formatted as clang-format would; lines nobody touched
# since are left as they are. Prints the changes clang-format wants and exits 1 when there are.
# Usage: scripts/format-check.sh [BASE]
set -euo pipefail
cd "$(dirname "$0")/.."
base=${1:-$(git log --diff-filter=A --format=%H -1 -- .clang-format)}
[ -n "$base" ] || { echo "format-check: .clang-format is not committed yet" >&2; exit 2; }
out=$(git clang-format --diff --extensions cpp,h "$base" -- src sim campaign tests bench fuzz tools 2>&1)
case "$out" in
  "" | "no modified files to format" | "clang-format did not modify any files")
    echo "== format: lines changed since ${base:0:10} are formatted" ;;
  *)
    printf '%s\n' "$out"
    echo "== format: the lines above differ from the house style (git clang-format $base formats them)" >&2
    exit 1 ;;
esac
