#!/usr/bin/env python3
"""The reader's and writer's benchmarks of this tree beside those of another tree (the previous
commit's, as a rule), run by run in one session, with the goal ratios against the peers.

    git worktree add /tmp/base HEAD~1
    cmake -S /tmp/base -B /tmp/base/build -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_BENCH=ON
    cmake --build /tmp/base/build -j2 --target bench_reader bench_writer
    make bench-build            # this tree's benchmarks (or `make bench`)
    python3 bench/compare.py --base /tmp/base/build [--runs 5] [--sizes 1000000]

Each run starts the base tree's program, then this tree's, with the same benchmarks; every
figure is the median over the runs of its ns_per_op. A ratio against a peer is taken within one
program's runs (the peer is measured by the same program, in the same run); a benchmark the base
tree does not have (a newer peer) is taken from this tree's runs for both columns.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

# (what, numerator, denominator, goal): names without the size, which is appended; goal None: a
# ratio shown for what it explains.
READER_GOALS = [
    ("independent hit / std", "VeskReader/lookup_hit/independent/writer_idle",
     "Map/lookup_hit/independent", 1.3),
    ("batched hit (64) / std independent", "VeskReader/lookup_hit/batch64/writer_idle",
     "Map/lookup_hit/independent", 0.7),
    ("dependent hit / pointer chase", "VeskReader/lookup_hit/dependent/writer_idle",
     "Floor/pointer_chase", 2.5),
    ("table-order walk / LMDB cursor", "VeskReader/iterate/writer_idle",
     "Lmdb/iterate/writer_idle", 3.0),
    # Without a goal: how far the file format itself (the same memory read by code that checks
    # nothing) sets the figures above, and how far the reader's own work does.
    ("format's independent hit / std", "Floor/lookup_hit/independent",
     "Map/lookup_hit/independent", None),
    ("independent hit / format's", "VeskReader/lookup_hit/independent/writer_idle",
     "Floor/lookup_hit/independent", None),
    ("format's hit behind a call / std", "Floor/lookup_call/independent",
     "Map/lookup_hit/independent", None),
    ("independent hit / format's behind a call", "VeskReader/lookup_hit/independent/writer_idle",
     "Floor/lookup_call/independent", None),
    ("format's dependent hit / chase", "Floor/lookup_hit/dependent", "Floor/pointer_chase", None),
    ("dependent hit / format's", "VeskReader/lookup_hit/dependent/writer_idle",
     "Floor/lookup_hit/dependent", None),
    ("format's walk / LMDB cursor", "Floor/table_order", "Lmdb/iterate/writer_idle", None),
    ("table-order walk / format's", "VeskReader/iterate/writer_idle", "Floor/table_order", None),
    ("format's walk, slot ids known / LMDB", "Floor/table_order_known",
     "Lmdb/iterate/writer_idle", None),
]
WRITER_GOALS = [
    ("insert (capacity hint) / std", "VeskInsert", "MapInsert", 1.5),
    ("overwrite / std", "VeskOverwrite", "MapOverwrite", 1.0),
    ("format's overwrite / std", "FloorOverwrite", "MapOverwrite", None),
    ("overwrite / format's", "VeskOverwrite", "FloorOverwrite", None),
]
PROGRAMS = {"bench_reader": READER_GOALS, "bench_writer": WRITER_GOALS}


def run(binary, pattern):
    """One run of a benchmark program: {name: ns_per_op}."""
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run([binary, f"--benchmark_filter={pattern}", f"--benchmark_out={out.name}",
                        "--benchmark_out_format=json"], check=True, stdout=subprocess.DEVNULL)
        data = json.load(open(out.name))
    found = {}
    for b in data["benchmarks"]:
        if "ns_per_op" in b:
            found[b["run_name"].split("/manual_time")[0].split("/iterations:")[0]] = b["ns_per_op"]
    return found


def medians(runs):
    names = {n for r in runs for n in r}
    return {n: statistics.median([r[n] for r in runs if n in r]) for n in names}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--base", required=True, help="the other tree's build directory")
    ap.add_argument("--build", default="build", help="this tree's build directory")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--sizes", default="1000,100000,1000000")
    ap.add_argument("programs", nargs="*", default=list(PROGRAMS))
    args = ap.parse_args()
    sizes = args.sizes.split(",")
    print(f"load average {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f}; "
          f"medians of {args.runs} runs; ns per operation", flush=True)
    for program in args.programs:
        goals = PROGRAMS[program]
        wanted = sorted({g[i] for g in goals for i in (1, 2)})
        pattern = "^(" + "|".join(wanted) + ")/(" + "|".join(sizes) + ")(/|$)"
        base_runs, new_runs = [], []
        for i in range(args.runs):
            base_runs.append(run(os.path.join(args.base, "bench", program), pattern))
            new_runs.append(run(os.path.join(args.build, "bench", program), pattern))
            print(f"  {program}: run {i + 1} of {args.runs} done", file=sys.stderr, flush=True)
        base, new = medians(base_runs), medians(new_runs)
        print(f"\n{program}\n{'benchmark':58} {'base':>9} {'this':>9} {'this/base':>9}")
        for name in sorted(new, key=lambda n: (int(n.rsplit("/", 1)[1]), n)):
            b = base.get(name)
            print(f"{name:58} {b or 0:9.1f} {new[name]:9.1f} "
                  f"{new[name] / b if b else float('nan'):9.3f}")
        print(f"\n{'goal ratio':36} {'size':>8} {'base':>7} {'this':>7} {'goal':>6}")
        for what, num, den, goal in goals:
            for size in sizes:
                n, d = f"{num}/{size}", f"{den}/{size}"
                if n not in new or d not in new:
                    continue
                this = new[n] / new[d]
                was = base[n] / base.get(d, new[d]) if n in base else float("nan")
                if goal is None:
                    print(f"{what:36} {size:>8} {was:7.2f} {this:7.2f} {'-':>6}")
                    continue
                mark = "met" if this <= goal else "NOT met"
                print(f"{what:36} {size:>8} {was:7.2f} {this:7.2f} {goal:6.2f} {mark}")


if __name__ == "__main__":
    main()
