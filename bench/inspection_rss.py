"""Helpers of bench/inspection_rss.sh: a TLS origin that answers every
request on a connection, and the clients that open idle connections through
Vellomar and report its resident set size."""
import asyncio
import socket
import ssl
import sys
import time


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


async def serve(reader, writer):
    try:
        while True:
            head = await reader.readuntil(b"\r\n\r\n")
            if not head:
                break
            body = b"hello"
            writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n" + body)
            await writer.drain()
    except Exception:
        pass
    writer.close()


async def origin(certificate, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    server = await asyncio.start_server(serve, "127.0.0.1", 443, ssl=context, backlog=256)
    async with server:
        await server.serve_forever()


def connect(authority, inspected):
    raw = socket.create_connection(("127.0.0.1", 8000))
    raw.sendall(b"CONNECT localhost:443 HTTP/1.1\r\nHost: localhost:443\r\n\r\n")
    reply = b""
    while b"\n\n" not in reply and b"\r\n\r\n" not in reply:
        chunk = raw.recv(1)
        if not chunk:
            raise RuntimeError("the proxy closed the connection")
        reply += chunk
    context = ssl.create_default_context(cafile=authority)
    tls = context.wrap_socket(raw, server_hostname="localhost")
    tls.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n")
    answer = b""
    while not answer.endswith(b"hello"):
        answer += tls.recv(4096)
    return tls


def clients(pid, count, vellomar_ca, test_ca, label):
    pid, count = int(pid), int(count)
    inspected = label == "inspected"
    time.sleep(0.5)
    before = rss_kib(pid)
    held = [connect(vellomar_ca if inspected else test_ca, inspected) for _ in range(count)]
    time.sleep(1.0)
    after = rss_kib(pid)
    print(f"{label}: RSS {before} KiB before, {after} KiB with {count} idle connections "
          f"({(after - before) / count:.1f} KiB each)")
    for connection in held:
        connection.close()


if __name__ == "__main__":
    if sys.argv[1] == "origin":
        asyncio.run(origin(sys.argv[2], sys.argv[3]))
    else:
        clients(*sys.argv[2:])
