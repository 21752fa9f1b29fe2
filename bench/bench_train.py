#!/usr/bin/env python3
"""Training time and memory against peer BPE trainers, single-threaded.

Corpora: "base" is hi-dev + mr-dev + ne-dev concatenated (about 14 MB); "x10" is ten copies
of their lines, shuffled with a fixed seed, in a temporary file.

Every run is a fresh interpreter (its peak RSS is its own) training to the same vocabulary
size on the same file:

- ours: harvest_aksharas + initialize_vocab, then train_from_file (DEV pass, theta 100, no
  paradigms). The time splits into the harvest, reading + counting (the "[build] done"
  line), building the corpus and seeding the heap, and the merge loop (the "[train:DEV]
  heap seeded" and "done" lines; progress_merges is set so high that only those print,
  and their arrival times give the split to the millisecond);
- tokenizers: BpeTrainer (NFC, U+2581 word marker, byte fallback), RAYON_NUM_THREADS=1;
  a second run to vocabulary size 1 times reading + counting alone;
- sentencepiece: BPE trainer, num_threads=1, every line (input_sentence_size=0, no length
  cut); its log shows where the merging starts;
- youtokentome: BPE.train with n_threads=1, when it is installed; "learning bpe..." marks
  the start of the merging.

Then: how our time grows from base to x10, and the cost of the constraints on the 8k base
run (Hindi paradigms and lexicon, probabilistic priority, strict seed morphemes).

Targets: our total time <= half of tokenizers' and below every other peer at both sizes;
our peak RSS <= tokenizers'. "work s" is the time of everything a run does inside its
process (for ours: harvest, seeding and train_from_file), "process s" the whole process.

The whole script takes a few minutes. --corpus base skips the x10 corpus, --sizes picks the
vocabulary sizes, --no-peers-x10 runs only ours on the x10 corpus (the peers take up to
about 15 s each there on a 2-core EPYC; much longer on a slow machine).
"""

from __future__ import annotations

import argparse
import json
import os
import re
from pathlib import Path
from typing import Dict, List, Optional

import _common as C
import _peers as P

SHUFFLE_SEED = 20240607

# Common Hindi postpositions and particles, given as seed morphemes in the constraint runs.
HINDI_SEEDS = ["का", "की", "के", "को", "में", "से", "ने", "पर", "तक", "लिए", "वाला", "वाली", "वाले", "भी", "ही"]

OURS_CHILD = C.CHILD_PROLOGUE + r'''
L = import_larkspur()
path, vocab, theta = ARGS[0], int(ARGS[1]), int(ARGS[2])
opts = json.loads(ARGS[3])
tok = L.PyLarkspurTokenization()
t0 = time.perf_counter()
ak = tok.harvest_aksharas(path)
t1 = time.perf_counter()
seeds = opts.get("seeds", [])
strict = seeds if opts.get("strict") else []
seeded = tok.initialize_vocab(ak, seeds, opts["punct"], strict, [])
if opts.get("paradigms"):
    with open(opts["paradigms"], encoding="utf-8") as f:
        for e in json.load(f):
            tok.add_paradigm(e["root_id"], e["transitions"])
    with open(opts["lexicon"], encoding="utf-8") as f:
        tok.set_lexicon(json.load(f))
if opts.get("prob_k"):
    tok.enable_probabilistic_k(True)
t2 = time.perf_counter()
print("[bench] train_from_file start", flush=True)
size = tok.train_from_file(path, vocab, theta, progress_lines=0, progress_merges=10**9)
t3 = time.perf_counter()
print("[bench] train_from_file end", flush=True)
if opts.get("dump"):
    tok.save_vocab_tsv(opts["dump"])
emit(harvest=t1 - t0, seed=t2 - t1, train_call=t3 - t2, work=t3 - t0, vocab=size, seeded=seeded,
     aksharas=len(ak))
'''

HF_CHILD = C.CHILD_PROLOGUE + r'''
import _peers as P
from pathlib import Path
path, vocab = Path(ARGS[0]), int(ARGS[1])
t0 = time.perf_counter()
tok = P.train_hf_bpe(path, vocab)
t1 = time.perf_counter()
emit(work=t1 - t0, vocab=tok.get_vocab_size(), merges=P.hf_merges(tok))
'''

SP_CHILD = C.CHILD_PROLOGUE + r'''
import _peers as P
from pathlib import Path
path, vocab, prefix = Path(ARGS[0]), int(ARGS[1]), Path(ARGS[2])
longest = P.max_line_bytes(path)
print("[bench] train start", flush=True)
t0 = time.perf_counter()
sp = P.train_sentencepiece(path, vocab, prefix, threads=1, max_sentence_length=longest + 16, log=True)
t1 = time.perf_counter()
emit(work=t1 - t0, vocab=sp.get_piece_size(), merges=P.sentencepiece_merges(sp))
'''

YTTM_CHILD = C.CHILD_PROLOGUE + r'''
import youtokentome as yttm
path, vocab, model = ARGS[0], int(ARGS[1]), ARGS[2]
print("[bench] train start", flush=True)
t0 = time.perf_counter()
bpe = yttm.BPE.train(data=path, model=model, vocab_size=vocab, n_threads=1)
t1 = time.perf_counter()
emit(work=t1 - t0, vocab=bpe.vocab_size())
'''

RE_BUILD = re.compile(r"\[build\] done: (\d+) lines, (\d+) word-occ, (\d+) unique types kept .* in ([\d.]+)s")
RE_SEEDED = re.compile(r"\[train:DEV\] heap seeded with (\d+) admissible pairs in ([\d.]+)s")
RE_DONE = re.compile(r"\[train:DEV\] done: (\d+) merges \((\d+) -> (\d+) vocab\) in ([\d.]+)s")


def first(lines, pred):
    for t, s in lines:
        if pred(s):
            return t, s
    return None, None


class Run:
    """One training run's figures. Times in seconds; None where not measured."""

    def __init__(self, name: str):
        self.name = name
        self.ok = False
        self.vocab: Optional[int] = None
        self.merges: Optional[int] = None
        self.harvest: Optional[float] = None
        self.count: Optional[float] = None     # reading + counting
        self.prep: Optional[float] = None      # corpus build + heap seeding
        self.merge: Optional[float] = None     # merge loop
        self.work: Optional[float] = None      # everything the run does, in-process
        self.wall: Optional[float] = None      # the process, start to exit
        self.peak_mib: Optional[float] = None
        self.note = ""

    @property
    def merges_per_s(self) -> Optional[float]:
        if self.merges is None or not self.merge:
            return None
        return self.merges / self.merge


def fail_note(r: C.ChildResult) -> str:
    return f"failed (exit {r.rc})"


def run_ours(path: Path, vocab: int, theta: int, opts: dict, timeout: float, name: str = "ours") -> Run:
    run = Run(name)
    opts = dict(opts)
    opts.setdefault("punct", C.PUNCTUATION)
    r = C.run_child(OURS_CHILD, [str(path), str(vocab), str(theta), json.dumps(opts)], timeout=timeout)
    run.wall, run.peak_mib = r.wall, r.peak_mib
    if not r.ok or not r.result:
        run.note = fail_note(r)
        print(f"{name}: run failed (exit {r.rc}); last output:\n{r.tail()}\n")
        return run
    d = r.result
    run.ok = True
    run.vocab = d["vocab"]
    run.harvest = d["harvest"]
    run.work = d["work"]
    t_start, _ = first(r.lines, lambda s: s.startswith("[bench] train_from_file start"))
    t_build, s_build = first(r.lines, lambda s: RE_BUILD.search(s) is not None)
    t_seed, _ = first(r.lines, lambda s: RE_SEEDED.search(s) is not None)
    t_done, s_done = first(r.lines, lambda s: RE_DONE.search(s) is not None)
    t_end, _ = first(r.lines, lambda s: s.startswith("[bench] train_from_file end"))
    if s_done:
        m = RE_DONE.search(s_done)
        run.merges = int(m.group(1))
    if None not in (t_start, t_build, t_seed, t_done):
        run.count = t_build - t_start
        run.prep = t_seed - t_build
        run.merge = t_done - t_seed
    else:
        # Fall back on the printed times (one decimal).
        if s_build:
            run.count = float(RE_BUILD.search(s_build).group(4))
        if s_done:
            run.merge = float(RE_DONE.search(s_done).group(4))
        run.note = "split from printed times"
    if s_build:
        m = RE_BUILD.search(s_build)
        run.note = (run.note + "; " if run.note else "") + f"{int(m.group(3)):,} word types"
    del t_end
    return run


def run_tokenizers(path: Path, vocab: int, timeout: float) -> Run:
    run = Run("tokenizers")
    env = {"RAYON_NUM_THREADS": "1", "TOKENIZERS_PARALLELISM": "false"}
    r = C.run_child(HF_CHILD, [str(path), str(vocab)], env=env, timeout=timeout)
    run.wall, run.peak_mib = r.wall, r.peak_mib
    if not r.ok or not r.result:
        run.note = fail_note(r)
        print(f"tokenizers: run failed (exit {r.rc}); last output:\n{r.tail()}\n")
        return run
    run.ok = True
    run.vocab, run.merges, run.work = r.result["vocab"], r.result["merges"], r.result["work"]
    return run


def run_sentencepiece(path: Path, vocab: int, tmp: Path, timeout: float) -> Run:
    run = Run("sentencepiece")
    r = C.run_child(SP_CHILD, [str(path), str(vocab), str(tmp / f"sp-{vocab}")], timeout=timeout)
    run.wall, run.peak_mib = r.wall, r.peak_mib
    if not r.ok or not r.result:
        run.note = fail_note(r)
        print(f"sentencepiece: run failed (exit {r.rc}); last output:\n{r.tail()}\n")
        return run
    run.ok = True
    run.vocab, run.merges, run.work = r.result["vocab"], r.result["merges"], r.result["work"]
    t_start, _ = first(r.lines, lambda s: s.startswith("[bench] train start"))
    t_bpe, _ = first(r.lines, lambda s: "bpe_model_trainer" in s)
    t_end, _ = first(r.lines, lambda s: "Saving model" in s)
    if t_start is not None and t_bpe is not None:
        run.count = t_bpe - t_start
        run.merge = (t_end if t_end is not None else t_start + run.work) - t_bpe
        run.note = "split at its first BPE log line"
    loaded, _ = first(r.lines, lambda s: "Loaded all" in s)
    for _, s in r.lines:
        m = re.search(r"Loaded all (\d+) sentences", s)
        if m:
            run.note += f"; {int(m.group(1)):,} sentences loaded"
        m = re.search(r"Skipped (\d+) too long sentences", s)
        if m:
            run.note += f"; {m.group(1)} too long skipped"
    del loaded
    return run


def run_yttm(path: Path, vocab: int, tmp: Path, timeout: float) -> Run:
    run = Run("youtokentome")
    r = C.run_child(YTTM_CHILD, [str(path), str(vocab), str(tmp / f"yttm-{vocab}.model")], timeout=timeout)
    run.wall, run.peak_mib = r.wall, r.peak_mib
    if not r.ok or not r.result:
        run.note = fail_note(r)
        print(f"youtokentome: run failed (exit {r.rc}); last output:\n{r.tail()}\n")
        return run
    run.ok = True
    run.vocab, run.work = r.result["vocab"], r.result["work"]
    t_start, _ = first(r.lines, lambda s: s.startswith("[bench] train start"))
    t_learn, _ = first(r.lines, lambda s: s.startswith("learning bpe"))
    t_saved, _ = first(r.lines, lambda s: s.startswith("model saved"))
    chars = None
    for _, s in r.lines:
        m = re.search(r"number of unique characters left: (\d+)", s)
        if m:
            chars = int(m.group(1))
    if chars is not None and run.vocab:
        run.merges = run.vocab - 4 - chars  # four special tokens, the alphabet, the rest merges
    # Its log gives no line where the merging starts: "learning bpe..." comes before the
    # word counting. It prints a line every 1,000 ids, though; the merge rate between the
    # first and last of those, extrapolated back to the first merge id, places the start.
    ids = []
    for t, s in r.lines:
        m = re.match(r"id: (\d+)=", s)
        if m:
            ids.append((t, int(m.group(1))))
    end = t_saved if t_saved is not None else (t_start + run.work if t_start is not None else None)
    if t_start is not None and end is not None and chars is not None and len(ids) >= 2 and ids[-1][0] > ids[0][0]:
        rate = (ids[-1][1] - ids[0][1]) / (ids[-1][0] - ids[0][0])
        first_merge = 4 + chars
        merge_start = ids[0][0] - max(ids[0][1] - first_merge, 0) / rate
        run.count = max(merge_start - t_start, 0.0)
        run.merge = end - merge_start
        run.note = "split extrapolated from its per-1000-id lines"
    elif t_start is not None and t_learn is not None and end is not None:
        run.count = t_learn - t_start
        run.merge = end - t_learn
        run.note = "split at 'learning bpe' (includes counting in merge)"
    del t_learn
    return run


def read_surfaces(path: Path):
    """The set of surfaces of a vocabulary file, or None when it cannot be read."""
    try:
        with open(path, encoding="utf-8") as f:
            return {line.rstrip("\n").split("\t", 1)[1] for line in f
                    if not line.startswith("#") and "\t" in line}
    except OSError:
        return None


def best_run(fn, reps: int) -> Run:
    """The run with the smallest work time out of `reps` (all in fresh processes)."""
    best = None
    for _ in range(max(1, reps)):
        r = fn()
        if not r.ok:
            return r
        if best is None or r.work < best.work:
            best = r
    if reps > 1:
        best.note = (best.note + "; " if best.note else "") + f"best of {reps}"
    return best


def print_runs(title: str, runs: List[Run]) -> None:
    ours = next((r for r in runs if r.name == "ours" and r.ok), None)
    rows = []
    for r in runs:
        rows.append([r.name, r.vocab, r.merges, r.harvest, r.count, r.prep, r.merge, r.work, r.wall,
                     r.merges_per_s, r.peak_mib,
                     (r.work / ours.work) if (ours and r.work and r is not ours) else None, r.note])
    C.print_table(["trainer", "vocab", "merges", "harvest s", "read+count s", "corpus+heap s", "merge s",
                   "work s", "process s", "merges/s", "peak MiB", "work / ours", "note"], rows, title=title)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--corpus", default="base,x10", help="which corpora: base, x10 or both (default both)")
    ap.add_argument("--sizes", default="8000,32000", help="vocabulary sizes (default 8000,32000)")
    ap.add_argument("--theta", type=int, default=100)
    ap.add_argument("--peers", default="tokenizers,sentencepiece,youtokentome",
                    help="peers to run (those not installed are skipped)")
    ap.add_argument("--no-peers-x10", dest="peers_x10", action="store_false",
                    help="run only ours on the x10 corpus")
    ap.add_argument("--no-split", action="store_true", help="skip the extra tokenizers run that times counting")
    ap.add_argument("--no-constraints", action="store_true", help="skip the constraint-cost runs")
    ap.add_argument("--timeout", type=float, default=3600.0, help="limit per training run, seconds")
    ap.add_argument("--reps", type=int, default=3, help="runs per figure on the base corpus (best is kept)")
    ap.add_argument("--reps-x10", type=int, default=1, help="runs per figure on the x10 corpus")
    args = ap.parse_args()

    files = C.require_corpus(*C.TEXT_FILES)
    paradigms, lexicon = C.require_corpus("paradigms-hi.json", "lexicon-hi.json")
    L = C.import_larkspur()
    corpora = [c.strip() for c in args.corpus.split(",") if c.strip()]
    sizes = [int(s) for s in args.sizes.split(",") if s.strip()]
    avail = P.available()
    wanted = [p.strip() for p in args.peers.split(",") if p.strip()]
    peers = [p for p in wanted if avail.get(p)]
    missing = [p for p in wanted if not avail.get(p)]
    peer_note = ", ".join(f"{p} {avail[p]}" for p in peers) or "none"
    C.print_header("bench_train: training vs peer BPE trainers (single thread)",
                   [C.module_note(L), f"peers     {peer_note}"
                    + (f" | not installed, skipped: {', '.join(missing)}" if missing else ""),
                    f"sizes     {', '.join(f'{s:,}' for s in sizes)} | theta {args.theta} | corpora {', '.join(corpora)}"
                    + ("" if args.peers_x10 or "x10" not in corpora else " (x10: ours only)")])
    del L  # the runs import the module in their own processes

    results: Dict[tuple, List[Run]] = {}
    with C.scratch_dir("train") as tmpdir:
        tmp = Path(tmpdir)
        paths = {}
        if "base" in corpora:
            paths["base"] = C.write_concat(tmp / "base.txt", files)
        if "x10" in corpora:
            paths["x10"] = C.write_repeated(tmp / "x10.txt", files, 10, shuffle_seed=SHUFFLE_SEED)
        for cname, path in paths.items():
            reps = args.reps if cname == "base" else args.reps_x10
            for size in sizes:
                runs = [best_run(lambda: run_ours(path, size, args.theta, {}, args.timeout), reps)]
                if cname == "base" or args.peers_x10:
                    if "tokenizers" in peers:
                        runs.append(best_run(lambda: run_tokenizers(path, size, args.timeout), reps))
                        if not args.no_split and runs[-1].ok:
                            count = best_run(lambda: run_tokenizers(path, 1, args.timeout), reps)
                            if count.ok:
                                runs[-1].count = count.work
                                runs[-1].note = "count: separate run to vocab 1" + (f", best of {reps}" if reps > 1 else "")
                                if count.work < runs[-1].work:
                                    runs[-1].merge = runs[-1].work - count.work
                                else:
                                    runs[-1].note += " (it took longer than the full run: noise, no split)"
                    if "sentencepiece" in peers:
                        runs.append(best_run(lambda: run_sentencepiece(path, size, tmp, args.timeout), reps))
                    if "youtokentome" in peers:
                        runs.append(best_run(lambda: run_yttm(path, size, tmp, args.timeout), reps))
                results[(cname, size)] = runs
                print_runs(f"{cname} corpus ({C.mb(path.stat().st_size):.1f} MB), vocabulary {size:,}", runs)

        # ---- growth of our time from base to x10
        if "base" in paths and "x10" in paths:
            rows = []
            for size in sizes:
                b = results[("base", size)][0]
                x = results[("x10", size)][0]
                if not (b.ok and x.ok):
                    continue

                def ratio(u, v):
                    return (v / u) if (u and v is not None) else None
                rows.append([f"ours, {size:,}", b.count, x.count, ratio(b.count, x.count), b.merge, x.merge,
                             ratio(b.merge, x.merge), b.merges, x.merges, b.work, x.work, ratio(b.work, x.work)])
                for pr in results[("base", size)][1:]:
                    px = next((r for r in results[("x10", size)] if r.name == pr.name), None)
                    if px and px.ok and pr.ok:
                        rows.append([f"{pr.name}, {size:,}", pr.count, px.count, ratio(pr.count, px.count), pr.merge,
                                     px.merge, ratio(pr.merge, px.merge), pr.merges, px.merges, pr.work, px.work,
                                     ratio(pr.work, px.work)])
            C.print_table(["run", "count base", "count x10", "ratio", "merge base", "merge x10", "ratio",
                           "merges base", "merges x10", "work base", "work x10", "ratio"], rows,
                          title="Growth from base to x10 (seconds; ratio = x10 / base; the text is 10x)")

        # ---- cost of the constraints, 8k (or the first size) on the base corpus
        if not args.no_constraints and "base" in paths:
            size = 8000 if 8000 in sizes else sizes[0]
            path = paths["base"]
            variants = [
                ("plain (as above)", None),
                ("+ paradigms and lexicon", {"paradigms": str(paradigms), "lexicon": str(lexicon)}),
                ("+ probabilistic priority", {"prob_k": True}),
                ("+ strict seed morphemes", {"seeds": HINDI_SEEDS, "strict": True}),
                ("all three", {"paradigms": str(paradigms), "lexicon": str(lexicon), "prob_k": True,
                               "seeds": HINDI_SEEDS, "strict": True}),
            ]
            base_run = results[("base", size)][0] if ("base", size) in results else None
            # One more plain run that keeps its vocabulary, to see what the constraints change.
            plain_tsv = tmp / "plain.tsv"
            run_ours(path, size, args.theta, {"dump": str(plain_tsv)}, args.timeout)
            plain_vocab = read_surfaces(plain_tsv)
            rows = []
            for i, (label, opts) in enumerate(variants):
                dump = tmp / f"variant-{i}.tsv"
                if opts is not None:
                    opts = dict(opts, dump=str(dump))
                r = base_run if opts is None else best_run(
                    lambda: run_ours(path, size, args.theta, opts, args.timeout, name=label), args.reps)
                if r is None:
                    continue
                rel = (r.work / base_run.work) if (base_run and base_run.ok and r.work) else None
                rel_m = (r.merge / base_run.merge) if (base_run and base_run.merge and r.merge) else None
                changed = None
                if opts is not None and plain_vocab is not None:
                    mine = read_surfaces(dump)
                    changed = len(mine - plain_vocab) if mine is not None else None
                elif plain_vocab is not None:
                    changed = 0
                rows.append([label, r.vocab, r.merges, changed, r.count, r.prep, r.merge, r.work, r.merges_per_s,
                             r.peak_mib, rel, rel_m])
            C.print_table(["ours, base corpus", "vocab", "merges", "tokens not in plain", "read+count s",
                           "corpus+heap s", "merge s", "work s", "merges/s", "peak MiB", "work / plain",
                           "merge / plain"], rows,
                          title=f"Cost of the constraints (vocabulary {size:,}; seeds: {' '.join(HINDI_SEEDS)})")

        # ---- targets
        targets = []
        for (cname, size), runs in results.items():
            ours = runs[0]
            if not ours.ok:
                targets.append((f"{cname} {size:,}: our run", "failed", False))
                continue
            hf = next((r for r in runs if r.name == "tokenizers" and r.ok), None)
            if hf:
                targets.append((f"{cname} {size:,}: time <= 1/2 tokenizers'",
                                f"{ours.work:.2f}s vs {hf.work:.2f}s ({ours.work / hf.work:.2f}x)",
                                ours.work <= 0.5 * hf.work))
                targets.append((f"{cname} {size:,}: peak RSS <= tokenizers'",
                                f"{ours.peak_mib:.0f} vs {hf.peak_mib:.0f} MiB", ours.peak_mib <= hf.peak_mib))
            for r in runs[1:]:
                if r.name != "tokenizers" and r.ok:
                    targets.append((f"{cname} {size:,}: time < {r.name}",
                                    f"{ours.work:.2f}s vs {r.work:.2f}s ({ours.work / r.work:.2f}x)",
                                    ours.work < r.work))
            if ours.vocab is not None and ours.vocab < size:
                targets.append((f"{cname} {size:,}: reaches the vocabulary size",
                                f"stopped at {ours.vocab:,} (no admissible pair left)", False))
        if targets:
            C.print_targets(targets)


if __name__ == "__main__":
    main()
