#!/usr/bin/env bash
# Signs copies of a program for the signature checks' tests: one by the pinned test
# signer, one by another signer, and one by the pinned signer altered by one byte after
# signing. Usage: sign_fixture.sh PROGRAM SIGNER_DIR SIGNED_OUT OTHER_OUT ALTERED_OUT
set -euo pipefail
program=$1
signers=$2
signed=$3
other=$4
altered=$5
sign=$(dirname "$0")/../../cmake/sign_program.sh
"$sign" "$program" "$signed" "$signers/pinned/cert.pem" "$signers/pinned/key.pem"
"$sign" "$program" "$other" "$signers/other/cert.pem" "$signers/other/key.pem"
cp "$signed" "$altered"
# One byte inside the first section (the code): covered by the signed digest.
offset=$(( 0x400 + 64 ))
byte=$(od -An -tu1 -j "$offset" -N1 "$altered" | tr -d ' ')
printf "$(printf '\\%03o' $(( byte ^ 0xff )))" |
  dd of="$altered" bs=1 seek="$offset" conv=notrunc status=none
