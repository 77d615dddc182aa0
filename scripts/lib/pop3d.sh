#!/usr/bin/env bash
# A throwaway GNU Mailutils POP3 server for the tests: configuration, users,
# mbox spool, logs and certificates live in one folder, and the server is
# stopped by its process id. It authenticates system users, so it runs in a
# private mount namespace of its own where copies of /etc/passwd, /etc/shadow
# and /etc/group that hold the test users lie over the real ones; nothing on
# the machine changes. Run it as root.
#
#   pop3d.sh init DIR                   configuration folder, a CA (ca.pem), a server certificate
#   pop3d.sh adduser DIR USER PASS      a user with an empty mailbox
#   pop3d.sh deliver DIR USER FILE...   appends message files to USER's mailbox
#   pop3d.sh start DIR PORT [TLSPORT]   STLS on PORT, implicit TLS on TLSPORT; returns once PORT accepts
#   pop3d.sh stop DIR                   stops it (by the process id it recorded)
#   pop3d.sh ls DIR USER                the deliveries left in USER's mailbox (delivery.M<n>P), sorted
set -euo pipefail

source "$(dirname "$0")/server.sh" "$@"
shift 2

case "$cmd" in
init)
  mkdir -p "$dir/spool" "$dir/etc"
  chmod 755 "$dir"
  chmod 1777 "$dir/spool"
  : > "$dir/users"
  [ -f "$dir/cert.pem" ] || bash "$(dirname "$0")/certs.sh" "$dir"
  ;;
adduser)
  user=${1:?user}; pass=${2:?password}
  [ -f "$dir/users" ] || die "run init first"
  # Numbers far above those of the machine's own accounts.
  uid=$((42000 + $(wc -l < "$dir/users")))
  echo "$user:$uid:$(openssl passwd -6 "$pass")" >> "$dir/users"
  : > "$dir/spool/$user"
  chown "$uid:$(id -g mail)" "$dir/spool/$user"
  chmod 600 "$dir/spool/$user"
  ;;
deliver)
  user=${1:?user}; shift
  box="$dir/spool/$user"
  [ -f "$box" ] || die "no such user: $user"
  n=$(grep -c '^From ' "$box" || true)
  for f in "$@"; do
    n=$((n + 1))
    # mbox: a "From " line in front (its sender names the delivery, as a
    # maildir file name would), LF line ends, body lines that begin with
    # "From " quoted, an empty line behind.
    { echo "From delivery.M${n}P@quorrel.test Thu Jan  1 00:00:00 2026"
      tr -d '\r' < "$f" | sed 's/^\(>*From \)/>\1/'
      echo; } >> "$box"
  done
  ;;
start)
  port=${1:?port}; tlsport=${2:-0}
  [ -f "$dir/users" ] || die "run init first"
  cp /etc/passwd "$dir/etc/passwd"
  cp /etc/shadow "$dir/etc/shadow"
  cp /etc/group "$dir/etc/group"
  while IFS=: read -r user uid hash; do
    echo "$user:x:$uid:$(id -g mail)::$dir:/bin/sh" >> "$dir/etc/passwd"
    echo "$user:$hash:20000:0:99999:7:::" >> "$dir/etc/shadow"
  done < "$dir/users"
  tls_server=""
  [ "$tlsport" != 0 ] && tls_server="server 127.0.0.1:$tlsport { tls-mode connection; transcript yes; };"
  cat > "$dir/pop3d.conf" <<CONF
auth { authentication system; authorization system; }
mailbox { mailbox-pattern "$dir/spool/\${user}"; mailbox-type mbox; }
logging { syslog no; }
tls-file-checks { key-file none; cert-file none; ca-file none; }
tls { ssl-certificate-file $dir/cert.pem; ssl-key-file $dir/key.pem; }
pidfile $dir/pop3d.master.pid;
server 127.0.0.1:$port { tls-mode stls; transcript yes; };
$tls_server
CONF
  pop3d --config-file "$dir/pop3d.conf" --config-lint >/dev/null 2>>"$dir/pop3d.log" ||
    { cat "$dir/pop3d.log" >&2; die "bad configuration"; }
  # unshare hands its process to the shell, and the shell to pop3d: one id.
  unshare -m --propagation private bash -c '
    mount --bind "$1/etc/passwd" /etc/passwd &&
    mount --bind "$1/etc/shadow" /etc/shadow &&
    mount --bind "$1/etc/group" /etc/group &&
    exec pop3d --config-file "$1/pop3d.conf" --daemon --foreground' pop3d "$dir" >> "$dir/pop3d.log" 2>&1 &
  echo $! > "$dir/pop3d.pid"
  await_port pop3d "$port" "$dir/pop3d.pid" "$dir/pop3d.log"
  ;;
stop)
  stop_pidfile "$dir/pop3d.pid"
  ;;
ls)
  user=${1:?user}
  sed -n 's/^From \(delivery\.M[0-9]*P\)@.*/\1/p' "$dir/spool/$user" | sort
  ;;
*)
  die "usage: pop3d.sh init|adduser|deliver|start|stop|ls DIR ..."
  ;;
esac
