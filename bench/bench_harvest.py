#!/usr/bin/env python3
"""harvest_aksharas over mr-dev.txt: throughput, where the time goes, and memory.

- Throughput: best of several harvest_aksharas(path) calls, in MB of file per second.
- Split: the normalization inside the harvest is timed with the C++ benchmark binary
  (build/bench/bench_normalizer --time-lines FILE: the core normalizer over the file's
  lines, one call per line, as the harvest calls it); the rest of the harvest time is
  reading, UTF-8 validation, segmentation into aksharas and counting. Without that binary
  (run_all.py builds it) normalize() per line from Python stands in, which overstates the
  normalization by the cost of crossing the Python boundary.
- Memory: peak RSS of a fresh interpreter that only imports the module and builds a
  tokenizer, of one that harvests the file, and of one that harvests a 10x file (the corpus
  repeated ten times in a temporary file). The harvest streams the file, so the peak should
  not grow with it.

Targets: >= 100 MB/s; peak RSS flat from 1x to 10x.
"""

from __future__ import annotations

import argparse
import subprocess
from pathlib import Path

import _common as C

CHILD = C.CHILD_PROLOGUE + r'''
L = import_larkspur()
tok = L.PyLarkspurTokenization()
mode = ARGS[0]
if mode == "idle":
    emit(peak_kib=self_peak_kib())
else:
    t0 = time.perf_counter()
    ak = tok.harvest_aksharas(ARGS[1])
    dt = time.perf_counter() - t0
    emit(seconds=dt, n=len(ak), head=ak[:20], peak_kib=self_peak_kib())
'''

FLAT_SLACK_MIB = 8.0
NORMALIZER_BIN = C.PROJECT / "build" / "bench" / "bench_normalizer"


def cpp_normalize_seconds(binary: Path, path: Path):
    """Best time of the core normalizer over the lines of `path`, or None."""
    if not binary.is_file():
        return None
    try:
        out = subprocess.run([str(binary), "--time-lines", str(path)], capture_output=True, text=True,
                             timeout=300, check=True).stdout
        fields = dict(kv.split("=", 1) for kv in out.split())
        return float(fields["best_seconds"])
    except (subprocess.SubprocessError, OSError, KeyError, ValueError):
        return None


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reps", type=int, default=7, help="passes per measurement (best is kept)")
    ap.add_argument("--times", type=int, default=10, help="size factor of the large file (default 10)")
    ap.add_argument("--normalizer-bin", type=Path, default=NORMALIZER_BIN,
                    help="the C++ benchmark binary used to time the normalization share")
    args = ap.parse_args()

    (mr,) = C.require_corpus("mr-dev.txt")
    L = C.import_larkspur()
    C.print_header("bench_harvest: harvest_aksharas over mr-dev.txt", [C.module_note(L)])

    size = mr.stat().st_size
    tok = L.PyLarkspurTokenization()
    box = {}

    def harvest():
        box["ak"] = tok.harvest_aksharas(str(mr))

    t_harvest = C.best_of(harvest, args.reps)
    n_ak = len(box["ak"])

    lines = C.read_lines(mr)
    norm = tok.normalize

    def read_only():
        with open(mr, "rb") as f:
            f.read()

    def normalize_lines():
        for s in lines:
            norm(s)

    t_read = C.best_of(read_only, args.reps)
    t_norm_py = C.best_of(normalize_lines, args.reps)
    t_norm_cpp = cpp_normalize_seconds(args.normalizer_bin, mr)
    if t_norm_cpp is not None:
        t_norm, how = t_norm_cpp, "core normalizer, C++ binary"
    else:
        t_norm, how = t_norm_py, "normalize() from Python: an upper bound"
    t_rest = max(t_harvest - t_norm, 0.0)

    print(f"file      mr-dev.txt: {C.mb(size):.2f} MB, {len(lines):,} lines; harvest returns {n_ak:,} aksharas")
    print(f"          most frequent: {' '.join(box['ak'][:15])}")
    print(f"split     normalization timed with the {how}")
    print()
    rows = [
        ["harvest_aksharas(path), total", t_harvest * 1e3, C.mb(size) / t_harvest, 100.0],
        ["  normalization, one call per line", t_norm * 1e3, C.mb(size) / t_norm, 100.0 * t_norm / t_harvest],
        ["  reading + segmentation + counting (rest)", t_rest * 1e3, C.mb(size) / t_rest if t_rest else None,
         100.0 * t_rest / t_harvest],
        ["reference: normalize() per line from Python", t_norm_py * 1e3, C.mb(size) / t_norm_py, None],
        ["reference: read the file into memory", t_read * 1e3, C.mb(size) / t_read, None],
    ]
    C.print_table(["step", "ms (best)", "MB/s", "% of harvest"], rows,
                  title=f"Time (best of {args.reps} passes)")

    with C.scratch_dir("harvest") as tmp:
        big = C.write_repeated(Path(tmp) / f"mr-x{args.times}.txt", [mr], args.times, shuffle_seed=None)
        big_size = big.stat().st_size
        idle = C.run_child(CHILD, ["idle"])
        one = C.run_child(CHILD, ["file", str(mr)])
        ten = C.run_child(CHILD, ["file", str(big)])
    for name, r in (("idle", idle), ("1x", one), (f"{args.times}x", ten)):
        if not r.ok:
            print(f"child run '{name}' failed (exit {r.rc}):\n{r.tail()}\n")
    rows = []
    base = idle.peak_mib
    for name, r, sz in (("import + construct only", idle, 0), ("harvest 1x", one, size),
                        (f"harvest {args.times}x", ten, big_size)):
        secs = r.result.get("seconds")
        rows.append([name, C.mb(sz) if sz else None, r.peak_mib, r.peak_mib - base,
                     secs, C.mb(sz) / secs if secs else None, r.result.get("n")])
    C.print_table(["fresh process", "file MB", "peak RSS MiB", "above idle MiB", "harvest s", "MB/s", "aksharas"],
                  rows, title="Memory (peak RSS of each fresh interpreter)")

    growth = ten.peak_mib - one.peak_mib
    same = one.result.get("head") == ten.result.get("head") and one.result.get("n") == ten.result.get("n")
    print(f"same akshara list from the 1x and {args.times}x files (size and head): {same}\n")
    C.print_targets([
        ("harvest_aksharas >= 100 MB/s", f"{C.mb(size) / t_harvest:.1f} MB/s", C.mb(size) / t_harvest >= 100),
        (f"peak RSS flat from 1x to {args.times}x (grows < {FLAT_SLACK_MIB:.0f} MiB)",
         f"{one.peak_mib:.1f} -> {ten.peak_mib:.1f} MiB ({growth:+.1f} MiB)",
         (growth < FLAT_SLACK_MIB) if one.ok and ten.ok else None),
    ])


if __name__ == "__main__":
    main()
