#!/usr/bin/env python3
"""Tokenization quality on held-out text: larkspur's recipes against the peers, trained on
one part of each language file and measured on another, at the same vocabulary sizes.

For each of hi, mr and ne (hi-dev.txt, mr-dev.txt, ne-dev.txt) and each vocabulary size
(8,000 and 32,000, every id counted), five systems are trained on the training part of
the file, each in a fresh interpreter, all single-threaded:

- larkspur plain:  larkspur.train(recipe="plain");
- larkspur morph:  larkspur.train(recipe="morph"), for Hindi with the paradigms of the
  even root ids and the lexicon entries of those roots;
- tokenizers BPE:  NFC, Metaspace (U+2581, prepended), byte fallback, the 256 byte tokens
  and <unk> inside the vocabulary size;
- sentencepiece BPE and unigram: byte_fallback, character_coverage 1.0, every training
  line (input_sentence_size 0), its default normalization (nmt_nfkc).

The split: each file's lines in runs of 200 consecutive lines, every 10th run held out
(runs 4, 14, 24, ...). Every held-out line is put into NFC and encoded on its own.

Per system, language and size: tokens per white-space word; byte-fallback tokens as a
share of all tokens; the share of tokens that split an akshara (a start or an end strictly
inside an akshara of the NFC line, the aksharas from the exact class's dfa_tokenize_debug;
byte tokens of a character of several bytes always split); for Hindi, the share of
held-out paradigm forms (odd root ids; stem+suffix encoded as a word of its own) with a
token boundary right after the stem; training time (best of --reps, the training call
alone, in a fresh process); the Rényi efficiency (alpha 2.5) of the ids over the held-out
text, H_2.5(p) / log V with p the relative frequencies of the ids and V the ids the system
has (Zouhar et al. 2023, "Tokenization and the noiseless channel"), and UTF-8 bytes of
the held-out NFC lines per token. A second table shows where the tokens go: bytes, bare
word markers, punctuation standing alone after a word, other punctuation, single aksharas
and longer tokens, per 100 words.

With --compare-options (the default), larkspur's recipes are also trained with every
option the recipe run records in its settings forced off, when larkspur.train takes an
`options` mapping; the time target compares the two. The repetitions of the two set-ups
alternate in one process, so that the machine's noise falls on both alike. Otherwise
that target is n/a.

Targets (MET or MISSED): plain's tokens per word <= the tokenizers BPE's at both sizes,
for each language; morph's <= 1.03x the BPE's, and morph's Hindi stem|suffix recall >= 3x
the BPE's; byte-fallback tokens < 0.1 % for both recipes; akshara-splitting tokens below
every peer's share; training time with the options <= 1.2x that without them.

A bilingual table follows (bench/_bilingual.py): each language mixed with English prose,
about half and half and one part English to nine, at 16,000 and 32,000 ids, larkspur with
its default arguments against the tokenizers BPE on held-out text of both languages.
Its Rényi efficiency and bytes per token are taken over the held-out text of both
languages together. Targets: English tokens per word <= 1.03x the BPE's, the Devanagari
language's <= 1.00x, akshara-splitting tokens below the BPE's. --bilingual-only runs that
table alone; --english FILE mixes another English text in.

--superwords adds a superword table (--superwords-only runs it alone): at 32,000 and
64,000 ids (--superword-sizes), for each language, the tokenizers BPE, larkspur plain,
larkspur morph and larkspur plain with superwords=True (--superword-share X passes the
share X instead), the last trained in one process with plain, their repetitions
interleaved. Columns: tokens per word and its ratio to the BPE's, akshara-splitting and
byte-fallback tokens, Rényi efficiency, bytes per token, training time and its ratio to
plain's. Targets: superwords' tokens per word <= 0.85x the BPE's at 32,000 and <= 0.80x
at 64,000; its akshara-splitting tokens below every peer's trained at that size; its
training time <= 3x plain's. When larkspur.train takes no `superwords=`, those rows and
targets are n/a and the rest runs.

--quick: Hindi only, 8,000 ids (32,000 for the superword table), 1,000 held-out lines, one
training per system (well under two minutes). A full run takes a few minutes on two cores.
"""

from __future__ import annotations

import argparse
import inspect
import json
import os
import sys
import time
import unicodedata
from collections import Counter
from pathlib import Path
from typing import Dict, List, Optional, Sequence

import _bilingual as B
import _common as C
import _quality as Q

LANGS = ("hi", "mr", "ne")
SIZES = (8000, 32000)
BLOCK, EVERY, HELD = 200, 10, 4
BPE = "tokenizers BPE"
PEERS = (BPE, "sentencepiece BPE", "sentencepiece unigram")
SYSTEMS = ("larkspur plain", "larkspur morph") + PEERS
SUPERWORDS = "larkspur plain + superwords"
SW_SYSTEMS = (BPE, "larkspur plain", "larkspur morph", SUPERWORDS)
SW_SIZES = (32000, 64000)
SW_LIMITS = {32000: 0.85, 64000: 0.80}  # superwords' tokens per word over the BPE's, at most
SW_TIME_LIMIT = 3.0                     # superwords' training time over plain's, at most
NO_SUPERWORDS = "n/a: larkspur.train takes no superwords="
THREAD_ENV = ("RAYON_NUM_THREADS", "OMP_NUM_THREADS")

# ----------------------------------------------------------------------------- training children
# Each training runs in a fresh interpreter with the same start: imports done, then the
# clock runs around the training call alone (reading and counting the file included,
# saving the model not, except for sentencepiece, whose trainer writes it as it ends).

# Trains one recipe in one or more set-ups (with and without the core options), the
# repetitions of the set-ups interleaved, so that a noisy stretch of a shared machine falls
# on both alike instead of on whichever ran then.
LARKSPUR_CHILD = C.CHILD_PROLOGUE + r'''
import larkspur
path, vocab, recipe, reps, threads = ARGS[0], int(ARGS[1]), ARGS[2], int(ARGS[3]), int(ARGS[4])
outs, extras = json.loads(ARGS[5]), json.loads(ARGS[6])
times = [[] for _ in outs]
toks = [None for _ in outs]
for _ in range(reps):
    for k, extra in enumerate(extras):
        kw = dict(vocab_size=vocab, recipe=recipe, progress=False, num_workers=threads)
        kw.update(extra)
        with_options = kw.pop("_core_options", True)
        t0 = time.perf_counter()
        if with_options:
            tok = larkspur.train([path], **kw)
        else:  # the same recipe on the exact module's defaults, through the same counting
            workers = kw.pop("num_workers")
            tok = larkspur.train_from_word_counts(larkspur.count_words([path], num_workers=workers),
                                                  _core_options=False, **kw)
        times[k].append(time.perf_counter() - t0)
        toks[k] = tok
for tok, out in zip(toks, outs):
    tok.save(out)
emit(runs=[dict(times=t, ids=tok.vocab_size, options=tok.settings.get("options", {}))
           for t, tok in zip(times, toks)])
'''

HF_CHILD = C.CHILD_PROLOGUE + r'''
import _peers as P
path, vocab, out, reps = ARGS[0], int(ARGS[1]), ARGS[2], int(ARGS[3])
times = []
for _ in range(reps):
    tok, trainer = P.hf_bpe(vocab)
    t0 = time.perf_counter()
    tok.train([path], trainer)
    times.append(time.perf_counter() - t0)
tok.save(out)
emit(times=times, ids=tok.get_vocab_size())
'''

SP_CHILD = C.CHILD_PROLOGUE + r'''
import sentencepiece as spm
import _peers as P
from pathlib import Path
path, vocab, prefix, reps, threads, model_type = ARGS[0], int(ARGS[1]), ARGS[2], int(ARGS[3]), int(ARGS[4]), ARGS[5]
longest = P.max_line_bytes(Path(path))
times = []
for _ in range(reps):
    t0 = time.perf_counter()
    spm.SentencePieceTrainer.train(
        input=path, model_prefix=prefix, model_type=model_type, vocab_size=vocab,
        byte_fallback=True, character_coverage=1.0, num_threads=threads,
        input_sentence_size=0, shuffle_input_sentence=False, max_sentence_length=longest + 16,
        hard_vocab_limit=False, minloglevel=2)
    times.append(time.perf_counter() - t0)
sp = spm.SentencePieceProcessor(model_file=prefix + ".model")
emit(times=times, ids=sp.get_piece_size())
'''


class Trained:
    def __init__(self, system: str, note: str = ""):
        self.system = system
        self.ok = False
        self.seconds: Optional[float] = None   # best of the repetitions
        self.ids: Optional[int] = None
        self.model: Optional[str] = None       # path of what the child saved
        self.options: Dict[str, object] = {}
        self.note = note


def _finish(run: Trained, r: C.ChildResult, model: str) -> Trained:
    if not r.ok or not r.result:
        run.note = f"training failed (exit {r.rc})"
        print(f"!! {run.system}: {run.note}\n{r.tail()}", flush=True)
        return run
    run.ok = True
    run.seconds = min(r.result["times"])
    run.ids = r.result["ids"]
    run.options = r.result.get("options") or {}
    run.model = model
    return run


def train_larkspur(systems: Sequence[str], path: Path, vocab: int, recipe: str, extras: Sequence[dict],
                   dest: Path, reps: int, threads: int, timeout: float) -> List[Trained]:
    """The recipe in each set-up of `extras` (one system each), in one child."""
    outs = [str(dest / f"{system.replace(' ', '-')}-{vocab}") for system in systems]
    r = C.run_child(LARKSPUR_CHILD, [str(path), str(vocab), recipe, str(reps), str(threads),
                                     json.dumps(outs), json.dumps(list(extras), ensure_ascii=False)],
                    env=_thread_env(threads), timeout=timeout * len(systems))
    runs = []
    for k, (system, out) in enumerate(zip(systems, outs)):
        one = r.result["runs"][k] if r.ok and r.result else None
        runs.append(_finish(Trained(system), C.ChildResult(r.ok, r.rc, r.wall, r.peak_kib, one, r.lines), out))
    return runs


def train_hf(path: Path, vocab: int, dest: Path, reps: int, threads: int, timeout: float) -> Trained:
    out = str(dest / f"hf-bpe-{vocab}.json")
    r = C.run_child(HF_CHILD, [str(path), str(vocab), out, str(reps)], env=_thread_env(threads),
                    timeout=timeout)
    return _finish(Trained(BPE), r, out)


def train_sp(model_type: str, path: Path, vocab: int, dest: Path, reps: int, threads: int,
             timeout: float) -> Trained:
    prefix = str(dest / f"sp-{model_type}-{vocab}")
    r = C.run_child(SP_CHILD, [str(path), str(vocab), prefix, str(reps), str(threads), model_type],
                    env=_thread_env(threads), timeout=timeout)
    return _finish(Trained(f"sentencepiece {'BPE' if model_type == 'bpe' else 'unigram'}"), r, prefix + ".model")


def _thread_env(threads: int) -> Dict[str, str]:
    env = {name: str(threads) for name in THREAD_ENV}
    env["TOKENIZERS_PARALLELISM"] = "false" if threads == 1 else "true"
    return env


def superwords_keyword() -> bool:
    """Whether this larkspur.train takes `superwords=` (the opt-in stage of whole-word tokens)."""
    import larkspur

    try:
        return "superwords" in inspect.signature(larkspur.train).parameters
    except (TypeError, ValueError):
        return False


def options_keyword() -> bool:
    """Whether this larkspur can train a recipe with the core's options off (the exact
    module's defaults), for the comparison of training times."""
    from larkspur import _training

    try:
        return "_core_options" in inspect.signature(_training._train_words).parameters
    except (TypeError, ValueError, AttributeError):
        return False


# ----------------------------------------------------------------------------- encoding to pieces

def larkspur_pieces(path: str):
    import larkspur

    import _peers as P

    tok = larkspur.load(path)
    kinds = tok._engine.export_tokens()[1]
    symbol_byte = {s: b for b, s in P._bytes_to_unicode().items()}
    byte_of = {}
    for i, k in enumerate(kinds):
        if k == "B":
            name = tok.id_to_token(i)  # "<0xE0>"; a build before byte names gives the byte's symbol
            byte_of[i] = int(name[3:5], 16) if name.startswith("<0x") else symbol_byte[name]
    enc = tok.encode_with_offsets

    def pieces(line: str) -> List[Q.Piece]:
        ids, spans = enc(line)
        return [Q.Piece(s, e, byte_of.get(i, -1), i) for i, (s, e) in zip(ids, spans)]

    return pieces, tok


def hf_pieces(path: str):
    from tokenizers import Tokenizer

    tok = Tokenizer.from_file(path)
    byte_of = {}
    for surface, i in tok.get_vocab().items():
        if len(surface) == 6 and surface.startswith("<0x") and surface.endswith(">"):
            byte_of[i] = int(surface[3:5], 16)
    enc = tok.encode

    def pieces(line: str) -> List[Q.Piece]:
        e = enc(line, add_special_tokens=False)
        return [Q.Piece(s, t, byte_of.get(i, -1), i) for i, (s, t) in zip(e.ids, e.offsets)]

    return pieces, tok


def sp_pieces(path: str):
    import sentencepiece as spm

    sp = spm.SentencePieceProcessor(model_file=path)
    byte_of = {i: int(sp.id_to_piece(i)[3:5], 16) for i in range(sp.get_piece_size()) if sp.is_byte(i)}

    def proto(line: str):
        try:
            return sp.encode(line, return_type="proto")
        except TypeError:  # sentencepiece before return_type
            return sp.encode(line, out_type="immutable_proto")

    def pieces(line: str) -> List[Q.Piece]:
        # Offsets are in UTF-8 bytes. The byte pieces of one character all start where it
        # starts, and only the last one ends where it ends; each gets the character's span,
        # as the other systems give it.
        where = Q.char_index_of_bytes(line)
        out = []
        for p in proto(line).pieces:
            b = byte_of.get(p.id, -1)
            start = where[p.begin]
            out.append(Q.Piece(start, start + 1 if b >= 0 else where[p.end], b, p.id))
        return out

    return pieces, sp


def loader(system: str):
    if system.startswith("larkspur"):
        return larkspur_pieces
    if system == BPE:
        return hf_pieces
    return sp_pieces


# ----------------------------------------------------------------------------- measuring

class Measured:
    def __init__(self):
        self.words = 0
        self.text_bytes = 0    # UTF-8 bytes of the held-out NFC lines
        self.tokens = 0
        self.ids: Counter = Counter()  # id -> tokens of it
        self.bytes = 0
        self.unseen_bytes = 0  # held-out bytes of characters the training part lacks
        self.splitting = 0
        self.kinds = {k: 0 for k in Q.KINDS}
        self.forms = 0
        self.kept = 0
        self.in_text = 0       # occurrences of held-out forms in the held-out text
        self.kept_in_text = 0

    @property
    def tpw(self) -> float:
        return self.tokens / max(self.words, 1)

    def share(self, n: int) -> float:
        return n / max(self.tokens, 1)

    @property
    def bytes_per_token(self) -> float:
        return self.text_bytes / max(self.tokens, 1)

    def renyi(self, vocab: Optional[int]) -> Optional[float]:
        """Rényi efficiency of the ids over a vocabulary of `vocab` ids."""
        return Q.renyi_efficiency(self.ids.values(), vocab) if vocab else None

    def __add__(self, other: "Measured") -> "Measured":
        """The measures of two held-out texts taken as one."""
        out = Measured()
        for name, value in vars(self).items():
            mine, theirs = value, getattr(other, name)
            setattr(out, name, {k: mine[k] + theirs[k] for k in mine} if name == "kinds" else mine + theirs)
        return out

    @property
    def recall(self) -> Optional[float]:
        return self.kept / self.forms if self.forms else None

    @property
    def recall_in_text(self) -> Optional[float]:
        return self.kept_in_text / self.in_text if self.in_text else None


class Heldout:
    """The held-out lines of one language in NFC, with their aksharas."""

    def __init__(self, lines: Sequence[str], exact, trained_chars: frozenset = frozenset()):
        self.lines = [unicodedata.normalize("NFC", s) for s in lines if s.strip()]
        self.words = sum(len(s.split()) for s in self.lines)
        self.utf8_bytes = sum(len(s.encode("utf-8")) for s in self.lines)
        # The bytes of characters that the training part never holds: no vocabulary
        # trained on it has an id for them, so every system spells them as bytes.
        self.unseen_bytes = sum(len(c.encode()) for s in self.lines for c in s
                                if not c.isspace() and c not in trained_chars)
        self.inside = []
        self.ends = []
        for s in self.lines:
            ak = exact.dfa_tokenize_debug(s)
            self.inside.append(Q.inside_flags(ak, len(s)))
            self.ends.append(Q.akshara_ends(ak))


def measure(pieces_of, held: Heldout, forms: Sequence[tuple]) -> Measured:
    m = Measured()
    m.words = held.words
    m.text_bytes = held.utf8_bytes
    m.unseen_bytes = held.unseen_bytes
    for line, inside, ends in zip(held.lines, held.inside, held.ends):
        ps = pieces_of(line)
        m.tokens += len(ps)
        m.ids.update(p.id for p in ps)
        for p in ps:
            if p.byte >= 0:
                m.bytes += 1
            if Q.splits_akshara(p, inside):
                m.splitting += 1
            m.kinds[Q.kind(line, p, ends)] += 1
    occurrences = Q.form_occurrences(forms, held.lines) if forms else {}
    for stem, suffix in forms:
        kept = Q.has_boundary_at(pieces_of(stem + suffix), len(stem))
        n = occurrences.get((stem, suffix), 0)
        m.forms += 1
        m.kept += kept
        m.in_text += n
        m.kept_in_text += n * kept
    return m


# ----------------------------------------------------------------------------- the run

class Row:
    def __init__(self, lang: str, size: int, trained: Trained, m: Optional[Measured]):
        self.lang, self.size, self.trained, self.m = lang, size, trained, m

    @property
    def system(self) -> str:
        return self.trained.system

    @property
    def renyi(self) -> Optional[float]:
        return self.m.renyi(self.trained.ids) if self.m else None


def check_larkspur_counts(tok, held: Heldout, m: Measured) -> str:
    """The token and byte counts of the spans against the tokenizer's own stats()."""
    st = tok.stats(texts=held.lines)
    if st["tokens"] != m.tokens or abs(st["byte_fallback_share"] - m.share(m.bytes)) > 1e-12:
        return (f"stats() counts {st['tokens']} tokens, {st['byte_fallback_share']:.5f} bytes; "
                f"the spans {m.tokens}, {m.share(m.bytes):.5f}")
    return ""


def run_language(lang: str, sizes: Sequence[int], sw_sizes: Sequence[int], args, exact, scratch: Path, forms,
                 morph_extra, compare: bool, superwords) -> List[Row]:
    """The rows of the main table at `sizes` and of the superword table at `sw_sizes`; a
    system both tables hold at one size is trained once. superwords: what to pass as
    `superwords=` (True or a share), None when larkspur.train does not take it."""
    path = C.corpus_path(f"{lang}-dev.txt")
    train_lines, held_lines = Q.split_blocks(C.read_lines(path), BLOCK, EVERY, HELD)
    if args.heldout_lines and len(held_lines) > args.heldout_lines:
        step = len(held_lines) / args.heldout_lines
        held_lines = [held_lines[int(i * step)] for i in range(args.heldout_lines)]
    dest = scratch / lang
    dest.mkdir()
    train_path = dest / "train.txt"
    train_path.write_text("\n".join(train_lines) + "\n", encoding="utf-8")
    trained_chars = frozenset(c for line in train_lines for c in unicodedata.normalize("NFC", line))
    held = Heldout(held_lines, exact, trained_chars)
    print(f"{lang}: training part {len(train_lines):,} lines ({C.mb(train_path.stat().st_size):.1f} MB), "
          f"held out {len(held.lines):,} lines, {held.words:,} words"
          + (f"; {len(forms):,} held-out paradigm forms" if lang == "hi" else ""), flush=True)
    rows: List[Row] = []
    for size in sorted(set(sizes) | set(sw_sizes)):
        main, sw = size in sizes, size in sw_sizes
        runs: List[Trained] = []
        for recipe in ("plain", "morph"):
            extra = dict(morph_extra) if recipe == "morph" and lang == "hi" else {}
            if args.latin_share is not None:
                extra["latin_share"] = args.latin_share
            systems, extras = [f"larkspur {recipe}"], [extra]
            if main and compare:
                systems.append(f"larkspur {recipe} (options off)")
                extras.append(dict(extra, _core_options=False))
            # Superwords beside plain in one child, the repetitions interleaved, for the
            # ratio of their training times.
            if sw and recipe == "plain" and superwords is not None:
                systems.append(SUPERWORDS)
                extras.append(dict(extra, superwords=superwords))
            runs += train_larkspur(systems, train_path, size, recipe, extras, dest, args.reps, args.threads,
                                   args.timeout)
        if sw and superwords is None:
            runs.append(Trained(SUPERWORDS, NO_SUPERWORDS))
        runs.append(train_hf(train_path, size, dest, args.reps, args.threads, args.timeout))
        if main:
            runs.append(train_sp("bpe", train_path, size, dest, args.reps, args.threads, args.timeout))
            runs.append(train_sp("unigram", train_path, size, dest, args.reps, args.threads, args.timeout))
        for run in runs:
            if not run.ok:
                rows.append(Row(lang, size, run, None))
                continue
            pieces_of, model = loader(run.system)(run.model)
            m = measure(pieces_of, held, forms if lang == "hi" else ())
            if run.system.startswith("larkspur"):
                problem = check_larkspur_counts(model, held, m)
                if problem:
                    run.note = "counts differ"
                    print(f"!! {lang} {size} {run.system}: {problem}", flush=True)
            rows.append(Row(lang, size, run, m))
        print(f"  {lang} {size:,}: trained and measured {sum(r.ok for r in runs)} systems", flush=True)
    return rows


def pct(x: Optional[float]) -> Optional[float]:
    return None if x is None else 100.0 * x


RENYI_NOTE = (f"Renyi {Q.RENYI_ALPHA}: Renyi efficiency (alpha {Q.RENYI_ALPHA}) of the held-out ids over "
              "log(ids); bytes/tok: UTF-8 bytes of the held-out NFC lines per token")


def _table_rows(rows: List[Row], columns) -> List[list]:
    """One line per row: language, size, system, ids, then `columns(row, bpe_row)`
    (a list of len(columns(None, None))) or dashes and the note when it was not measured."""
    bpe = {(r.lang, r.size): r for r in rows if r.system == BPE and r.m}
    width = len(columns(None, None))
    table = []
    for r in rows:
        ids = r.trained.ids
        ids_text = None if ids is None else (f"{ids:,}" + ("*" if ids < r.size else ""))
        cells = columns(r, bpe.get((r.lang, r.size))) if r.m else [None] * width
        table.append([r.lang, f"{r.size // 1000}k", r.system, ids_text] + cells + [r.trained.note])
    return table


def print_tables(rows: List[Row]) -> None:
    def columns(r: Optional[Row], ref: Optional[Row]) -> list:
        if r is None:
            return [None] * 9
        m = r.m
        return [m.tpw, m.tpw / ref.m.tpw if ref else None, pct(m.share(m.bytes)), pct(m.share(m.splitting)),
                pct(m.recall), pct(m.recall_in_text), r.renyi, m.bytes_per_token, r.trained.seconds]

    C.print_table(["lang", "size", "system", "ids", "tokens/word", "vs BPE", "byte %", "split akshara %",
                   "stem|suffix %", "in text %", f"Renyi {Q.RENYI_ALPHA}", "bytes/tok", "train s", "note"],
                  _table_rows(rows, columns),
                  title="Held-out text: tokens per white-space word, byte-fallback and akshara-splitting "
                        "tokens as % of all tokens; stem|suffix: held-out Hindi paradigm forms keeping their "
                        "stem|suffix boundary (each distinct form once; 'in text': each occurrence of a form "
                        f"in the held-out text); {RENYI_NOTE}; training time (best of the repetitions). ids: "
                        "every id of the trained vocabulary (* where the trainer stopped below the size asked for)")
    table = []
    for r in rows:
        if r.m is None:
            continue
        m = r.m
        per100 = 100.0 / max(m.words, 1)
        table.append([r.lang, f"{r.size // 1000}k", r.system, m.tokens * per100]
                     + [m.kinds[k] * per100 for k in Q.KINDS])
    C.print_table(["lang", "size", "system", "tokens"] + list(Q.KINDS), table,
                  title="Where the tokens go, per 100 held-out words: byte-fallback tokens, bare word markers "
                        "(white space alone), punctuation alone right after a word, other punctuation, tokens "
                        "joining letters and punctuation, whole words, single aksharas and longer pieces of a "
                        "word (a marker's space not counted as part of what a token spells)")


def print_superword_table(rows: List[Row]) -> None:
    plain = {(r.lang, r.size): r for r in rows if r.system == "larkspur plain" and r.trained.ok}

    def columns(r: Optional[Row], ref: Optional[Row]) -> list:
        if r is None:
            return [None] * 8
        m, base = r.m, plain.get((r.lang, r.size))
        slower = r.trained.seconds / base.trained.seconds if r.system == SUPERWORDS and base else None
        return [m.tpw, m.tpw / ref.m.tpw if ref else None, pct(m.share(m.splitting)), pct(m.share(m.bytes)),
                r.renyi, m.bytes_per_token, r.trained.seconds, slower]

    C.print_table(["lang", "size", "system", "ids", "tokens/word", "vs BPE", "split akshara %", "byte %",
                   f"Renyi {Q.RENYI_ALPHA}", "bytes/tok", "train s", "vs plain s", "note"],
                  _table_rows(rows, columns),
                  title="Superwords: larkspur plain with the superword stage against plain, morph and the "
                        "tokenizers BPE on the held-out text; columns as in the first table; vs plain s: "
                        "training time with superwords over plain's (the two trained in one process, their "
                        "repetitions interleaved)")


def superword_targets(rows: List[Row], langs: Sequence[str], sizes: Sequence[int], available: bool):
    """rows: every row measured (the akshara target compares with every peer at the size)."""
    bounds = ", ".join(f"<= {SW_LIMITS[s]:.2f}x the BPE's at {s // 1000}k" for s in sizes if s in SW_LIMITS)
    names = (f"tokens/word {bounds or 'against the BPE (no target at these sizes)'}",
             "akshara-splitting tokens below every peer's")
    time_name = f"training time with superwords <= {SW_TIME_LIMIT:g}x plain's"
    if not available:
        return [(f"{lang}: superwords {n}", NO_SUPERWORDS, None) for lang in langs for n in names] \
            + [(time_name, NO_SUPERWORDS, None)]
    by = {(r.lang, r.size, r.system): r for r in rows if r.m}
    items = []
    for lang in langs:
        tpw, split = ([], []), ([], [])  # (texts, verdicts) each
        for size in sizes:
            ours, ref = by.get((lang, size, SUPERWORDS)), by.get((lang, size, BPE))
            if ours is None or ref is None:
                tpw[0].append(f"{size // 1000}k n/a")
                tpw[1].append(None)
            else:
                ratio = ours.m.tpw / ref.m.tpw
                limit = SW_LIMITS.get(size)
                tpw[0].append(f"{size // 1000}k {ours.m.tpw:.3f} vs {ref.m.tpw:.3f} ({ratio:.3f}x"
                              + ("" if limit else ", no target at this size") + ")")
                if limit:
                    tpw[1].append(ratio <= limit + 1e-12)
            peers = [by[(lang, size, s)] for s in PEERS if (lang, size, s) in by]
            if ours is None or not peers:
                split[1].append(None)
                continue
            low = min(peers, key=lambda r: r.m.share(r.m.splitting))
            a, b = 100 * ours.m.share(ours.m.splitting), 100 * low.m.share(low.m.splitting)
            split[0].append(f"{size // 1000}k {a:.2f} % vs {b:.2f} % ({low.system})")
            split[1].append(a < b)
        for name, (texts, oks) in zip(names, (tpw, split)):
            items.append((f"{lang}: superwords {name}", "; ".join(texts) or "n/a",
                          None if None in oks or not oks else all(oks)))
    pairs = [(r, by[(r.lang, r.size, "larkspur plain")]) for r in by.values()
             if r.system == SUPERWORDS and r.size in sizes and (r.lang, r.size, "larkspur plain") in by]
    if pairs:
        sw, plain = max(pairs, key=lambda p: p[0].trained.seconds / p[1].trained.seconds)
        ratio = sw.trained.seconds / plain.trained.seconds
        items.append((time_name, f"highest {ratio:.2f}x ({sw.lang} {sw.size // 1000}k: {sw.trained.seconds:.2f} "
                                 f"vs {plain.trained.seconds:.2f} s; {len(pairs)} pairs)", ratio <= SW_TIME_LIMIT))
    else:
        items.append((time_name, "n/a: no superword training finished", None))
    return items


def targets(rows: List[Row], langs: Sequence[str], sizes: Sequence[int], compare: bool, can_compare: bool):
    by = {(r.lang, r.size, r.system): r for r in rows}

    def m(lang, size, system) -> Optional[Measured]:
        r = by.get((lang, size, system))
        return r.m if r else None

    items = []
    for recipe, limit in (("plain", 1.0), ("morph", 1.03)):
        for lang in langs:
            parts, oks = [], []
            for size in sizes:
                ours, ref = m(lang, size, f"larkspur {recipe}"), m(lang, size, BPE)
                if ours is None or ref is None:
                    parts.append(f"{size // 1000}k n/a")
                    oks.append(None)
                    continue
                ratio = ours.tpw / ref.tpw
                parts.append(f"{size // 1000}k {ours.tpw:.3f} vs {ref.tpw:.3f} ({ratio:.3f}x)")
                oks.append(ratio <= limit + 1e-12)
            ok = None if None in oks else all(oks)
            bound = "<= the BPE's" if limit == 1.0 else f"<= {limit:.2f}x the BPE's"
            items.append((f"{lang}: {recipe} tokens/word {bound}", "; ".join(parts), ok))
    if "hi" in langs:
        parts, oks = [], []
        for size in sizes:
            ours, ref = m("hi", size, "larkspur morph"), m("hi", size, BPE)
            if ours is None or ref is None or ours.recall_in_text is None:
                oks.append(None)
                continue
            # The target counts forms as they occur in the held-out text: a frequent form
            # weighs as often as it is read. Counting each distinct form once is shown too.
            ratio = ours.recall_in_text / ref.recall_in_text if ref.recall_in_text else float("inf")
            parts.append(f"{size // 1000}k in text {100 * ours.recall_in_text:.1f} % vs "
                         f"{100 * ref.recall_in_text:.1f} % ({ratio:.2f}x; each form once "
                         f"{100 * ours.recall:.1f} % vs {100 * ref.recall:.1f} %)")
            oks.append(ratio >= 3.0)
        items.append(("hi: morph stem|suffix recall in text >= 3x the BPE's", "; ".join(parts) or "n/a",
                      None if None in oks or not oks else all(oks)))
    ours_rows = [r for r in rows if r.system in ("larkspur plain", "larkspur morph") and r.m]
    if ours_rows:
        worst = max(ours_rows, key=lambda r: r.m.share(r.m.bytes))
        share = 100 * worst.m.share(worst.m.bytes)
        floor = 100 * worst.m.share(worst.m.unseen_bytes)
        items.append(("byte-fallback tokens < 0.1 % (plain and morph, every language and size)",
                      f"highest {share:.3f} % ({worst.lang} {worst.size // 1000}k {worst.system}), of which "
                      f"{floor:.3f} % spell characters absent from the training part", share < 0.1))
    for lang in langs:
        parts, oks = [], []
        for size in sizes:
            peers = [(s, m(lang, size, s)) for s in PEERS if m(lang, size, s)]
            for recipe in ("plain", "morph"):
                ours = m(lang, size, f"larkspur {recipe}")
                if ours is None or not peers:
                    oks.append(None)
                    continue
                low_name, low = min(peers, key=lambda p: p[1].share(p[1].splitting))
                a, b = 100 * ours.share(ours.splitting), 100 * low.share(low.splitting)
                parts.append(f"{size // 1000}k {recipe} {a:.2f} % vs {b:.2f} % ({low_name})")
                oks.append(a < b)
        items.append((f"{lang}: akshara-splitting tokens below every peer's", "; ".join(parts) or "n/a",
                      None if None in oks or not oks else all(oks)))
    # Training time with the recipe's options against the same recipe with them off.
    pairs = []
    for r in rows:
        if r.system in ("larkspur plain", "larkspur morph") and r.trained.ok:
            off = by.get((r.lang, r.size, r.system + " (options off)"))
            if off and off.trained.ok:
                pairs.append((r, off))
    if pairs:
        worst_r, worst_off = max(pairs, key=lambda p: p[0].trained.seconds / p[1].trained.seconds)
        ratio = worst_r.trained.seconds / worst_off.trained.seconds
        items.append(("training time with the options <= 1.2x without them",
                      f"highest {ratio:.2f}x ({worst_r.lang} {worst_r.size // 1000}k {worst_r.system}: "
                      f"{worst_r.trained.seconds:.2f} vs {worst_off.trained.seconds:.2f} s; {len(pairs)} pairs)",
                      ratio <= 1.2))
    else:
        why = ("not asked for (--no-compare-options)" if not compare else
               "larkspur.train takes no options" if not can_compare else
               "the recipes record no options to turn off")
        items.append(("training time with the options <= 1.2x without them", f"n/a: {why}", None))
    return items


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--langs", default=",".join(LANGS), help="comma-separated subset of hi,mr,ne")
    ap.add_argument("--sizes", default=",".join(map(str, SIZES)), help="vocabulary sizes, comma-separated")
    ap.add_argument("--reps", type=int, default=3, help="trainings per system (the best time is kept)")
    ap.add_argument("--threads", type=int, default=1, choices=(1, 2), help="training threads of every system")
    ap.add_argument("--heldout-lines", type=int, default=0,
                    help="measure on at most this many held-out lines per language (evenly spread; 0: all)")
    ap.add_argument("--compare-options", action=argparse.BooleanOptionalAction, default=True,
                    help="also train larkspur's recipes with their options off, when larkspur allows it")
    ap.add_argument("--timeout", type=float, default=600.0, help="seconds a training child may take")
    ap.add_argument("--quick", action="store_true", help="Hindi, 8,000 ids, 1,000 held-out lines, one training each")
    ap.add_argument("--latin-share", type=float, metavar="X",
                    help="train larkspur's recipes with this Latin share (default: theirs, chosen from the words)")
    ap.add_argument("--bilingual", action=argparse.BooleanOptionalAction, default=True,
                    help="also the bilingual table (each language mixed with English)")
    ap.add_argument("--bilingual-only", action="store_true", help="the bilingual table alone")
    ap.add_argument("--english", metavar="FILE",
                    help="the English text of the bilingual table (default: the Python documentation's paragraphs)")
    ap.add_argument("--superwords", action="store_true",
                    help="also the superword table (larkspur plain with superwords against plain, morph and the BPE)")
    ap.add_argument("--superwords-only", action="store_true", help="the superword table alone")
    ap.add_argument("--superword-sizes", metavar="N,N",
                    help="vocabulary sizes of the superword table (default 32000,64000; 32000 with --quick)")
    ap.add_argument("--superword-share", type=float, metavar="X",
                    help="pass superwords=X (a share of the vocabulary) instead of superwords=True")
    args = ap.parse_args()
    if args.quick:
        args.langs, args.sizes, args.reps, args.heldout_lines = "hi", "8000", 1, args.heldout_lines or 1000
        args.superword_sizes = args.superword_sizes or str(SW_SIZES[0])
    langs = [s for s in args.langs.split(",") if s]
    bad = [s for s in langs if s not in LANGS]
    if bad or not langs:
        sys.exit(f"--langs: choose among {', '.join(LANGS)}")
    sizes, sw_sizes = _sizes("--sizes", args.sizes), _sizes("--superword-sizes", args.superword_sizes
                                                            or ",".join(map(str, SW_SIZES)))
    if args.reps < 1:
        sys.exit("--reps must be at least 1")
    if args.superwords_only and args.bilingual_only:
        sys.exit("--superwords-only and --bilingual-only: choose one")
    if args.superword_share is not None and not 0.0 < args.superword_share < 1.0:
        sys.exit(f"--superword-share: a share of the vocabulary between 0 and 1, not {args.superword_share}")
    if args.bilingual_only or args.superwords_only:
        sizes = []
    if not (args.superwords or args.superwords_only) or args.bilingual_only:
        sw_sizes = []
    C.require_corpus(*[f"{lang}-dev.txt" for lang in langs])
    if "hi" in langs:
        C.require_corpus("paradigms-hi.json", "lexicon-hi.json")

    L = C.import_larkspur()
    import larkspur

    import _peers as P

    versions = P.available()
    missing = [p for p in ("tokenizers", "sentencepiece") if versions.get(p) is None]
    if missing:
        sys.exit(f"peer(s) not installed: {', '.join(missing)} "
                 f"(.venv/bin/python -m pip install -r bench/requirements.txt)")
    can_compare = options_keyword()
    superwords = None
    if sw_sizes and superwords_keyword():
        superwords = True if args.superword_share is None else args.superword_share
    C.print_header("quality: held-out tokens per word, bytes, akshara splits, stem|suffix recall",
                   [C.module_note(L), f"larkspur  {larkspur.__version__}",
                    f"peers     tokenizers {versions['tokenizers']}, sentencepiece {versions['sentencepiece']}",
                    f"split     runs of {BLOCK} lines, run i held out when i % {EVERY} == {HELD}; "
                    f"training {args.threads} thread(s), best of {args.reps}",
                    f"options   larkspur.train " + ("takes" if can_compare else "takes no") + " options"
                    + ("" if args.compare_options else " (comparison not asked for)")]
                   + ([f"superwords {NO_SUPERWORDS} (the superword rows are n/a)" if superwords is None else
                       f"superwords larkspur.train(..., recipe='plain', superwords={superwords!r}) at "
                       + ", ".join(f"{s:,}" for s in sw_sizes)] if sw_sizes else []))

    forms: List[tuple] = []
    morph_extra: Dict[str, object] = {}
    exact = L.PyLarkspurTokenization()
    started = time.perf_counter()
    rows: List[Row] = []
    with C.scratch_dir("quality") as tmp:
        scratch = Path(tmp)
        if "hi" in langs:
            paradigms = json.loads(C.corpus_path("paradigms-hi.json").read_text(encoding="utf-8"))
            lexicon = json.loads(C.corpus_path("lexicon-hi.json").read_text(encoding="utf-8"))
            train_roots, held_roots = Q.split_roots(paradigms)
            kept = {int(p["root_id"]) for p in train_roots}
            train_lexicon = {k: v for k, v in lexicon.items() if int(v) in kept}
            forms = Q.paradigm_forms(held_roots)
            (scratch / "paradigms.json").write_text(json.dumps(train_roots, ensure_ascii=False), encoding="utf-8")
            (scratch / "lexicon.json").write_text(json.dumps(train_lexicon, ensure_ascii=False), encoding="utf-8")
            morph_extra = {"paradigms": str(scratch / "paradigms.json"), "lexicon": str(scratch / "lexicon.json")}
            print(f"hi paradigms: {len(train_roots)} roots (even ids) and {len(train_lexicon)} of "
                  f"{len(lexicon)} lexicon entries go to training; {len(held_roots)} roots (odd ids) "
                  f"held out, {len(forms):,} distinct stem|suffix forms", flush=True)
        if sizes or sw_sizes:
            for lang in langs:
                rows.extend(run_language(lang, sizes, sw_sizes, args, exact, scratch, forms, morph_extra,
                                         args.compare_options and can_compare, superwords))
        bilingual = B.run(langs, args, exact, scratch, sys.modules[__name__]) \
            if (args.bilingual or args.bilingual_only) and not args.superwords_only else []
    print(f"\n(trained and measured in {time.perf_counter() - started:.0f} s)\n")
    main_rows = [r for r in rows if r.size in sizes and r.system != SUPERWORDS]
    sw_rows = sorted((r for r in rows if r.size in sw_sizes and r.system in SW_SYSTEMS),
                     key=lambda r: (langs.index(r.lang), r.size, SW_SYSTEMS.index(r.system)))
    items = []
    if main_rows:
        print_tables(main_rows)
        items += targets(main_rows, langs, sizes, args.compare_options, can_compare)
    if bilingual:
        B.print_table(bilingual, args.latin_share)
        items += B.targets(bilingual)
    if sw_rows:
        print_superword_table(sw_rows)
        items += superword_targets(rows, langs, sw_sizes, superwords is not None)
    if items:
        C.print_targets(items)


def _sizes(option: str, text: str) -> List[int]:
    try:
        return [int(s) for s in text.split(",") if s]
    except ValueError:
        sys.exit(f"{option}: integers, comma-separated")


if __name__ == "__main__":
    main()
