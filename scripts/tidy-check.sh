#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy's checks, warnings as errors) on the C++ sources of src/, sim/,
# site/ and campaign/ changed since its checks came in (.clang-tidy's first commit) or since
# BASE; `all` checks every one. Needs a configured build folder with compile_commands.json (default build/).
# Usage: scripts/tidy-check.sh [BASE|all] [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${2:-build}
[ -f "$build/compile_commands.json" ] || { echo "tidy-check: no $build/compile_commands.json (configure first)" >&2; exit 2; }
sources() { git ls-files "$@" -- 'src/*.cpp' 'sim/*.cpp' 'site/*.cpp' 'campaign/*.cpp' | grep -v '/win32/' || true; }
if [ "${1:-}" = all ]; then
  mapfile -t files < <(sources)
else
  base=${1:-$(git log --diff-filter=A --format=%H -1 -- .clang-tidy 2>/dev/null || true)}
  if [ -z "$base" ] || ! git cat-file -e "$base^{commit}" 2>/dev/null; then base=HEAD~1; fi
  mapfile -t files < <(git diff --name-only --diff-filter=d "$base" -- 'src/*.cpp' 'sim/*.cpp' 'site/*.cpp' 'campaign/*.cpp' |
                       grep -v '/win32/' || true)
fi
if [ ${#files[@]} -eq 0 ]; then
  echo "== tidy: no changed sources"
  exit 0
fi
echo "== tidy: ${#files[@]} sources"
clang-tidy -p "$build" --quiet "${files[@]}"
echo "== tidy: no findings"
