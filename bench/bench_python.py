"""The Python module and the endpoint, side by side with peers in the same run.

    python3 bench/bench_python.py [BUILD_DIR] [RECORDS]     (default build, 100000)

Python module: a lookup, a batched lookup (get_many of 1000 keys), the slot-order scan
(records()) and the table-order iteration, per record, against a dict of the same records as
named tuples (the peer: what a script would build from a dump). Endpoint: one scrape of
`vesk serve` with every record as series, against the Prometheus client library rendering
the same series from its own registry (generate_latest). Median of 5 runs each; the table is
filled once by `vesk fill` in a private root under /dev/shm and removed at the end."""
import collections
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

build = sys.argv[1] if len(sys.argv) > 1 else "build"
count = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
sys.path.insert(0, os.path.join(build, "python"))
import vesk  # noqa: E402
from prometheus_client import CollectorRegistry, Counter, generate_latest  # noqa: E402

tool = os.path.join(build, "tools", "vesk")
root = tempfile.mkdtemp(prefix="vesk-bench-py-", dir="/dev/shm")
server = None


def remove_with_the_run(path):
    """Removes `path` however the run ends: a watcher process (in a session of its own, out of
    reach of the terminal's Ctrl-C) waits until the write end of its pipe, held by this process
    alone, closes with it, then removes the directory."""
    r, w = os.pipe()
    if os.fork() == 0:
        os.setsid()
        os.close(w)
        while os.read(r, 1):
            pass
        shutil.rmtree(path, ignore_errors=True)
        os._exit(0)
    os.close(r)
    return w


def stop(signum, frame):
    sys.exit(128 + signum)  # through the finally below


watch = remove_with_the_run(root)
signal.signal(signal.SIGTERM, stop)


def median_ns(fn, per, runs=5):
    times = []
    for _ in range(runs):
        start = time.perf_counter_ns()
        fn()
        times.append((time.perf_counter_ns() - start) / per)
    return statistics.median(times)


try:
    subprocess.run([tool, "fill", "t", "--type", "simple", "--count", str(count), "--root", root],
                   check=True, capture_output=True, timeout=300)
    t = vesk.open("t", root=root)
    Record = collections.namedtuple("Record", t.fields)
    peer = {r.key: Record(*r) for r in t.records()}
    keys = [(i * 7919) % count for i in range(count)]
    batch = keys[:1000]
    print(f"{count} simple records; ns per record (median of 5)")
    print(f"{'':28}{'vesk':>10}{'dict':>10}")
    rows = [
        ("lookup t[k]", lambda: [t[k] for k in keys], lambda: [peer[k] for k in keys], count),
        ("get_many, 1000 keys", lambda: t.get_many(batch), lambda: [peer.get(k) for k in batch],
         len(batch)),
        ("records() (scan)", t.records, lambda: list(peer.values()), count),
        ("iteration (table order)", lambda: list(t), lambda: list(peer.values()), count),
    ]
    for name, ours, theirs, per in rows:
        print(f"{name:28}{median_ns(ours, per):10.0f}{median_ns(theirs, per):10.0f}")

    server = subprocess.Popen([tool, "serve", "--root", root, "--listen", "127.0.0.1:0",
                               "--max-series", str(2 * count)], stdout=subprocess.PIPE, text=True)
    if not select.select([server.stdout], [], [], 30)[0]:
        sys.exit("bench_python: vesk serve printed no address within 30 s")
    url = server.stdout.readline().split()[-1]
    registry = CollectorRegistry()
    packets = Counter("vesk_packets", "packets", ["table", "key"], registry=registry)
    octets = Counter("vesk_octets", "octets", ["table", "key"], registry=registry)
    for r in peer.values():
        packets.labels("t", str(r.key)).inc(r.packets)
        octets.labels("t", str(r.key)).inc(r.octets)
    scrape = lambda: urllib.request.urlopen(url, timeout=60).read()  # noqa: E731
    print(f"\nscrape of {2 * count} series, ms (median of 5)")
    print(f"  vesk serve (read the table, render, HTTP)    {median_ns(scrape, 1e6):8.1f}")
    print(f"  prometheus_client generate_latest (render)   "
          f"{median_ns(lambda: generate_latest(registry), 1e6):8.1f}")
finally:
    if server is not None:
        server.send_signal(signal.SIGTERM)
        try:
            server.wait(30)
        except subprocess.TimeoutExpired:
            server.kill()
    shutil.rmtree(root)
