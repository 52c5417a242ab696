#!/usr/bin/env python3
"""Counts the random uploads that reach the origin whole through Vellomar.

Starts an origin on a free loopback port that answers each POST with the
SHA-256 of the body it received, and the given vellomar program on a machine
folder of its own (127.0.0.1:8000 must be free: run it in a network namespace
of its own, e.g. `unshare -n sh -c 'ip link set lo up; bench/upload_check.py
build/bin/vellomar'`). Then POSTs COUNT random bodies of SIZE bytes through the
proxy, one connection each, and prints how many arrived whole.

Usage: bench/upload_check.py VELLOMAR [COUNT=50] [SIZE=8388608]
"""
import hashlib
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time


def origin_server(listener):
    def serve(conn):
        try:
            answer_one(conn)
        except OSError:  # the proxy gave up on this upload
            pass

    def answer_one(conn):
        with conn:
            data = b""
            while b"\r\n\r\n" not in data:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                data += chunk
            head, body = data.split(b"\r\n\r\n", 1)
            length = 0
            for line in head.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value)
            digest = hashlib.sha256(body)
            received = len(body)
            while received < length:
                chunk = conn.recv(min(1 << 20, length - received))
                if not chunk:
                    break
                digest.update(chunk)
                received += len(chunk)
            answer = digest.hexdigest().encode() if received == length else b"short"
            conn.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: %d\r\n\r\n%s"
                         % (len(answer), answer))

    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


def upload(port, body):
    try:
        return send_upload(port, body)
    except OSError:  # the proxy ended the connection early
        return ""


def send_upload(port, body):
    with socket.create_connection(("127.0.0.1", 8000), timeout=60) as s:
        head = (b"POST http://127.0.0.1:%d/up HTTP/1.1\r\nHost: x\r\n"
                b"Content-Type: application/octet-stream\r\nContent-Length: %d\r\n\r\n"
                % (port, len(body)))
        s.sendall(head + body)
        reply = b""
        while True:
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                break
            reply += chunk
            if b"\r\n\r\n" in reply and len(reply.split(b"\r\n\r\n", 1)[1]) >= 64:
                break
    return reply.split(b"\r\n\r\n", 1)[-1][:64].decode(errors="replace")


def main():
    vellomar = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    size = int(sys.argv[3]) if len(sys.argv) > 3 else 8 << 20
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    port = listener.getsockname()[1]
    threading.Thread(target=origin_server, args=(listener,), daemon=True).start()
    with tempfile.TemporaryDirectory(prefix="vellomar-upload-") as work:
        install = os.path.join(work, "drive_c", "Program Files", "Vellomar")
        os.makedirs(install)
        with open(os.path.join(install, "vellomar.ini"), "w") as f:
            f.write("Aads.blocked.test\n")
        env = dict(os.environ, VELLOMAR_PREFIX=work,
                   VELLOMAR_MSGBOX_LOG=os.path.join(work, "boxes.log"))
        proxy = subprocess.Popen([vellomar], env=env)
        try:
            for _ in range(100):
                try:
                    socket.create_connection(("127.0.0.1", 8000), timeout=1).close()
                    break
                except OSError:
                    time.sleep(0.1)
            whole = 0
            started = time.monotonic()
            for _ in range(count):
                body = os.urandom(size)
                if upload(port, body) == hashlib.sha256(body).hexdigest():
                    whole += 1
            elapsed = time.monotonic() - started
            print(f"{whole} of {count} uploads of {size} random bytes arrived whole "
                  f"({elapsed:.1f} s)")
        finally:
            proxy.terminate()
            proxy.wait()
    return 0 if whole == count else 1


if __name__ == "__main__":
    sys.exit(main())
