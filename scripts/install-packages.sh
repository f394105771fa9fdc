#!/usr/bin/env bash
# Installs the Debian packages a build needs when one is missing; apt runs only then.
# Usage: scripts/install-packages.sh [demo|test|ci]
#   demo  the compiler, CMake, Ninja, GoogleTest, Google Benchmark and the LPC ISP tool
#   test  demo's, plus the Windows configuration (MinGW-w64, Wine with the i386 architecture)
#   ci    test's, plus clang with its sanitizer runtime (fuzzing), clang-format, clang-tidy, dpkg-dev and lintian
# Wine needs the i386 architecture's indexes; when those cannot be had (a mirror mid-sync), the
# rest is installed all the same and the script says that Wine is missing: scripts/test.sh then
# leaves the Windows configuration out and says so.
set -euo pipefail
set_name=${1:-test}

packages=(g++ cmake ninja-build ccache googletest libgtest-dev libgmock-dev libbenchmark-dev lpc21isp)
wine_packages=()
case "$set_name" in
  demo) ;;
  test) packages+=(g++-mingw-w64-i686-posix); wine_packages=(wine wine32:i386) ;;
  ci) packages+=(g++-mingw-w64-i686-posix clang libclang-rt-14-dev clang-format clang-tidy dpkg-dev lintian); wine_packages=(wine wine32:i386) ;;
  *) echo "unknown package set: $set_name" >&2; exit 2 ;;
esac

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive

missing_of() {  # prints the named packages that are not installed
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || printf '%s\n' "$p"
  done
}

indexes_fresh=0
update_indexes() {
  [ $indexes_fresh = 1 ] && return 0
  indexes_fresh=1
  # A mirror caught mid-sync fails an index now and then: try again, then go on with the
  # indexes that did arrive; the install says whether they were enough.
  local attempt
  for attempt in 1 2 3; do
    "${sudo[@]}" apt-get update -q && return 0
    sleep 10
  done
  echo "== apt-get update failed; installing from the indexes at hand" >&2
}

mapfile -t missing < <(missing_of "${packages[@]}")
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  update_indexes
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

[ ${#wine_packages[@]} -gt 0 ] || exit 0
# Wine runs the 32-bit Windows programs: it needs the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
  indexes_fresh=0
fi
mapfile -t missing < <(missing_of "${wine_packages[@]}")
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  update_indexes
  if ! "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    echo "== Wine could not be installed (see apt's messages above): the Windows tests cannot run here" >&2
  fi
fi
