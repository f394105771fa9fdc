#!/usr/bin/env bash
# Checks that every line of the program, the simulator, the simulated site, the campaign and the tools (not the
# tests' hand-laid tables) changed since the house style came in (.clang-format's first commit)
# or since BASE, when given, is formatted as clang-format would; lines nobody touched since are
# left as they are. Prints the changes clang-format wants and exits 1 when there are.
# Usage: scripts/format-check.sh [BASE]
set -euo pipefail
cd "$(dirname "$0")/.."
base=${1:-$(git log --diff-filter=A --format=%H -1 -- .clang-format 2>/dev/null || true)}
if [ -z "$base" ] || ! git cat-file -e "$base^{commit}" 2>/dev/null; then
  # A shallow clone does not reach the style's first commit: the last commit's lines, then.
  base=HEAD~1
  git cat-file -e "$base^{commit}" 2>/dev/null || { echo "format-check: no history to compare with" >&2; exit 2; }
fi
out=$(git clang-format --diff --extensions cpp,h "$base" -- src sim site campaign tools 2>&1)
case "$out" in
  "" | "no modified files to format" | "clang-format did not modify any files")
    echo "== format: lines changed since ${base:0:10} are formatted" ;;
  *)
    printf '%s\n' "$out"
    echo "== format: the lines above differ from the house style (git clang-format $base formats them)" >&2
    exit 1 ;;
esac
