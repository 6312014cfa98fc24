#!/usr/bin/env bash
# start STATE_DIR ROOT_DIR: run loopback_server.py in the background, detached so it
#                           outlives this shell; STATE_DIR gets port, pid, server.log.
#                           A server already running for STATE_DIR is stopped first.
# stop STATE_DIR:           stop that server (nothing to do when it is gone).
set -euo pipefail
# shellcheck source=daemon_lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/daemon_lib.sh"
server="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/loopback_server.py"

die() { echo "loopback_server_ctl: $*" >&2; exit 1; }

stop_server() {
  stop_owned "$1" "$1/port"
  rm -f "$1/port"
}

start_server() {
  local state=$1 root=$2
  [ -d "$root" ] || die "root $root is not a directory"
  mkdir -p "$state"
  state=$(cd "$state" && pwd)
  stop_server "$state"
  # Without job control the child is no group leader, so setsid execs in place
  # and $! is the server's own pid.
  setsid nohup "${PYTHON:-python3}" "$server" --root "$root" --port-file "$state/port" \
    >"$state/server.log" 2>&1 </dev/null &
  await_ready $! "$state" "$state/port"
}

case "${1:-}" in
  start) [ $# -eq 3 ] || die "usage: loopback_server_ctl.sh start STATE_DIR ROOT_DIR"
         start_server "$2" "$3" ;;
  stop)  [ $# -eq 2 ] || die "usage: loopback_server_ctl.sh stop STATE_DIR"
         if [ -d "$2" ]; then stop_server "$(cd "$2" && pwd)"; fi ;;
  *) echo "usage: loopback_server_ctl.sh start STATE_DIR ROOT_DIR | stop STATE_DIR" >&2; exit 2 ;;
esac
