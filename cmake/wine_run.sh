#!/usr/bin/env bash
# Runs a Windows program under Wine with the build's private prefix.
# The prefix lives beside the CMake cache so every build folder has its own.
set -euo pipefail
if [ -z "${WINEPREFIX:-}" ]; then
  dir=$PWD
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ -f "$dir/CMakeCache.txt" ] || { echo "wine_run: no build folder above $PWD" >&2; exit 2; }
  export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
