"""`vesk serve` beside hostile HTTP clients: how long one well-behaved scrape takes while each
kind of hostile client is at work, and the server's resident size before and after a header
bomb.

    python3 bench/bench_serve_hostile.py [VESK] [RECORDS]      (default build/tools/vesk, 20000)

Each case starts a fresh server on a root filled once (one `simple` table of RECORDS records),
sets the hostile clients going, then times a scrape from a separate connection (the first and
the slowest of 3 in a row, each given at most 60 s: "> 60 s" when it was not answered by then).
Hostile clients:
  slow sender     10 connections sending a request's headers one byte a second, never ending
  silent          40 connections that send nothing
  many            400 connections holding a request line without its end
  header bomb     one request of 1,000,000 headers of 6 bytes (VmRSS before and after)
  slow reader     8 scrapes whose answers are never read (receive buffer 4 KiB)
  connect flood   2 threads opening connections as fast as they can, each sending half a
                  request line (the last 400 held open)"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

vesk = sys.argv[1] if len(sys.argv) > 1 else "build/tools/vesk"
records = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
root = tempfile.mkdtemp(prefix="vesk-bench-serve-", dir="/dev/shm")
subprocess.run([vesk, "fill", "t", "--type", "simple", "--count", str(records), "--root", root],
               check=True, capture_output=True)
held = []  # sockets of the hostile clients, closed after each case
stop = threading.Event()


def rss(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) // 1024
    return 0


def connect(port, rcvbuf=0):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(60)
    s.connect(("127.0.0.1", port))
    held.append(s)
    return s


def slow_sender(port):
    socks = [connect(port) for _ in range(10)]
    for s in socks:
        s.sendall(b"GET /metrics HTTP/1.1\r\n")

    def drip():
        while not stop.wait(1):
            for s in socks:
                try:
                    s.send(b"X")
                except OSError:
                    pass
    threading.Thread(target=drip, daemon=True).start()


def silent(port):
    for _ in range(40):
        connect(port)


def many(port):
    for _ in range(400):
        try:
            connect(port).sendall(b"GET /metrics HTTP/1.1")
        except OSError:
            break


def header_bomb(port):
    s = connect(port)
    try:
        s.sendall(b"GET / HTTP/1.1\r\n" + b"a: b\r\n" * 1000000 + b"\r\n")
        s.recv(100)
    except OSError:
        pass


def slow_reader(port):
    for _ in range(8):
        connect(port, rcvbuf=4096).sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")


def connect_flood(port):
    def flood():
        mine = []
        while not stop.is_set():
            try:
                s = socket.create_connection(("127.0.0.1", port), timeout=5)
                s.send(b"GET /metrics HTTP/1.1")
                mine.append(s)
            except OSError:
                pass
            if len(mine) > 200:
                mine.pop(0).close()
        for s in mine:
            s.close()
    for _ in range(2):
        threading.Thread(target=flood, daemon=True).start()
    time.sleep(1)


def timed_scrape(url):
    start = time.monotonic()
    try:
        with urllib.request.urlopen(url, timeout=60) as r:
            r.read()
        return time.monotonic() - start
    except OSError:
        return float("inf")


def run(name, hostile):
    server = subprocess.Popen([vesk, "serve", "--root", root, "--listen", "127.0.0.1:0"],
                              stdout=subprocess.PIPE, text=True)
    url = server.stdout.readline().split()[-1]
    port = int(url.split(":")[2].split("/")[0])
    timed_scrape(url)
    before = rss(server.pid)
    stop.clear()
    if hostile:
        hostile(port)
    times = [timed_scrape(url) for _ in range(3)]
    after = rss(server.pid)
    stop.set()
    for s in held:
        s.close()
    held.clear()
    server.send_signal(signal.SIGTERM)
    try:
        server.wait(timeout=60)
    except subprocess.TimeoutExpired:
        server.kill()
    shown = ["> 60 s" if t == float("inf") else f"{t * 1000:.1f} ms" for t in (times[0], max(times))]
    print(f"{name:14} scrape {shown[0]:>10} (slowest {shown[1]:>10})   VmRSS {before} MB -> {after} MB",
          flush=True)


for name, hostile in [("alone", None), ("slow sender", slow_sender), ("silent", silent),
                      ("many", many), ("header bomb", header_bomb), ("slow reader", slow_reader),
                      ("connect flood", connect_flood)]:
    run(name, hostile)
shutil.rmtree(root)
