"""`vesk serve` beside real writers: what a Prometheus server would ingest (promtool and the
client library's parsers), values against `vesk dump --json`, limits, and hostile clients."""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.request

import pytest
from prometheus_client.openmetrics.parser import text_string_to_metric_families as parse_om
from prometheus_client.parser import text_string_to_metric_families as parse_text

VESK = os.environ["VESK_TOOL"]
DEADLINE = 10  # seconds: a bound for a well-behaved scrape beside hostile clients


@pytest.fixture
def root():
    path = tempfile.mkdtemp(prefix="vesk-serve-", dir="/dev/shm")
    yield path
    shutil.rmtree(path)


@pytest.fixture
def procs():
    started = []
    yield started
    for p in started:
        p.send_signal(signal.SIGTERM)
    assert [p.wait(timeout=30) for p in started] == [0] * len(started)  # clean ends, no leaks


def vesk(root, *args, check=True):
    return subprocess.run([VESK, *args, "--root", root], capture_output=True, text=True,
                          check=check, timeout=60)


def serve(procs, root, *args):
    p = subprocess.Popen([VESK, "serve", "--root", root, "--listen", "127.0.0.1:0", *args],
                         stdout=subprocess.PIPE, text=True)
    procs.append(p)
    return p.stdout.readline().split()[-1]  # vesk serve: http://127.0.0.1:PORT/metrics


def scrape(url, openmetrics=False, timeout=30):
    accept = {"Accept": "application/openmetrics-text; version=1.0.0"} if openmetrics else {}
    with urllib.request.urlopen(urllib.request.Request(url, headers=accept), timeout=timeout) as r:
        return r.headers["Content-Type"], r.read().decode()


def samples(text, openmetrics=False):
    """{(sample name, sorted labels): value} of a scrape, as the client library parses it."""
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for f in (parse_om if openmetrics else parse_text)(text) for s in f.samples}


def family(field, kind):
    return "vesk_" + field.lower().replace("bits", "bitmap") + ("_total" if kind == "counter" else "")


def dump(root, table):
    return [json.loads(line) for line in vesk(root, "dump", table, "--json").stdout.splitlines()]


def fill(root, table, kind, count, *more):
    vesk(root, "fill", table, "--type", kind, "--count", str(count), *more)


def test_scrape_is_ingestible_and_agrees_with_dump(root, procs):
    tables = {"p1": ("simple", 50), "n": ("normal", 20), "b/m": ("bitmap64", 10), "w": ("wide", 3),
              'odd"\\name': ("simple", 2)}  # a label value to escape
    for name, (kind, count) in tables.items():
        fill(root, name, kind, count)
    os.mkdir(os.path.join(root, "junk"))
    open(os.path.join(root, "junk", "slots"), "w").write("not a slot file")
    url = serve(procs, root)

    ctype, text = scrape(url)
    assert ctype.startswith("text/plain; version=0.0.4")
    lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                          text=True)
    assert lint.returncode == 0, lint.stderr  # every record type, lint remarks included
    ctype, om = scrape(url, openmetrics=True)
    assert ctype.startswith("application/openmetrics-text; version=1.0.0") and om.endswith("# EOF\n")
    got, got_om = samples(text), samples(om, True)
    records = {k: v for k, v in got.items() if "key" in dict(k[1])}
    assert records == {k: v for k, v in got_om.items() if k in records}

    expected = {}
    for name, (kind, count) in tables.items():
        rows = dump(root, name)
        assert len(rows) == count
        for row in rows:
            for field, value in row.items():
                if field != "key":
                    metric = family(field, "gauge" if field == "bits" else "counter")
                    expected[(metric, (("key", str(row["key"])), ("table", name)))] = value
        assert got[("vesk_table_records", (("table", name),))] == count
        assert got[("vesk_table_up", (("table", name),))] == 1
        assert got[("vesk_table_writer_alive", (("table", name),))] == 0
    assert records == expected
    assert got[("vesk_table_up", (("table", "junk"),))] == 0
    assert got[("vesk_table_failure", (("reason", "not a table"), ("table", "junk")))] == 1

    # Between scrapes a table goes, one comes, and one is made anew under its old name.
    shutil.rmtree(os.path.join(root, "n"))
    shutil.rmtree(os.path.join(root, "w"))
    fill(root, "w", "wide", 4)
    fill(root, "new", "simple", 2)
    info = lambda s: {dict(k[1])["table"]: dict(k[1])["generation"]
                      for k in s if k[0] == "vesk_table_info"}
    again = samples(scrape(url)[1])
    assert sorted(info(again)) == ["b/m", "new", 'odd"\\name', "p1", "w"]
    assert info(again)["w"] != info(got)["w"] and info(again)["p1"] == info(got)["p1"]
    assert again[("vesk_table_records", (("table", "w"),))] == 4


def test_a_live_writer_under_concurrent_scrapes(root, procs):
    procs.append(subprocess.Popen([VESK, "fill", "live", "--type", "simple", "--count", "200",
                                   "--updates-per-sec", "20000", "--root", root]))
    url = serve(procs, root)
    deadline = time.monotonic() + 30
    # Up and filled: the writer makes its files before it writes its 200 keys.
    while sum(k[0] == "vesk_packets_total" for k in samples(scrape(url)[1])) != 200:
        assert time.monotonic() < deadline, "the live table never came up with its 200 keys"
    results, errors = [], []

    def scraper():
        try:
            for _ in range(5):
                results.append(samples(scrape(url)[1]))
        except Exception as e:  # noqa: BLE001 (reported below)
            errors.append(e)

    threads = [threading.Thread(target=scraper) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and len(results) == 20
    later = {row["key"]: row["packets"] for row in dump(root, "live")}
    for s in results:
        packets = {int(dict(k[1])["key"]): v for k, v in s.items() if k[0] == "vesk_packets_total"}
        octets = {int(dict(k[1])["key"]): v for k, v in s.items() if k[0] == "vesk_octets_total"}
        assert sorted(packets) == list(range(200))
        for key, p in packets.items():  # whole records, never ahead of a later dump
            assert octets[key] == p * (64 + (37 * key) % 1437)
            assert p <= later[key]


@pytest.mark.parametrize("args,served,dropped", [
    (["--max-series", "60"], {"b/m": "rows", "n": "rows", "p1": "sums"}, 100),
    (["--max-series", "0"], {"b/m": "sums", "n": "sums", "p1": "sums"}, 150),
    (["--tables", "[bp]*"], {"b/m": "rows", "p1": "rows"}, 0),
])
def test_limits(root, procs, args, served, dropped):
    for name, kind, count in [("p1", "simple", 50), ("n", "normal", 20), ("b/m", "bitmap64", 10)]:
        fill(root, name, kind, count)
    got = samples(scrape(serve(procs, root, *args))[1])
    assert got[("vesk_series_dropped", ())] == dropped
    assert {dict(k[1])["table"] for k in got if k[0] == "vesk_table_up"} == set(served)
    for name, how in served.items():
        rows = {k for k in got if k[0].startswith("vesk_") and ("table", name) in k[1]
                and ("key", "0") in k[1]}
        assert bool(rows) == (how == "rows"), name
    if served.get("p1") == "sums":
        total = sum(row["packets"] for row in dump(root, "p1"))
        assert got[("vesk_table_field_aggregate", (("field", "packets"), ("table", "p1")))] == total


def connect(port, send, clients):
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    s.sendall(send)
    clients.append(s)
    return s


def statuses(port, request, half_close=False):
    """The status codes of the answers to `request`, on a connection of its own."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(request)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        got = b"".join(iter(lambda: s.recv(65536), b""))
    return re.findall(rb"HTTP/1.1 (\d+) ", got)


def slow_senders(port, clients):  # a byte a second each, for ever
    socks = [connect(port, b"GET /metrics HTTP/1.1\r\n", clients) for _ in range(10)]

    def drip():
        while all(s.fileno() >= 0 for s in socks):
            for s in socks:
                try:
                    s.send(b"X")
                except OSError:
                    pass
            time.sleep(1)
    threading.Thread(target=drip, daemon=True).start()


def silent(port, clients):
    for _ in range(40):
        connect(port, b"", clients)


def many(port, clients):
    for _ in range(300):
        connect(port, b"GET /metrics HTTP/1.1", clients)


def header_bomb(port, clients):
    try:
        connect(port, b"GET / HTTP/1.1\r\n" + b"a: b\r\n" * 1000000 + b"\r\n", clients).recv(9)
    except OSError:
        pass  # answered before the bomb was all sent


def unread_answers(port, clients):  # pipelined scrapes whose answers are never read
    for _ in range(24):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", port))
        s.send(b"GET /metrics HTTP/1.1\r\n\r\n" * 200)
        clients.append(s)


def odd_requests(port, clients):
    assert statuses(port, b"GET /metrics HTTP/1.0\r\n\r\n", half_close=True) == [b"200"]
    for request, expected in [
        (b"GET /met\0rics HTTP/1.1\r\n\r\n", [b"400"]),
        (b"GET /" + b"a" * 9000 + b" HTTP/1.1\r\n\r\n", [b"414"]),
        (b"GET / HTTP/1.1\r\n" + b"a: b\r\n" * 101 + b"\r\n", [b"431"]),
        (b"GET / HTTP/2.0\r\n\r\n", [b"505"]),
        (b"DELETE /metrics HTTP/1.1\r\n\r\n", [b"405"]),
        (b"GET /nowhere HTTP/1.1\r\n\r\n", [b"404"]),
        (b"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", [b"400"]),
        (b"GET / HTTP/1.1\r\nBad Name: x\r\n\r\n", [b"400"]),
        (b"GET / HTTP/1.1\r\n\r\nNONSENSE\r\n\r\n", [b"200", b"400"]),  # pipelined
    ]:
        assert statuses(port, request) == expected, request[:40]


def rss_mb(pid):
    status = open(f"/proc/{pid}/status").read()
    return int(status.split("VmRSS:")[1].split()[0]) / 1024


@pytest.mark.parametrize("hostile", [slow_senders, silent, many, header_bomb, unread_answers,
                                     odd_requests], ids=lambda f: f.__name__)
def test_hostile_clients_beside_a_scrape(root, procs, hostile):
    fill(root, "t", "simple", 3)
    url = serve(procs, root)
    scrape(url)
    before = rss_mb(procs[-1].pid)
    clients = []
    try:
        hostile(int(url.split(":")[2].split("/")[0]), clients)
        assert ("vesk_table_up", (("table", "t"),)) in samples(scrape(url, timeout=DEADLINE)[1])
        assert rss_mb(procs[-1].pid) < 2 * before + 16, before  # a bound, whatever they sent
    finally:
        for s in clients:
            s.close()


def test_a_taken_port_an_exposed_address_and_a_later_root(root, procs):
    url = serve(procs, root)
    taken = vesk(root, "serve", "--listen", url.split("/")[2], check=False)
    assert taken.returncode == 2 and "cannot listen on 127.0.0.1:" in taken.stderr
    exposed = subprocess.Popen([VESK, "serve", "--root", root, "--listen", "0.0.0.0:0"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    exposed.stdout.readline()
    exposed.send_signal(signal.SIGTERM)
    assert exposed.wait(timeout=30) == 0 and "warning: 0.0.0.0:" in exposed.stderr.read()
    later = os.path.join(root, "later")  # a root no writer made yet
    url = serve(procs, later)
    assert samples(scrape(url)[1])[("vesk_root_up", ())] == 0
    fill(later, "t", "simple", 1)
    assert samples(scrape(url)[1])[("vesk_tables", ())] == 1
