#!/usr/bin/env python3
"""Encoding and decoding throughput against peer tokenizers, single-threaded.

Every tokenizer gets a vocabulary of the same size (default 8,000) trained on the same
text, the concatenation of hi-dev, mr-dev and ne-dev:

- ours: harvest_aksharas + initialize_vocab, then train_from_file (DEV pass, theta 100);
- tokenizers: BPE with byte fallback (NFC normalizer, U+2581 word marker as ours);
  RAYON_NUM_THREADS=1, one encode() per string (no encode_batch);
- sentencepiece: BPE with byte fallback (its default nmt_nfkc normalization), encode() of
  one string at a time;
- tiktoken: an Encoding built from a byte-level BPE trained by tokenizers on the same text
  (ranks: the 256 bytes, then the merges in order), with a simple word / punctuation /
  space pattern; encode_ordinary() of one string at a time.

Then each of hi-dev, mr-dev and ne-dev is encoded one call per line and in one call for the
whole file (best of several passes), giving MB/s of input and tokens per white-space word;
ours is also decoded (MB/s of output text). Memory: peak RSS of a fresh interpreter encoding
the three files' text in one call, and ten copies of it, against what the input string and
the output list account for.

Targets for ours: whole text >= 100 MB/s, >= 10x the faster of tokenizers and sentencepiece
and >= 2x the fastest peer (tiktoken included); per line >= the fastest
peer; decode >= 100 MB/s; memory beyond the output list does not grow with the text.

--superwords [SHARE]: also two larkspur.train tokenizers of the same size on the same file,
recipe "plain" without and with the superword stage (superwords=True, or the share given),
each encoding the same files one call per line, with encode_batch (one thread) and in one
call for the whole file; MB/s of each and the ratio of superwords to without. Target:
superwords >= 0.7x without, for each of the three. n/a when larkspur.train takes no
superwords=.
"""

from __future__ import annotations

import os

# Single-threaded peers: must be set before tokenizers starts its thread pool.
os.environ["RAYON_NUM_THREADS"] = "1"
os.environ["TOKENIZERS_PARALLELISM"] = "false"

import argparse  # noqa: E402
import inspect  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import _common as C  # noqa: E402
import _peers as P  # noqa: E402

MEM_CHILD = C.CHILD_PROLOGUE + r'''
import gc
L = import_larkspur()
tok = L.PyLarkspurTokenization()
tok.load_vocab_tsv(ARGS[0])
times = int(ARGS[2])
with open(ARGS[1], encoding="utf-8") as f:
    text = f.read()
if times > 1:
    text = text * times
gc.collect()
page_kib = os.sysconf("SC_PAGE_SIZE") // 1024
def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page_kib
str_before = sys.getsizeof(text)
before = rss_kib()
t0 = time.perf_counter()
ids = tok.encode(text)
secs = time.perf_counter() - t0
peak = self_peak_kib()
after = rss_kib()
str_after = sys.getsizeof(text)
# Size of the output list: the list itself plus one int object per id above the small-int
# cache, unless the binding shares int objects (checked on a sample).
big = sum(1 for i in ids if i > 256)
sample = [i for i in ids[:200000] if i > 256]
shared = len({id(i) for i in sample}) < len(sample)
int_size = sys.getsizeof(257)
int_block = (int_size + 7) // 8 * 8
list_bytes = sys.getsizeof(ids) + (0 if shared else big * int_block)
emit(seconds=secs, before_kib=before, after_kib=after, peak_kib=peak, n_ids=len(ids),
     list_bytes=list_bytes, ints_shared=shared, str_bytes=str_before,
     utf8_cache_bytes=str_after - str_before, text_bytes=len(text.encode("utf-8")))
'''


def train_ours(L, corpus: Path, vocab: int, theta: int):
    tok = L.PyLarkspurTokenization()
    with C.captured_stderr() as err:
        t0 = time.perf_counter()
        ak = tok.harvest_aksharas(str(corpus))
        seeded = tok.initialize_vocab(ak, [], C.PUNCTUATION, [], [])
        size = tok.train_from_file(str(corpus), vocab, theta, progress_lines=0, progress_merges=0)
        secs = time.perf_counter() - t0
    return tok, seeded, size, secs, err.text


def time_encoder(enc: P.Encoder, lines, whole, reps: int, max_reps: int, budget: float):
    e = enc.encode

    def per_line():
        for s in lines:
            e(s)

    n_line = sum(len(e(s)) for s in lines)  # warm-up pass, also the token count
    t_line = C.best_of(per_line, max_reps, min_reps=reps, budget_s=budget)
    box = {}

    def whole_call():
        box["ids"] = e(whole)

    t_whole = C.best_of(whole_call, max_reps, min_reps=reps, budget_s=budget)
    return t_line, n_line, t_whole, box["ids"]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--vocab", type=int, default=8000, help="vocabulary size for every tokenizer")
    ap.add_argument("--theta", type=int, default=100)
    ap.add_argument("--reps", type=int, default=3, help="least passes per measurement (best is kept)")
    ap.add_argument("--max-reps", type=int, default=15, help="most passes per measurement")
    ap.add_argument("--budget", type=float, default=5.0,
                    help="seconds after which a measurement stops repeating (once --reps passes are done)")
    ap.add_argument("--files", default="hi,mr,ne", help="which of hi,mr,ne to encode")
    ap.add_argument("--peers", default="tokenizers,sentencepiece,tiktoken")
    ap.add_argument("--times", type=int, default=10, help="size factor of the large memory run")
    ap.add_argument("--no-memory", action="store_true", help="skip the fresh-process memory runs")
    ap.add_argument("--superwords", nargs="?", const=True, type=float, metavar="SHARE",
                    help="also time larkspur.train(recipe='plain') tokenizers without and with superwords "
                         "(superwords=True, or superwords=SHARE)")
    args = ap.parse_args()

    files = C.require_corpus(*C.TEXT_FILES)
    L = C.import_larkspur()
    avail = P.available()
    wanted = [p.strip() for p in args.peers.split(",") if p.strip()]
    peer_note = ", ".join(f"{k} {v}" if v else f"{k} (not installed)" for k, v in avail.items() if k in wanted)
    C.print_header("bench_encode: encode / decode vs peers (single thread)",
                   [C.module_note(L), f"peers     {peer_note}",
                    f"threads   RAYON_NUM_THREADS={os.environ['RAYON_NUM_THREADS']}"])

    with C.scratch_dir("encode") as tmpdir:
        tmp = Path(tmpdir)
        corpus = C.write_concat(tmp / "hi-mr-ne.txt", files)

        # ---- training (not the subject here; times shown for orientation)
        train_rows = []
        tok, seeded, size, secs, err = train_ours(L, corpus, args.vocab, args.theta)
        vocab_tsv = tmp / "ours.tsv"
        tok.save_vocab_tsv(str(vocab_tsv))
        train_rows.append(["ours (harvest + seed + train_from_file)", size, secs, f"{seeded:,} seed tokens"])
        encoders = [P.Encoder("ours", tok.encode, tok.decode)]

        if "tokenizers" in wanted and avail.get("tokenizers"):
            t0 = time.perf_counter()
            hf = P.train_hf_bpe(corpus, args.vocab)
            train_rows.append(["tokenizers BPE, byte fallback", hf.get_vocab_size(), time.perf_counter() - t0, ""])
            encoders.append(P.hf_encoder(hf, "tokenizers"))
        if "sentencepiece" in wanted and avail.get("sentencepiece"):
            t0 = time.perf_counter()
            sp = P.train_sentencepiece(corpus, args.vocab, tmp / "spm", threads=os.cpu_count() or 1)
            train_rows.append(["sentencepiece BPE, byte fallback", sp.get_piece_size(), time.perf_counter() - t0, ""])
            encoders.append(P.sp_encoder(sp, "sentencepiece"))
        if "tiktoken" in wanted and avail.get("tiktoken") and avail.get("tokenizers"):
            try:
                t0 = time.perf_counter()
                bl = P.train_hf_bytelevel(corpus, args.vocab)
                tk = P.tiktoken_from_bytelevel(bl)
                train_rows.append(["tiktoken (byte-level BPE via tokenizers)", tk.n_vocab, time.perf_counter() - t0, ""])
                encoders.append(P.tiktoken_encoder(tk, "tiktoken"))
            except Exception as e:  # noqa: BLE001
                print(f"note: tiktoken skipped, the Encoding could not be built: {e}\n")
        elif "tiktoken" in wanted:
            print("note: tiktoken skipped (needs tiktoken and tokenizers installed)\n")
        for name in wanted:
            if name in ("tokenizers", "sentencepiece") and not avail.get(name):
                print(f"note: {name} is not installed; skipped\n")
        C.print_table(["tokenizer", "vocab", "train s", "note"], train_rows,
                      title=f"Vocabularies (trained on hi+mr+ne, {C.mb(corpus.stat().st_size):.1f} MB)")

        # ---- encoding
        picked = [f for f in files if f.name.split("-")[0] in args.files.split(",")]
        totals = {e.name: [0.0, 0.0, 0, 0, 0] for e in encoders}  # t_line, t_whole, bytes_l, bytes_w, tokens
        decode_rows = []
        roundtrip_bad = []
        ours_tokens = {}
        for path in picked:
            lines = C.read_lines(path)
            whole = path.read_text(encoding="utf-8")
            b_line = sum(len(s.encode("utf-8")) for s in lines)
            b_whole = len(whole.encode("utf-8"))
            words = len(whole.split())
            res = {}
            for enc in encoders:
                t_line, n_line, t_whole, ids = time_encoder(enc, lines, whole, args.reps, args.max_reps, args.budget)
                res[enc.name] = (t_line, n_line, t_whole, len(ids))
                tot = totals[enc.name]
                tot[0] += t_line
                tot[1] += t_whole
                tot[2] += b_line
                tot[3] += b_whole
                tot[4] += len(ids)
                if enc.name == "ours":
                    ours_tokens[path.name] = ids
            _print_encode_table(path.name, res, b_line, b_whole, words, lines)

            # decode: ours, and the peers for context
            ids_ours = ours_tokens[path.name]
            out_text = tok.decode(ids_ours)
            if out_text != tok.normalize(whole):
                roundtrip_bad.append(path.name)
            out_bytes = len(out_text.encode("utf-8"))
            t_dec = C.best_of(lambda: tok.decode(ids_ours), args.max_reps, args.reps, args.budget)
            per_line_ids = [tok.encode(s) for s in lines]
            dec = tok.decode
            t_dec_l = C.best_of(lambda: [dec(x) for x in per_line_ids], args.max_reps, args.reps, args.budget)
            decode_rows.append([f"ours, {path.name}", C.mb(out_bytes) / t_dec_l, C.mb(out_bytes) / t_dec,
                                len(ids_ours), "yes" if path.name not in roundtrip_bad else "NO"])

        all_bytes = sum(totals["ours"][3:4])
        rows = []
        peer_line = max((totals[n][2] / totals[n][0] for n in totals if n != "ours"), default=None)
        peer_whole = max((totals[n][3] / totals[n][1] for n in totals if n != "ours"), default=None)
        for name, (tl, tw, bl_, bw, ntok) in totals.items():
            rows.append([name, C.mb(bl_) / tl, C.mb(bw) / tw,
                         (bl_ / tl) / peer_line if peer_line else None,
                         (bw / tw) / peer_whole if peer_whole else None])
        C.print_table(["tokenizer", "per line MB/s", "whole MB/s", "vs fastest peer (line)",
                       "vs fastest peer (whole)"], rows,
                      title=f"All files together ({', '.join(p.name for p in picked)}; "
                            f"{C.mb(all_bytes):.1f} MB; time summed over the files)")
        C.print_table(["decode", "per line MB/s", "whole MB/s", "ids", "round trip == normalize()"],
                      decode_rows, title="Decode (MB/s of output text, best of the passes)")

        ours_line = C.mb(totals["ours"][2]) / totals["ours"][0]
        ours_whole = C.mb(totals["ours"][3]) / totals["ours"][1]
        dec_whole = min(r[2] for r in decode_rows) if decode_rows else 0.0

        # ---- memory
        mem_target = None
        mem_text = "skipped"
        if not args.no_memory:
            runs = []
            for times in (1, args.times):
                r = C.run_child(MEM_CHILD, [str(vocab_tsv), str(corpus), str(times)])
                if not r.ok:
                    print(f"memory run x{times} failed (exit {r.rc}):\n{r.tail()}\n")
                runs.append((times, r))
            rows = []
            extra = {}
            for times, r in runs:
                d = r.result
                if not d:
                    continue
                peak = C.mib(d["peak_kib"])
                before = C.mib(d["before_kib"])
                lst = d["list_bytes"] / 2**20
                u8 = d["utf8_cache_bytes"] / 2**20
                beyond = peak - before - lst
                extra[times] = beyond
                rows.append([f"x{times}", C.mb(d["text_bytes"]), d["str_bytes"] / 2**20, before, peak, lst, u8,
                             beyond, beyond - u8, beyond * 2**20 / d["text_bytes"], d["n_ids"],
                             C.mb(d["text_bytes"]) / d["seconds"]])
            C.print_table(["text", "MB utf-8", "str MiB", "RSS before", "peak RSS", "output list", "utf-8 cache",
                           "beyond list", "  less cache", "B per input B", "ids", "MB/s"], rows,
                          title="Memory of one encode() of the whole text in a fresh interpreter (MiB)\n"
                                "(beyond list = peak - RSS before the call - output list; it includes the\n"
                                " UTF-8 copy that CPython caches in the input str, shown as utf-8 cache)")
            if 1 in extra and args.times in extra:
                growth = extra[args.times] - extra[1]
                mem_text = f"x1 {extra[1]:.1f} MiB -> x{args.times} {extra[args.times]:.1f} MiB ({growth:+.1f} MiB)"
                mem_target = growth <= 16.0

        targets = [
            ("whole text >= 100 MB/s", f"{ours_whole:.1f} MB/s", ours_whole >= 100),
        ]
        bpe_whole = max((totals[n][3] / totals[n][1] for n in totals if n in ("tokenizers", "sentencepiece")),
                        default=None)
        if bpe_whole:
            targets.append(("whole text >= 10x the faster of tokenizers and sentencepiece",
                            f"{ours_whole / C.mb(bpe_whole):.1f}x ({ours_whole:.1f} vs {C.mb(bpe_whole):.1f} MB/s)",
                            ours_whole >= 10 * C.mb(bpe_whole)))
        if peer_whole:
            targets.append(("whole text >= 2x the fastest peer", f"{ours_whole / C.mb(peer_whole):.2f}x "
                            f"({ours_whole:.1f} vs {C.mb(peer_whole):.1f} MB/s)", ours_whole >= 2 * C.mb(peer_whole)))
        if peer_line:
            targets.append(("per line >= the fastest peer", f"{ours_line / C.mb(peer_line):.2f}x "
                            f"({ours_line:.1f} vs {C.mb(peer_line):.1f} MB/s)", ours_line >= C.mb(peer_line)))
        targets.append(("decode >= 100 MB/s (whole text, slowest file)", f"{dec_whole:.1f} MB/s", dec_whole >= 100))
        targets.append(("decode(encode(x)) == normalize(x)", "all files" if not roundtrip_bad else
                        f"differs for {', '.join(roundtrip_bad)}", not roundtrip_bad))
        targets.append(("memory beyond the output list flat from x1 to x%d (grows <= 16 MiB)" % args.times,
                        mem_text, mem_target))
        if args.superwords is not None:
            targets.append(superword_throughput(args, corpus, picked))
        C.print_targets(targets)


SW_SPEED_LIMIT = 0.7  # encoding with superwords, at least this share of the speed without


def superword_throughput(args, corpus: Path, picked) -> tuple:
    """Prints the table of --superwords and returns its target line."""
    import larkspur

    name = f"encode with superwords >= {SW_SPEED_LIMIT}x without (per line, batch, whole text)"
    if "superwords" not in inspect.signature(larkspur.train).parameters:
        print("note: larkspur.train takes no superwords=; the superword figures are n/a\n")
        return name, "n/a: larkspur.train takes no superwords=", None
    kinds = (("plain", {}), ("plain + superwords", {"superwords": args.superwords}))
    toks, train_rows = {}, []
    for label, extra in kinds:
        t0 = time.perf_counter()
        tok = larkspur.train([str(corpus)], vocab_size=args.vocab, recipe="plain", progress=False,
                             num_workers=1, **extra)
        train_rows.append([f"larkspur.train {label}", tok.vocab_size, time.perf_counter() - t0])
        toks[label] = tok
    C.print_table(["tokenizer", "vocab", "train s"], train_rows,
                  title=f"Superwords (superwords={args.superwords!r}): trained on {corpus.name}")
    # seconds per figure, summed over the files; the bytes are the same for both tokenizers
    secs = {label: {"line": 0.0, "batch": 0.0, "whole": 0.0} for label, _ in kinds}
    tokens = {label: 0 for label, _ in kinds}
    b_line = b_whole = words = 0
    for path in picked:
        lines = C.read_lines(path)
        whole = path.read_text(encoding="utf-8")
        b_line += sum(len(s.encode("utf-8")) for s in lines)
        b_whole += len(whole.encode("utf-8"))
        words += len(whole.split())
        for label, tok in toks.items():
            t_line, _, t_whole, ids = time_encoder(P.Encoder(label, tok.encode), lines, whole, args.reps,
                                                   args.max_reps, args.budget)
            t_batch = C.best_of(lambda: tok.encode_batch(lines, num_threads=1), args.max_reps, args.reps,
                                args.budget)
            for figure, t in (("line", t_line), ("batch", t_batch), ("whole", t_whole)):
                secs[label][figure] += t
            tokens[label] += len(ids)
    nbytes = {"line": b_line, "batch": b_line, "whole": b_whole}
    base = secs["plain"]
    rows = [[label, tokens[label] / words] + [C.mb(nbytes[f]) / t[f] for f in nbytes]
            + [base[f] / t[f] for f in nbytes] for label, t in secs.items()]
    C.print_table(["tokenizer", "tok/word whole", "per line MB/s", "batch MB/s", "whole MB/s", "vs plain line",
                   "vs plain batch", "vs plain whole"], rows,
                  title=f"Encoding with and without superwords ({', '.join(p.name for p in picked)}; "
                        f"{C.mb(b_whole):.1f} MB; encode_batch on one thread; time summed over the files)")
    ratios = {f: base[f] / secs["plain + superwords"][f] for f in nbytes}
    return (name, ", ".join(f"{f} {r:.2f}x" for f, r in ratios.items()),
            all(r >= SW_SPEED_LIMIT for r in ratios.values()))


def _print_encode_table(name, res, b_line, b_whole, words, lines):
    peers = {k: v for k, v in res.items() if k != "ours"}
    best_line = max((b_line / v[0] for v in peers.values()), default=None)
    best_whole = max((b_whole / v[2] for v in peers.values()), default=None)
    rows = []
    for k, (t_line, n_line, t_whole, n_whole) in res.items():
        rows.append([k, C.mb(b_line) / t_line, C.mb(b_whole) / t_whole, n_line / words, n_whole / words,
                     (b_line / t_line) / best_line if best_line else None,
                     (b_whole / t_whole) / best_whole if best_whole else None])
    C.print_table(["tokenizer", "per line MB/s", "whole MB/s", "tok/word line", "tok/word whole",
                   "vs best peer line", "vs best peer whole"], rows,
                  title=f"{name}: {C.mb(b_whole):.2f} MB, {len(lines):,} lines, {words:,} words")


if __name__ == "__main__":
    main()
