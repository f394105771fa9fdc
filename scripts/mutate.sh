#!/usr/bin/env bash
# Plants the faults listed in tests/mutations/*.txt one at a time in a scratch copy of this
# tree, rebuilds it incrementally and runs the test programs each entry names: a mutant that
# makes one of them fail, or run past the time-out, is caught. An entry whose line is no longer
# in its file (or is there twice) is an error, so the list cannot rot unnoticed.
# Usage: scripts/mutate.sh [--sample K] [--only ID[,ID...]] [--timeout S] [--min-score P] [--list]
#   --sample K     K entries spread evenly over the list
#   --only IDS     these entries
#   --timeout S    seconds a test program may run (default 120)
#   --min-score P  exit 1 when the score is below P percent
#   --list         the chosen entries, each checked against its file (nothing is built)
# Entries are blocks of "key: value" lines separated by blank lines ("#" starts a comment):
#   id:      name of the mutation
#   file:    path from the top of the tree
#   find:    text of exactly one line of the file (a fixed string)
#   after:   optional: text of exactly one earlier line; find is then the first match below it
#   replace: what takes its place in that line
#   tests:   test programs, each "test_NAME" or "test_NAME:GTEST_FILTER"
# MUTATE_DIR names the scratch folder (default /tmp/kestrelink-mutate-$USER), JOBS the build jobs.
set -uo pipefail
# (In braces: bash reads the whole script before it runs, so an edit meanwhile changes nothing.)
{
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${MUTATE_DIR:-/tmp/kestrelink-mutate-${USER:-$(id -un)}}
jobs=${JOBS:-2}
limit=120 sample=0 only="" min_score=0 list_only=0
while [ $# -gt 0 ]; do
  case $1 in
    --sample) sample=$2; shift 2 ;;
    --only) only=,$2,; shift 2 ;;
    --timeout) limit=$2; shift 2 ;;
    --min-score) min_score=$2; shift 2 ;;
    --list) list_only=1; shift ;;
    *) echo "mutate.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

# ---- the list ----
ids=() files=() finds=() afters=() replaces=() tests=()
add_entry() {
  [ -n "$id" ] || return 0
  if [ -z "$file" ] || [ -z "$find" ] || [ -z "$tst" ]; then
    echo "mutate.sh: entry $id lacks file, find or tests" >&2; exit 2
  fi
  ids+=("$id") files+=("$file") finds+=("$find") afters+=("$after") replaces+=("$replace") tests+=("$tst")
}
for list in "$root"/tests/mutations/*.txt; do
  id="" file="" find="" after="" replace="" tst=""
  while IFS= read -r line || [ -n "$line" ]; do
    case $line in
      '#'*) continue ;;
      '') add_entry; id="" file="" find="" after="" replace="" tst="" ;;
      id:*) id=${line#id:} id=${id# } ;;
      file:*) file=${line#file:} file=${file# } ;;
      find:*) find=${line#find:} find=${find# } ;;
      after:*) after=${line#after:} after=${after# } ;;
      replace:*) replace=${line#replace:} replace=${replace# } ;;
      tests:*) tst=${line#tests:} tst=${tst# } ;;
      *) echo "mutate.sh: $list: cannot read \"$line\"" >&2; exit 2 ;;
    esac
  done <"$list"
  add_entry
done

chosen=()
for i in "${!ids[@]}"; do
  if [ -n "$only" ]; then
    [[ $only == *",${ids[$i]},"* ]] && chosen+=("$i")
  elif [ "$sample" -gt 0 ]; then
    # Evenly spread: entry i is taken when it starts a new K-th of the list.
    [ $(( i * sample / ${#ids[@]} )) -ne $(( (i + 1) * sample / ${#ids[@]} )) ] && chosen+=("$i")
  else
    chosen+=("$i")
  fi
done
# Sets n to the line entry $1 mutates in file $2; false (with the reason) when there is none.
locate() {
  local i=$1 f=$2 from=1 matches=0 m
  if [ ! -f "$f" ]; then echo "ERROR   ${ids[$i]}: no file ${files[$i]}"; return 1; fi
  if [ -n "${afters[$i]}" ]; then
    m=$(grep -nF -- "${afters[$i]}" "$f" | cut -d: -f1)
    if [ "$(printf '%s\n' $m | grep -c .)" -ne 1 ]; then
      echo "ERROR   ${ids[$i]}: \"${afters[$i]}\" is not on exactly one line of ${files[$i]}"; return 1
    fi
    from=$((m + 1))
  fi
  n=""
  for m in $(grep -nF -- "${finds[$i]}" "$f" | cut -d: -f1); do
    [ "$m" -ge "$from" ] || continue
    matches=$((matches + 1))
    [ -n "$n" ] || n=$m
  done
  if [ "$matches" -eq 0 ] || { [ -z "${afters[$i]}" ] && [ "$matches" -ne 1 ]; }; then
    echo "ERROR   ${ids[$i]}: \"${finds[$i]}\" is on $matches lines of ${files[$i]}, not one"; return 1
  fi
  return 0
}
if [ "$list_only" = 1 ]; then
  bad=0
  for i in "${chosen[@]}"; do locate "$i" "$root/${files[$i]}" && echo "${ids[$i]}" || bad=1; done
  exit $bad
fi
[ ${#chosen[@]} -gt 0 ] || { echo "mutate.sh: no entry chosen" >&2; exit 2; }

# ---- the scratch tree: a copy of the working tree, files rewritten only when they differ so
# that its build stays incremental (a rewritten file gets a new time and is rebuilt) ----
mkdir -p "$scratch/src"
tree=$scratch/src
( cd "$root" && git ls-files --cached --others --exclude-standard ) | sort >"$scratch/files"
while IFS= read -r f; do
  [ -f "$root/$f" ] || continue
  if ! cmp -s "$root/$f" "$tree/$f"; then
    mkdir -p "$(dirname "$tree/$f")"
    cp "$root/$f" "$tree/$f"
  fi
done <"$scratch/files"
# Files gone from the tree go from the copy too (sources are found by glob).
( cd "$tree" && find . -type f | sed 's|^\./||' | sort ) | comm -13 "$scratch/files" - | while IFS= read -r f; do
  rm -f "$tree/$f"
done
build=$scratch/build
# The flags of the normal build (scripts/test.sh): compiler-cache entries serve both.
cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRELINK_WERROR=ON \
  >"$scratch/configure.log" 2>&1 || { cat "$scratch/configure.log"; exit 2; }

# The test programs an entry names, as build targets.
targets_of() {
  local t out=()
  for t in $1; do out+=("${t%%:*}"); done
  printf '%s\n' "${out[@]}" | sort -u
}
build_targets() {
  cmake --build "$build" -j "$jobs" --target $(targets_of "$1") >"$scratch/build.log" 2>&1
}
# 0 when every test program passes, 1 when one fails, 124 when one runs past the time-out.
run_tests() {
  local t program filter code
  for t in $1; do
    program=${t%%:*} filter='*'
    [[ $t == *:* ]] && filter=${t#*:}
    # (The braces keep the shell's own line about a crashed program out of the report.)
    { ( cd "$build/tests" && GTEST_FAIL_FAST=1 timeout -k 10 "$limit" "$build/tests/$program" \
          --gtest_filter="$filter" --gtest_brief=1 ) >"$scratch/test.log" 2>&1; } 2>/dev/null
    code=$?
    [ $code -eq 0 ] && continue
    failed_in=$t
    [ $code -eq 124 ] || [ $code -eq 137 ] && return 124
    return 1
  done
  return 0
}

# ---- the unmutated tree must pass what each chosen entry runs ----
all_tests=$(for i in "${chosen[@]}"; do printf '%s\n' ${tests[$i]}; done | sort -u | tr '\n' ' ')
echo "== mutate: baseline build and tests ($all_tests)"
if ! build_targets "$all_tests"; then
  tail -30 "$scratch/build.log"; echo "mutate.sh: the unmutated tree does not build" >&2; exit 2
fi
for t in $all_tests; do
  if ! run_tests "$t"; then
    tail -30 "$scratch/test.log"; echo "mutate.sh: $t fails without any mutation" >&2; exit 2
  fi
done

# ---- one mutation at a time ----
unused_warnings=""
for w in unused-variable unused-but-set-variable unused-parameter unused-function unused-value; do
  unused_warnings+="#pragma GCC diagnostic warning \"-W$w\""$'\n'
done
total=0 caught=0 missed=0 errors=0 missed_ids=()
start=$(date +%s)
for i in "${chosen[@]}"; do
  id=${ids[$i]} file=${files[$i]} target=$tree/${files[$i]}
  locate "$i" "$target" || { errors=$((errors + 1)); continue; }
  original=$(sed -n "${n}p" "$target")
  mutated=${original/"${finds[$i]}"/"${replaces[$i]}"}
  cp "$target" "$scratch/original"
  # The copy builds with -Werror, as the normal build does (so the compiler cache serves both);
  # what a mutant leaves unused stays a warning (pragmas in front of the mutated file).
  { printf '%s' "$unused_warnings"; head -n $((n - 1)) "$scratch/original"; printf '%s\n' "$mutated"
    tail -n +$((n + 1)) "$scratch/original"; } >"$target"
  t0=$(date +%s)
  failed_in=""
  if ! build_targets "${tests[$i]}"; then
    echo "ERROR   $id: the mutant does not build ($file:$n)"; errors=$((errors + 1))
    grep -m 3 "error:" "$scratch/build.log" | sed 's/^/        /'
  else
    total=$((total + 1))
    run_tests "${tests[$i]}"
    case $? in
      0) verdict=MISSED; missed=$((missed + 1)); missed_ids+=("$id") ;;
      124) verdict=caught; caught=$((caught + 1)); failed_in="$failed_in, timed out" ;;
      *) verdict=caught; caught=$((caught + 1)) ;;
    esac
    printf '%-7s %s (%s:%s%s) %ss\n' "$verdict" "$id" "$file" "$n" "${failed_in:+ by $failed_in}" $(( $(date +%s) - t0 ))
  fi
  cp "$scratch/original" "$target"  # a new time: the next build compiles the original again
done

echo "== mutate: $(( $(date +%s) - start ))s${missed_ids[*]:+, missed: ${missed_ids[*]}}"
[ $errors -eq 0 ] || echo "== mutate: $errors error(s)"
score=0
[ $total -gt 0 ] && score=$(( 100 * caught / total ))
echo "mutations: total=$total caught=$caught missed=$missed score=$score%"
[ $errors -eq 0 ] || exit 2
[ "$score" -ge "$min_score" ] || exit 1
exit 0
}
