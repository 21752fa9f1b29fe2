#!/usr/bin/env python3
"""Throughput of `larkspur.data.pretokenize` with 1 and 2 worker processes.

A tokenizer (default 8,000 ids) is trained on hi-dev; the input is the concatenation of
hi-dev, mr-dev and ne-dev repeated `--times` times (default 4) (one document per line). Each worker
count writes Megatron .bin/.idx files (best of `--reps` runs, parts removed between runs);
the table gives MB/s of input and the ratio to one worker, and the files of every worker
count are checked to be byte-identical.

Target: 2 workers >= 1.6x the throughput of 1 worker.
"""

from __future__ import annotations

import argparse
import filecmp
import shutil
import time
from pathlib import Path

import _common as C


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--vocab-size", type=int, default=8000)
    ap.add_argument("--times", type=int, default=4, help="copies of the three dev files")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--workers", default="1,2", help="comma-separated worker counts")
    args = ap.parse_args()

    import larkspur
    from larkspur import data

    hi, mr, ne = C.require_corpus("hi-dev.txt", "mr-dev.txt", "ne-dev.txt")
    C.print_header("pretokenize: documents to Megatron files, worker processes")
    with C.scratch_dir("pretokenize") as tmp:
        tmp = Path(tmp)
        corpus = C.write_repeated(tmp / "corpus.txt", [hi, mr, ne], args.times, None)
        size = corpus.stat().st_size
        tok = larkspur.train([hi], vocab_size=args.vocab_size, progress=False)
        counts = [int(w) for w in args.workers.split(",")]
        rows, best = [], {}
        for w in counts:
            prefix = tmp / f"out-{w}"

            def run() -> None:
                data.pretokenize(tok, [corpus], prefix, workers=w, progress=False)

            best[w] = C.best_of(run, args.reps)
        same = all(filecmp.cmp(tmp / f"out-{counts[0]}{ext}", tmp / f"out-{w}{ext}", shallow=False)
                   for w in counts[1:] for ext in (".bin", ".idx"))
        tokens = (tmp / f"out-{counts[0]}.bin").stat().st_size // 2
        for w in counts:
            rows.append([w, best[w], C.mb(size) / best[w], tokens / best[w] / 1e6, best[counts[0]] / best[w]])
        C.print_table(["workers", "seconds", "MB/s", "Mtokens/s", f"x {counts[0]} worker"], rows,
                      f"input {C.mb(size):.1f} MB, {tokens:,} tokens, vocabulary {tok.vocab_size:,}")
        ratio = best[counts[0]] / best[2] if 2 in best else None
        C.print_targets([
            ("2 workers >= 1.6x 1 worker", f"{ratio:.2f}x" if ratio else "not run", None if ratio is None else ratio >= 1.6),
            ("files identical for every worker count", "yes" if same else "NO", same),
        ])


if __name__ == "__main__":
    main()
