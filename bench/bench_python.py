"""The Python module beside a dict of the same records, beside the previous commit's module, and
the endpoint beside the Prometheus client, all in one run.

    python3 bench/bench_python.py [BUILD_DIR] [--records 1000,100000,1000000]
                                  [--baseline DIR] [--scrape-records N]

With the previous commit's module beside this one (DIR: a build tree of that commit):

    git worktree add --detach /tmp/vesk-base HEAD~1
    cmake -S /tmp/vesk-base -B /tmp/vesk-base/build -DCMAKE_BUILD_TYPE=Release
    cmake --build /tmp/vesk-base/build -j2 --target vesk_python
    cmake --build build -j2 --target vesk vesk_python
    python3 bench/bench_python.py --baseline /tmp/vesk-base/build
    git worktree remove --force /tmp/vesk-base

Python module, at each size: a lookup t[k] of every key, get_many over every key in batches of
1000, the slot-order scan records() and the table-order iteration, then the first three on a
table opened with plain=True (records as plain tuples), in ns per key or record, against a dict
of the same records as named tuples (the peer: what a script would build from a dump), with the
ratio module/dict. Each module runs in a child interpreter of its own (the
baseline's with its tree's `python` directory on the import path), and the runs alternate
between them and the dict run by run; each figure is the median of 5 runs, in processor time
of the child (the machine may be shared: ratios within one run are what count). Endpoint: one
scrape of `vesk serve` with every record as series, against the Prometheus client library
rendering the same series from its own registry (generate_latest), median of 5 runs. The
tables are filled once by `vesk fill` in a private root under /dev/shm, removed at the end."""
import argparse
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

RUNS = int(os.environ.get("VESK_BENCH_RUNS", 5))  # runs per figure (the median is shown)
BATCH = 1000  # keys per get_many
OPS = ["lookup t[k] hit", "get_many (per key)", "records() (per record)",
       "iteration (per record)", "plain=True: t[k] hit", "plain=True: get_many",
       "plain=True: records()"]


def worker(module_dir, root, sizes):
    """A child interpreter: opens the tables with the vesk module in `module_dir` and makes the
    dicts of their records (in every worker, so that their heaps are alike), then, for each line
    "WHO OP SIZE" on stdin, runs OP once at that size with the module or the dict (WHO) and
    prints its processor time per key in ns."""
    sys.path.insert(0, os.path.join(module_dir, "python"))
    import vesk
    tables, plain, keys, dicts = {}, {}, {}, {}
    for n in sizes:
        t = tables[n] = vesk.open(f"t{n}", root=root)
        try:
            plain[n] = vesk.open(f"t{n}", root=root, plain=True)
        except TypeError:  # a module from before plain tables: those rows show nan
            plain[n] = None
        keys[n] = [(i * 7919) % n for i in range(n)]  # every key once, far from the last
        Record = collections.namedtuple("Record", t.fields)
        dicts[n] = {r.key: Record(*r) for r in t.records()}

    def lookup(t, ks):
        return [t[k] for k in ks]

    def get_many(get, ks):
        for i in range(0, len(ks), BATCH):
            get(ks[i:i + BATCH])

    def dict_get_many(d):
        return lambda batch: [d.get(k) for k in batch]

    runs = {
        "vesk": [lambda n: lookup(tables[n], keys[n]),
                 lambda n: get_many(tables[n].get_many, keys[n]),
                 lambda n: tables[n].records(),
                 lambda n: list(tables[n]),
                 lambda n: lookup(plain[n], keys[n]),
                 lambda n: get_many(plain[n].get_many, keys[n]),
                 lambda n: plain[n].records()],
        "dict": [lambda n: lookup(dicts[n], keys[n]),
                 lambda n: get_many(dict_get_many(dicts[n]), keys[n]),
                 lambda n: list(dicts[n].values()),
                 lambda n: list(dicts[n].values())] * 2,
    }
    print("ready", flush=True)
    for line in sys.stdin:
        who, op, n = line.split()
        run, n = runs[who][int(op)], int(n)
        if who == "vesk" and int(op) >= 4 and plain[n] is None:
            print("nan", flush=True)
            continue
        start = time.process_time_ns()
        run(n)
        print((time.process_time_ns() - start) / n, flush=True)


class Child:
    """A worker in a child interpreter, asked one run at a time."""

    def __init__(self, module_dir, root, sizes):
        args = [sys.executable, __file__, "--worker", module_dir, "--root", root,
                "--records", ",".join(map(str, sizes))]
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True)
        if self.proc.stdout.readline().strip() != "ready":
            sys.exit(f"bench_python: the worker for {module_dir} did not start")

    def run(self, who, op, n):
        self.proc.stdin.write(f"{who} {op} {n}\n")
        self.proc.stdin.flush()
        return float(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(60)


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


def module_table(args, root, sizes):
    """Every size's table, each op: the module, the dict and the baseline, alternating."""
    current = Child(args.build, root, sizes)
    base = Child(args.baseline, root, sizes) if args.baseline else None
    try:
        for n in sizes:
            print(f"\n{n} simple records: ns per key or record, processor time, median of {RUNS}")
            head = f"{'':26}{'vesk':>8}{'dict':>8}{'v/dict':>8}"
            print(head + (f"{'base':>8}{'b/dict':>8}{'v/base':>8}" if base else ""))
            for op, name in enumerate(OPS):
                times = collections.defaultdict(list)
                for _ in range(RUNS):
                    if base:
                        times["base"].append(base.run("vesk", op, n))
                    times["vesk"].append(current.run("vesk", op, n))
                    times["dict"].append(current.run("dict", op, n))
                v, d = (statistics.median(times[w]) for w in ("vesk", "dict"))
                line = f"{name:26}{v:8.0f}{d:8.0f}{v / d:8.2f}"
                if base:
                    b = statistics.median(times["base"])
                    line += f"{b:8.0f}{b / d:8.2f}{v / b:8.2f}"
                print(line, flush=True)
    finally:
        current.close()
        if base:
            base.close()


def median_ns(fn, per, runs=RUNS):
    times = []
    for _ in range(runs):
        start = time.perf_counter_ns()
        fn()
        times.append((time.perf_counter_ns() - start) / per)
    return statistics.median(times)


def scrape_table(args, root, tool, count):
    """`vesk serve` scraping the table of `count` records beside generate_latest."""
    try:
        from prometheus_client import CollectorRegistry, Counter, generate_latest
    except ImportError:
        print("\nscrape: skipped (no prometheus_client for this interpreter)")
        return
    sys.path.insert(0, os.path.join(args.build, "python"))
    import vesk
    server = subprocess.Popen([tool, "serve", "--root", root, "--listen", "127.0.0.1:0",
                               "--max-series", str(2 * count + 100)], stdout=subprocess.PIPE,
                              text=True)
    try:
        if not select.select([server.stdout], [], [], 30)[0]:
            sys.exit("bench_python: vesk serve printed no address within 30 s")
        url = server.stdout.readline().split()[-1]
        registry = CollectorRegistry()
        packets = Counter("vesk_packets", "packets", ["table", "key"], registry=registry)
        octets = Counter("vesk_octets", "octets", ["table", "key"], registry=registry)
        for r in vesk.open(f"t{count}", root=root).records():
            packets.labels("t", str(r.key)).inc(r.packets)
            octets.labels("t", str(r.key)).inc(r.octets)
        scrape = lambda: urllib.request.urlopen(url, timeout=60).read()  # noqa: E731
        print(f"\nscrape of {2 * count} series, ms (median of {RUNS})")
        print(f"  vesk serve (read the table, render, HTTP)    {median_ns(scrape, 1e6):8.1f}")
        print(f"  prometheus_client generate_latest (render)   "
              f"{median_ns(lambda: generate_latest(registry), 1e6):8.1f}")
    finally:
        server.send_signal(signal.SIGTERM)
        try:
            server.wait(30)
        except subprocess.TimeoutExpired:
            server.kill()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("build", nargs="?", default="build", help="build tree (default: build)")
    p.add_argument("--records", default="1000,100000,1000000", help="table sizes")
    p.add_argument("--baseline", help="build tree of the module to compare with")
    p.add_argument("--scrape-records", type=int, default=100000,
                   help="records of the scraped table (0: no scrape)")
    p.add_argument("--worker", help=argparse.SUPPRESS)
    p.add_argument("--root", help=argparse.SUPPRESS)
    args = p.parse_args()
    sizes = [int(n) for n in args.records.split(",")]
    if args.worker:
        return worker(args.worker, args.root, sizes)

    tool = os.path.join(args.build, "tools", "vesk")
    root = tempfile.mkdtemp(prefix="vesk-bench-py-", dir="/dev/shm")
    watch = remove_with_the_run(root)  # noqa: F841 (closes with this process)
    signal.signal(signal.SIGTERM, stop)
    try:
        filled = sorted(set(sizes + ([args.scrape_records] if args.scrape_records else [])))
        for n in filled:
            subprocess.run([tool, "fill", f"t{n}", "--type", "simple", "--count", str(n),
                            "--root", root], check=True, capture_output=True, timeout=600)
        print(f"bench_python: module {args.build}" +
              (f", baseline {args.baseline}" if args.baseline else "") +
              f"; load averages {' '.join(f'{a:.2f}' for a in os.getloadavg())}")
        module_table(args, root, sizes)
        if args.scrape_records:
            scrape_table(args, root, tool, args.scrape_records)
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
