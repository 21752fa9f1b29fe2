"""The published wheel against a build from source, side by side in one run: each installed
into a fresh virtual environment of this interpreter, then its size on disk, the time to
import each package, the memory after import, the encode throughput of both packages over
the whole Hindi development corpus (one thread) and the time larkspur.train takes to 32,000
ids on the three development corpora, four times over and shuffled (about 57 MB, written to a
temporary folder).

The wheel is built by zig's clang with libc++ and ICU linked in (`make wheel`); the source
build is `pip install` of the sdist, compiled by the system's compiler against the system's
ICU, as a user without a wheel gets it. The compiler of each is read from the extension's
.comment section. The runs of the builds alternate, so that a busy spell of this shared
machine falls on both; the table gives the best run of each and the wheel's ratio to the
source build.

Usage: bench_wheel.py WHEEL --sdist SDIST [--train-runs N] [--encode-runs N]
e.g. bench_wheel.py dist/*-cp311-*.whl --sdist dist/larkspurtokenization-0.1.0.tar.gz
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import zipfile
from pathlib import Path

from _common import TEXT_FILES, corpus_path, print_header, print_table, scratch_dir, write_repeated

IMPORT = """
import json, sys, time
t = time.perf_counter()
import {module}
elapsed = time.perf_counter() - t
rss = next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmRSS'))
print(json.dumps([elapsed, rss]))
"""

# Every line of the corpus, through each package, one thread; the best of `reps` passes.
ENCODE = """
import json, sys, time
import larkspur
from LarkspurTokenization import PyLarkspurTokenization
bundle, corpus, reps = sys.argv[1], sys.argv[2], int(sys.argv[3])
lines = open(corpus, encoding='utf-8').read().splitlines()
nbytes = sum(len(s.encode()) for s in lines)
tok = larkspur.load(bundle)
exact = PyLarkspurTokenization()
exact.load_vocab_tsv(bundle + '/vocab.tsv')
def best(fn):
    times = []
    for _ in range(reps):
        t = time.perf_counter(); fn(); times.append(time.perf_counter() - t)
    return nbytes / min(times) / 1e6
print(json.dumps([best(lambda: [exact.encode(s) for s in lines]),
                  best(lambda: tok.encode_batch(lines, num_threads=1))]))
"""

TRAIN = """
import json, sys, time
import larkspur
t = time.perf_counter()
tok = larkspur.train([sys.argv[1]], vocab_size=32000, progress=False)
elapsed = time.perf_counter() - t
tok.save(sys.argv[2])
print(json.dumps(elapsed))
"""


def run_json(vpy: Path, code: str, *args: str):
    return json.loads(subprocess.run([str(vpy), "-c", code, *args], capture_output=True, text=True,
                                     check=True).stdout)


def installed(vpy: Path):
    """(size of the distribution's files, path of the exact module) in the environment."""
    out = subprocess.run([str(vpy), "-c", "import importlib.metadata as m, json; d = m.distribution('LarkspurTokenization');"
                          "print(json.dumps([str(d.locate_file(f)) for f in d.files]))"],
                         capture_output=True, text=True, check=True).stdout
    files = [Path(p) for p in json.loads(out)]
    module = next(p for p in files if p.name.startswith("LarkspurTokenization") and p.suffix == ".so")
    return sum(p.stat().st_size for p in files if p.is_file()), module


def compiler_of(module: Path) -> str:
    out = subprocess.run(["readelf", "-p", ".comment", str(module)], capture_output=True, text=True).stdout
    names = [line.split("]", 1)[1].strip() for line in out.splitlines() if "]" in line and "Linker" not in line]
    return names[0].split(" (https")[0] if names else "?"


def median_of(vpy: Path, code: str, runs: int = 15):
    results = [run_json(vpy, code) for _ in range(runs)]
    return [statistics.median(r[i] for r in results) for i in range(len(results[0]))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheel", type=Path)
    parser.add_argument("--sdist", type=Path, required=True)
    parser.add_argument("--train-runs", type=int, default=3)
    parser.add_argument("--encode-runs", type=int, default=3, help="encode passes per run (best kept)")
    args = parser.parse_args()
    corpus = corpus_path("hi-dev.txt")
    print_header("wheel against a build from source", [f"corpus    {corpus} (all of it)"])
    python = getattr(sys, "_base_executable", sys.executable)
    with scratch_dir("bench-wheel-") as tmp:
        tmp = Path(tmp)
        train_corpus = write_repeated(tmp / "train.txt", [corpus_path(n) for n in TEXT_FILES], 4, shuffle_seed=16)
        builds = []
        for label, target in (("wheel", args.wheel), ("source", args.sdist)):
            env = tmp / f"venv-{label}"
            subprocess.run([python, "-m", "venv", str(env)], check=True)
            vpy = env / "bin" / "python"
            subprocess.run([str(vpy), "-m", "pip", "install", "-q", "--disable-pip-version-check", str(target)],
                           check=True)
            size, module = installed(vpy)
            builds.append({"label": label, "vpy": vpy, "installed": size, "compiler": compiler_of(module),
                           "file": target.stat().st_size, "train": [], "exact": [], "larkspur": []})
        # Training, alternating; each build's bundle must come out the same.
        for run in range(args.train_runs):
            for b in builds:
                b["train"].append(run_json(b["vpy"], TRAIN, str(train_corpus), str(tmp / f"trained-{b['label']}")))
        same = all((tmp / f"trained-{b['label']}" / "vocab.tsv").read_bytes()
                   == (tmp / "trained-wheel" / "vocab.tsv").read_bytes() for b in builds)
        # The encoding vocabulary: 16,000 ids from the Hindi corpus, the one encoded.
        subprocess.run([str(builds[0]["vpy"]), "-c", "import larkspur, sys; larkspur.train([sys.argv[1]], "
                        "vocab_size=16000, progress=False).save(sys.argv[2])", str(corpus), str(tmp / "bundle")],
                       check=True)
        for run in range(3):
            for b in builds:
                exact, pkg = run_json(b["vpy"], ENCODE, str(tmp / "bundle"), str(corpus), str(args.encode_runs))
                b["exact"].append(exact)
                b["larkspur"].append(pkg)
        for b in builds:
            b["import_exact"], b["rss_exact"] = median_of(b["vpy"], IMPORT.format(module="LarkspurTokenization"))
            b["import_pkg"], b["rss_pkg"] = median_of(b["vpy"], IMPORT.format(module="larkspur"))

    rows = []
    for b in builds:
        rows.append([b["label"], b["compiler"], f"{b['file'] / 1e6:.2f}", f"{b['installed'] / 1e6:.2f}",
                     f"{b['import_exact'] * 1e3:.1f}", f"{b['import_pkg'] * 1e3:.1f}",
                     f"{b['rss_pkg'] / 1024:.1f}", f"{max(b['exact']):.1f}", f"{max(b['larkspur']):.1f}",
                     f"{min(b['train']):.2f}"])
    wheel, source = builds
    rows.append(["wheel / source", "", "", f"{wheel['installed'] / source['installed']:.2f}",
                 f"{wheel['import_exact'] / source['import_exact']:.2f}",
                 f"{wheel['import_pkg'] / source['import_pkg']:.2f}", "",
                 f"{max(wheel['exact']) / max(source['exact']):.3f}",
                 f"{max(wheel['larkspur']) / max(source['larkspur']):.3f}",
                 f"{min(wheel['train']) / min(source['train']):.3f}"])
    print_table(["build", "compiler", "file MB", "installed MB", "import exact ms", "import larkspur ms",
                 "RSS MiB", "exact encode MB/s", "larkspur MB/s", "train s"], rows,
                title=f"file: the wheel or the sdist; median import time and RSS after `import larkspur` "
                      f"(15 fresh interpreters); best of {3 * args.encode_runs} single-thread passes over the "
                      f"corpus; best of {args.train_runs} trainings to 32,000 ids (alternating builds)")
    print(f"the trained vocabularies are {'identical' if same else 'DIFFERENT'} between the builds")


if __name__ == "__main__":
    main()
