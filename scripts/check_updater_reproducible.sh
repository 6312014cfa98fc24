#!/usr/bin/env bash
# The launcher embeds the digest of the updater built with it, so the updater's bytes
# must depend on the sources alone. Builds VornellUpdater.exe from nothing in a fresh
# folder (another path than the build's) and compares it with the given build's.
# Usage: check_updater_reproducible.sh SOURCE_DIR BUILT_UPDATER_EXE
set -euo pipefail
source_dir=$1
built=$2
scratch=$(mktemp -d /tmp/vorn-updater-rebuild.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
cmake -S "$source_dir" -B "$scratch/second build" \
      -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-mingw64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$scratch/second build" --target VornellUpdater -j "$(nproc)" >/dev/null
first=$(sha256sum "$built" | cut -d' ' -f1)
second=$(sha256sum "$scratch/second build/src/updater/VornellUpdater.exe" | cut -d' ' -f1)
echo "this build:   $first"
echo "second build: $second"
if [ "$first" != "$second" ]; then
  echo "FAIL: two builds of the same sources gave different updaters" >&2
  exit 1
fi
echo "the updater build is reproducible"
