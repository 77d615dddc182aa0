#!/usr/bin/env bash
# A first look at Quorrel: installs what is missing, builds the program, starts a
# throwaway POP3 server with a sample mailbox of twelve messages inside a private
# network namespace, shows a dry run with rules, sweeps it with a few filter
# words, lists what is left, looks at it once more over TLS, and cleans
# everything up again. Safe to run any number of times.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

source scripts/lib/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${RUNTIME_PACKAGES[@]}" "${PEER_PACKAGES[@]}"

cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target quorrel

# The namespace and the server need root.
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

work=$(mktemp -d /tmp/quorrel-demo.XXXXXX)
chmod 755 "$work"
trap '$sudo rm -rf "$work"' EXIT

# Everything below runs in a network namespace of its own: the server listens on
# port 110 there without clashing with anything on this machine, and it is
# stopped (by its process id) however the demo ends.
$sudo unshare -n bash -s "$root" "$work" <<'INNER'
set -euo pipefail
root=$1; work=$2
dovecot_sh="$root/scripts/lib/dovecot.sh"
ip link set lo up
trap 'bash "$dovecot_sh" stop "$work/dovecot"' EXIT

bash "$dovecot_sh" init "$work/dovecot"
bash "$dovecot_sh" adduser "$work/dovecot" alice secret
bash "$dovecot_sh" deliver "$work/dovecot" alice "$root"/scripts/demo-mail/*.eml
bash "$dovecot_sh" start "$work/dovecot" 110 995

step() {
  if [ -t 2 ]; then printf '\n\033[1m==> %s\033[0m\n' "$*" >&2; else printf '\n==> %s\n' "$*" >&2; fi
}

step "First a dry run with rules: expressions matched in subjects only, and nothing from Maria is ever deleted"
echo "    build/quorrel --dry-run --regex --field Subject --keep 'maria\.lindqvist@' alice secret 127.0.0.1 'winner|free spins|planning'" >&2
"$root/build/quorrel" --dry-run --regex --field Subject --keep 'maria\.lindqvist@' alice secret 127.0.0.1 \
  'winner|free spins|planning' </dev/null

step "Sweeping alice's mailbox: delete whatever mentions casino, winner or 'X-Spam-Flag: YES'"
echo "    build/quorrel alice secret 127.0.0.1 casino winner 'X-Spam-Flag: YES'" >&2
"$root/build/quorrel" alice secret 127.0.0.1 casino winner 'X-Spam-Flag: YES' </dev/null

step "Listing what is left (three parameters: no filter, nothing is deleted)"
echo "    build/quorrel alice secret 127.0.0.1" >&2
"$root/build/quorrel" alice secret 127.0.0.1 </dev/null

step "The same mailbox over TLS on port 995, the certificate checked against the demo's CA; a dry run deletes nothing, and the password comes from standard input"
echo "    echo secret | build/quorrel --tls --ca-file ca.pem --dry-run alice - 127.0.0.1 invoice" >&2
echo secret | "$root/build/quorrel" --tls --ca-file "$work/dovecot/ca.pem" --dry-run alice - 127.0.0.1 invoice

step "A wrong password"
echo "    build/quorrel alice guess 127.0.0.1 casino" >&2
"$root/build/quorrel" alice guess 127.0.0.1 casino </dev/null
INNER

printf '\nDone: the server is stopped and its files are removed.\n' >&2
