#!/usr/bin/env bash
# Installs the Debian packages a build needs when one is missing; apt runs only then.
# Usage: scripts/install-packages.sh [demo|test|ci]
#   demo  the compiler, CMake, Ninja, GoogleTest, Google Benchmark and the LPC ISP tool
#   test  demo's, plus the Windows configuration (MinGW-w64, Wine with the i386 architecture)
#   ci    test's, plus clang with its sanitizer runtime (fuzzing), dpkg-dev and lintian (packages)
set -euo pipefail
set_name=${1:-test}

packages=(g++ cmake ninja-build ccache googletest libgtest-dev libgmock-dev libbenchmark-dev lpc21isp)
windows=0
case "$set_name" in
  demo) ;;
  test) packages+=(g++-mingw-w64-i686-posix wine wine32:i386); windows=1 ;;
  ci) packages+=(g++-mingw-w64-i686-posix wine wine32:i386 clang libclang-rt-14-dev dpkg-dev lintian); windows=1 ;;
  *) echo "unknown package set: $set_name" >&2; exit 2 ;;
esac

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# Wine runs the 32-bit Windows programs: it needs the i386 architecture.
new_architecture=0
if [ $windows = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
  new_architecture=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ $new_architecture = 1 ]; then
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  [ ${#missing[@]} -eq 0 ] || "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
