#!/usr/bin/env python3
"""Runs every benchmark in turn: builds and runs the C++ normalizer benchmark, then the
Python ones. Each prints its own table headed by the commit, compiler, Python and machine.

    .venv/bin/python bench/run_all.py            # everything (several minutes)
    .venv/bin/python bench/run_all.py --quick    # lighter settings, about a minute
    .venv/bin/python bench/run_all.py --only encode,train,quality

`make bench` installs bench/requirements.txt and runs this script.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
PROJECT = BENCH.parent
BUILD = PROJECT / "build" / "bench"

sys.path.insert(0, str(BENCH))
import _common as C  # noqa: E402

ORDER = ["normalizer", "normalize", "harvest", "encode", "train", "larkspur", "quality"]
QUICK = {
    "normalizer": ["--reps", "5"],
    "normalize": ["--reps", "5"],
    "harvest": ["--reps", "3"],
    "encode": ["--reps", "2", "--max-reps", "5", "--files", "hi"],
    "train": ["--corpus", "base", "--reps", "1"],
    "larkspur": ["--reps", "3"],
    "quality": ["--quick"],
}
# Scripts not named bench_<name>.py.
SCRIPTS = {"quality": "quality.py"}


def tool(name: str) -> str:
    venv = PROJECT / ".venv" / "bin" / name
    if venv.exists():
        return str(venv)
    found = shutil.which(name)
    if not found:
        sys.exit(f"{name} not found (make install sets up .venv with it)")
    return found


def build_cpp() -> Path:
    cmake = tool("cmake")
    configure = [cmake, "-S", str(PROJECT), "-B", str(BUILD), "-G", "Ninja",
                 f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}", "-DLARKSPUR_MODULE=OFF", "-DLARKSPUR_BENCH=ON",
                 "-DCMAKE_BUILD_TYPE=Release"]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(BUILD), "--target", "bench_normalizer"], check=True,
                   stdout=subprocess.DEVNULL)
    return BUILD / "bench_normalizer"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", default=",".join(ORDER), help=f"comma-separated subset of {','.join(ORDER)}")
    ap.add_argument("--quick", action="store_true", help="fewer repetitions, smaller inputs")
    args = ap.parse_args()
    chosen = [n for n in ORDER if n in args.only.split(",")]
    C.require_corpus(*C.TEXT_FILES)

    failed = []
    started = time.perf_counter()
    for name in chosen:
        extra = QUICK.get(name, []) if args.quick else []
        t0 = time.perf_counter()
        if name == "normalizer":
            try:
                binary = build_cpp()
            except (subprocess.CalledProcessError, OSError) as e:
                print(f"!! building bench_normalizer failed: {e}\n", flush=True)
                failed.append(name)
                continue
            cmd = [str(binary), *extra]
        else:
            cmd = [sys.executable, str(BENCH / SCRIPTS.get(name, f"bench_{name}.py")), *extra]
        rc = subprocess.run(cmd, cwd=str(PROJECT), env=dict(os.environ)).returncode
        sys.stdout.flush()
        print(f"-- {name}: exit {rc}, {time.perf_counter() - t0:.0f}s\n", flush=True)
        if rc != 0:
            failed.append(name)
    print(f"== run_all: {len(chosen) - len(failed)} of {len(chosen)} benchmarks ran "
          f"in {time.perf_counter() - started:.0f}s" + (f"; failed: {', '.join(failed)}" if failed else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
