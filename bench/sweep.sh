#!/usr/bin/env bash
# Mailbox sweep against peers. Seeds a throwaway Dovecot (inside a private network
# namespace, port 110) with N messages (default 5000) and sweeps it with quorrel,
# a poplib script, raw C++ clients and the mailfilter and mpop packages; then
# through a relay that adds a round trip of RTT_MS (default 50, 0 = none) on
# WAN_N (300) and WAN_PIPE_N (3000) messages, WAN_RUNS (3) runs each.
# Last line: wall_vs_poplib=A cpu_vs_poplib=B wall_vs_raw=C rss_mib=D
#            wan_vs_poplib=E wan_vs_pipelined=F (WAN_PIPE_N) wan300_vs_pipelined=K (WAN_N)
#            decode_wall_vs_plain=G decode_cpu_vs_plain=H (quorrel --decode against quorrel)
#            regex_wall_vs_plain=I regex_cpu_vs_plain=J (quorrel --regex against quorrel)
#
# REPEAT=1 (or --repeat): repeated unattended runs instead. N messages, a first
# quorrel --only-new run, M (default 10) new messages, then the second --only-new
# run against a full sweep of the same mailbox, RUNS (5) runs each, on loopback
# and at RTT_MS, beside a floor session (USER, PASS and STAT in one flight, QUIT).
# Last line: repeat_vs_full=A repeat_vs_full_wan=B repeat_vs_floor_wan=D state_bytes=C
#
# RECYCLE=1 (or --recycle): the sweep with --recycle against the same sweep
# without, N (3000) messages of about 5 KiB, MATCHING (300) of them deleted, on
# loopback (RUNS runs) and at RTT_MS (WAN_RUNS runs); then one message of 50 MB
# stored in the bin. Last line: recycle_vs_plain=A recycle_vs_plain_wan=B rss_50mb_mib=C
#
# ACCOUNTS=8: eight mailboxes of ACCOUNT_N (300) messages on one Dovecot, at
# RTT_MS, swept from an accounts file with --all --jobs 8 against one account
# alone (WAN_RUNS runs). Last line: all_vs_one=A parent_rss_mib=B
#
# CLASSIFY=bogofilter or CLASSIFY=spamassassin: N (3000) messages, one in ten
# spam to the classifier, swept at RTT_MS with --classifier against the sweep
# without one (a filter word deletes the same messages) and against the
# classifier's own time for the same headers (bogofilter's bulk mode; for spamd,
# CLASSIFY_JOBS connections of the bench's own). WAN_RUNS runs each.
# Last line: classify_vs_floor=A classifier_alone_s=B sweep_alone_s=C
set -euo pipefail
for arg in "$@"; do
  case "$arg" in
  --repeat) export REPEAT=1 ;;
  --recycle) export RECYCLE=1 ;;
  *) echo "usage: bench/sweep.sh [--repeat | --recycle]" >&2; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${RUNTIME_PACKAGES[@]}" dovecot-core dovecot-pop3d mailfilter mpop
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target quorrel raw_pop3_client runstat >/dev/null
work=$(mktemp -d /tmp/quorrel-sweep-XXXXXX)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
[ -n "${RECYCLE:-}" ] && [ "${RECYCLE}" != 0 ] && : "${N:=3000}"
[ -n "${CLASSIFY:-}" ] && { : "${N:=3000}"; ensure_packages "${CLASSIFIER_PACKAGES[@]}"; }
N=${N:-5000} unshare -n bash -c 'ip link set lo up && exec python3 bench/sweep/sweep.py "$0"' "$work"
