#!/usr/bin/env bash
# Lays out links made from the Linux side for the tests under Wine:
#   dir_target/ and dir_link -> dir_target (seen by Wine as a reparse point)
#   file_target.txt and file_link -> file_target.txt (seen by Wine as a plain file)
set -euo pipefail
dir=$1
rm -rf "$dir"
mkdir -p "$dir/dir_target"
echo "inside" > "$dir/dir_target/inner.txt"
echo "target" > "$dir/file_target.txt"
ln -s dir_target "$dir/dir_link"
ln -s file_target.txt "$dir/file_link"
