# What the throwaway servers' scripts share: their first two arguments (the
# command and the server's folder), waiting for a server that was started in
# the background, and stopping it by the process id it recorded. Sourced with
# the script's arguments; sets cmd and dir (made absolute).

die() { echo "$(basename "$0"): $*" >&2; exit 1; }

cmd=${1:-}
dir=${2:-}; [ -n "$dir" ] || die "no folder given"
case "$dir" in /*) ;; *) dir="$(pwd)/$dir" ;; esac

# The maildir of user $1, and the messages left in it (names without their
# flags), sorted.
maildir() { echo "$dir/home/$1/Maildir"; }
list_maildir() {
  (cd "$(maildir "$1")" && ls -1 new cur | grep -v -e '^new:$' -e '^cur:$' -e '^$' | sed 's/:2,.*$//' | sort) || true
}

# await_port NAME PORT PIDFILE LOG: returns once 127.0.0.1:PORT accepts; fails
# with LOG on standard error when the process is gone, or after TRIES (default
# 200) polls 50 ms apart.
await_port() {
  local name=$1 port=$2 pidfile=$3 log=$4 tries=${5:-200}
  for _ in $(seq 1 "$tries"); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    kill -0 "$(cat "$pidfile")" 2>/dev/null || { cat "$log" >&2; die "$name did not start"; }
    sleep 0.05
  done
  die "$name did not listen on port $port"
}

# running PID: true while process PID runs. A server outlives the script that
# started it, and whoever adopts it may reap it only a second or two after it
# ended: a zombie has ended.
running() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "${state:0:1}" != Z ]
}

# stop_pidfile PIDFILE: SIGTERM, up to 5 s, then SIGKILL; removes PIDFILE.
stop_pidfile() {
  local pidfile=$1 pid
  [ -f "$pidfile" ] || return 0
  pid=$(cat "$pidfile")
  if running "$pid"; then
    kill "$pid"
    for _ in $(seq 1 100); do running "$pid" || break; sleep 0.05; done
    if running "$pid"; then kill -9 "$pid"; fi
  fi
  rm -f "$pidfile"
}

# kill_pidfile PIDFILE: SIGKILL to the process and to its children (the
# workers of a forking server, which hold its listening socket too), as a
# crash would end them; removes PIDFILE.
kill_pidfile() {
  local pidfile=$1 pid
  [ -f "$pidfile" ] || return 0
  pid=$(cat "$pidfile")
  kill -STOP "$pid" 2>/dev/null || true  # no new children while they are listed
  for child in $(ps -o pid= --ppid "$pid" 2>/dev/null); do kill -9 "$child" 2>/dev/null || true; done
  kill -9 "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do running "$pid" || break; sleep 0.02; done
  rm -f "$pidfile"
}
