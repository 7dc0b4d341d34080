"""The vesk module against live `vesk fill` writers (VESK_TOOL names the tool), under private
roots. A writer's readiness is its "ready" line, awaited with a bounded deadline."""
import gc
import os
import pathlib
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import pytest
import vesk

COUNT = 200
TICK = 0.05  # more than one tick of the coarse clock (1 to 10 ms)


def start_fill(root, table, *args, kind="simple", count=COUNT):
    """A `vesk fill` writer of `table`, once it said that the table is ready."""
    writer = subprocess.Popen([os.environ["VESK_TOOL"], "fill", table, "--root", root, "--type",
                               kind, "--count", str(count), *args], stdout=subprocess.PIPE, text=True)
    ready = select.select([writer.stdout], [], [], 60)[0]
    line = writer.stdout.readline() if ready else "no ready line within 60 s"
    assert "ready" in line, f"vesk fill {table}: {line}"
    return writer


def fill(root, table, *args, **kw):
    """A table whose writer filled it and stopped: its records stay as they are."""
    assert start_fill(root, table, *args, **kw).wait(60) == 0


@pytest.fixture(scope="module")
def root():
    root = tempfile.mkdtemp(dir="/dev/shm", prefix="vesk-py-")
    os.chmod(root, 0o755)  # another user reaches a table directory, to be refused there
    yield root
    shutil.rmtree(root)


@pytest.fixture(scope="module")
def writer(root):
    writer = start_fill(root, "live/simple", "--updates-per-sec", "20000")
    yield writer
    writer.send_signal(signal.SIGTERM)
    assert writer.wait(60) == 0


@pytest.fixture
def table(root, writer):
    return vesk.open("live/simple", root=root)


def check_simple(r):
    """The writer's self-check (tools/RecordKinds.h): a torn copy fails it."""
    k = r.key
    assert r.packets >= k % 100 and (r.packets - k % 100) % (1 + k % 16) == 0, r
    assert r.octets == r.packets * (64 + (37 * k) % 1437), r


def test_open_finds_type_and_stat(table, writer, root):
    assert (table.name, table.type, table.fields) == ("live/simple", "simple",
                                                      ["key", "packets", "octets"])
    assert len(table) == COUNT and "'live/simple'" in repr(table) and table[1]
    s = table.stat()
    assert (s["name"], s["type"], s["records"], s["writer_pid"], s["writer_alive"]) == (
        "live/simple", "simple", COUNT, writer.pid, True)
    assert s["capacity"] >= COUNT and s["buckets"] > 0 and s["lookups"] == 1
    assert s["directory"] == os.path.join(root, "live/simple") and s["generation"] != "0:0"
    assert {"retries", "remap_retries", "generation_changes", "scans"} <= s.keys()


def test_walks_yield_every_key_once_with_checked_values(table):
    for walk in (list(table), table.records()):
        assert sorted(r.key for r in walk) == list(range(COUNT))
        for r in walk:
            check_simple(r)
    assert table.stat()["scans"] == 1  # records() reads by the slot-order scan


def test_values_move_forward(table):
    before = {r.key: r.packets for r in table.records()}
    for _ in range(10**7):  # bounded: the writer updates every key about 100 times a second
        if table[5].packets > before[5]:
            break
    assert table[5].packets > before[5]
    assert all(r.packets >= before[r.key] for r in table.records())


def test_lookup(table):
    check_simple(table[7])
    assert table[7].key == 7 and 7 in table and COUNT not in table and 2**64 - 1 not in table
    with pytest.raises(KeyError) as missing:
        table[COUNT]
    assert missing.value.args == (COUNT,)
    for key, error in [(-1, OverflowError), (2**64, OverflowError), ("7", TypeError)]:
        with pytest.raises(error, match="key"):
            table[key]
    with pytest.raises(TypeError, match="not made by vesk"):
        vesk.Table.__new__(vesk.Table)[7]  # no reader behind it


def test_get_many_equals_single_lookups(root):
    fill(root, "still", count=50)
    t = vesk.open("still", root=root)
    keys = [3, 50, 0, 2**64 - 1, 49, 3]
    assert t.get_many(keys) == [t[k] if k in t else None for k in keys]
    assert [r and r.key for r in t.get_many(keys)] == [3, None, 0, None, 49, 3]
    assert t.get_many(keys=(k for k in keys)) == t.get_many(keys)
    for args, kw in [((), {}), ((keys, keys), {}), ((5,), {}), ((), {"key": keys})]:
        with pytest.raises(TypeError):
            t.get_many(*args, **kw)


def test_plain_tables_answer_the_named_records_as_tuples(root):
    fill(root, "plain", count=50)
    named, plain = (vesk.open("plain", root=root, plain=p) for p in (False, True))
    keys = [3, 50, 0, 49]
    answers = [(named[3], plain[3]), (named.get_many(keys), plain.get_many(keys)),
               (sorted(named.records()), sorted(plain.records())), (list(named), list(plain))]
    for n, p in answers:
        n, p = (n, p) if isinstance(p, list) else ([n], [p])
        assert [r and tuple(r) for r in n] == p
        assert {type(r) for r in p} <= {tuple, type(None)} and type(n[0]).__name__ == "SimpleRecord"
    assert len(plain.records()) == 50 and plain.fields == named.fields
    with pytest.raises(TypeError):
        vesk.open("plain", root, True)  # plain is by name only


def flip_checksum(root, name):
    slots = pathlib.Path(root, name, "slots")
    data = bytearray(slots.read_bytes())
    data[548] ^= 0xFF  # the slot header's checksum
    slots.write_bytes(data)


def corrupt(root, name):
    fill(root, name, count=10)
    flip_checksum(root, name)


def junk(root, name):
    os.mkdir(os.path.join(root, name))
    pathlib.Path(root, name, "slots").write_bytes(b"junk")


@pytest.mark.parametrize("name,make,error,also", [
    ("missing", None, vesk.NoSuchTable, FileNotFoundError),
    ("junk", junk, vesk.NotATable, vesk.Error),
    ("damaged", corrupt, vesk.Corrupt, vesk.Error),
    ("private", lambda root, name: fill(root, name, "--mode", "0600", count=10),
     vesk.PermissionDenied, PermissionError),
])
def test_errors(root, name, make, error, also):
    if make:
        make(root, name)
    if error is not vesk.PermissionDenied:
        return check_error(root, name, error, also)
    if os.geteuid() != 0:
        pytest.skip("needs root to read as uid 65534")
    pid = os.fork()  # the child reads as another user: root may read a 0700 directory
    if pid == 0:
        code = 1
        try:
            os.setgid(65534)
            os.setuid(65534)
            check_error(root, name, error, also)
            code = 0
        finally:
            os._exit(code)
    assert os.waitpid(pid, 0)[1] == 0


def check_error(root, name, error, also):
    with pytest.raises(error) as caught:
        vesk.open(name, root=root)
    e = caught.value
    assert isinstance(e, also) and e.table == name and str(e).startswith(e.reason)
    assert name in str(e) and "\n" not in str(e) and "::" not in str(e), str(e)


def test_iteration_across_a_reformat_raises(root):
    fill(root, "re", count=50)
    t = vesk.open("re", root=root)
    walk = iter(t)
    next(walk)
    flip_checksum(root, "re")
    fill(root, "re", count=50)  # the next writer re-formats the damaged files in place
    with pytest.raises(vesk.Error, match="re-formatted during the iteration"):
        list(walk)
    assert sorted(r.key for r in t) == list(range(50))  # a new iteration reads the new files


def test_two_roots_at_once(root, table):
    other = tempfile.mkdtemp(dir="/dev/shm", prefix="vesk-py-")
    try:
        fill(other, "n", kind="normal", count=5)
        assert vesk.tables(other) == ["n"]
        n = vesk.open("n", root=other)
        assert n.fields == ["key", "counterA", "counterB"] and sorted(n) == sorted(n.records())
        assert all(r.counterB == 2 * r.counterA + 1 for r in n)
        check_simple(table[3])  # opened first, under the first root
        assert len(table.records()) == COUNT and table.stat()["root"] == root
        assert "live/simple" in vesk.tables(root)
    finally:
        shutil.rmtree(other)


def test_import_line(root, writer):
    out = subprocess.run([sys.executable, "-c", f"import vesk; print(vesk.tables({root!r}))"],
                         capture_output=True, text=True, check=True).stdout
    assert "'live/simple'" in out


def in_a_thread(f):
    th = threading.Thread(target=f)
    th.start()
    th.join()  # the waiting thread drops the GIL: f runs while a record is being made


@pytest.mark.parametrize("meanwhile", [lambda f: f(), in_a_thread], ids=["finalizer", "thread"])
def test_records_belong_to_their_call_while_the_table_is_used_meanwhile(root, meanwhile):
    fill(root, "mix", count=50)
    t = vesk.open("mix", root=root)

    class Cycle:  # garbage whose finalizer, run when a record is allocated, uses the table
        def __init__(self):
            self.me = self

        def __del__(self):
            meanwhile(lambda: (t[49], t.get_many([48]), t.records(), list(t)))

    keys = list(range(25))
    reads = [lambda: [t[k] for k in keys], lambda: t.get_many(keys),
             lambda: sorted(t.records())[:25], lambda: sorted(t)[:25]]
    threshold = gc.get_threshold()
    gc.set_threshold(5)
    try:
        for _ in range(40):
            for read in reads:
                Cycle()
                assert [r.key for r in read()] == keys
    finally:
        gc.set_threshold(*threshold)


CALLS = {"lookup": lambda t: t[150], "len": len, "records": lambda t: t.records(),
         "get_many": lambda t: t.get_many([150]), "iteration": list}


def test_a_slot_file_cut_short_under_each_call_raises_naming_it(root):
    fill(root, "cut", count=200)
    t = vesk.open("cut", root=root)
    slots = pathlib.Path(root, "cut", "slots")
    whole = slots.read_bytes()
    for name, call in CALLS.items():
        os.truncate(slots, 0)
        with pytest.raises(vesk.Error, match="cut/slots shrank under the reader") as e:
            call(t)
        assert e.value.reason == "file shrank", name
        slots.write_bytes(whole)  # whole again: the next call reads it anew
        assert call(t) and 150 in t, name


def test_a_table_made_again_is_read_anew(root):
    fill(root, "again", count=100)
    t = vesk.open("again", root=root)
    assert len(t) == 100 and 150 not in t
    shutil.rmtree(os.path.join(root, "again"))
    fill(root, "again", count=300)
    time.sleep(TICK)  # the files are looked at once per clock tick
    assert len(t) == 300 and t[150].key == 150 and len(t.records()) == len(list(t)) == 300
    shutil.rmtree(os.path.join(root, "again"))
    time.sleep(TICK)
    with pytest.raises(vesk.NoSuchTable, match="'again' was removed"):
        t[150]
