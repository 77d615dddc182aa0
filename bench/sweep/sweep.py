#!/usr/bin/env python3
"""Mailbox sweep benchmark: seeds a Dovecot mailbox on 127.0.0.1:110 (run this
inside a private network namespace) and sweeps it with each client, reseeding
before every timed run. Reports medians of wall time, client CPU time and peak RSS,
each also as a ratio to the poplib script measured in the same run, and checks
that every client left exactly the messages that do not match.

With RTT_MS above 0 (default 50) the clients are then timed again through a relay
on 127.0.0.2:110 that delays each direction by half that round trip: all four
dialogue clients on WAN_N messages, and quorrel against the raw pipelined client
on WAN_PIPE_N messages.

With REPEAT=1 it measures repeated unattended runs instead: N messages, a first
quorrel --only-new run over them, M (default 10) new messages, then the second
--only-new run timed against a full sweep of the same mailbox, on loopback and
through the relay. The filter word matches nothing, so the mailbox stays as it is
between runs; the state as the first run left it is restored before each second run."""
import base64
import os
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import time

N = int(os.environ.get("N", "5000"))
RUNS = int(os.environ.get("RUNS", "5"))
RTT_MS = int(os.environ.get("RTT_MS", "50"))
WAN_N = int(os.environ.get("WAN_N", "300"))
WAN_PIPE_N = int(os.environ.get("WAN_PIPE_N", "3000"))
WAN_RUNS = int(os.environ.get("WAN_RUNS", "3"))
REPEAT = os.environ.get("REPEAT", "") not in ("", "0")
RECYCLE = os.environ.get("RECYCLE", "") not in ("", "0")
ACCOUNTS = int(os.environ.get("ACCOUNTS", "0") or 0)
CLASSIFY = os.environ.get("CLASSIFY", "")
M = int(os.environ.get("M", "10"))
NO_MATCH = "no-such-word-xyz"
WORD = "lottery"
USER, PASSWORD = "bench", "secret"
PEERS = ("mailfilter", "mpop")  # packaged clients of others: reported when they cannot do the job

root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
build = os.environ.get("BUILD", os.path.join(root, "build"))
work = sys.argv[1]
dovecot = os.path.join(root, "scripts", "lib", "dovecot.sh")
maildir = os.path.join(work, "home", USER, "Maildir")
rng = random.Random(20261207)
WORDS = ("quarterly report meeting notes invoice project update schedule review "
         "budget travel plans conference agenda release notes weekly digest team "
         "lunch holiday roadmap feedback survey design draft minutes").split()
HOSTS = ["mx%d.mail.example.net" % i for i in range(1, 9)] + ["relay.example.org", "smtp.example.com"]


def header_block(i, spam):
    """1-4 KiB of realistic header lines; spam messages carry the filter word in
    one of several headers, chosen so that each header kind gets its share."""
    lines = []
    for hop in range(rng.randint(3, 8)):
        a, b = rng.choice(HOSTS), rng.choice(HOSTS)
        lines.append("Received: from %s (%s [192.0.2.%d])\n\tby %s with ESMTPS id %08x\n"
                     "\tfor <%s@example.org>; Mon, 7 Dec 2026 %02d:%02d:%02d +0000"
                     % (a, a, rng.randint(1, 254), b, rng.getrandbits(32), USER,
                        rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)))
    sig = "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
                  for _ in range(rng.randint(200, 1400)))
    folded = "\n\t".join(sig[k:k + 72] for k in range(0, len(sig), 72))
    lines.append("DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.net;\n"
                 "\ts=sel%d; h=from:to:subject:date:message-id;\n\tb=%s" % (rng.randint(1, 9), folded))
    subject = " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 7))).capitalize()
    if not spam and i % 3 == 0:
        # Many real subjects come as encoded words, often folded: these make
        # --decode work for its keep without changing what is deleted.
        text = (subject + " \u2013 r\u00e9sum\u00e9").encode("utf-8")
        half = len(text) // 2
        subject = "=?UTF-8?B?%s?=\n =?UTF-8?Q?%s?=" % (base64.b64encode(text[:half]).decode(),
                                                     "".join("=%02X" % b for b in text[half:]))
    sender = "%s@%s" % (rng.choice(WORDS), rng.choice(HOSTS))
    extra = []
    if spam:
        where = i % 4
        if where == 0:
            subject = "You won the LOTTERY " + subject
        elif where == 1:
            sender = "lottery-office@%s" % rng.choice(HOSTS)
        elif where == 2:
            extra.append("X-Spam-Category: Lottery")
        else:
            extra.append("List-Unsubscribe: <https://lottery.example.com/u/%d>" % i)
    lines += [
        "Message-ID: <%d.%08x@%s>" % (i, rng.getrandbits(32), rng.choice(HOSTS)),
        "Date: Mon, 7 Dec 2026 %02d:%02d:%02d +0000" % (rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)),
        "From: %s" % sender,
        "To: %s@example.org" % USER,
        "Subject: %s" % subject,
        "MIME-Version: 1.0",
        "Content-Type: text/plain; charset=utf-8",
        "X-Mailer: Example Mail %d.%d" % (rng.randint(1, 9), rng.randint(0, 9)),
    ] + extra
    return "\n".join(lines) + "\n"


def seed_dir(n):
    return os.path.join(work, "seed-%d" % n)


def write_message(path, number):
    """Writes message number to path: one in ten is spam, the body random words.
    True when it is spam."""
    spam = rng.random() < 0.10
    body = "\n".join(" ".join(rng.choice(WORDS) for _ in range(12)) for _ in range(rng.randint(3, 20)))
    with open(path, "w") as f:
        f.write(header_block(number, spam) + "\n" + body + "\n")
    return spam


def make_seed(n):
    """The mailbox of n messages and the names of those that do not match."""
    global rng
    rng = random.Random(20261207 if n == N else 20261207 + n)
    seed = seed_dir(n)
    shutil.rmtree(seed, ignore_errors=True)
    os.makedirs(seed)
    keep = []
    for i in range(1, n + 1):
        name = "%010d.M%dP1.bench" % (1700000000 + i, i)
        if not write_message(os.path.join(seed, name), i):
            keep.append(name)
    return sorted(keep)


def reseed(n, seed=None):
    for sub in ("new", "cur", "tmp"):
        d = os.path.join(maildir, sub)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    for f in os.listdir(maildir):
        if f.startswith("dovecot"):
            p = os.path.join(maildir, f)
            shutil.rmtree(p) if os.path.isdir(p) else os.remove(p)
    new = os.path.join(maildir, "new")
    seed = seed or seed_dir(n)
    for f in os.listdir(seed):
        shutil.copyfile(os.path.join(seed, f), os.path.join(new, f))
    subprocess.run(["chown", "-R", "mail:mail", maildir], check=True)


def left():
    out = subprocess.run([dovecot, "ls", work, USER], check=True, capture_output=True, text=True).stdout
    return sorted(out.split())


def measure(cmd):
    """Wall, user+sys CPU and peak RSS of one client run. A small C++ runner does
    the measuring: a child forked from this Python process would count Python's
    own pages in its peak RSS."""
    stats = os.path.join(work, "client.time")
    with open(os.path.join(work, "client.out"), "wb") as out:
        rc = subprocess.run([os.path.join(build, "bench", "runstat"), stats] + cmd,
                            stdout=out, stderr=subprocess.STDOUT).returncode
    if rc != 0:
        sys.exit("%s failed (%d): %s" % (cmd[0], rc, open(os.path.join(work, "client.out"), "rb").read()[-500:]))
    wall, user, system, rss_kib = open(stats).read().split()[-4:]
    return float(wall), float(user) + float(system), int(rss_kib) / 1024.0


def tools(host="127.0.0.1", peers=True):
    here = os.path.dirname(os.path.abspath(__file__))
    raw = os.path.join(build, "bench", "raw_pop3_client")
    t = [
        ("quorrel", [os.path.join(build, "quorrel"), USER, PASSWORD, host, WORD]),
        ("quorrel-decode", [os.path.join(build, "quorrel"), USER, PASSWORD, host, WORD, "--decode"]),
        # The same deletions by expressions, with two more that match nothing here.
        ("quorrel-regex", [os.path.join(build, "quorrel"), USER, PASSWORD, host, "--regex",
                           "lotter(y|ies)", "v[i1]agra", "crypto\\s+wallet"]),
        ("poplib", [sys.executable, os.path.join(here, "sweep_poplib.py"), host, "110", USER, PASSWORD, WORD]),
        ("raw", [raw, host, "110", USER, PASSWORD, WORD]),
        ("raw-pipelined", [raw, host, "110", USER, PASSWORD, WORD, "--pipelined"]),
    ]
    if not peers:
        return t
    if shutil.which("mailfilter"):
        rc = os.path.join(work, "mailfilterrc")
        with open(rc, "w") as f:
            f.write('LOGFILE = "%s/mailfilter.log"\nVERBOSE = 0\nSERVER = "127.0.0.1"\nUSER = "%s"\n'
                    'PASS = "%s"\nPROTOCOL = "pop3"\nPORT = 110\nDENY = "%s"\n' % (work, USER, PASSWORD, WORD))
        os.chmod(rc, 0o600)
        t.append(("mailfilter", ["mailfilter", "-M", rc, "-i"]))
    if shutil.which("mpop"):
        filt = os.path.join(work, "mpop-filter.sh")
        with open(filt, "w") as f:
            f.write("#!/bin/sh\n# 1: delete on the server, 2: skip (leave it there)\n"
                    "if grep -qi '%s'; then exit 1; else exit 2; fi\n" % WORD)
        os.chmod(filt, 0o755)
        t.append(("mpop", ["mpop", "--host=127.0.0.1", "--port=110", "--tls=off", "--auth=user",
                           "--user=" + USER, "--passwordeval=echo " + PASSWORD, "--filter=" + filt,
                           "--uidls-file=" + os.path.join(work, "mpop-uidls"), "--only-new=off",
                           "--delivery=mbox,/dev/null", "--quiet"]))
    return t


def sweep(n, runs, order, keep, notes):
    """Medians of wall, CPU and RSS for each client over runs reseeded sweeps."""
    results = {}
    dropped = set()
    for r in range(runs):
        # Every other round runs the clients in reverse, so that no client
        # always follows the same one (a cache or the server's state after
        # a sweep would otherwise favour some).
        for name, cmd in (order if r % 2 == 0 else order[::-1]):
            if name == "mpop" and os.path.exists(os.path.join(work, "mpop-uidls")):
                os.remove(os.path.join(work, "mpop-uidls"))
            if name in dropped:
                continue
            reseed(n)
            sample = measure(cmd)
            got = left()
            if got != keep:
                msg = "%s left %d messages, expected %d" % (name, len(got), len(keep))
                if name not in PEERS:
                    sys.exit(msg + ": the sweeps disagree")
                # A packaged peer that cannot do this job is reported, not timed.
                dropped.add(name)
                notes.append(msg + "; it is left out of the table")
                continue
            results.setdefault(name, []).append(sample)
    return {k: [statistics.median(x[i] for x in v) for i in range(3)] for k, v in results.items()}


def table(title, order, med):
    print(title)
    base = med.get("poplib")
    print("%-14s %9s %9s %9s %11s %11s %11s" % ("client", "wall s", "cpu s", "rss MiB", "wall/poplib", "cpu/poplib", "rss/poplib"))
    for name, _ in order:
        if name not in med:
            continue
        w, c, m = med[name]
        if base:
            print("%-14s %9.3f %9.3f %9.1f %11.2f %11.2f %11.2f" % (name, w, c, m, w / base[0], c / base[1], m / base[2]))
        else:
            print("%-14s %9.3f %9.3f %9.1f" % (name, w, c, m))


def start_relay():
    """The delaying relay on 127.0.0.2:110 in front of Dovecot."""
    here = os.path.dirname(os.path.abspath(__file__))
    relay = subprocess.Popen([sys.executable, os.path.join(here, "delay_relay.py"), "127.0.0.2", "110",
                              "127.0.0.1", "110", str(RTT_MS)], stdout=subprocess.PIPE, text=True)
    if relay.stdout.readline().strip() != "ready":
        relay.kill()
        sys.exit("the delaying relay did not start")
    return relay


def stop_peers(relay):
    """Stops the relay (when one was started) and Dovecot, by their ids."""
    if relay:
        relay.kill()
        relay.wait()
    subprocess.run([dovecot, "stop", work])


def main():
    keep = {N: make_seed(N)}
    if RTT_MS > 0:
        for n in (WAN_N, WAN_PIPE_N):
            if n not in keep:
                keep[n] = make_seed(n)
    subprocess.run([dovecot, "init", work], check=True)
    subprocess.run([dovecot, "adduser", work, USER, PASSWORD], check=True)
    subprocess.run([dovecot, "start", work, "110"], check=True)
    relay = None
    notes = []
    try:
        order = tools()
        only = os.environ.get("ONLY")
        if only:
            order = [t for t in order if t[0] in only.split(",") or t[0] == "poplib"]
        med = sweep(N, RUNS, order, keep[N], notes)
        if RTT_MS > 0:
            relay = start_relay()
            wan_order = [t for t in tools("127.0.0.2", peers=False) if t[0] not in ("quorrel-decode", "quorrel-regex")]
            wan = sweep(WAN_N, WAN_RUNS, wan_order, keep[WAN_N], notes)
            pipe_order = [t for t in wan_order if t[0] in ("quorrel", "raw-pipelined")]
            wan_pipe = sweep(WAN_PIPE_N, WAN_RUNS, pipe_order, keep[WAN_PIPE_N], notes)
    finally:
        stop_peers(relay)
    for n in notes:
        print("note: " + n)
    table("N=%d, %d runs each, medians; ratios against poplib measured in the same run" % (N, RUNS), order, med)
    if RTT_MS > 0:
        table("round trip %d ms, N=%d, %d runs each, medians" % (RTT_MS, WAN_N, WAN_RUNS), wan_order, wan)
        table("round trip %d ms, N=%d, %d runs each, medians" % (RTT_MS, WAN_PIPE_N, WAN_RUNS), pipe_order, wan_pipe)
    if "quorrel" not in med or "raw" not in med:
        return
    q, base = med["quorrel"], med["poplib"]
    last = "wall_vs_poplib=%.2f cpu_vs_poplib=%.2f wall_vs_raw=%.2f rss_mib=%.1f" % (
        q[0] / base[0], q[1] / base[1], q[0] / med["raw"][0], q[2])
    if RTT_MS > 0:
        last += " wan_vs_poplib=%.3f wan_vs_pipelined=%.2f wan%d_vs_pipelined=%.2f" % (
            wan["quorrel"][0] / wan["poplib"][0], wan_pipe["quorrel"][0] / wan_pipe["raw-pipelined"][0],
            WAN_N, wan["quorrel"][0] / wan["raw-pipelined"][0])
    if "quorrel-decode" in med:
        d = med["quorrel-decode"]
        last += " decode_wall_vs_plain=%.2f decode_cpu_vs_plain=%.2f" % (d[0] / q[0], d[1] / q[1])
    if "quorrel-regex" in med:
        r = med["quorrel-regex"]
        last += " regex_wall_vs_plain=%.2f regex_cpu_vs_plain=%.2f" % (r[0] / q[0], r[1] / q[1])
    print(last)


def make_arrivals(m):
    """The m messages that arrive after the first run: files of their own, which
    dovecot.sh deliver names after the messages already in the mailbox."""
    global rng
    rng = random.Random(20261207 * 3 + m)
    folder = os.path.join(work, "arrivals-%d" % m)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    files = []
    for i in range(1, m + 1):
        path = os.path.join(folder, "%06d" % i)
        write_message(path, N + i)
        files.append(path)
    return files


def server_reads(since):
    """TOP and RETR counts from Dovecot's logout line of the one session logged
    after byte since of its log. Waited for: the server may log after the client
    has seen +OK to QUIT, and the next run must not find this line instead."""
    log = os.path.join(work, "dovecot.log")
    deadline = time.monotonic() + 5
    while True:
        with open(log, "rb") as f:
            f.seek(since)
            found = re.search(rb"top=(\d+)/\d+, retr=(\d+)/", f.read())
        if found:
            return int(found.group(1)), int(found.group(2))
        if time.monotonic() > deadline:
            return None
        time.sleep(0.02)


def timed_run(cmd):
    """measure() plus the client's output and what the server says it sent."""
    since = os.path.getsize(os.path.join(work, "dovecot.log"))
    sample = measure(cmd)
    out = open(os.path.join(work, "client.out"), "rb").read().decode("utf-8", "replace")
    return sample, out, server_reads(since)


def session_floor(host):
    """Wall time of the least any sweep of this server takes: the greeting, then
    USER, PASS and STAT in one flight, then QUIT, timed in this process. It holds
    what the server spends on each session whatever the client asks (Dovecot
    sizes every message before STAT), so that the table shows how much of a
    second run is left to the client."""
    since = os.path.getsize(os.path.join(work, "dovecot.log"))
    start = time.monotonic()
    with socket.create_connection((host, 110)) as conn:
        f = conn.makefile("rb")

        def ask(line, multi=False):
            conn.sendall(line + b"\r\n")
            first = f.readline()
            if not first.startswith(b"+OK"):
                sys.exit("session floor: %r answered %r" % (line, first))
            while multi and f.readline() != b".\r\n":
                pass

        f.readline()
        conn.sendall(b"USER %s\r\nPASS %s\r\nSTAT\r\n" % (USER.encode(), PASSWORD.encode()))
        for line in (b"USER", b"PASS", b"STAT"):
            first = f.readline()
            if not first.startswith(b"+OK"):
                sys.exit("session floor: %r answered %r" % (line, first))
        ask(b"QUIT")
    wall = time.monotonic() - start
    server_reads(since)
    return wall


def repeat_main():
    make_seed(N)
    arrivals = make_arrivals(M)
    quorrel = os.path.join(build, "quorrel")
    state_dir = os.path.join(work, "quorrel-state")
    os.makedirs(state_dir)
    state = os.path.join(state_dir, "mailbox")
    saved = os.path.join(work, "state-after-first-run")
    subprocess.run([dovecot, "init", work], check=True)
    subprocess.run([dovecot, "adduser", work, USER, PASSWORD], check=True)
    reseed(N)
    subprocess.run([dovecot, "start", work, "110"], check=True)
    relay = None
    notes = []
    med = {}

    def full(host):
        return [quorrel, USER, PASSWORD, host, NO_MATCH]

    def second(host):
        return full(host) + ["--only-new", "--state-file", state]

    new_line = "%d new, %d judged before" % (M, N)
    try:
        first, out, reads = timed_run(second("127.0.0.1"))
        if not os.path.exists(state):
            sys.exit("the first --only-new run wrote no state:\n" + out[-500:])
        if "%d new, 0 judged before" % N not in out.splitlines():
            notes.append("first run did not say \"%d new, 0 judged before\"" % N)
        shutil.copyfile(state, saved)
        state_bytes = os.path.getsize(saved)
        # Delivered once: every timed run sees the same N + M messages with the
        # same UIDLs, since nothing is deleted and the mailbox is never reseeded.
        subprocess.run([dovecot, "deliver", work, USER] + arrivals, check=True)
        everything = left()
        if len(everything) != N + M:
            sys.exit("the mailbox holds %d messages, expected %d" % (len(everything), N + M))

        def rounds(where, host, runs):
            order = [("second --only-new", second(host)), ("full sweep", full(host)), ("session floor", None)]
            samples = {}
            for r in range(runs):
                # Alternate the order, so that no run always finds the server
                # warmed by the same other.
                for name, cmd in (order if r % 2 == 0 else order[::-1]):
                    if cmd is None:
                        samples.setdefault(name, []).append((session_floor(host), None, None))
                        continue
                    if name != "full sweep":
                        shutil.copyfile(saved, state)
                    sample, out, reads = timed_run(cmd)
                    if name != "full sweep" and new_line not in out.splitlines():
                        sys.exit("%s %s did not say \"%s\":\n%s" % (where, name, new_line, out[-500:]))
                    expect = M if name != "full sweep" else N + M
                    if reads is None or reads[0] + reads[1] != expect:
                        notes.append("%s %s: the server sent %s headers or messages, expected %d"
                                     % (where, name, "no logged" if reads is None else "%d+%d" % reads, expect))
                    samples.setdefault(name, []).append(sample)
            if left() != everything:
                sys.exit("%s: the mailbox changed, though the filter word matches nothing" % where)
            return {k: [statistics.median(x[i] for x in v) if v[0][i] is not None else None for i in range(3)]
                    for k, v in samples.items()}

        med["loopback"] = rounds("loopback", "127.0.0.1", RUNS)
        if RTT_MS > 0:
            relay = start_relay()
            med["%d ms" % RTT_MS] = rounds("%d ms" % RTT_MS, "127.0.0.2", RUNS)
        # As the last second run left it: the first run's messages and the new ones.
        final_bytes = os.path.getsize(state)
    finally:
        stop_peers(relay)
    for n in notes:
        print("note: " + n)
    if not notes:
        print("checked: every second run said \"%s\" and the server sent it %d headers; every full sweep %d; "
              "nothing deleted" % (new_line, M, N + M))
    print("repeat: N=%d, then M=%d new; filter word matching nothing; %d runs each, medians; "
          "ratios against the full sweep measured in the same run" % (N, M, RUNS))
    print("%-9s %-18s %9s %9s %9s %9s %9s %9s" % ("where", "run", "wall s", "cpu s", "rss MiB",
                                                 "wall/full", "cpu/full", "rss/full"))
    for where, runs in med.items():
        base = runs["full sweep"]
        for name in ("second --only-new", "full sweep"):
            w, c, m = runs[name]
            print("%-9s %-18s %9.3f %9.3f %9.1f %9.3f %9.3f %9.3f" % (where, name, w, c, m, w / base[0],
                                                                   c / base[1], m / base[2]))
        w = runs["session floor"][0]
        print("%-9s %-18s %9.3f %9s %9s %9.3f %9s %9s" % (where, "session floor", w, "-", "-", w / base[0], "-", "-"))
    print("session floor: greeting, USER+PASS+STAT in one flight, QUIT and nothing else, timed in the benchmark's own process")
    print("first --only-new run over %d messages (once, loopback): wall %.3f s, cpu %.3f s, rss %.1f MiB"
          % (N, first[0], first[1], first[2]))
    print("state: %d bytes after the first run (%d messages), %d after a second (%d)"
          % (state_bytes, N, final_bytes, N + M))
    wan = "%d ms" % RTT_MS
    last = "repeat_vs_full=%.3f" % (med["loopback"]["second --only-new"][0] / med["loopback"]["full sweep"][0])
    if wan in med:
        ratio = med[wan]["second --only-new"][0] / med[wan]["full sweep"][0]
        print("target at %s, N=%d, M=%d: second run at most 0.1x the full sweep: %s (%.3fx)"
              % (wan, N, M, "met" if ratio <= 0.1 else "NOT met", ratio))
        last += " repeat_vs_full_wan=%.3f repeat_vs_floor_wan=%.2f" % (
            ratio, med[wan]["second --only-new"][0] / med[wan]["session floor"][0])
    print(last + " state_bytes=%d" % state_bytes)


def recycle_seed(name, count, size, match):
    """A seed of count messages of about size bytes each; those for which match
    holds carry the filter word. The names of the others."""
    seed = os.path.join(work, "seed-" + name)
    shutil.rmtree(seed, ignore_errors=True)
    os.makedirs(seed)
    keep = []
    line = " ".join(rng.choice(WORDS) for _ in range(10)) + "\n"
    for i in range(1, count + 1):
        spam = match(i)
        head = header_block(i, spam)
        if spam and WORD not in head.lower():
            head = head.replace("Subject: ", "Subject: lottery ", 1)
        body = line * max(1, (size - len(head)) // len(line))
        fname = "%010d.M%dP1.bench" % (1700000000 + i, i)
        with open(os.path.join(seed, fname), "w") as f:
            f.write(head + "\n" + body)
        if not spam:
            keep.append(fname)
    return seed, sorted(keep)


def recycle_main():
    """The sweep with --recycle against the same sweep without, on loopback and
    through the relay; then the peak RSS of storing one message of 50 MB."""
    n, matching = int(os.environ.get("N", "3000")), int(os.environ.get("MATCHING", "300"))
    step = n // matching
    seed, keep = recycle_seed("recycle", n, 5 * 1024, lambda i: i % step == 0)
    big_seed, big_keep = recycle_seed("large", 2, 50 * 1000 * 1000, lambda i: i == 2)
    quorrel = os.path.join(build, "quorrel")
    bin_dir = os.path.join(work, "bin")
    subprocess.run([dovecot, "init", work], check=True)
    subprocess.run([dovecot, "adduser", work, USER, PASSWORD], check=True)
    reseed(n, seed)
    subprocess.run([dovecot, "start", work, "110"], check=True)
    relay = None
    med = {}

    def run(cmd, want_left, seed_dir_, count, recycled):
        reseed(count, seed_dir_)
        shutil.rmtree(bin_dir, ignore_errors=True)
        sample = measure(cmd)
        if left() != want_left:
            sys.exit("%s left %d messages, expected %d" % (" ".join(cmd), len(left()), len(want_left)))
        stored = len(os.listdir(os.path.join(bin_dir, "new"))) if os.path.isdir(bin_dir) else 0
        if stored != recycled:
            sys.exit("the bin holds %d copies, expected %d" % (stored, recycled))
        return sample

    try:
        def rounds(host, runs):
            order = [("plain", [quorrel, USER, PASSWORD, host, WORD]),
                     ("recycle", [quorrel, USER, PASSWORD, host, WORD, "--recycle", bin_dir])]
            samples = {}
            for r in range(runs):
                for name, cmd in (order if r % 2 == 0 else order[::-1]):
                    recycled = n - len(keep) if name == "recycle" else 0
                    samples.setdefault(name, []).append(run(cmd, keep, seed, n, recycled))
            return {k: [statistics.median(x[i] for x in v) for i in range(3)] for k, v in samples.items()}

        med["loopback"] = rounds("127.0.0.1", RUNS)
        large = run([quorrel, USER, PASSWORD, "127.0.0.1", WORD, "--recycle", bin_dir], big_keep, big_seed, 2, 1)
        if RTT_MS > 0:
            relay = start_relay()
            med["%d ms" % RTT_MS] = rounds("127.0.0.2", WAN_RUNS)
    finally:
        stop_peers(relay)
    print("recycle: N=%d messages, %d matching, about 5 KiB each; medians of %d runs (loopback) and %d (%d ms); "
          "ratios against the sweep without --recycle in the same run" % (n, n - len(keep), RUNS, WAN_RUNS, RTT_MS))
    print("%-9s %-8s %9s %9s %9s %11s %11s" % ("where", "run", "wall s", "cpu s", "rss MiB", "wall/plain", "cpu/plain"))
    ratios = {}
    for where, runs in med.items():
        base = runs["plain"]
        for name in ("plain", "recycle"):
            w, c, m = runs[name]
            print("%-9s %-8s %9.3f %9.3f %9.1f %11.3f %11.3f" % (where, name, w, c, m, w / base[0], c / base[1]))
        ratios[where] = runs["recycle"][0] / base[0]
    print("one message of 50 MB stored in the bin: wall %.3f s, cpu %.3f s, peak rss %.1f MiB" % large)
    last = "recycle_vs_plain=%.3f" % ratios["loopback"]
    wan = "%d ms" % RTT_MS
    if wan in ratios:
        last += " recycle_vs_plain_wan=%.3f" % ratios[wan]
    print(last + " rss_50mb_mib=%.1f" % large[2])


def accounts_main():
    """ACCOUNTS mailboxes of ACCOUNT_N (300) messages on one Dovecot, swept
    through the relay with --all --jobs ACCOUNTS against one account alone."""
    per = int(os.environ.get("ACCOUNT_N", "300"))
    seed, keep = recycle_seed("accounts", per, 2048, lambda i: i % 10 == 0)
    users = ["bench%d" % k for k in range(1, ACCOUNTS + 1)]
    os.environ["XDG_DATA_HOME"] = os.path.join(work, "data")
    config = os.path.join(work, "accounts.toml")
    with open(config, "w") as f:
        f.write('[defaults]\nserver = "127.0.0.2"\npassword = "%s"\nfilter = ["%s"]\n' % (PASSWORD, WORD))
        for u in users:
            f.write('[accounts.%s]\nuser = "%s"\n' % (u, u))
    os.chmod(config, 0o600)
    subprocess.run([dovecot, "init", work], check=True)
    for u in users:
        subprocess.run([dovecot, "adduser", work, u, PASSWORD], check=True)

    def reseed_all():
        for u in users:
            md = os.path.join(work, "home", u, "Maildir")
            for sub in ("new", "cur", "tmp"):
                shutil.rmtree(os.path.join(md, sub), ignore_errors=True)
                os.makedirs(os.path.join(md, sub))
            for f in os.listdir(md):
                if f.startswith("dovecot"):
                    p = os.path.join(md, f)
                    shutil.rmtree(p) if os.path.isdir(p) else os.remove(p)
            for f in os.listdir(seed):
                shutil.copyfile(os.path.join(seed, f), os.path.join(md, "new", f))
        subprocess.run(["chown", "-R", "mail:mail", os.path.join(work, "home")], check=True)
        shutil.rmtree(os.path.join(work, "data"), ignore_errors=True)

    def left_of(u):
        out = subprocess.run([dovecot, "ls", work, u], check=True, capture_output=True, text=True).stdout
        return sorted(out.split())

    quorrel = os.path.join(build, "quorrel")
    order = [("one account", [quorrel, "--config", config, "--account", users[0]], users[:1]),
             ("all, side by side", [quorrel, "--config", config, "--all", "--jobs", str(ACCOUNTS)], users)]
    subprocess.run([dovecot, "start", work, "110"], check=True)
    relay = None
    samples = {}
    try:
        relay = start_relay()
        for r in range(WAN_RUNS):
            for name, cmd, swept in (order if r % 2 == 0 else order[::-1]):
                reseed_all()
                samples.setdefault(name, []).append(measure(cmd))
                for u in users:
                    want = keep if u in swept else sorted(os.listdir(seed))
                    if left_of(u) != want:
                        sys.exit("%s: %s left %d messages, expected %d" % (name, u, len(left_of(u)), len(want)))
    finally:
        stop_peers(relay)
    med = {k: [statistics.median(x[i] for x in v) for i in range(3)] for k, v in samples.items()}
    print("accounts: %d mailboxes of %d messages, %d deleted in each, at %d ms; medians of %d runs"
          % (ACCOUNTS, per, per - len(keep), RTT_MS, WAN_RUNS))
    print("%-18s %9s %9s %9s %9s" % ("run", "wall s", "cpu s", "rss MiB", "wall/one"))
    base = med["one account"][0]
    for name, _, _ in order:
        w, c, m = med[name]
        print("%-18s %9.3f %9.3f %9.1f %9.3f" % (name, w, c, m, w / base))
    print("all_vs_one=%.3f parent_rss_mib=%.1f" % (med["all, side by side"][0] / base, med["all, side by side"][2]))


def classify_main():
    """The sweep with --classifier CLASSIFY (bogofilter or spamassassin) at
    RTT_MS against the sweep without one (a filter word deletes the same
    messages) and against the classifier's own time for the same headers:
    bogofilter's bulk mode over them as files, or CLASSIFY_JOBS (4)
    connections of this script's own sending spamd the same CHECKs."""
    import concurrent.futures
    n = int(os.environ.get("N", "3000"))
    jobs = int(os.environ.get("CLASSIFY_JOBS", "4"))
    marker = "CLASSIFYSPAM"
    seed, _ = recycle_seed("classify", n, 2048, lambda i: False)
    heads = os.path.join(work, "heads")
    os.makedirs(heads)
    headers = []
    spammy = "cheap pills casino viagra winner prize discount pharmacy".split()
    for i, f in enumerate(sorted(os.listdir(seed)), 1):
        text = open(os.path.join(seed, f)).read()
        if i % 10 == 0:
            text = text.replace("Subject: ", "Subject: %s %s " % (marker, " ".join(rng.sample(spammy, 4))), 1)
        with open(os.path.join(seed, f), "w") as out:
            out.write(text)
        head = text[:text.index("\n\n") + 2]
        path = os.path.join(heads, "h%05d" % i)
        with open(path, "w") as out:
            out.write(head)
        headers.append(path)
    quorrel = os.path.join(build, "quorrel")
    classifier = [quorrel, "--classifier", CLASSIFY, "--classify-jobs", str(jobs)]
    peer = os.path.join(root, "scripts", "lib", "spamd.sh")
    spamd_dir = os.path.join(work, "spamd")
    if CLASSIFY == "bogofilter":
        db = os.path.join(work, "bogofilter")
        os.makedirs(db)
        spam = [h for h in headers if marker in open(h).read()]
        ham = [h for h in headers if h not in spam]
        subprocess.run(["bogofilter", "-d", db, "-s", "-B"] + spam[::3], check=True)
        subprocess.run(["bogofilter", "-d", db, "-n", "-B"] + ham[::3], check=True)
        classifier += ["--classifier-db", db]

        def alone():
            t = time.monotonic()
            out = subprocess.run(["bogofilter", "-d", db, "-T", "-B"] + headers, capture_output=True, text=True).stdout
            return time.monotonic() - t, sum(1 for l in out.splitlines() if l.split()[-2] == "S")
    elif CLASSIFY == "spamassassin":
        subprocess.run([peer, "init", spamd_dir], check=True)
        subprocess.run([peer, "start", spamd_dir, "783"], check=True)

        def check(path):
            body = open(path, "rb").read().replace(b"\n", b"\r\n")
            s = socket.create_connection(("127.0.0.1", 783))
            s.sendall(b"CHECK SPAMC/1.5\r\nContent-length: %d\r\n\r\n" % len(body) + body)
            reply = b""
            while True:
                got = s.recv(4096)
                if not got:
                    break
                reply += got
            s.close()
            return b"Spam: True" in reply

        def alone():
            t = time.monotonic()
            with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
                spam = sum(pool.map(check, headers))
            return time.monotonic() - t, spam
    else:
        sys.exit("CLASSIFY is bogofilter or spamassassin")
    subprocess.run([dovecot, "init", work], check=True)
    subprocess.run([dovecot, "adduser", work, USER, PASSWORD], check=True)
    subprocess.run([dovecot, "start", work, "110"], check=True)
    relay = None
    samples = {}
    try:
        own_time, own_spam = alone()
        want = sorted(f for f in os.listdir(seed) if marker not in open(os.path.join(seed, f)).read())
        relay = start_relay()
        order = [("without", [quorrel, USER, PASSWORD, "127.0.0.2", marker]),
                 ("classifier", classifier + [USER, PASSWORD, "127.0.0.2"])]
        for r in range(WAN_RUNS):
            for name, cmd in (order if r % 2 == 0 else order[::-1]):
                reseed(n, seed)
                samples.setdefault(name, []).append(measure(cmd))
                if name == "without" and left() != want:
                    sys.exit("the sweep without a classifier left %d messages, expected %d" % (len(left()), len(want)))
                if name == "classifier" and len(left()) != n - own_spam:
                    sys.exit("the sweep with %s left %d messages; %s alone found %d spam of %d"
                             % (CLASSIFY, len(left()), CLASSIFY, own_spam, n))
        own = [alone()[0] for _ in range(WAN_RUNS - 1)] + [own_time]
    finally:
        stop_peers(relay)
        if CLASSIFY == "spamassassin":
            subprocess.run([peer, "stop", spamd_dir])
    med = {k: [statistics.median(x[i] for x in v) for i in range(3)] for k, v in samples.items()}
    own_med = statistics.median(own)
    floor = max(own_med, med["without"][0])
    print("classify: %s on %d headers (%d spam), %d at once, at %d ms; medians of %d runs"
          % (CLASSIFY, n, own_spam, jobs, RTT_MS, WAN_RUNS))
    print("%-22s %9s %9s %9s" % ("run", "wall s", "cpu s", "rss MiB"))
    print("%-22s %9.3f %9s %9s" % (CLASSIFY + " alone", own_med, "-", "-"))
    for name in ("without", "classifier"):
        w, c, m = med[name]
        print("%-22s %9.3f %9.3f %9.1f" % ("sweep " + name, w, c, m))
    print("classify_vs_floor=%.3f classifier_alone_s=%.3f sweep_alone_s=%.3f"
          % (med["classifier"][0] / floor, own_med, med["without"][0]))


if CLASSIFY:
    classify_main()
elif ACCOUNTS:
    accounts_main()
else:
    recycle_main() if RECYCLE else repeat_main() if REPEAT else main()
