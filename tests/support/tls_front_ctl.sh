#!/usr/bin/env bash
# start STATE_DIR LOOPBACK_STATE_DIR: make fresh certificates in STATE_DIR/certs, then
#     run tls_front.py in the background, detached, relaying to the loopback server of
#     LOOPBACK_STATE_DIR. STATE_DIR gets ports.json, pid, handshakes.jsonl, server.log.
#     A front already running for STATE_DIR is stopped first.
# stop STATE_DIR: stop that front (nothing to do when it is gone).
#
# Certificates (RSA 2048, SHA-256, valid for a week):
#   ca.pem, ca.der       the test certificate authority "Vornell loopback test CA"; its
#                        key is deleted once server.pem is issued, so nothing else can be
#                        signed with a CA that a test prefix trusts
#   server.pem/.key      issued by that CA for 127.0.0.1
#   self-signed.pem/.key a self-signed certificate for 127.0.0.1
set -euo pipefail
# shellcheck source=daemon_lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/daemon_lib.sh"
front="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/tls_front.py"
ca_subject="/CN=Vornell loopback test CA"

die() { echo "tls_front_ctl: $*" >&2; exit 1; }

stop_front() {
  stop_owned "$1" "$1/ports.json"
  rm -f "$1/ports.json"
}

make_certificates() {
  local dir=$1 leaf_ext
  rm -rf "$dir"
  mkdir -p "$dir"
  leaf_ext="subjectAltName=DNS:127.0.0.1,IP:127.0.0.1
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth"
  openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 7 -subj "$ca_subject" \
    -keyout "$dir/ca.key" -out "$dir/ca.pem" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
  openssl x509 -in "$dir/ca.pem" -outform der -out "$dir/ca.der"
  openssl req -newkey rsa:2048 -sha256 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$dir/server.key" -out "$dir/server.csr"
  openssl x509 -req -sha256 -days 7 -in "$dir/server.csr" -CA "$dir/ca.pem" \
    -CAkey "$dir/ca.key" -set_serial "0x$(openssl rand -hex 8)" \
    -extfile <(echo "$leaf_ext") -out "$dir/server.pem"
  rm -f "$dir/ca.key" "$dir/server.csr"
  openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 7 -subj "/CN=127.0.0.1" \
    -keyout "$dir/self-signed.key" -out "$dir/self-signed.pem" \
    -addext "subjectAltName=DNS:127.0.0.1,IP:127.0.0.1"
}

start_front() {
  local state=$1 backend=$2
  [ -s "$backend/port" ] || die "no loopback server port in $backend"
  command -v openssl >/dev/null || die "openssl is missing (scripts/bootstrap.sh installs it)"
  mkdir -p "$state"
  state=$(cd "$state" && pwd)
  backend=$(cd "$backend" && pwd)
  stop_front "$state"
  make_certificates "$state/certs" >"$state/openssl.log" 2>&1 ||
    die "openssl failed, see $state/openssl.log:
$(tail -n 20 "$state/openssl.log")"
  rm -f "$state/handshakes.jsonl"
  # Without job control the child is no group leader, so setsid execs in place
  # and $! is the front's own pid.
  setsid nohup "${PYTHON:-python3}" "$front" --certs "$state/certs" \
    --backend-port-file "$backend/port" --ports-file "$state/ports.json" \
    --log "$state/handshakes.jsonl" >"$state/server.log" 2>&1 </dev/null &
  await_ready $! "$state" "$state/ports.json"
}

case "${1:-}" in
  start) [ $# -eq 3 ] || die "usage: tls_front_ctl.sh start STATE_DIR LOOPBACK_STATE_DIR"
         start_front "$2" "$3" ;;
  stop)  [ $# -eq 2 ] || die "usage: tls_front_ctl.sh stop STATE_DIR"
         if [ -d "$2" ]; then stop_front "$(cd "$2" && pwd)"; fi ;;
  *) echo "usage: tls_front_ctl.sh start STATE_DIR LOOPBACK_STATE_DIR | stop STATE_DIR" >&2
     exit 2 ;;
esac
