#!/usr/bin/env bash
# Full verification of a generated client and the start-up check against the loopback
# server. Usage: verify_bench.sh BUILD [TOTAL_MIB] [FILES]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap '"$here/tests/support/loopback_server_ctl.sh" stop "$work/state" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

mkdir -p "$work/feed"
"$here/tests/support/loopback_server_ctl.sh" start "$work/state" "$work/feed" >/dev/null
url="http://127.0.0.1:$(cat "$work/state/port")/manifest.json"
"$here/cmake/wine_run.sh" "$build/bench/verify_bench.exe" "Z:$work" "Z:$work/feed" "$url" "${2:-2048}" "${3:-2000}"
