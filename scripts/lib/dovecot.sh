#!/usr/bin/env bash
# A throwaway Dovecot POP3 server for the demo, the tests and the benchmarks:
# everything (configuration, users, mailboxes, logs, runtime files) lives in one
# folder, and the server is stopped by its process id.
#
#   dovecot.sh init DIR                      configuration, a CA (ca.pem) and a server
#                                            certificate it signed for localhost and
#                                            127.0.0.1, no users
#   dovecot.sh cert DIR SAN                  a new server certificate from the same CA
#                                            for other names (e.g. DNS:mail.example)
#   dovecot.sh adduser DIR USER PASS [hashed] a user; "hashed" stores the password
#                                            so that APOP is refused but USER/PASS works
#   dovecot.sh deliver DIR USER FILE...      puts message files into USER's Maildir/new
#   dovecot.sh start DIR PORT [TLSPORT]      POP3 with APOP and STLS on PORT, implicit
#                                            TLS on TLSPORT; returns once PORT accepts.
#                                            TLSPORT "notls": no TLS at all (no STLS).
#                                            DOVECOT_MECHANISMS: the SASL mechanisms
#                                            (default "plain login apop");
#                                            DOVECOT_OAUTH2_URL: tokens for xoauth2 and
#                                            oauthbearer are checked there
#   dovecot.sh stop DIR                      stops it (by the process id it recorded)
#   dovecot.sh ls DIR USER                   the message files left in USER's mailbox
#   dovecot.sh clear DIR USER                empties USER's mailbox
set -euo pipefail

MAIL_UID=$(id -u mail)
MAIL_GID=$(id -g mail)

source "$(dirname "$0")/server.sh" "$@"
shift 2

case "$cmd" in
init)
  mkdir -p "$dir/run" "$dir/state" "$dir/home"
  chmod 755 "$dir" "$dir/home"
  : > "$dir/users"
  [ -f "$dir/cert.pem" ] || bash "$(dirname "$0")/certs.sh" "$dir"
  ;;
cert)
  bash "$(dirname "$0")/certs.sh" "$dir" "${1:?subject alternative names}"
  ;;
adduser)
  user=${1:?user}; pass=${2:?password}; mode=${3:-plain}
  if [ "$mode" = hashed ]; then
    stored="{SHA512-CRYPT}$(openssl passwd -6 "$pass")"
  else
    stored="{PLAIN}$pass"
  fi
  home="$dir/home/$user"
  mkdir -p "$home/Maildir/new" "$home/Maildir/cur" "$home/Maildir/tmp"
  chown -R "$MAIL_UID:$MAIL_GID" "$home"
  echo "$user:$stored:$MAIL_UID:$MAIL_GID::$home" >> "$dir/users"
  ;;
deliver)
  user=${1:?user}; shift
  md=$(maildir "$user")
  [ -d "$md/new" ] || die "no such user: $user"
  # Numbered by a count of its own, so that a message delivered after others
  # were deleted never takes a number that is still in the mailbox.
  count="$dir/delivered-$user"
  n=$(cat "$count" 2>/dev/null || find "$md/new" "$md/cur" -type f | wc -l)
  for f in "$@"; do
    n=$((n + 1))
    echo "$n" > "$count"
    # Maildir names sort by delivery time: keep the order the files were given in.
    name="$(printf '%010d' $((1700000000 + n))).M${n}P$$.quorrel"
    # Messages travel with CR LF line ends; the maildir holds LF ones.
    tr -d '\r' < "$f" > "$md/tmp/$name"
    mv "$md/tmp/$name" "$md/new/$name"
  done
  chown -R "$MAIL_UID:$MAIL_GID" "$md"
  ;;
start)
  port=${1:?port}; tlsport=${2:-0}
  ssl=yes
  if [ "$tlsport" = notls ]; then ssl=no; tlsport=0; fi
  [ -f "$dir/users" ] || die "run init first"
  inst="quorrel$(echo "$dir" | cksum | cut -d' ' -f1)"
  tls_listener=""
  [ "$tlsport" != 0 ] && tls_listener="inet_listener pop3s {
    address = 127.0.0.1
    port = $tlsport
    ssl = yes
  }"
  oauth2_passdb=""
  if [ -n "${DOVECOT_OAUTH2_URL:-}" ]; then
    # Tokens are checked by POSTing them to this URL, which answers
    # {"active": true, "username": "..."} for a good one.
    cat > "$dir/oauth2.conf" <<OAUTH
introspection_mode = post
introspection_url = $DOVECOT_OAUTH2_URL
username_attribute = username
active_attribute = active
active_value = true
OAUTH
    oauth2_passdb="passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = $dir/oauth2.conf
}"
  fi
  cat > "$dir/dovecot.conf" <<CONF
instance_name = $inst
base_dir = $dir/run
state_dir = $dir/state
protocols = pop3
listen = 127.0.0.1
log_path = $dir/dovecot.log
info_log_path = $dir/dovecot.log
auth_verbose = yes
ssl = $ssl
ssl_cert = <$dir/cert.pem
ssl_key = <$dir/key.pem
ssl_dh = </usr/share/dovecot/dh.pem
disable_plaintext_auth = no
auth_mechanisms = ${DOVECOT_MECHANISMS:-plain login apop}
auth_failure_delay = 0
first_valid_uid = $MAIL_UID
first_valid_gid = $MAIL_GID
mail_location = maildir:~/Maildir
default_internal_user = dovecot
default_login_user = dovenull
pop3_logout_format = top=%t/%p, retr=%r/%b, del=%d/%m, size=%s
$oauth2_passdb
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $dir/users
}
userdb {
  driver = passwd-file
  args = username_format=%u $dir/users
}
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $port
  }
  $tls_listener
}
CONF
  dovecot -F -c "$dir/dovecot.conf" >> "$dir/dovecot.log" 2>&1 &
  echo $! > "$dir/dovecot.pid"
  await_port dovecot "$port" "$dir/dovecot.pid" "$dir/dovecot.log"
  ;;
stop)
  stop_pidfile "$dir/dovecot.pid"
  ;;
ls)
  list_maildir "${1:?user}"
  ;;
clear)
  user=${1:?user}; md=$(maildir "$user")
  rm -f "$md"/new/* "$md"/cur/* "$md"/tmp/*
  ;;
*)
  die "usage: dovecot.sh init|adduser|deliver|start|stop|ls|clear DIR ..."
  ;;
esac
