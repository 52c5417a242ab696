#!/usr/bin/env python3
"""The other way to honour a list's exceptions, for comparison: drop every
blocking line that an exception of the list would override (the blocking
rule's host is the exception's host or a parent of it, or the blocking text
contains the exception's pattern), and the exceptions with them.

    drop_overridden.py CONVERTED.ini > VARIANT.ini
"""
import sys


def host_of(body):
    if body[:1] in ("<", ">", "$"):
        body = body[1:]
    return body.split("/", 1)[0].lstrip(".")


lines = open(sys.argv[1]).read().split("\n")
hosts, patterns = set(), []
for line in lines:
    if not line.startswith("#@"):
        continue
    kind, body = line[2], line[3:]
    if kind == "U" and body.startswith("$"):
        patterns.append(body[1:])
    else:
        hosts.add(host_of(body))


def overridden(line):
    kind, body = line[0], line[1:]
    if any(p in body for p in patterns):
        return True
    host = host_of(body)
    if not host:
        return False
    return any(h == host or h.endswith("." + host) for h in hosts)


for line in lines:
    if line.startswith("#@"):
        continue
    rule = line[2:] if line.startswith("#3") else line
    if rule[:1] in ("A", "F", "U") and overridden(rule):
        continue
    print(line)
