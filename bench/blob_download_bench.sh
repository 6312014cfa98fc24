#!/usr/bin/env bash
# download_blob_cached against curl -o for the same blob from the same loopback server,
# in the same run. Usage: blob_download_bench.sh BUILD [SIZE_MIB]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
size_mib=${2:-256}
work=$(mktemp -d)
trap '"$here/tests/support/loopback_server_ctl.sh" stop "$work/state" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

mkdir -p "$work/root" "$work/cache"
head -c $((size_mib * 1048576)) /dev/urandom > "$work/root/blob.bin"
size=$(stat -c %s "$work/root/blob.bin")
sha=$(sha256sum "$work/root/blob.bin" | cut -d' ' -f1)
"$here/tests/support/loopback_server_ctl.sh" start "$work/state" "$work/root" >/dev/null
url="http://127.0.0.1:$(cat "$work/state/port")/blob.bin"

echo "blob: $size_mib MiB from the loopback server"
curl_seconds=$( { /usr/bin/time -f %e curl -s -o "$work/curl.bin" "$url"; } 2>&1 )
echo "curl -o: $(python3 -c "print(f'{$size/1e6/$curl_seconds:.1f}')") MB/s (${curl_seconds} s)"
rm -f "$work/curl.bin"
"$here/cmake/wine_run.sh" "$build/bench/blob_download_bench.exe" "$url" "$size" "$sha" "Z:$work/cache"
