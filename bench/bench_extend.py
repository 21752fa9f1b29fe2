#!/usr/bin/env python3
"""Extending another model's tokenizer with Devanagari tokens: larkspur.extend against a
plain continued BPE on the same base and against a tokenizer of our own trained from scratch.

Two bases, both tokenizers-library tokenizer.json files:

- llama3: Llama-3's byte-level vocabulary and split pattern, its tiktoken ranks taken from
  the `llama-models` wheel (`pip download llama-models --no-deps`), converted with
  transformers' TikTokenConverter, with 256 special tokens (ids 128,000 to 128,255);
- fallback: a BPE with byte fallback in Llama-2's form (normalizer Prepend + Replace of
  the space by U+2581, no pre-tokenizer, 32,000 ids), trained here by the tokenizers package
  on English prose (the paragraphs of the Python documentation, as bench/_bilingual.py
  fetches them) with about 2 % Devanagari from the training parts of the three files.

For each base and each language (hi, mr, ne: the training part and held-out lines of
quality.py's split, the held-out lines in NFC), on held-out text:

- tokens per white-space word of the base, of `larkspur.extend(base, [train],
  new_tokens=N)`, of a plain continued BPE (the base's merges, then N merges learned on the
  same training file over the base's segmentation of the same widened pre-tokens, any pair
  of a Devanagari word allowed, no akshara rule) and of `larkspur.train([train],
  vocab_size=N, recipe="plain")`, with the extension's and the continued BPE's ratios to it;
- the share of tokens holding Devanagari that end inside an akshara (base, extension,
  continued BPE);
- English held-out paragraphs whose ids differ between the extension and the base;
- time and peak RSS of the extension: one `larkspur.extend` call in a fresh interpreter,
  the peak read with getrusage(RUSAGE_CHILDREN) by the launcher of _common.run_child, so
  that it covers that interpreter alone (its imports and the base's JSON included).

Targets (MET or MISSED): the extension's tokens per word <= 1.00x the plain recipe's; at
most 5 % akshara-splitting tokens; no English line changed.

    .venv/bin/python bench/bench_extend.py
    .venv/bin/python bench/bench_extend.py --langs hi --bases fallback --new-tokens 8000
    .venv/bin/python bench/bench_extend.py --keep-dir /tmp/extend   # keeps and reuses the bases

A base that cannot be had (no network for the wheel, no transformers) is skipped with the
reason. The development corpus is read from ../shared/corpus; generated files go to a
temporary directory removed at the end, or to --keep-dir.
"""

from __future__ import annotations

import argparse
import inspect
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import unicodedata
import zipfile
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

import _bilingual as B
import _common as C
import _quality as Q
import quality

LANGS = ("hi", "mr", "ne")
BASES = ("llama3", "fallback")
NEW_TOKENS = 16000
TPW_LIMIT = 1.00     # the extension's tokens per word over the plain recipe's, at most
SPLIT_LIMIT = 0.05   # akshara-splitting tokens among those holding Devanagari, at most
FALLBACK_VOCAB = 32000
DEVANAGARI_SHARE = 0.02  # of the fallback base's training text, by UTF-8 bytes
SEED = 7

# Llama-3's split pattern, as its tokenizer.json and tiktoken file carry it.
LLAMA3_PATTERN = (r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}|"
                  r" ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+")
LLAMA3_RANKS = 128000
LLAMA3_SPECIALS = ["<|begin_of_text|>", "<|end_of_text|>"] + [f"<|reserved_special_token_{i}|>"
                                                             for i in range(254)]
LLAMA3_WHEEL_MEMBER = "llama_models/llama3/tokenizer.model"

WORD_MARKER = "\u2581"
FALLBACK_SPECIALS = ["<unk>", "<s>", "</s>"]
BYTE_TOKENS = [f"<0x{b:02X}>" for b in range(256)]

# One larkspur.extend call in a fresh interpreter: its wall time and report.
EXTEND_CHILD = C.CHILD_PROLOGUE + r'''
import larkspur
base, train, new_tokens, out, punct = ARGS[0], ARGS[1], int(ARGS[2]), ARGS[3], ARGS[4] == "1"
t0 = time.perf_counter()
report = larkspur.extend(base, [train], new_tokens=new_tokens, output=out, progress=False, keep_punctuation=punct)
emit(wall=time.perf_counter() - t0, report=report)
'''

# The floor of the extension's peak: the same imports and the base loaded, nothing more.
LOAD_CHILD = C.CHILD_PROLOGUE + r'''
import larkspur
from tokenizers import Tokenizer
tok = Tokenizer.from_file(ARGS[0])
emit(ids=tok.get_vocab_size())
'''


# ----------------------------------------------------------------------------- text

class Language:
    """One language's training file and its held-out lines (NFC, non-empty)."""

    def __init__(self, code: str, train_path: Path, train_lines: int, held: List[str]):
        self.code, self.train_path, self.train_lines, self.held = code, train_path, train_lines, held
        self.words = sum(len(s.split()) for s in held)


def split_file(code: str) -> Tuple[List[str], List[str]]:
    """The training and held-out lines of a language file, as quality.py splits it."""
    lines = C.read_lines(C.CORPUS_DIR / f"{code}-dev.txt")
    return Q.split_blocks(lines, quality.BLOCK, quality.EVERY, quality.HELD)


def load_languages(codes: Sequence[str], scratch: Path) -> List[Language]:
    out = []
    for code in codes:
        if not (C.CORPUS_DIR / f"{code}-dev.txt").is_file():
            print(f"{code}: skipped, no {code}-dev.txt in {C.CORPUS_DIR}", flush=True)
            continue
        train, held = split_file(code)
        path = scratch / f"{code}-train.txt"
        path.write_text("\n".join(train) + "\n", encoding="utf-8")
        held = [unicodedata.normalize("NFC", s) for s in held if s.strip()]
        lang = Language(code, path, len(train), held)
        print(f"{code}: training part {len(train):,} lines ({C.mb(path.stat().st_size):.1f} MB), held out "
              f"{len(held):,} lines, {lang.words:,} words", flush=True)
        out.append(lang)
    return out


def english_text(scratch: Path) -> Tuple[List[str], List[str], str]:
    """(training paragraphs, held-out paragraphs, where they came from). The paragraphs of
    the Python documentation, kept in the scratch directory so that a kept directory does
    not fetch them again; without them, the licence texts of the system."""
    cached = scratch / "english.txt"
    source_note = scratch / "english.source"
    if cached.is_file() and source_note.is_file():
        paragraphs, source = C.read_lines(cached), source_note.read_text(encoding="utf-8").strip()
    else:
        fetch = Path(tempfile.mkdtemp(prefix="english-", dir=scratch))
        try:
            paragraphs, source = B.fetch_english(fetch)
        finally:
            shutil.rmtree(fetch, ignore_errors=True)
        if not paragraphs:
            print(f"English: {source}; using the licence texts in /usr/share/common-licenses instead", flush=True)
            paragraphs, source = licence_paragraphs(), "/usr/share/common-licenses (licence texts)"
        cached.write_text("\n".join(paragraphs) + "\n", encoding="utf-8")
        source_note.write_text(source + "\n", encoding="utf-8")
    paragraphs = [p for p in paragraphs if p.strip()]
    train, held = Q.split_blocks(paragraphs, quality.BLOCK, quality.EVERY, quality.HELD)
    return train, held, source


def licence_paragraphs() -> List[str]:
    out: List[str] = []
    for f in sorted(Path("/usr/share/common-licenses").glob("*")):
        try:
            text = f.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError):
            continue
        out += [" ".join(p.split()) for p in text.split("\n\n") if len(" ".join(p.split())) >= 40]
    return list(dict.fromkeys(out))


def devanagari_lines(byte_budget: int) -> Tuple[List[str], List[str]]:
    """About `byte_budget` UTF-8 bytes of lines from the training parts of the three files
    (an equal share of each, lines spread evenly over the part), and the languages used.
    The training parts only, so that no held-out line is in the base."""
    codes = [c for c in LANGS if (C.CORPUS_DIR / f"{c}-dev.txt").is_file()]
    out: List[str] = []
    for code in codes:
        train = [s for s in split_file(code)[0] if s.strip()]
        size = sum(len(s.encode()) + 1 for s in train)
        step = max(1, round(size / max(1, byte_budget // len(codes))))
        out += train[::step]
    return out, codes


# ----------------------------------------------------------------------------- bases

class BaseFile:
    def __init__(self, name: str, path: Path, note: str):
        self.name, self.path, self.note = name, path, note
        self.load_peak_kib = 0


def llama3_base(scratch: Path) -> Tuple[Optional[Path], str]:
    """Llama-3's tokenizer.json from the ranks in the llama-models wheel, or (None, why not)."""
    out = scratch / "llama3-tokenizer.json"
    note_file = scratch / "llama3.source"
    if out.is_file() and note_file.is_file():
        return out, note_file.read_text(encoding="utf-8").strip() + " (kept from an earlier run)"
    wheels = scratch / "wheels"
    wheels.mkdir(exist_ok=True)
    got = subprocess.run([sys.executable, "-m", "pip", "download", "llama-models", "--no-deps", "-d", str(wheels)],
                         capture_output=True, text=True)
    found = sorted(wheels.glob("llama_models-*.whl"))
    if got.returncode != 0 or not found:
        return None, f"pip download llama-models failed: {(got.stderr or got.stdout).strip()[-300:]}"
    ranks = scratch / "llama3-tokenizer.model"
    try:
        with zipfile.ZipFile(found[-1]) as z:
            ranks.write_bytes(z.read(LLAMA3_WHEEL_MEMBER))
    except (KeyError, zipfile.BadZipFile) as e:
        return None, f"{found[-1].name}: no {LLAMA3_WHEEL_MEMBER} ({e})"
    try:
        tok = convert_tiktoken(ranks)
    except Exception as e:  # noqa: BLE001 - a base we cannot build is skipped, not fatal
        return None, f"converting {LLAMA3_WHEEL_MEMBER} failed: {type(e).__name__}: {e}"
    problem = check_llama3_ids(tok)
    if problem:
        return None, problem
    tok.save(str(out))
    note = (f"{found[-1].name}: {LLAMA3_WHEEL_MEMBER} ({LLAMA3_RANKS:,} ranks) converted by transformers' "
            f"TikTokenConverter, + {len(LLAMA3_SPECIALS)} special tokens = {tok.get_vocab_size():,} ids")
    note_file.write_text(note + "\n", encoding="utf-8")
    return out, note


def convert_tiktoken(ranks: Path) -> Any:
    """The converter names its special-token argument differently across transformers
    versions; whichever it takes gets the list, and what it does not add is added here."""
    from tokenizers import AddedToken
    from transformers.convert_slow_tokenizer import TikTokenConverter

    params = inspect.signature(TikTokenConverter.__init__).parameters
    keyword = next((k for k in ("additional_special_tokens", "extra_special_tokens") if k in params), None)
    kwargs = {keyword: list(LLAMA3_SPECIALS)} if keyword else {}
    tok = TikTokenConverter(vocab_file=str(ranks), pattern=LLAMA3_PATTERN, **kwargs).converted()
    missing = [t for t in LLAMA3_SPECIALS if tok.token_to_id(t) is None]
    if missing:
        tok.add_special_tokens([AddedToken(t, special=True, normalized=False) for t in missing])
    return tok


def check_llama3_ids(tok: Any) -> str:
    """'' when the special tokens are added tokens at 128,000 on, in order, and the ids
    number 128,256; else what is wrong."""
    if tok.get_vocab_size(with_added_tokens=False) != LLAMA3_RANKS:
        ranks = tok.get_vocab_size(with_added_tokens=False)
        return f"the converted vocabulary has {ranks:,} ranks, not {LLAMA3_RANKS:,}"
    added = {t.content: i for i, t in tok.get_added_tokens_decoder().items()}
    wrong = [t for k, t in enumerate(LLAMA3_SPECIALS) if added.get(t) != LLAMA3_RANKS + k]
    if wrong or tok.get_vocab_size() != LLAMA3_RANKS + len(LLAMA3_SPECIALS):
        return (f"special tokens not at {LLAMA3_RANKS:,} on ({len(wrong)} misplaced, e.g. {wrong[:2]}), "
                f"{tok.get_vocab_size():,} ids")
    return ""


def fallback_base(scratch: Path, en_train: List[str], en_source: str) -> Tuple[Optional[Path], str]:
    """A Llama-2-style BPE with byte fallback trained on the English training paragraphs and
    about 2 % Devanagari, or (None, why not)."""
    out = scratch / "fallback-tokenizer.json"
    note_file = scratch / "fallback.source"
    if out.is_file() and note_file.is_file():
        return out, note_file.read_text(encoding="utf-8").strip() + " (kept from an earlier run)"
    en_bytes = sum(len(s.encode()) + 1 for s in en_train)
    if en_bytes < 1_000_000:
        return None, f"only {en_bytes / 1e6:.2f} MB of English to train a {FALLBACK_VOCAB:,}-id base on"
    dev, codes = devanagari_lines(int(en_bytes * DEVANAGARI_SHARE / (1 - DEVANAGARI_SHARE)))
    dev_bytes = sum(len(s.encode()) + 1 for s in dev)
    texts = en_train + dev
    random.Random(SEED).shuffle(texts)
    t0 = time.perf_counter()
    tok = train_fallback(texts)
    seconds = time.perf_counter() - t0
    save_llama2_form(tok, out)
    note = (f"trained here by tokenizers in {seconds:.0f} s on {en_bytes / 1e6:.1f} MB of English ({en_source}, "
            f"training paragraphs) and {dev_bytes / 1e6:.2f} MB of Devanagari ({len(dev):,} lines of the "
            f"training parts of {', '.join(codes)}; {100 * dev_bytes / (dev_bytes + en_bytes):.1f} % of the bytes); "
            f"{tok.get_vocab_size():,} ids")
    note_file.write_text(note + "\n", encoding="utf-8")
    return out, note


def train_fallback(texts: List[str]) -> Any:
    """Trained with a Metaspace pre-tokenizer so that no token crosses a word; the byte tokens
    and the three specials come first and count within the size, as in Llama-2."""
    from tokenizers import Tokenizer, models, pre_tokenizers, trainers

    tok = Tokenizer(models.BPE(byte_fallback=True, unk_token="<unk>", fuse_unk=True))
    tok.pre_tokenizer = pre_tokenizers.Metaspace(replacement=WORD_MARKER, prepend_scheme="first", split=True)
    trainer = trainers.BpeTrainer(vocab_size=FALLBACK_VOCAB, special_tokens=FALLBACK_SPECIALS + BYTE_TOKENS,
                                  show_progress=False)
    tok.train_from_iterator(texts, trainer)
    return tok


def save_llama2_form(tok: Any, out: Path) -> None:
    """The file as Llama-2's tokenizer.json has it: spaces made markers by the normalizer, no
    pre-tokenizer (BPE over the whole line, the markers only ever starting a token), the
    byte tokens in the vocabulary but not among the added tokens."""
    from tokenizers import Tokenizer, decoders, normalizers, processors

    tok.normalizer = normalizers.Sequence([normalizers.Prepend(WORD_MARKER), normalizers.Replace(" ", WORD_MARKER)])
    tok.pre_tokenizer = None
    tok.decoder = decoders.Sequence([decoders.Replace(WORD_MARKER, " "), decoders.ByteFallback(), decoders.Fuse(),
                                     decoders.Strip(" ", 1, 0)])
    tok.post_processor = processors.TemplateProcessing(single="<s> $A", pair="<s> $A <s> $B",
                                                       special_tokens=[("<s>", tok.token_to_id("<s>"))])
    doc = json.loads(tok.to_str())
    doc["added_tokens"] = [t for t in doc["added_tokens"] if t["content"] in FALLBACK_SPECIALS]
    out.write_text(json.dumps(doc, ensure_ascii=False, indent=2), encoding="utf-8")
    Tokenizer.from_file(str(out))  # it must load as written


def make_bases(names: Sequence[str], scratch: Path, english: Tuple[List[str], List[str], str]) -> List[BaseFile]:
    out = []
    for name in names:
        path, note = llama3_base(scratch) if name == "llama3" else fallback_base(scratch, english[0], english[2])
        if path is None:
            print(f"base {name}: skipped, {note}", flush=True)
            continue
        print(f"base {name}: {note}", flush=True)
        base = BaseFile(name, path, note)
        r = C.run_child(LOAD_CHILD, [str(path)], timeout=600)
        base.load_peak_kib = r.peak_kib if r.ok else 0
        out.append(base)
    return out


# ----------------------------------------------------------------------------- the peers

def continued_bpe(base_path: Path, train_path: Path, new_tokens: int, out: Path,
                  keep_punctuation: bool = False) -> Tuple[Any, Dict[str, Any]]:
    """The base continued by a plain BPE: its pre-tokens holding Devanagari (the widened
    pattern's, counted as larkspur.extend counts them), segmented by the base's own merges,
    then `new_tokens` merges of the most frequent pairs ranked after the base's. Every token
    of the base may pair with any other (no akshara rule, no script rule); only the byte
    tokens and special tokens of a byte-fallback base stay out, since joining "<0xE0>" to
    "<0xA4>" would make a name and not a token."""
    from tokenizers import Tokenizer

    from larkspur import _engine
    from larkspur._extension import MIN_COUNT, _WordCounter
    from larkspur._extension._base import BYTE_FALLBACK, Base
    from larkspur._extension._learn import LETTERS, NONE, learned_tokens

    t0 = time.perf_counter()
    b = Base.read(base_path)
    doc, _ = b.widened_doc(keep_punctuation)
    counter = _WordCounter(Tokenizer.from_str(json.dumps(doc)), b, 0)
    with open(train_path, encoding="utf-8", newline="") as f:
        for line in f.read().split("\n"):
            counter.add(line)
    model = Tokenizer.from_str(json.dumps(doc)).model
    units: List[int] = []
    lengths: List[int] = []
    counts: List[int] = []
    for word, n in counter.counts.items():
        ids = [t.id for t in model.tokenize(word)]
        units += ids
        lengths.append(len(ids))
        counts.append(n)
    names = {i: t for t, i in b.vocab.items()}
    classes = bytearray([LETTERS]) * (max(names) + 1)
    if b.kind == BYTE_FALLBACK:
        for t in BYTE_TOKENS + [a["content"] for a in doc.get("added_tokens") or []]:
            if t in b.vocab:
                classes[b.vocab[t]] = NONE
    made = _engine.extension_merges(units, lengths, counts, bytes(classes), new_tokens + new_tokens // 10, MIN_COUNT)
    pairs, added = learned_tokens(made, dict(names), set(b.vocab), new_tokens, set(b.merges))
    vocab = dict(b.vocab)
    # The tokenizers library gives the added tokens ids counted from the size of the model's
    # vocabulary, not the ids the file records: with new ids after them, a vocabulary that
    # leaves their ids out would move them onto new tokens. So they go into it too.
    for a in doc.get("added_tokens") or []:
        vocab.setdefault(a["content"], a["id"])
    for i, t in enumerate(added):
        vocab[t] = b.size + i
    doc["model"]["vocab"] = vocab
    doc["model"]["merges"] = [list(m) for m in b.merges + pairs]
    out.write_text(json.dumps(doc, ensure_ascii=False), encoding="utf-8")
    tok = Tokenizer.from_file(str(out))
    return tok, {"seconds": time.perf_counter() - t0, "added": len(added)}


def plain_recipe(lang: Language, vocab: int) -> Tuple[float, float]:
    """(tokens per word of larkspur.train(recipe="plain") on the held-out lines, seconds)."""
    import larkspur

    t0 = time.perf_counter()
    tok = larkspur.train([str(lang.train_path)], vocab_size=vocab, recipe="plain", progress=False)
    seconds = time.perf_counter() - t0
    tokens = sum(len(ids) for ids in tok.encode_batch(lang.held))
    return tokens / lang.words, seconds


# ----------------------------------------------------------------------------- measuring

class Row:
    def __init__(self, base: BaseFile, lang: Language):
        self.base, self.lang = base, lang
        self.ok = False
        self.note = ""
        self.report: Dict[str, Any] = {}
        self.wall = self.peak_kib = None
        self.tpw: Dict[str, Optional[float]] = {}    # system -> tokens per word
        self.split: Dict[str, Optional[float]] = {}  # system -> akshara-splitting share
        self.en_changed = self.peer_en_changed = self.en_lines = None
        self.decode_differs = None
        self.ids_moved: Optional[int] = None
        self.peer: Dict[str, Any] = {}

    def ratio(self, system: str) -> Optional[float]:
        a, b = self.tpw.get(system), self.tpw.get("plain")
        return a / b if a is not None and b else None


def ids_of(tok: Any, lines: Sequence[str]) -> List[List[int]]:
    return [e.ids for e in tok.encode_batch(list(lines), add_special_tokens=False)]


def lines_changed(base_tok: Any, tok: Any, lines: Sequence[str]) -> int:
    return sum(a != b for a, b in zip(ids_of(base_tok, lines), ids_of(tok, lines)))


def decodings_differ(base_tok: Any, tok: Any, lines: Sequence[str]) -> int:
    """Held-out lines that the extension decodes to another text than the base does."""
    a = base_tok.decode_batch(ids_of(base_tok, lines), skip_special_tokens=False)
    b = tok.decode_batch(ids_of(tok, lines), skip_special_tokens=False)
    return sum(x != y for x, y in zip(a, b))


def base_ids_moved(base_tok: Any, tok: Any) -> int:
    """Tokens of the base (added tokens included) that the extension, as loaded, has at
    another id or not at all."""
    ext = tok.get_vocab(with_added_tokens=True)
    return sum(ext.get(t) != i for t, i in base_tok.get_vocab(with_added_tokens=True).items())


def run_row(base: BaseFile, lang: Language, plain_tpw: Optional[float], english_held: List[str], args,
            scratch: Path) -> Row:
    from tokenizers import Tokenizer

    from larkspur._extension._base import Base
    from larkspur._extension._measure import akshara_splits, tokens_per_word

    row = Row(base, lang)
    row.tpw["plain"] = plain_tpw
    out = scratch / f"extended-{base.name}-{lang.code}.json"
    r = C.run_child(EXTEND_CHILD, [str(base.path), str(lang.train_path), str(args.new_tokens), str(out),
                                   "1" if args.keep_punctuation else "0"], timeout=args.timeout)
    if not r.ok or not r.result:
        row.note = f"larkspur.extend failed (exit {r.rc})"
        print(f"!! {base.name} {lang.code}: {row.note}\n{r.tail()}", flush=True)
        return row
    row.ok = True
    row.report, row.wall, row.peak_kib = r.result["report"], r.result["wall"], r.peak_kib
    b = Base.read(base.path)
    base_tok, ext = Tokenizer.from_file(str(base.path)), Tokenizer.from_file(str(out))
    peer, row.peer = continued_bpe(base.path, lang.train_path, args.new_tokens,
                                   scratch / f"continued-{base.name}-{lang.code}.json", args.keep_punctuation)
    for system, tok in (("base", base_tok), ("extension", ext), ("peer", peer)):
        row.tpw[system] = tokens_per_word(tok, lang.held)
        row.split[system] = akshara_splits(tok, b, lang.held)
    if english_held:
        row.en_lines = len(english_held)
        row.en_changed = lines_changed(base_tok, ext, english_held)
        row.peer_en_changed = lines_changed(base_tok, peer, english_held)
    row.decode_differs = decodings_differ(base_tok, ext, lang.held)
    row.ids_moved = base_ids_moved(base_tok, ext)
    if row.report.get("tokens_added") != args.new_tokens:
        row.note = f"{row.report.get('tokens_added')} tokens added"
    if row.ids_moved or row.decode_differs:
        print(f"!! {base.name} {lang.code}: as the tokenizers package loads the extension, {row.ids_moved} base "
              f"tokens have another id and {row.decode_differs} of {len(lang.held):,} held-out lines decode "
              f"otherwise than with the base", flush=True)
    print(f"  {base.name} {lang.code}: extended in {row.wall:.1f} s (peak {C.mib(row.peak_kib):.0f} MiB), "
          f"tokens/word {row.tpw['base']} -> {row.tpw['extension']} (continued BPE {row.tpw['peer']}, "
          f"plain {plain_tpw:.4f})", flush=True)
    return row


# ----------------------------------------------------------------------------- output

def pct(x: Optional[float]) -> Optional[float]:
    return None if x is None else 100.0 * x


def print_tables(rows: List[Row]) -> None:
    table = []
    for r in rows:
        table.append([r.base.name, r.lang.code, r.report.get("tokens_added"), r.tpw.get("base"),
                      r.tpw.get("extension"), r.tpw.get("peer"), r.tpw.get("plain"), r.ratio("extension"),
                      r.ratio("peer"), pct(r.split.get("base")), pct(r.split.get("extension")),
                      pct(r.split.get("peer")), r.en_changed, r.wall,
                      C.mib(r.peak_kib) if r.peak_kib else None, r.note])
    C.print_table(["base", "lang", "added", "t/w base", "t/w ext", "t/w cont", "t/w plain", "ext/plain",
                   "cont/plain", "split% base", "split% ext", "split% cont", "en changed", "ext s", "ext MiB",
                   "note"], table,
                  title="Held-out text: tokens per white-space word (t/w) of the base, the extension "
                        "(larkspur.extend), the plain continued BPE on the same base (cont) and "
                        "larkspur.train(recipe='plain') at as many ids as the extension adds; split%: tokens "
                        "holding Devanagari that end inside an akshara; en changed: English held-out paragraphs "
                        "whose ids differ from the base's; ext s / MiB: the extend call's wall time and the "
                        "peak RSS of the fresh interpreter running it")
    table = []
    for r in rows:
        if not r.ok:
            continue
        rep = r.report
        table.append([r.base.name, r.lang.code, rep.get("akshara_tokens"), rep.get("merges_learned"),
                      rep.get("base_merges_moved"), rep.get("distinct_devanagari_words"), rep.get("seconds"),
                      C.mib(r.base.load_peak_kib) if r.base.load_peak_kib else None, r.decode_differs,
                      r.ids_moved, r.peer.get("added"), r.peer.get("seconds"),
                      r.peer_en_changed])
    C.print_table(["base", "lang", "akshara tok", "merges", "base moved", "dev words", "report s", "load MiB",
                   "decode != base", "base ids moved", "cont added", "cont s", "cont en changed"], table,
                  title="The extension's report (akshara tokens, learned merges, base merges moved in front, "
                        "distinct Devanagari words counted, its own seconds); load MiB: peak RSS of a fresh "
                        "interpreter that only imports larkspur and loads the base; decode != base: held-out "
                        "lines the extension decodes to another text than the base; base ids moved: base tokens "
                        "(added tokens included) at another id in the extension as the tokenizers package loads "
                        "it; the continued BPE's tokens added, time (in this process) and English paragraphs "
                        "changed")


def targets(rows: List[Row], bases: Sequence[BaseFile]) -> List[tuple]:
    items = []
    for base in bases:
        mine = [r for r in rows if r.base is base]

        def item(name: str, figure, check) -> None:
            texts, oks = [], []
            for r in mine:
                value = figure(r) if r.ok else None
                texts.append(f"{r.lang.code} " + ("n/a" if value is None else value[0]))
                oks.append(None if value is None else check(value[1]))
            items.append((f"{base.name}: {name}", "; ".join(texts) or "n/a",
                          None if None in oks or not oks else all(oks)))

        item(f"extension tokens/word <= {TPW_LIMIT:.2f}x the plain recipe's",
             lambda r: None if r.ratio("extension") is None else
             (f"{r.ratio('extension'):.3f}x ({r.tpw['extension']:.3f} vs {r.tpw['plain']:.3f})",
              r.ratio("extension")), lambda v: v <= TPW_LIMIT + 1e-12)
        item(f"akshara-splitting tokens <= {100 * SPLIT_LIMIT:g} %",
             lambda r: None if r.split.get("extension") is None else
             (f"{100 * r.split['extension']:.2f} %", r.split["extension"]), lambda v: v <= SPLIT_LIMIT + 1e-12)
        item("English lines changed = 0",
             lambda r: None if r.en_changed is None else (f"{r.en_changed} of {r.en_lines:,}", r.en_changed),
             lambda v: v == 0)
    return items


def versions() -> List[str]:
    import larkspur
    import tokenizers

    out = [f"larkspur  {getattr(larkspur, '__version__', '?')} ({Path(larkspur.__file__).parent})",
           f"tokenizers {tokenizers.__version__}"]
    try:
        import transformers
        out.append(f"transformers {transformers.__version__}")
    except ImportError:
        out.append("transformers not installed (the llama3 base is skipped)")
    out.append(f"load      {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    return out


def parse_args() -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--langs", default=",".join(LANGS), help="comma-separated, of hi,mr,ne")
    ap.add_argument("--new-tokens", type=int, default=NEW_TOKENS,
                    help="ids the extension and the continued BPE add, and the plain recipe's vocabulary size")
    ap.add_argument("--bases", default=",".join(BASES), help="comma-separated, of llama3,fallback")
    ap.add_argument("--keep-dir", help="write generated files here and keep them (the bases are reused)")
    ap.add_argument("--timeout", type=float, default=1800, help="seconds for one extend call")
    ap.add_argument("--keep-punctuation", action="store_true",
                    help="extend (and continue the peer) with keep_punctuation=True: a Devanagari word's trailing "
                         "punctuation stays in its piece")
    args = ap.parse_args()
    args.langs = [s for s in args.langs.split(",") if s]
    args.bases = [s for s in args.bases.split(",") if s]
    for name, given, allowed in (("--langs", args.langs, LANGS), ("--bases", args.bases, BASES)):
        bad = [s for s in given if s not in allowed]
        if bad or not given:
            sys.exit(f"{name}: comma-separated, of {','.join(allowed)} (got {','.join(given) or 'nothing'})")
    if args.new_tokens < 1:
        sys.exit("--new-tokens: a positive number")
    return args


def run(args, scratch: Path) -> None:
    started = time.perf_counter()
    langs = load_languages(args.langs, scratch)
    if not langs:
        print(f"nothing to measure: no corpus file of {','.join(args.langs)} in {C.CORPUS_DIR}")
        return
    english = english_text(scratch)
    print(f"English: {english[2]}: {len(english[0]):,} training and {len(english[1]):,} held-out paragraphs",
          flush=True)
    bases = make_bases(args.bases, scratch, english)
    if not bases:
        print("nothing to measure: no base could be had")
        return
    plain: Dict[str, Optional[float]] = {}
    for lang in langs:
        plain[lang.code], seconds = plain_recipe(lang, args.new_tokens)
        print(f"  plain recipe {lang.code}: {args.new_tokens:,} ids in {seconds:.1f} s, "
              f"tokens/word {plain[lang.code]:.4f}", flush=True)
    rows = [run_row(base, lang, plain[lang.code], english[1], args, scratch) for base in bases for lang in langs]
    print(f"\n(built, extended and measured in {time.perf_counter() - started:.0f} s)\n")
    print_tables(rows)
    C.print_targets(targets(rows, bases))


def main() -> None:
    args = parse_args()
    C.print_header("larkspur.extend: Devanagari tokens added to a byte-level and a byte-fallback base",
                   versions() + [f"new tokens {args.new_tokens:,}; keep_punctuation={args.keep_punctuation}; peak RSS: getrusage(RUSAGE_CHILDREN).ru_maxrss "
                                 f"of a fresh interpreter per call (_common.run_child's launcher)"])
    if not C.CORPUS_DIR.is_dir():
        print(f"skipped: no corpus directory {C.CORPUS_DIR} (../shared/corpus beside the project)")
        return
    if args.keep_dir:
        scratch = Path(args.keep_dir).resolve()
        scratch.mkdir(parents=True, exist_ok=True)
        run(args, scratch)
        print(f"generated files kept in {scratch}")
        return
    with C.scratch_dir("extend") as tmp:
        run(args, Path(tmp))


if __name__ == "__main__":
    main()
