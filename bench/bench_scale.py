#!/usr/bin/env python3
"""Training at corpus scale: counting throughput, memory and time of count + train, a run
within a memory limit on a corpus far larger than it, and the bytes a word type costs in
training.

Corpora come from _scale_corpus: the shared corpus's lines shuffled and repeated with new
word types mixed in (10 % of the words replaced by synthetic words drawn from a Zipf
distribution of exponent 1.1, so that the number of types keeps growing with the text:
about 0.5, 3.6 and 28 million types at 0.2, 2 and 20 GB). Each is written once to a
temporary directory (--keep-dir keeps them between runs) and removed at the end.

Every measured run is a fresh process; its peak RSS is its own (see _common.run_child).

1. Counting: ``larkspur.count_words(file, num_workers=n)`` for n = 1 and 2, MB/s.
2. Count + train at 32,000 ids without a limit, at each size up to --train-upto GB:
   ``train_from_word_counts(count_words(file), vocab_size=32000)`` against the tokenizers
   package's BPE (the same pre-tokenization and byte fallback as bench/quality.py's peer)
   and sentencepiece's BPE with its default sentence sampling, each trained on the file.
3. Within a limit (--limit-gb, the largest size): ``count_words(file, memory_limit=L)`` and
   ``train_from_word_counts(counts, vocab_size=32000, memory_limit=L)``: peak RSS of the
   whole run, the ids reached, and what training left out.
4. Bytes per word type in training: (peak RSS of training - RSS with the counts loaded) /
   word types, training from a saved counts file of the 2 GB corpus; with --baseline DIR
   (an older build made by ``pip install --target DIR``) the same for that build beside.

Targets (the issue's): counting >= 150 MB/s on 2 workers at 2 GB; at 2 GB our count +
train at most 0.3x the peak RSS and 0.2x the time of the tokenizers BPE; within a 2 GB
limit at 20 GB, peak RSS at most 2.5 GB and the vocabulary at 32,000 ids.
"""

from __future__ import annotations

import argparse
import os
import shutil
import tempfile
import time
from pathlib import Path

import _common as C
import _scale_corpus

COUNT_CHILD = C.CHILD_PROLOGUE + r'''
import larkspur
t0 = time.perf_counter()
counts = larkspur.count_words([ARGS[0]], num_workers=int(ARGS[1]), progress=False)
emit(seconds=time.perf_counter() - t0, types=len(counts))
'''

TRAIN_CHILD = C.CHILD_PROLOGUE + r'''
import larkspur
limit = None if ARGS[2] == "none" else ARGS[2]
t0 = time.perf_counter()
kw = {} if limit is None else {"memory_limit": limit}
counts = larkspur.count_words([ARGS[0]], progress=False, **kw)
t1 = time.perf_counter()
tok = larkspur.train_from_word_counts(counts, vocab_size=int(ARGS[1]), progress=False, **kw)
t2 = time.perf_counter()
report = tok.settings["training"]
emit(count_s=t1 - t0, train_s=t2 - t1, types=len(counts), ids=tok.vocab_size, on_disk=counts.on_disk,
     min_count=report.get("min_count", 1), left_out_types=report.get("left_out_types", 0),
     left_out_occurrences=report.get("left_out_occurrences", 0))
'''

# The same with the superword stage: the runs are counted with the subword tokenizer in a
# second reading of the file, within the same limit. "counts": from word counts, the runs
# counted by a function handed the subword tokenizer (times apart); "train": larkspur.train,
# which lets the word counts go before the runs are counted (the total time only).
SUPER_CHILD = C.CHILD_PROLOGUE + r'''
import larkspur
limit = None if ARGS[2] == "none" else ARGS[2]
kw = {} if limit is None else {"memory_limit": limit}
took = {"count_s": 0.0, "runs_s": 0.0}
t0 = time.perf_counter()
if ARGS[3] == "train":
    tok = larkspur.train([ARGS[0]], vocab_size=int(ARGS[1]), progress=False, superwords=True, **kw)
else:
    counts = larkspur.count_words([ARGS[0]], progress=False, **kw)
    took["count_s"] = time.perf_counter() - t0
    def runs(subwords):
        t = time.perf_counter()
        r = larkspur.count_word_runs(subwords, [ARGS[0]], progress=False, **kw)
        took["runs_s"] = time.perf_counter() - t
        return r
    tok = larkspur.train_from_word_counts(counts, vocab_size=int(ARGS[1]), progress=False, superwords=True,
                                          word_runs=runs, **kw)
total = time.perf_counter() - t0
report = tok.settings["training"]
emit(total_s=total, train_s=total - took["count_s"] - took["runs_s"], ids=tok.vocab_size, **took,
     superwords=report["superwords"], word_runs=report["word_runs"], runs_left_out=report.get("word_runs_left_out", 0))
'''

HF_CHILD = C.CHILD_PROLOGUE + r'''
os.environ.setdefault("RAYON_NUM_THREADS", "2")
from pathlib import Path
import _peers
t0 = time.perf_counter()
tok = _peers.train_hf_bpe(Path(ARGS[0]), int(ARGS[1]))
emit(seconds=time.perf_counter() - t0, ids=tok.get_vocab_size())
'''

SPM_CHILD = C.CHILD_PROLOGUE + r'''
import sentencepiece as spm, tempfile
t0 = time.perf_counter()
with tempfile.TemporaryDirectory() as d:
    spm.SentencePieceTrainer.train(input=ARGS[0], model_prefix=d + "/m", vocab_size=int(ARGS[1]), model_type="bpe",
                                   character_coverage=1.0, byte_fallback=True, num_threads=2,
                                   minloglevel=2)
emit(seconds=time.perf_counter() - t0)
'''

PER_TYPE_CHILD = C.CHILD_PROLOGUE + r'''
import larkspur
def rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS"):
                return int(line.split()[1])
if hasattr(larkspur, "WordCounts"):
    counts = larkspur.WordCounts.load(ARGS[0])
else:  # an older build: its counts were a dict
    counts = larkspur._training.read_word_counts(ARGS[0])
before = rss()
start_peak = self_peak_kib()
t0 = time.perf_counter()
tok = larkspur.train_from_word_counts(counts, vocab_size=int(ARGS[1]), progress=False)
emit(seconds=time.perf_counter() - t0, rss_before_kib=before, load_peak_kib=start_peak, types=len(counts))
'''


def gb(x: float) -> int:
    return int(x * 1e9)


def stopped(r: "C.ChildResult", timeout: float) -> str:
    return f" (stopped after {timeout:g} s)" if r.wall >= timeout else " (failed)"


def _read_through(path: Path) -> float:
    """Reads a file once (into the page cache, where it fits); MB/s of the read."""
    t0 = time.perf_counter()
    with open(path, "rb", buffering=0) as f:
        while f.read(16 << 20):
            pass
    return path.stat().st_size / 1e6 / (time.perf_counter() - t0)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="0.2,2", help="corpus sizes in GB (comma-separated; add 20 for the full run)")
    ap.add_argument("--train-upto", type=float, default=2.0, help="count + train without a limit up to this size")
    ap.add_argument("--limit-gb", type=float, default=2.0, help="the memory limit of the run on the largest size")
    ap.add_argument("--vocab", type=int, default=32000)
    ap.add_argument("--no-peers", action="store_true", help="leave out the tokenizers and sentencepiece runs")
    ap.add_argument("--baseline", help="an older build (pip install --target DIR) for the bytes per word type")
    ap.add_argument("--peer-timeout", type=float, default=2400,
                    help="seconds after which a peer's training is stopped and reported as such")
    ap.add_argument("--keep-dir", help="write the corpora here and keep them (default: a temporary directory)")
    ap.add_argument("--superwords", action="store_true",
                    help="also count + train with the superword stage (default share) beside plain training, "
                         "without a limit and within it")
    args = ap.parse_args()
    sizes = sorted(float(s) for s in args.sizes.split(","))
    files = C.require_corpus(*C.TEXT_FILES)
    L = C.import_larkspur()
    C.print_header("bench_scale: counting and training at corpus scale", [C.module_note(L)])
    work = Path(args.keep_dir) if args.keep_dir else Path(tempfile.mkdtemp(prefix="larkspur-bench-scale-"))
    work.mkdir(parents=True, exist_ok=True)
    targets = []
    try:
        corpora = {}
        rows = []
        for size in sizes:
            path = work / f"scale-{size:g}gb.txt"
            if not path.exists() or path.stat().st_size < gb(size) * 0.99:
                t0 = time.perf_counter()
                made = _scale_corpus.generate(path, files, gb(size))
                print(f"generated {path.name}: {made['bytes'] / 1e6:,.0f} MB, {made['words']:,} words in "
                      f"{time.perf_counter() - t0:.0f} s")
            corpora[size] = path
        # ---- 1. counting
        for size in sizes:
            mb = corpora[size].stat().st_size / 1e6
            # Read once before: generating the largest corpus pushes the smaller ones out of
            # the page cache, and then the disk's speed is what the first run measures.
            warm = _read_through(corpora[size])
            for workers in (1, 2):
                r = C.run_child(COUNT_CHILD, [str(corpora[size]), str(workers)])
                if not r.ok:
                    print(f"count_words failed on {size:g} GB:\n{r.tail()}")
                    continue
                rate = mb / r.result["seconds"]
                rows.append([f"{size:g} GB", workers, r.result["types"], r.result["seconds"], rate, r.peak_mib,
                             warm])
                if size == 2 and workers == 2:
                    targets.append(("counting >= 150 MB/s on 2 workers at 2 GB", f"{rate:.0f} MB/s", rate >= 150))
        C.print_table(["corpus", "workers", "word types", "seconds", "MB/s", "peak MiB", "read first MB/s"], rows,
                      title="count_words, each run in a fresh process, the file read once just before (its MB/s: "
                            "the disk's, or the page cache's when it was there already)")

        # ---- 2. count + train without a limit, beside the peers
        rows = []
        for size in [s for s in sizes if s <= args.train_upto]:
            path = str(corpora[size])
            ours = C.run_child(TRAIN_CHILD, [path, str(args.vocab), "none"])
            if ours.ok:
                res = ours.result
                rows.append([f"{size:g} GB", "larkspur count + train", res["count_s"] + res["train_s"], ours.peak_mib,
                             res["ids"]])
            else:
                print(f"larkspur failed at {size:g} GB:\n{ours.tail()}")
            if args.superwords:
                sw = C.run_child(SUPER_CHILD, [path, str(args.vocab), "none", "counts"])
                if sw.ok and ours.ok:
                    res, plain_s = sw.result, ours.result["count_s"] + ours.result["train_s"]
                    total = res["total_s"]
                    rows.append([f"{size:g} GB", f"larkspur + superwords (runs {res['runs_s']:.0f} s, "
                                                 f"{res['word_runs']:,} runs)", total, sw.peak_mib, res["ids"]])
                    targets.append((f"{size:g} GB: count + train with superwords <= 3x plain's",
                                    f"{total / plain_s:.2f}x ({total:.0f} vs {plain_s:.0f} s; peak "
                                    f"{sw.peak_mib:,.0f} vs {ours.peak_mib:,.0f} MiB)", total <= 3 * plain_s))
                else:
                    print(f"larkspur with superwords failed at {size:g} GB:\n{sw.tail()}")
            if args.no_peers:
                continue
            hf = C.run_child(HF_CHILD, [path, str(args.vocab)], env={"RAYON_NUM_THREADS": "2"},
                             timeout=args.peer_timeout)
            if hf.ok:
                rows.append([f"{size:g} GB", "tokenizers BPE", hf.result["seconds"], hf.peak_mib, hf.result["ids"]])
                if size == 2 and ours.ok:
                    t_ours = ours.result["count_s"] + ours.result["train_s"]
                    targets.append(("2 GB: peak RSS <= 0.3x the tokenizers BPE's",
                                    f"{ours.peak_mib / hf.peak_mib:.2f}x ({ours.peak_mib:,.0f} vs {hf.peak_mib:,.0f} MiB)",
                                    ours.peak_mib <= 0.3 * hf.peak_mib))
                    targets.append(("2 GB: time <= 0.2x the tokenizers BPE's",
                                    f"{t_ours / hf.result['seconds']:.2f}x ({t_ours:.0f} vs {hf.result['seconds']:.0f} s)",
                                    t_ours <= 0.2 * hf.result["seconds"]))
            else:
                rows.append([f"{size:g} GB", "tokenizers BPE" + stopped(hf, args.peer_timeout), hf.wall, hf.peak_mib, None])
            spm = C.run_child(SPM_CHILD, [path, str(args.vocab)], timeout=args.peer_timeout)
            rows.append([f"{size:g} GB", "sentencepiece BPE" + ("" if spm.ok else stopped(spm, args.peer_timeout)),
                         spm.result.get("seconds", spm.wall), spm.peak_mib, args.vocab if spm.ok else None])
        C.print_table(["corpus", "system", "seconds", "peak MiB", "ids"], rows,
                      title=f"Count + train at {args.vocab:,} ids without a memory limit, each in a fresh process")

        # ---- 3. within a limit, on the largest corpus
        big = sizes[-1]
        limit = f"{args.limit_gb:g}GB"
        r = C.run_child(TRAIN_CHILD, [str(corpora[big]), str(args.vocab), limit])
        if r.ok:
            res = r.result
            C.print_table(["corpus", "limit", "word types", "counts on disk", "count s", "train s", "peak MiB", "ids",
                           "min count", "types left out", "occurrences left out"],
                          [[f"{big:g} GB", limit, res["types"], res["on_disk"], res["count_s"], res["train_s"],
                            r.peak_mib, res["ids"], res["min_count"], res["left_out_types"],
                            res["left_out_occurrences"]]],
                          title="count_words + train_from_word_counts within a memory limit")
            targets.append((f"{big:g} GB within {limit}: peak RSS <= {args.limit_gb * 1.25:g} GB",
                            f"{r.peak_mib / 1024:.2f} GiB", r.peak_mib * 2**20 <= args.limit_gb * 1.25e9))
            targets.append((f"{big:g} GB within {limit}: {args.vocab:,} ids reached", f"{res['ids']:,}",
                            res["ids"] == args.vocab))
        else:
            print(f"the limited run failed:\n{r.tail()}")
        if args.superwords:
            r = C.run_child(SUPER_CHILD, [str(corpora[big]), str(args.vocab), limit, "train"])
            if r.ok:
                res = r.result
                C.print_table(["corpus", "limit", "seconds", "peak MiB", "ids", "superwords", "word runs",
                               "runs left out"],
                              [[f"{big:g} GB", limit, res["total_s"], r.peak_mib, res["ids"], res["superwords"],
                                res["word_runs"], res["runs_left_out"]]],
                              title="larkspur.train with superwords within the limit: words and runs counted, "
                                    "both stages trained")
                targets.append((f"{big:g} GB within {limit} with superwords: peak RSS <= {args.limit_gb * 1.25:g} GB",
                                f"{r.peak_mib / 1024:.2f} GiB", r.peak_mib * 2**20 <= args.limit_gb * 1.25e9))
            else:
                print(f"the limited run with superwords failed:\n{r.tail()}")

        # ---- 4. bytes per word type in training
        two = corpora.get(2.0) or corpora[sizes[-1]]
        counts_file = work / "counts.tsv"
        import larkspur

        larkspur.count_words([str(two)], progress=False).save(counts_file)
        rows = []
        builds = ([("baseline", {"PYTHONPATH": os.path.abspath(args.baseline)})] if args.baseline else [])
        builds.append(("this build", None))
        for name, env in builds:
            r = C.run_child(PER_TYPE_CHILD, [str(counts_file), str(args.vocab)], env=env)
            if not r.ok:
                print(f"{name}: failed\n{r.tail()}")
                continue
            res = r.result
            per_type = (r.peak_kib - res["rss_before_kib"]) * 1024 / res["types"]
            rows.append([name, res["types"], C.mib(res["rss_before_kib"]), r.peak_mib, per_type, res["seconds"]])
        C.print_table(["build", "word types", "RSS with the counts MiB", "peak MiB", "bytes per type", "train s"], rows,
                      title=f"Training from the counts of {two.name} at {args.vocab:,} ids")
    finally:
        if not args.keep_dir:
            shutil.rmtree(work, ignore_errors=True)
    C.print_targets(targets)


if __name__ == "__main__":
    main()
