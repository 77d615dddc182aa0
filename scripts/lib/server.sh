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
# with LOG on standard error when the process is gone, or after 10 s.
await_port() {
  local name=$1 port=$2 pidfile=$3 log=$4
  for _ in $(seq 1 200); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    kill -0 "$(cat "$pidfile")" 2>/dev/null || { cat "$log" >&2; die "$name did not start"; }
    sleep 0.05
  done
  die "$name did not listen on port $port"
}

# stop_pidfile PIDFILE: SIGTERM, up to 5 s, then SIGKILL; removes PIDFILE.
stop_pidfile() {
  local pidfile=$1 pid
  [ -f "$pidfile" ] || return 0
  pid=$(cat "$pidfile")
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    if kill -0 "$pid" 2>/dev/null; then kill -9 "$pid"; fi
  fi
  rm -f "$pidfile"
}
