#!/usr/bin/env bash
# Signs a copy of a program with a throwaway certificate (osslsigncode), and makes a
# second copy altered by one byte after signing, for the signature check's tests.
# Usage: sign_fixture.sh PROGRAM SIGNED_OUT ALTERED_OUT
set -euo pipefail
program=$1
signed=$2
altered=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 7 -subj "/CN=Vornell test signer" \
        -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" \
        2>/dev/null
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -h sha256 -n "Vornell test" \
              -in "$program" -out "$work/signed.exe" >/dev/null
cp "$work/signed.exe" "$signed"
cp "$work/signed.exe" "$altered"
# One byte inside the first section (the code): covered by the signed digest.
offset=$(( 0x400 + 64 ))
byte=$(od -An -tu1 -j "$offset" -N1 "$altered" | tr -d ' ')
printf "$(printf '\\%03o' $(( byte ^ 0xff )))" |
  dd of="$altered" bs=1 seek="$offset" conv=notrunc status=none
