#!/usr/bin/env bash
# Builds the configurations and runs every test in each, warnings as errors.
# Usage: scripts/test.sh [win32|normal|sanitize|package]...
#   win32     the 32-bit Windows build (MinGW-w64 cross compiler), its tests under Wine
#   normal    the Linux build; with win32 in the same run its end-to-end tests also run
#             build-win32/kestrelink.exe under Wine
#   sanitize  the Linux build with AddressSanitizer and UndefinedBehaviorSanitizer
#   package   Release builds and their packages: build-package/*.deb and, with the cross
#             compiler, build-win32/*.zip
# Default: win32, normal, sanitize. What a fresh Debian machine lacks is installed first
# (scripts/install-packages.sh; KESTRELINK_NO_INSTALL=1 skips it, and without the Windows tools
# the win32 configuration is left out).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ "${KESTRELINK_NO_INSTALL:-0}" = 1 ] || "$root/scripts/install-packages.sh" test
jobs=${JOBS:-$(nproc)}

have_cross() { command -v i686-w64-mingw32-g++-posix >/dev/null || command -v i686-w64-mingw32-g++ >/dev/null; }
have_wine() { command -v wine >/dev/null && command -v wineserver >/dev/null; }

configs=("$@")
if [ ${#configs[@]} -eq 0 ]; then
  if have_cross && have_wine; then
    configs=(win32 normal sanitize)
  else
    echo "== win32: skipped (no MinGW-w64 cross compiler or no Wine)"
    configs=(normal sanitize)
  fi
fi
with_win32=0
for config in "${configs[@]}"; do [ "$config" = win32 ] && with_win32=1; done

# The configurations are CMake's presets (CMakePresets.json); each builds into build-<name>/,
# the normal one into build/.
build() {  # build PRESET [CMAKE-ARGUMENTS...]
  local preset=$1
  shift
  (cd "$root" && cmake --preset "$preset" "$@" >/dev/null && cmake --build --preset "$preset" -j "$jobs")
}

run_tests() {  # run_tests DIR
  (cd "$1" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
     ctest --output-on-failure -j "$jobs")
}

for config in "${configs[@]}"; do
  case "$config" in
    win32)
      echo "== win32: configure and build"
      build win32
      echo "== win32: test (under Wine)"
      run_tests "$root/build-win32"
      ;;
    normal)
      windows_program=
      if [ $with_win32 = 1 ]; then windows_program=$root/build-win32/kestrelink.exe; fi
      echo "== normal: configure and build"
      build normal -DKESTRELINK_WINDOWS_PROGRAM="$windows_program"
      echo "== normal: test${windows_program:+ (end-to-end also with kestrelink.exe under Wine)}"
      run_tests "$root/build"
      ;;
    sanitize)
      echo "== sanitize: configure and build"
      build sanitize
      echo "== sanitize: test"
      run_tests "$root/build-sanitize"
      ;;
    package)
      echo "== package: Linux release build and .deb"
      build package
      (cd "$root/build-package" && cpack -G DEB >/dev/null)
      ls "$root"/build-package/*.deb
      if have_cross; then
        echo "== package: Windows release build and .zip"
        build win32
        (cd "$root/build-win32" && cpack -G ZIP >/dev/null)
        ls "$root"/build-win32/*.zip
      fi
      ;;
    *) echo "unknown configuration: $config" >&2; exit 2 ;;
  esac
done
