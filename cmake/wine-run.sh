#!/bin/sh
# Runs one Windows test executable under Wine for CTest; the mingw toolchain
# makes this the CMAKE_CROSSCOMPILING_EMULATOR.
#   wine-run.sh PREFIX PROGRAM [ARGS...]
# PREFIX is the build's own Wine prefix (a WINEPREFIX already in the
# environment wins), created on first use.
#
# Wine's server and its own services (started by the first Windows program
# of a prefix) outlive the program that started them. Started from a test,
# they would inherit CTest's output pipe, and CTest would wait for them to
# end: half a minute per test, or for ever. So they are started here with
# their output elsewhere, under a lock so that parallel tests do not race,
# and the server is kept for a while between tests instead of restarting for
# each. It ends by itself 30 s after the last test;
# `WINEPREFIX=PREFIX wineserver -k` ends it at once.
set -e
prefix=$1
shift
export WINEPREFIX="${WINEPREFIX:-$prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
mkdir -p "$WINEPREFIX"
# What starts here must not keep the lock's descriptor (9), or the lock
# would last as long as the server.
(
  flock 9
  wineserver -p30 </dev/null >/dev/null 2>&1 9>&- || true
  # Creates the prefix on first use and otherwise only starts Wine's own
  # services (services.exe, explorer.exe, ...) where they are not running:
  # a fraction of a second.
  wineboot </dev/null >/dev/null 2>&1 9>&-
) 9>"$WINEPREFIX/.px-wine-run.lock"
exec wine "$@"
