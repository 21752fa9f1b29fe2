"""Wheels side by side: each installed into a fresh virtual environment, then its size on
disk, the time to import each package, the memory after import and the encode throughput of
both packages on the Hindi development corpus (one thread, best of several runs).

Usage: bench_wheel.py WHEEL [WHEEL ...] [--label NAME ...]
e.g. the wheel `make wheel` leaves in dist/ against one repaired with Debian's full ICU data
(`WHEEL_ICU_DATA=system make wheel`, or packaging/repair_wheel.py on build/wheel/raw).
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import zipfile
from pathlib import Path

from _common import corpus_path, print_header, print_table, scratch_dir

IMPORT = """
import json, sys, time
t = time.perf_counter()
import {module}
elapsed = time.perf_counter() - t
rss = next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmRSS'))
print(json.dumps([elapsed, rss]))
"""

ENCODE = """
import json, sys, time
import larkspur
from LarkspurTokenization import PyLarkspurTokenization
bundle, corpus = sys.argv[1], sys.argv[2]
lines = open(corpus, encoding='utf-8').read().splitlines()[:20000]
nbytes = sum(len(s.encode()) for s in lines)
tok = larkspur.load(bundle)
exact = PyLarkspurTokenization()
exact.load_vocab_tsv(bundle + '/vocab.tsv')
def best(fn, reps=5):
    times = []
    for _ in range(reps):
        t = time.perf_counter(); fn(); times.append(time.perf_counter() - t)
    return nbytes / min(times) / 1e6
print(json.dumps([best(lambda: [exact.encode(s) for s in lines]),
                  best(lambda: tok.encode_batch(lines, num_threads=1))]))
"""


def installed_size(vpy: Path) -> int:
    out = subprocess.run([str(vpy), "-c", "import importlib.metadata as m, json; d = m.distribution('LarkspurTokenization');"
                          "print(json.dumps([str(d.locate_file(f)) for f in d.files]))"],
                         capture_output=True, text=True, check=True).stdout
    return sum(Path(p).stat().st_size for p in json.loads(out) if Path(p).is_file())


def median_of(vpy: Path, code: str, runs: int = 15):
    results = [json.loads(subprocess.run([str(vpy), "-c", code], capture_output=True, text=True, check=True).stdout)
               for _ in range(runs)]
    return [statistics.median(r[i] for r in results) for i in range(len(results[0]))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheels", nargs="+", type=Path)
    parser.add_argument("--label", action="append", default=[])
    args = parser.parse_args()
    labels = args.label + [w.name for w in args.wheels[len(args.label):]]
    corpus = corpus_path("hi-dev.txt")
    print_header("wheels", [f"corpus    {corpus} (first 20,000 lines)"])
    rows = []
    with scratch_dir("bench-wheel-") as tmp:
        tmp = Path(tmp)
        # One bundle for every wheel, trained by the first, so that all encode with the same ids.
        for i, (wheel, label) in enumerate(zip(args.wheels, labels)):
            env = tmp / f"venv{i}"
            subprocess.run([sys.executable, "-m", "venv", str(env)], check=True)
            vpy = env / "bin" / "python"
            subprocess.run([str(vpy), "-m", "pip", "install", "-q", "--disable-pip-version-check", str(wheel)], check=True)
            if i == 0:
                subprocess.run([str(vpy), "-c", "import larkspur, sys; larkspur.train([sys.argv[1]], vocab_size=16000,"
                                " progress=False).save(sys.argv[2])", str(corpus), str(tmp / "bundle")], check=True)
            with zipfile.ZipFile(wheel) as z:
                icu = sum(i.file_size for i in z.infolist() if "libicu" in i.filename)
            exact_import, exact_rss = median_of(vpy, IMPORT.format(module="LarkspurTokenization"))
            pkg_import, pkg_rss = median_of(vpy, IMPORT.format(module="larkspur._engine"))
            exact_mbs, pkg_mbs = json.loads(subprocess.run([str(vpy), "-c", ENCODE, str(tmp / "bundle"), str(corpus)],
                                                           capture_output=True, text=True, check=True).stdout)
            rows.append([label, f"{wheel.stat().st_size / 1e6:.2f}", f"{installed_size(vpy) / 1e6:.2f}",
                         f"{icu / 1e6:.2f}", f"{exact_import * 1e3:.1f}", f"{exact_rss / 1024:.1f}",
                         f"{pkg_import * 1e3:.1f}", f"{pkg_rss / 1024:.1f}", f"{exact_mbs:.1f}", f"{pkg_mbs:.1f}"])
    print_table(["wheel", "wheel MB", "installed MB", "ICU libs MB", "import exact ms", "RSS MiB",
                 "import larkspur ms", "RSS MiB", "exact encode MB/s", "larkspur MB/s"], rows,
                title="size on disk, median import time and RSS after import (15 fresh interpreters), "
                      "best of 5 single-thread encodes")


if __name__ == "__main__":
    main()
