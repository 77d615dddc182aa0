#!/usr/bin/env bash
# Line reception throughput: ReceiveLine against Python's buffered readline over
# the same loopback stream, and the cost per line with 64 KiB against 4 MiB send
# bursts. Builds its own Release tree. Last line:
#   lines_ratio_vs_python=R burst_cost_ratio=B
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-receive-bench}
LINES=${LINES:-1000000}
ROUNDS=${ROUNDS:-3}

# GCC 12 reports false -Wrestrict overlaps inside std::string at -O3; they must
# not stop a measurement.
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORREL_TESTS=OFF \
  -DCMAKE_CXX_FLAGS=-Wno-error=restrict >/dev/null
ninja -C "$BUILD" -j2 receive_bench | grep -v '^\[' || true
[ -x "$BUILD/bench/receive_bench" ] || { echo "receive_bench did not build" >&2; exit 1; }
BIN=$BUILD/bench/receive_bench

PY_READER=$(mktemp /tmp/receive-bench-XXXXXX.py)
SERVER_PID=
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
  rm -f "$PY_READER" "$PY_READER.port"
}
trap cleanup EXIT

cat >"$PY_READER" <<'PY'
import socket, sys, time
port, lines = int(sys.argv[1]), int(sys.argv[2])
s = socket.create_connection(("127.0.0.1", port))
f = s.makefile("rb")
start = time.perf_counter()
got = 0
size = 0
readline = f.readline
while got < lines:
    line = readline()
    if not line:
        break
    got += 1
    size += len(line)
seconds = time.perf_counter() - start
if got != lines or size != lines * 80:
    sys.exit("python received %d lines" % got)
print("lines=%d seconds=%.6f" % (got, seconds))
PY

# One measurement: a sender with the given burst size, and a reader command.
# Prints the reader's seconds.
measure() {
  local burst=$1
  shift
  rm -f "$PY_READER.port"
  "$BIN" serve "$LINES" "$burst" >"$PY_READER.port" &
  SERVER_PID=$!
  local port=
  for _ in $(seq 200); do
    port=$(head -n1 "$PY_READER.port" 2>/dev/null || true)
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "sender did not start" >&2; return 1; }
  local out
  if ! out=$(timeout 120 "$@" "$port" "$LINES"); then
    kill "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
    SERVER_PID=
    echo "reader failed: $*" >&2
    return 1
  fi
  wait "$SERVER_PID"
  SERVER_PID=
  echo "$out" | sed -n 's/.*seconds=\([0-9.]*\).*/\1/p'
}

# Best of ROUNDS: the least disturbed run on a shared machine.
best() {
  local burst=$1
  shift
  local best_s=
  for _ in $(seq "$ROUNDS"); do
    local s
    s=$(measure "$burst" "$@") || exit 1
    if [ -z "$best_s" ] || awk -v a="$s" -v b="$best_s" 'BEGIN{exit !(a<b)}'; then best_s=$s; fi
  done
  echo "$best_s"
}

ours=$(best 0 "$BIN" read)
python=$(best 0 python3 "$PY_READER")
burst64k=$(best 65536 "$BIN" read)
burst4m=$(best 4194304 "$BIN" read)

awk -v n="$LINES" -v o="$ours" -v p="$python" -v a="$burst64k" -v b="$burst4m" 'BEGIN{
  printf "ReceiveLine, one stream:  %d lines in %.3f s = %.0f lines/s\n", n, o, n/o
  printf "python readline:          %d lines in %.3f s = %.0f lines/s\n", n, p, n/p
  printf "ReceiveLine, 64 KiB bursts: %.1f ns/line\n", a*1e9/n
  printf "ReceiveLine, 4 MiB bursts:  %.1f ns/line\n", b*1e9/n
  printf "lines_ratio_vs_python=%.2f burst_cost_ratio=%.2f\n", p/o, b/a
}'
