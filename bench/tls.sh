#!/usr/bin/env bash
# Bulk TLS throughput over loopback: TTCPBlockSocket (SendBytes, ReceiveExact)
# against openssl s_client, each moving the same amount to or from the same kind
# of openssl s_server, in both directions. Builds its own Release tree. Prints
# MB/s per run, and last:
#   receive_ratio=R send_ratio=S   (ours / openssl's)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-tls-bench}
BYTES=${BYTES:-268435456}

# GCC 12 reports false -Wrestrict overlaps inside std::string at -O3; they must
# not stop a measurement.
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORREL_TESTS=OFF \
  -DCMAKE_CXX_FLAGS=-Wno-error=restrict >/dev/null
ninja -C "$BUILD" -j2 tls_bench | grep -v '^\[' || true
[ -x "$BUILD/bench/tls_bench" ] || { echo "tls_bench did not build" >&2; exit 1; }
BIN=$BUILD/bench/tls_bench

DIR=$(mktemp -d /tmp/tls-bench-XXXXXX)
SERVER_PID=
stop_server() {
  if [ -n "$SERVER_PID" ]; then
    kill "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
  SERVER_PID=
}
cleanup() { stop_server; exec 3>&- 2>/dev/null || true; rm -rf "$DIR"; }
trap cleanup EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=localhost \
  -keyout "$DIR/key.pem" -out "$DIR/cert.pem" >/dev/null 2>&1

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# start_server PORT MODE...: s_server on 127.0.0.1:PORT in DIR. Its standard
# input is a FIFO that this script holds open, so it never sees an end of input.
# Waits until it listens without connecting to it (a probe would be its client).
mkfifo "$DIR/stdin"
exec 3<>"$DIR/stdin"
start_server() {
  local port=$1
  shift
  (cd "$DIR" && exec openssl s_server -accept "127.0.0.1:$port" -cert cert.pem -key key.pem "$@" \
    <"$DIR/stdin" >/dev/null 2>&1) &
  SERVER_PID=$!
  for _ in $(seq 100); do
    ss -ltnH "sport = :$port" | grep -q . && return 0
    sleep 0.05
  done
  echo "s_server did not start" >&2
  exit 1
}

now() { date +%s.%N; }
rate() { awk -v b="$BYTES" -v s="$1" -v e="$2" 'BEGIN { printf "%.1f", b / (e - s) / 1e6 }'; }

# Receiving: s_server -WWW sends the file "bulk" of BYTES bytes and closes.
head -c "$BYTES" /dev/zero >"$DIR/bulk"
P=$(free_port); start_server "$P" -WWW
T0=$(now)
printf 'GET /bulk HTTP/1.0\r\n\r\n' | openssl s_client -connect "127.0.0.1:$P" -quiet -ign_eof 2>/dev/null | wc -c >/dev/null
T1=$(now); stop_server
OPENSSL_RECEIVE=$(rate "$T0" "$T1")

P=$(free_port); start_server "$P" -WWW
T0=$(now); "$BIN" receive "$P" "$BYTES" >/dev/null; T1=$(now); stop_server
OURS_RECEIVE=$(rate "$T0" "$T1")

# Sending: the client sends BYTES, s_server throws them away.
P=$(free_port); start_server "$P" -quiet
T0=$(now)
head -c "$BYTES" /dev/zero | openssl s_client -connect "127.0.0.1:$P" -quiet -no_ign_eof >/dev/null 2>&1 || true
T1=$(now); stop_server
OPENSSL_SEND=$(rate "$T0" "$T1")

P=$(free_port); start_server "$P" -quiet
T0=$(now); "$BIN" send "$P" "$BYTES" >/dev/null; T1=$(now); stop_server
OURS_SEND=$(rate "$T0" "$T1")

echo "receive $BYTES bytes: openssl s_client $OPENSSL_RECEIVE MB/s, TTCPBlockSocket $OURS_RECEIVE MB/s"
echo "send    $BYTES bytes: openssl s_client $OPENSSL_SEND MB/s, TTCPBlockSocket $OURS_SEND MB/s"
awk -v a="$OURS_RECEIVE" -v b="$OPENSSL_RECEIVE" -v c="$OURS_SEND" -v d="$OPENSSL_SEND" \
  'BEGIN { printf "receive_ratio=%.2f send_ratio=%.2f\n", a / b, c / d }'
