#!/usr/bin/env bash
# A throwaway rspamd for the tests and the benchmarks, with a redis-server of
# its own for Bayes: configuration, databases, logs and process ids live in
# one folder, nothing reaches beyond this machine, and both are stopped by
# their process ids.
#
#   rspamd.sh init DIR                       configuration: the stock rules less
#                                            every module that asks DNS or another
#                                            host, Bayes in redis with one learn
#                                            enough, and a rule of our own: a
#                                            Subject holding CLASSIFYSPAM scores
#                                            100 (action "reject")
#   rspamd.sh start DIR [PORT [CPORT]]       redis on the Unix socket DIR/redis.sock,
#                                            the normal worker on 127.0.0.1:PORT
#                                            (default 11333), the controller on
#                                            127.0.0.1:CPORT (default 11334; no
#                                            password from loopback); returns once
#                                            both answer /ping
#   rspamd.sh stop DIR                       stops both (by the process ids recorded)
#   rspamd.sh kill DIR                       SIGKILL to rspamd and its workers, as a
#                                            crash would end them; redis stays
set -euo pipefail

source "$(dirname "$0")/server.sh" "$@"
shift 2

# ping_http PORT: true when 127.0.0.1:PORT answers "GET /ping" with "pong".
ping_http() {
  python3 - "$1" <<'PY'
import socket, sys
try:
    s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5)
    s.sendall(b"GET /ping HTTP/1.0\r\n\r\n")
    reply = b""
    while True:
        data = s.recv(4096)
        if not data:
            break
        reply += data
    sys.exit(0 if reply.startswith(b"HTTP/1.") and b" 200 " in reply.split(b"\r\n")[0] and b"pong" in reply else 1)
except OSError:
    sys.exit(1)
PY
}

case "$cmd" in
init)
  mkdir -p "$dir/local" "$dir/db" "$dir/run" "$dir/redis"
  cat > "$dir/local/rspamd.local.lua" <<'LUA'
-- The tests mark a message as spam by its Subject.
rspamd_config.QUORREL_CLASSIFYSPAM = {
  callback = function(task)
    local subject = task:get_subject()
    return subject ~= nil and subject:find('CLASSIFYSPAM', 1, true) ~= nil
  end,
  score = 100.0,
  description = 'Subject marks the message as spam for the tests',
  group = 'quorrel',
}
LUA
  ;;
start)
  port=${1:-11333}; cport=${2:-11334}
  [ -f "$dir/local/rspamd.local.lua" ] || die "run init first"
  # URLs are found by their public suffixes, which a fresh folder spends some
  # ten seconds compiling: the top-level ones alone take a fraction of that.
  grep -v -e '^//' -e '^$' -e '[.]' /usr/share/rspamd/effective_tld_names.dat > "$dir/db/tlds.dat"
  # The stock rules and scores, but only the modules that are configured
  # here: every other plugin finds no section of its own and stays off, so
  # nothing asks DNS, fetches a map or keeps state between two messages. The
  # only resolver named is one that is not there, so a lookup that slips
  # through fails at once and stays on loopback.
  cat > "$dir/rspamd.conf" <<CONF
lua = "\$RULESDIR/rspamd.lua";
.include "\$CONFDIR/metrics.conf"
.include "\$CONFDIR/actions.conf"
.include "\$CONFDIR/groups.conf"
.include "\$CONFDIR/composites.conf"

modules {
  path = "\${PLUGINSDIR}";
}

options {
  pidfile = "$dir/run/rspamd.pid";
  filters = "chartable,regexp";
  # Compiling the stock expressions for hyperscan takes a fresh folder some
  # ten seconds; PCRE needs none of that.
  disable_hyperscan = true;
  explicit_modules = ["settings"];
  cache_file = "$dir/db/symbols.cache";
  hs_cache_dir = "$dir/db/";
  dynamic_conf = "$dir/db/rspamd_dynamic";
  history_file = "$dir/db/rspamd.history";
  stats_file = "$dir/db/stats.ucl";
  control_socket = "$dir/run/rspamd.sock mode=0600";
  url_tld = "$dir/db/tlds.dat";
  tempdir = "$dir/run";
  task_timeout = 8s;
  dns {
    nameserver = ["127.0.0.1:53"];
    timeout = 0.2s;
    retransmits = 1;
  }
}

logging {
  type = "file";
  filename = "$dir/rspamd.log";
  level = "notice";
}

redis {
  servers = "$dir/redis.sock";
}

# One learn of each class is enough for the tests to see Bayes move.
classifier "bayes" {
  tokenizer {
    name = "osb";
  }
  backend = "redis";
  servers = "$dir/redis.sock";
  new_schema = true;
  min_tokens = 5;
  min_learns = 1;
  statfile {
    symbol = "BAYES_HAM";
    spam = false;
  }
  statfile {
    symbol = "BAYES_SPAM";
    spam = true;
  }
  learn_condition = 'return require("lua_bayes_learn").can_learn';
}

worker "normal" {
  bind_socket = "127.0.0.1:$port";
  count = 1;
  mime = true;
}

worker "controller" {
  bind_socket = "127.0.0.1:$cport";
  count = 1;
  secure_ip = "127.0.0.1";
  secure_ip = "::1";
  static_dir = "\${WWWDIR}";
}
CONF
  # A redis that outlived a killed rspamd is kept, and with it what Bayes learnt.
  if ! { [ -f "$dir/redis.pid" ] && running "$(cat "$dir/redis.pid")"; }; then
    rm -f "$dir/redis.sock"
    redis-server --port 0 --unixsocket "$dir/redis.sock" --unixsocketperm 700 --dir "$dir/redis" \
      --save "" --appendonly no --daemonize no --logfile "$dir/redis.log" </dev/null >/dev/null 2>&1 &
    echo $! > "$dir/redis.pid"
  fi
  for _ in $(seq 1 200); do
    [ -S "$dir/redis.sock" ] && break
    running "$(cat "$dir/redis.pid")" || { cat "$dir/redis.log" >&2; die "redis-server did not start"; }
    sleep 0.05
  done
  [ -S "$dir/redis.sock" ] || die "redis-server made no socket"
  : > "$dir/rspamd.log"
  # Root here: -i keeps the workers as root instead of asking for a user
  # that could read this folder.
  rspamd -f -i -c "$dir/rspamd.conf" \
    --var=LOCAL_CONFDIR="$dir/local" --var=DBDIR="$dir/db" --var=RUNDIR="$dir/run" --var=LOGDIR="$dir" \
    >> "$dir/rspamd.log" 2>&1 &
  echo $! > "$dir/rspamd.pid"
  for p in "$port" "$cport"; do
    for _ in $(seq 1 600); do
      ping_http "$p" && continue 2
      running "$(cat "$dir/rspamd.pid")" || { cat "$dir/rspamd.log" >&2; die "rspamd did not start"; }
      sleep 0.05
    done
    die "rspamd did not answer on port $p"
  done
  ;;
stop)
  stop_pidfile "$dir/rspamd.pid"
  stop_pidfile "$dir/redis.pid"
  ;;
kill)
  kill_pidfile "$dir/rspamd.pid"
  ;;
*)
  die "usage: rspamd.sh init|start|stop|kill DIR ..."
  ;;
esac
