#!/usr/bin/env bash
# A throwaway SpamAssassin daemon for the tests and the benchmarks: its site
# configuration, Bayes database, log and process id live in one folder, it
# makes no network checks, and it is stopped by its process id.
#
#   spamd.sh init DIR                 site configuration (the stock rules, Bayes
#                                     in DIR/bayes, no DNS, no auto-learning) and
#                                     a rule of our own: a Subject holding
#                                     CLASSIFYSPAM scores 20
#   spamd.sh start DIR [PORT]         listens on 127.0.0.1:PORT (default 783), or
#   spamd.sh start DIR unix:PATH      on the Unix socket PATH; TELL is allowed.
#                                     Returns once it answers PING.
#   spamd.sh stop DIR                 stops it (by the process id it recorded)
#   spamd.sh kill DIR                 SIGKILL to it and its children, as a crash
#                                     would end them
set -euo pipefail

source "$(dirname "$0")/server.sh" "$@"
shift 2

# Running as root, spamd hands each connection to an unprivileged user: that
# user owns the Bayes database and the helpers' home.
run_as=""
if [ "$(id -u)" -eq 0 ]; then
  run_as=nobody
  getent passwd debian-spamd >/dev/null && run_as=debian-spamd
fi

# ping_spamd PORT|unix:PATH: true when spamd answers PING there.
ping_spamd() {
  python3 - "$1" <<'PY'
import socket, sys
where = sys.argv[1]
try:
    if where.startswith("unix:"):
        s = socket.socket(socket.AF_UNIX)
        s.settimeout(5)
        s.connect(where[5:])
    else:
        s = socket.create_connection(("127.0.0.1", int(where)), timeout=5)
    s.sendall(b"PING SPAMC/1.5\r\n\r\n")
    sys.exit(0 if s.recv(100).startswith(b"SPAMD/1.5 0 PONG") else 1)
except OSError:
    sys.exit(1)
PY
}

case "$cmd" in
init)
  mkdir -p "$dir/site" "$dir/bayes" "$dir/home"
  chmod 755 "$dir"
  # Only plugins that work offline: the stock rules that need another one sit
  # behind ifplugin and drop out.
  cat > "$dir/site/init.pre" <<'PRE'
loadplugin Mail::SpamAssassin::Plugin::Check
loadplugin Mail::SpamAssassin::Plugin::Bayes
loadplugin Mail::SpamAssassin::Plugin::BodyEval
loadplugin Mail::SpamAssassin::Plugin::HTMLEval
loadplugin Mail::SpamAssassin::Plugin::HeaderEval
loadplugin Mail::SpamAssassin::Plugin::MIMEEval
loadplugin Mail::SpamAssassin::Plugin::MIMEHeader
loadplugin Mail::SpamAssassin::Plugin::RelayEval
loadplugin Mail::SpamAssassin::Plugin::ReplaceTags
loadplugin Mail::SpamAssassin::Plugin::URIEval
loadplugin Mail::SpamAssassin::Plugin::WLBLEval
loadplugin Mail::SpamAssassin::Plugin::FreeMail
loadplugin Mail::SpamAssassin::Plugin::ImageInfo
PRE
  cat > "$dir/site/local.cf" <<CF
dns_available no
skip_rbl_checks 1
use_bayes 1
bayes_auto_learn 0
bayes_path $dir/bayes/bayes
bayes_file_mode 0666
lock_method flock
# A handful of taught messages is enough for Bayes to have an opinion.
bayes_min_spam_num 1
bayes_min_ham_num 1
report_safe 0

header   QUORREL_CLASSIFYSPAM Subject =~ /CLASSIFYSPAM/
describe QUORREL_CLASSIFYSPAM Subject marks the message as spam for the tests
score    QUORREL_CLASSIFYSPAM 20.0
CF
  if [ -n "$run_as" ]; then chown -R "$run_as" "$dir/bayes" "$dir/home"; fi
  ;;
start)
  where=${1:-783}
  [ -f "$dir/site/local.cf" ] || die "run init first"
  case "$where" in
  unix:*)
    socket=${where#unix:}
    rm -f "$socket"
    listen=(--socketpath="$socket" --socketmode=0666)
    ;;
  *) listen=(--listen="127.0.0.1:$where") ;;
  esac
  user=()
  if [ -n "$run_as" ]; then user=(-u "$run_as"); fi
  : > "$dir/spamd.log"
  # Two children at most: the tests send one message at a time, and each
  # child costs start-up time and memory.
  spamd "${listen[@]}" "${user[@]}" -L -x --allow-tell \
    --siteconfigpath="$dir/site" --helper-home-dir="$dir/home" \
    --min-children=1 --max-children=2 --min-spare=1 --max-spare=1 \
    --syslog=stderr >> "$dir/spamd.log" 2>&1 &
  echo $! > "$dir/spamd.pid"
  # spamd listens before its rules are read and answers once they are: ready
  # means a PONG, once its log says this spamd has the socket (not one that
  # held the port before it).
  pid=$(cat "$dir/spamd.pid")
  for _ in $(seq 1 600); do
    grep -q "server pid: $pid\$" "$dir/spamd.log" && ping_spamd "$where" && exit 0
    running "$pid" || { cat "$dir/spamd.log" >&2; die "spamd did not start"; }
    sleep 0.05
  done
  die "spamd did not answer on $where"
  ;;
stop)
  stop_pidfile "$dir/spamd.pid"
  ;;
kill)
  kill_pidfile "$dir/spamd.pid"
  ;;
*)
  die "usage: spamd.sh init|start|stop|kill DIR ..."
  ;;
esac
