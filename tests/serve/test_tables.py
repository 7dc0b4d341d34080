"""What `vesk serve` collects of tables that change under it between two scrapes: a file cut
short under the reader it kept, a table made again with another record type, a directory whose
name cannot be shown. The other tables are served throughout, and so is the next scrape."""
import os
import shutil
import subprocess

import pytest
from test_serve import fill, procs, root, samples, scrape, serve, vesk  # noqa: F401 (fixtures)

ODD = "odd\x1b[2J\u202e"  # a terminal escape and a reordering character


def cut_short(root):
    os.truncate(os.path.join(root, "t", "slots"), 0)


def made_again(root):
    shutil.rmtree(os.path.join(root, "t"))
    fill(root, "t", "normal", 7)


def odd_name(root):
    shutil.copytree(os.path.join(root, "u"), os.path.join(root, ODD, "x"))


@pytest.mark.parametrize("change,table_up,says", [
    (cut_short, 0, {("vesk_table_failure", (("reason", "file shrank"), ("table", "t"))): 1}),
    (made_again, 1, {("vesk_table_records", (("table", "t"),)): 7,
                     ("vesk_table_info", (("generation", None), ("table", "t"), ("type", "normal"))): 1}),
    (odd_name, 1, {("vesk_scrape_directories_unnamed", ()): 1, ("vesk_tables", ()): 2}),
])
def test_a_change_between_scrapes(root, procs, change, table_up, says):
    fill(root, "t", "simple", 50)
    fill(root, "u", "simple", 5)
    url = serve(procs, root)
    assert samples(scrape(url)[1])[("vesk_table_up", (("table", "t"),))] == 1
    change(root)
    text = scrape(url)[1]
    lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                          text=True)
    assert lint.returncode in (0, 3), lint.stderr  # parsed: one odd table never spoils a scrape
    got = {(k[0], tuple((n, None if n == "generation" else v) for n, v in k[1])): v
           for k, v in samples(text).items()}
    assert got[("vesk_table_up", (("table", "t"),))] == table_up
    assert {k: got.get(k) for k in says} == says
    assert samples(scrape(url)[1])[("vesk_table_up", (("table", "u"),))] == 1  # still serving
    listed = vesk(root, "ls").stdout
    assert ODD not in listed and (change is not odd_name or "odd\\x1b[2J\\u202e" in listed)
