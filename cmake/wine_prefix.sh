#!/usr/bin/env bash
# start BUILD: create the private prefix once, turn off the crash dialog and keep
#              the wine server warm for the test run.
# stop BUILD:  stop the wine server of that prefix (no other prefix is touched).
set -euo pipefail
cmd=$1
build=$(cd "$2" && pwd)
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
case "$cmd" in
  start)
    if [ ! -f "$WINEPREFIX/.vorn-ready" ]; then
      wineboot -i </dev/null >/dev/null 2>&1 || true
      wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        </dev/null >/dev/null 2>&1
      touch "$WINEPREFIX/.vorn-ready"
    fi
    # A server left from the set-up or an earlier run may not be persistent: replace it
    # with one that is. Its output must not hold the test runner's pipes open.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    for _ in 1 2 3 4 5; do
      wineserver -p </dev/null >/dev/null 2>&1 && break
      sleep 0.5
    done
    # Start Wine's own services now, detached from our output: started by the first
    # test instead, they would inherit its pipes and the runner would wait for them.
    wineboot </dev/null >/dev/null 2>&1 || true
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
  *) echo "usage: wine_prefix.sh start|stop BUILD" >&2; exit 2 ;;
esac
