#!/usr/bin/env bash
# The archive rewrites against `cp` of the same source bytes: the guild icon rebuild of a
# 1 GiB surfaces.pck and the rebuild of a 3 GiB split archive from a tail. Each operation
# runs in a fresh process; `cp` copies the same files right before and right after it.
# Usage: archive_bench.sh BUILD
set -euo pipefail
shopt -s inherit_errexit  # a failed measurement stops the run inside $(...) too
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
exe="$build/bench/archive_bench.exe"

# The work folder sits beside the build, on the disk: /tmp may be a small tmpfs. At most
# 3 GiB of output and two 3 GiB copies exist at once; the sources are mostly holes.
need_kib=$((10 * 1024 * 1024))
free_kib=$(df -Pk "$build" | awk 'NR == 2 { print $4 }')
if [ "$free_kib" -lt "$need_kib" ]; then
  echo "archive_bench: need 10 GiB free beside $build, have $((free_kib / 1024)) MiB" >&2
  exit 1
fi
work=$(mktemp -d "$build/archive-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

bench() { "$here/cmake/wine_run.sh" "$exe" "$1" "Z:$2" | tr -d '\r'; }

# Prints "CP_SECONDS FSYNC_SECONDS" for a copy of the files (holes written out as data,
# like the rebuild does) and the flush of the copies (the rebuild flushes its outputs).
time_cp() {
  local copy="$work/cp-copy" start mid end
  mkdir -p "$copy"
  sync  # earlier writes and deletions settle outside the timing
  start=$(date +%s.%N)
  cp --sparse=never --reflink=never "$@" "$copy/"
  mid=$(date +%s.%N)
  sync "$copy"/*
  end=$(date +%s.%N)
  rm -rf "$copy"
  echo "$start $mid $end" | awk '{ printf "%.3f %.3f\n", $2 - $1, $3 - $2 }'
}

# measure NAME MAKE_MODE RUN_MODE FILE...: prints one line, the figures as JSON.
measure() {
  local dir="$work/$1" make=$2 run=$3 before after figures
  shift 3
  mkdir -p "$dir"
  bench "$make" "$dir" >&2
  before=$(time_cp "${@/#/$dir/}")
  sync
  figures=$(bench "$run" "$dir" | tail -n 1)
  after=$(time_cp "${@/#/$dir/}")
  rm -rf "$dir"
  python3 -c 'import json, sys
f = json.loads(sys.argv[1])
f["cp_before"], f["fsync_before"] = map(float, sys.argv[2].split())
f["cp_after"], f["fsync_after"] = map(float, sys.argv[3].split())
print(json.dumps(f))' "$figures" "$before" "$after"
}

echo "archive_bench: generating and measuring in $work" >&2
guild=$(measure guild make-guild guild surfaces.pck)
rebuild=$(measure rebuild make-rebuild rebuild source.pck source.pkx)

python3 - "$guild" "$rebuild" <<'EOF'
import json, sys

print("archive rewrites vs cp of the same source bytes (MB = 10^6 bytes)")
print("cp copies with --sparse=never; 'cp+fsync' adds the flush the rewrites also do.")
print("Ratios use the cp run right after the operation (the page cache as the operation")
print("left it, the closer match); the run before is shown for reference.")
for raw in sys.argv[1:]:
    f = json.loads(raw)
    mb = f["source_bytes"] / 1e6
    cp_after = mb / f["cp_after"]
    synced_after = mb / (f["cp_after"] + f["fsync_after"])
    print()
    print(f"{f['operation']}: {mb:.0f} MB in, {f['output_bytes'] / 1e6:.0f} MB out")
    print(f"  launcher            {f['mb_per_s']:8.1f} MB/s  ({f['seconds']:.2f} s)")
    print(f"  cp       before     {mb / f['cp_before']:8.1f} MB/s   after {cp_after:8.1f} MB/s")
    print(f"  cp+fsync before     {mb / (f['cp_before'] + f['fsync_before']):8.1f} MB/s"
          f"   after {synced_after:8.1f} MB/s")
    ratio = f["mb_per_s"] / synced_after
    print(f"  ratio launcher/cp+fsync {ratio:.3f}   launcher/cp {f['mb_per_s'] / cp_after:.3f}")
    peak = f["peak_ws_after_mib"]
    print(f"  peak working set    {peak:8.1f} MiB (at start {f['peak_ws_before_mib']:.1f} MiB)")
    print(f"  single passes in the same process: ReadFile of the source"
          f" {f['read_pass_mb_per_s']:.1f} MB/s, SHA-256 of the output"
          f" {f['sha256_pass_mb_per_s']:.1f} MB/s, ReadFile/WriteFile/flush copy of the source"
          f" {f['copy_pass_mb_per_s']:.1f} MB/s")
    if f["operation"] == "rebuild_archive":
        print(f"  goal ratio >= 0.7: {'met' if ratio >= 0.7 else 'missed'};"
              f" goal peak working set < 64 MiB: {'met' if peak < 64 else 'missed'}")
EOF
