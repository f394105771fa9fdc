#!/usr/bin/env bash
# Wine for the tests of the Windows build: no display, no questions, any user (root in CI).
#   scripts/wine.sh init PREFIX                    create the prefix once (later calls return)
#   scripts/wine.sh run PREFIX PROGRAM [ARGS...]   run a Windows program in it
# The machine's serial ports are no COM ports of the tests: Wine's device manager stays off
# (it would map them to COM1 and up), so a port exists only where a test links one into
# PREFIX/dosdevices (comN -> device).
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 init|run PREFIX [PROGRAM ARGS...]" >&2; exit 2; }
command=$1
prefix=$(realpath -m "$2")
shift 2
export WINEPREFIX=$prefix WINEDEBUG=-all DISPLAY=
overrides="mscoree,mshtml="

init() {
  [ -f "$prefix/.kestrelink-ready" ] && return
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  [ -f "$prefix/.kestrelink-ready" ] && return
  rm -rf "$prefix"
  WINEDLLOVERRIDES=$overrides wineboot --init >/dev/null 2>&1
  wineserver -w
  find "$prefix/dosdevices" -maxdepth 1 -name 'com*' -type l -delete
  touch "$prefix/.kestrelink-ready"
}

case $command in
  init) init ;;
  run) init; WINEDLLOVERRIDES="mountmgr.sys=;$overrides" exec wine "$@" ;;
  *) echo "$0: unknown command $command" >&2; exit 2 ;;
esac
