#!/usr/bin/env bash
# Runs a real rsyslogd for the syslog tests: unprivileged, in the foreground
# of its own session, listening on 127.0.0.1 only, on one free UDP and one
# free TCP port, and writing each received message raw, one per line, to
# DIR/messages.log as "<input module> <message>" (control characters escaped
# as #ooo, so a trailing line feed of a datagram shows as #012).
#
#   rsyslog.sh start DIR   choose ports (kept in DIR/ports for a restart), start
#   rsyslog.sh stop DIR    stop it and wait until it has gone
# Every wait is bounded; DIR/state reads "running" or "stopped" afterwards.
set -euo pipefail
action="$1"
dir="$(mkdir -p "$2" && cd "$2" && pwd)"
pidfile="$dir/rsyslogd.pid"

# Up to 10 s in steps of 0.1 s until the command succeeds.
wait_for() {
  for _ in $(seq 100); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}

tcp_accepts() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
is_running() { [[ -s "$pidfile" ]] && kill -0 "$(cat "$pidfile" 2>/dev/null)" 2>/dev/null; }
is_stopped() { ! is_running; }

stop() {
  if is_running; then
    kill "$(cat "$pidfile")"
    wait_for is_stopped
  fi
  rm -f "$pidfile"
  echo stopped >"$dir/state"
}

start() {
  stop
  if [[ ! -s "$dir/ports" ]]; then
    python3 - >"$dir/ports" <<'PY'
import socket
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); udp.bind(("127.0.0.1", 0))
tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM); tcp.bind(("127.0.0.1", 0))
print(udp.getsockname()[1], tcp.getsockname()[1])
PY
  fi
  read -r udp_port tcp_port <"$dir/ports"
  mkdir -p "$dir/work"
  cat >"$dir/rsyslog.conf" <<CONF
global(workDirectory="$dir/work" parser.dropTrailingLFOnReception="off")
module(load="imudp")
module(load="imtcp")
template(name="raw" type="string" string="%inputname% %rawmsg%\n")
ruleset(name="received") {
  action(type="omfile" file="$dir/messages.log" template="raw")
}
input(type="imudp" address="127.0.0.1" port="$udp_port" ruleset="received")
input(type="imtcp" address="127.0.0.1" port="$tcp_port" ruleset="received")
CONF
  touch "$dir/messages.log"
  local run=(rsyslogd -n -f "$dir/rsyslog.conf" -i "$pidfile")
  if [[ $(id -u) -eq 0 ]]; then
    # rsyslogd never runs as root here.
    chmod 777 "$dir" "$dir/work"
    chmod 666 "$dir/messages.log"
    # The build folder may sit below folders only root may enter (a
    # mktemp -d clone, say): searching folders is the one right it keeps.
    run=(setpriv --reuid=nobody --regid=nogroup --clear-groups
         --inh-caps=+dac_read_search --ambient-caps=+dac_read_search "${run[@]}")
  fi
  PATH="$PATH:/usr/sbin" setsid "${run[@]}" </dev/null >>"$dir/rsyslogd.out" 2>&1 &
  wait_for tcp_accepts "$tcp_port"
  echo running >"$dir/state"
}

case "$action" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
