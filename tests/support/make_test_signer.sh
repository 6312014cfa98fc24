#!/usr/bin/env bash
# Makes a throwaway code-signing certificate in DIR (cert.pem, key.pem) unless one is
# there, and prints its pin: the SHA-256 of its DER SubjectPublicKeyInfo.
set -euo pipefail
dir=$1
name=$2
mkdir -p "$dir"
if [ ! -s "$dir/cert.pem" ] || [ ! -s "$dir/key.pem" ]; then
  openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 3650 -subj "/CN=$name" \
          -addext "extendedKeyUsage=codeSigning" -keyout "$dir/key.pem" -out "$dir/cert.pem" \
          2>/dev/null
fi
openssl x509 -in "$dir/cert.pem" -pubkey -noout | openssl pkey -pubin -outform DER |
  sha256sum | cut -c1-64
