#!/usr/bin/env python3
"""Replays judged requests through the running Vellomar on 127.0.0.1:8000.

Reads the reference's verdicts (reference.mjs) on stdin. A plain-HTTP
request goes as GET with its absolute address and, for requests a page made,
the page as Referer, and the Accept header a browser sends for its type
(Firefox's; Chromium's differ only in the list after the first type); an
HTTPS one as CONNECT host:443. Vellomar blocked it
when it answers with its blocked image or its blocked-tunnel page. Prints
the shares the measurement asks for (for HTTPS: of the requests the
reference blocks by a rule on the host alone, the only ones a tunnel can be
judged by), and the disagreements with the reference's rule.
"""
import json
import socket
import sys
from urllib.parse import urlsplit

BLOCKED_IMAGE = b"Server: Vellomar\r\n"
BLOCKED_TUNNEL = b"<!--Vellomar thinks this is an Ad-->"

# The Accept header of a browser's request by its type; scripts, XHR/fetch,
# pings, fonts (in Chromium), media (in Chromium) and others send "*/*".
DOCUMENT_ACCEPT = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"
ACCEPT = {
    "main_frame": DOCUMENT_ACCEPT,
    "document": DOCUMENT_ACCEPT,
    "sub_frame": DOCUMENT_ACCEPT,
    "subdocument": DOCUMENT_ACCEPT,
    "image": "image/avif,image/webp,image/png,image/svg+xml,image/*;q=0.8,*/*;q=0.5",
    "stylesheet": "text/css,*/*;q=0.1",
}


def ask(request):
    with socket.create_connection(("127.0.0.1", 8000), timeout=10) as s:
        s.sendall(request)
        data = b""
        try:
            while len(data) < 4096:
                piece = s.recv(4096)
                if not piece:
                    break
                data += piece
                if BLOCKED_IMAGE in data or BLOCKED_TUNNEL in data or b"\r\n\r\n" in data:
                    break
        except socket.timeout:
            pass
    return BLOCKED_IMAGE in data or BLOCKED_TUNNEL in data


def main():
    # ref-blocked, both, ref-pass, false; for https also host-only ones, both
    stats = {"http": [0, 0, 0, 0], "https": [0, 0, 0, 0]}
    host_only = [0, 0]
    disagreements = []
    for line in sys.stdin:
        r = json.loads(line)
        parts = urlsplit(r["url"])
        host = parts.hostname
        if parts.scheme == "http":
            target = r["url"] if parts.path else r["url"] + "/"
            headers = "Host: %s\r\nAccept: %s\r\n" % (host, ACCEPT.get(r["type"], "*/*"))
            if r["type"] not in ("main_frame", "document") and r["sourceUrl"]:
                headers += "Referer: %s\r\n" % r["sourceUrl"]
            request = "GET %s HTTP/1.1\r\n%s\r\n" % (target, headers)
        else:
            request = "CONNECT %s:443 HTTP/1.1\r\nHost: %s:443\r\n\r\n" % (host, host)
        blocked = ask(request.encode())
        s = stats[parts.scheme]
        if r["blocked"]:
            s[0] += 1
            s[1] += blocked
            if parts.scheme == "https" and r.get("hostOnly"):
                host_only[0] += 1
                host_only[1] += blocked
        else:
            s[2] += 1
            s[3] += blocked
        if blocked != r["blocked"]:
            disagreements.append((parts.scheme, r["blocked"], blocked, r["url"], r["sourceUrl"],
                                  r.get("filter")))
    for scheme, (ref_blocked, both, ref_pass, false) in stats.items():
        print("%s: reference blocks %d, Vellomar blocks %d of them (%.1f %%); reference passes "
              "%d, Vellomar blocks %d of them (%.1f %%)" % (
                  scheme, ref_blocked, both, 100.0 * both / max(ref_blocked, 1), ref_pass, false,
                  100.0 * false / max(ref_pass, 1)))
    print("https, decided by a rule on the host alone: reference blocks %d, Vellomar blocks %d "
          "of them (%.1f %%)" % (host_only[0], host_only[1],
                                 100.0 * host_only[1] / max(host_only[0], 1)))
    for d in disagreements:
        print("  %s reference=%s vellomar=%s %s (page %s) rule %s" % d)


if __name__ == "__main__":
    main()
