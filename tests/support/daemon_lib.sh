# Sourced by the control scripts of the tests' background servers.

# alive PID: the process exists and is no zombie (a detached server is reaped by
# whoever adopted it, so a zombie counts as gone).
alive() {
  local st
  st=$(sed -E 's/^.*\) ([A-Za-z]).*$/\1/' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$st" ] && [ "$st" != Z ]
}

# owned_pid STATE ARG: prints the pid in STATE/pid when that process is alive and has ARG
# on its command line, so a recycled pid never gets an unrelated process killed.
owned_pid() {
  local state=$1 arg=$2 pid
  [ -f "$state/pid" ] || return 1
  pid=$(<"$state/pid")
  [[ "$pid" =~ ^[0-9]+$ ]] && alive "$pid" || return 1
  tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -qxF -- "$arg" || return 1
  echo "$pid"
}

# stop_owned STATE ARG: TERM the owned server, KILL it after 5 s, forget its pid.
stop_owned() {
  local state=$1 arg=$2 pid i
  if pid=$(owned_pid "$state" "$arg"); then
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do
      alive "$pid" || break
      sleep 0.1
    done
    if alive "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
  fi
  rm -f "$state/pid"
}

# await_ready PID STATE READY_FILE: records PID in STATE/pid once READY_FILE has content
# (10 s at the most); otherwise kills it and dies with the end of STATE/server.log.
await_ready() {
  local pid=$1 state=$2 ready=$3 i
  for ((i = 0; i < 100; i++)); do
    if [ -s "$ready" ]; then
      echo "$pid" >"$state/pid"
      return 0
    fi
    alive "$pid" || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  die "did not come up, see $state/server.log:
$(tail -n 20 "$state/server.log" 2>/dev/null)"
}
