#!/usr/bin/env bash
# Signs a program with a code-signing certificate (Authenticode, SHA-256, osslsigncode).
# Usage: sign_program.sh PROGRAM OUT CERT_PEM KEY_PEM   (OUT may be PROGRAM: signed in place)
set -euo pipefail
program=$1
out=$2
cert=$3
key=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "Vornell Launcher" \
             -in "$program" -out "$work/signed.exe" >/dev/null
mv -f "$work/signed.exe" "$out"
