#!/usr/bin/env bash
# A throwaway mpopd POP3 server for the tests: one mpopd a connection, started
# by a socat listener (mpopd speaks on its standard input and output), with
# users, maildirs and log in one folder; stopped by the listener's process id.
# It offers USER and UIDL only: no TOP, no TLS, no PIPELINING.
#
#   mpopd.sh init DIR                   the folder
#   mpopd.sh adduser DIR USER PASS      a user with an empty maildir
#   mpopd.sh deliver DIR USER FILE...   puts message files into USER's maildir
#   mpopd.sh start DIR PORT             listens on 127.0.0.1:PORT; returns once it accepts
#   mpopd.sh stop DIR                   stops the listener
#   mpopd.sh ls DIR USER                the message files left in USER's maildir, sorted
set -euo pipefail

source "$(dirname "$0")/server.sh" "$@"
shift 2

case "$cmd" in
init)
  mkdir -p "$dir/home"
  : > "$dir/users"
  ;;
adduser)
  user=${1:?user}; pass=${2:?password}
  md=$(maildir "$user")
  mkdir -p "$md/new" "$md/cur" "$md/tmp"
  printf '%s\n' "$pass" > "$dir/home/$user/password"
  echo "$user" >> "$dir/users"
  ;;
deliver)
  user=${1:?user}; shift
  md=$(maildir "$user")
  [ -d "$md/new" ] || die "no such user: $user"
  n=$(find "$md/new" -type f | wc -l)
  for f in "$@"; do
    n=$((n + 1))
    # mpopd reads only new/, in the order of the names.
    name="$(printf '%010d' $((1700000000 + n))).M${n}P$$.quorrel"
    tr -d '\r' < "$f" > "$md/tmp/$name"
    mv "$md/tmp/$name" "$md/new/$name"
  done
  ;;
start)
  port=${1:?port}
  [ -s "$dir/users" ] || die "add a user first"
  args=""
  while read -r user; do
    args+=" --auth=$user,'cat $dir/home/$user/password' --maildir=$(maildir "$user")"
  done < "$dir/users"
  echo "exec mpopd --inetd --log=$dir/mpopd.log$args" > "$dir/mpopd-inetd.sh"
  socat "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr,fork" "EXEC:bash $dir/mpopd-inetd.sh,nofork" \
    >> "$dir/socat.log" 2>&1 &
  echo $! > "$dir/socat.pid"
  await_port socat "$port" "$dir/socat.pid" "$dir/socat.log"
  ;;
stop)
  stop_pidfile "$dir/socat.pid"
  ;;
ls)
  list_maildir "${1:?user}"
  ;;
*)
  die "usage: mpopd.sh init|adduser|deliver|start|stop|ls DIR ..."
  ;;
esac
