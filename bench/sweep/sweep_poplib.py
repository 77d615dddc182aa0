#!/usr/bin/env python3
"""The sweep's dialogue with Python's poplib: USER/PASS, STAT, TOP n 0 from the
last message down to 1, DELE on a case-insensitive match in any header line, QUIT."""
import poplib
import sys

host, port, user, password, word = sys.argv[1:6]
word = word.lower().encode()
p = poplib.POP3(host, int(port), timeout=60)
p.user(user)
p.pass_(password)
count, _size = p.stat()
for n in range(count, 0, -1):
    _resp, lines, _octets = p.top(n, 0)
    if any(word in line.lower() for line in lines):
        p.dele(n)
p.quit()
