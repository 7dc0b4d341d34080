"""The vesk Python module against a live `vesk fill` writer in another process.

Run by ctest (label python) with PYTHONPATH at the build tree's module and VESK_TOOL naming the
`vesk` tool. Each writer's readiness is its "ready" line, awaited with a bounded deadline.
"""
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile

import pytest
import vesk

TOOL = os.environ["VESK_TOOL"]
COUNT = 200


def start_fill(root, table, *args, kind="simple", count=COUNT):
    """Starts `vesk fill` and returns it once it printed that its table is ready."""
    writer = subprocess.Popen([TOOL, "fill", table, "--root", root, "--type", kind,
                               "--count", str(count), *args], stdout=subprocess.PIPE, text=True)
    ready, _, _ = select.select([writer.stdout], [], [], 60)
    line = writer.stdout.readline() if ready else ""
    assert "ready" in line, f"vesk fill {table}: {line or 'no ready line within 60 s'}"
    return writer


def fill(root, table, *args, **kw):
    """A table whose writer filled it and stopped: its records no longer move."""
    writer = start_fill(root, table, *args, **kw)
    assert writer.wait(60) == 0


def make_root():
    root = tempfile.mkdtemp(dir="/dev/shm", prefix="vesk-py-")
    os.chmod(root, 0o755)  # another user reaches a table directory, to be refused there
    return root


@pytest.fixture(scope="module")
def root():
    root = make_root()
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
    """The writer's self-check (tools/RecordKinds.h); a torn copy fails it."""
    k = r.key
    assert r.packets >= k % 100 and (r.packets - k % 100) % (1 + k % 16) == 0, r
    assert r.octets == r.packets * (64 + (37 * k) % 1437), r


def test_open_finds_type_and_stat(table, writer, root):
    assert (table.name, table.type, table.fields) == ("live/simple", "simple",
                                                      ["key", "packets", "octets"])
    assert len(table) == COUNT and "'live/simple'" in repr(table)
    table[1]
    s = table.stat()
    assert (s["name"], s["type"], s["records"], s["writer_pid"], s["writer_alive"]) == (
        "live/simple", "simple", COUNT, writer.pid, True)
    assert s["capacity"] >= COUNT and s["buckets"] > 0 and s["lookups"] >= 1
    assert s["directory"] == os.path.join(root, "live/simple") and s["generation"] != "0:0"
    assert {"retries", "remap_retries", "generation_changes", "scans"} <= s.keys()


def test_walks_yield_every_key_once_with_checked_values(table):
    scans = table.stat()["scans"]
    for walk in (list(table), table.records()):
        assert sorted(r.key for r in walk) == list(range(COUNT))
        for r in walk:
            check_simple(r)
    assert table.stat()["scans"] == scans + 1  # records() reads by the slot-order scan


def test_values_move_forward(table):
    before = {r.key: r.packets for r in table.records()}
    for _ in range(10**7):  # bounded: the writer updates every key about 100 times a second
        if table[5].packets > before[5]:
            break
    assert table[5].packets > before[5]
    assert all(r.packets >= before[r.key] for r in table.records())


@pytest.mark.parametrize("key,error", [(-1, OverflowError), (2**64, OverflowError),
                                       ("7", TypeError), (7.0, TypeError)])
def test_lookup(table, key, error):
    check_simple(table[7])
    assert table[7].key == 7 and 7 in table and COUNT not in table and 2**64 - 1 not in table
    with pytest.raises(KeyError) as missing:
        table[COUNT]
    assert missing.value.args == (COUNT,)
    with pytest.raises(error, match="key"):
        table[key]


def test_get_many_equals_single_lookups(root):
    fill(root, "still", count=50)
    t = vesk.open("still", root=root)
    keys = [3, 50, 0, 2**64 - 1, 49, 3]
    assert t.get_many(keys) == [t[k] if k in t else None for k in keys]
    assert [r and r.key for r in t.get_many(keys)] == [3, None, 0, None, 49, 3]


def corrupt(root, name):
    fill(root, name, count=10)
    with open(os.path.join(root, name, "slots"), "r+b") as f:
        f.seek(548)  # the slot header's checksum
        word = f.read(4)
        f.seek(548)
        f.write(bytes(b ^ 0xFF for b in word))


def junk(root, name):
    os.mkdir(os.path.join(root, name))
    with open(os.path.join(root, name, "slots"), "wb") as f:
        f.write(b"junk")


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
    if error is vesk.PermissionDenied:
        if os.geteuid() != 0:
            pytest.skip("needs root to read as uid 65534")
        pid = os.fork()
        if pid == 0:  # the child, as another user
            os.setgid(65534)
            os.setuid(65534)
            try:
                vesk.open(name, root=root)
            except vesk.PermissionDenied as e:
                os._exit(0 if isinstance(e, PermissionError) and e.table == name else 2)
            except BaseException:
                os._exit(3)
            os._exit(4)
        assert os.waitpid(pid, 0)[1] == 0
        return
    with pytest.raises(error) as caught:
        vesk.open(name, root=root)
    e = caught.value
    assert isinstance(e, also) and e.table == name and e.reason
    assert str(e).startswith(e.reason) and name in str(e) and "\n" not in str(e)
    assert "::" not in str(e) and "Exception" not in str(e)


def test_two_roots_at_once(root, table):
    other = make_root()
    try:
        fill(other, "n", kind="normal", count=5)
        assert vesk.tables(other) == ["n"]
        n = vesk.open("n", root=other)
        assert n.fields == ["key", "counterA", "counterB"]
        assert sorted(n) == sorted(n.records()) and all(r.counterB == 2 * r.counterA + 1 for r in n)
        check_simple(table[3])  # opened first, under the first root
        assert len(table.records()) == COUNT and table.stat()["root"] == root
        assert "live/simple" in vesk.tables(root)
    finally:
        shutil.rmtree(other)


def test_import_line(root, writer):
    out = subprocess.run([sys.executable, "-c", f"import vesk; print(vesk.tables({root!r}))"],
                         capture_output=True, text=True, check=True).stdout
    assert "'live/simple'" in out
