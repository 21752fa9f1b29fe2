"""Extending an existing model's tokenizer with Devanagari tokens (larkspur.extend): every
base id keeps its token, text without Devanagari keeps its ids, and the tokens added never
end inside an akshara."""

from __future__ import annotations

import json
import os
import time
from collections import Counter
from pathlib import Path
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

from .. import _checks
from .._progress import Bar, wanted
from ..data import _corpus
from ._base import BYTE_FALLBACK, WORD_MARKER, Base
from ._learn import AksharaMerges, classes_of, count_aksharas, has_devanagari, learn, learned_tokens
from ._measure import akshara_splits, tokens_per_word

PathLike = Union[str, os.PathLike]

AKSHARA_SHARE = 0.4  # at most this share of the new ids builds aksharas; the rest merges them
MIN_COUNT = 2  # a merge must be seen this often in the new text
AKSHARA_MIN_COUNT = 2  # and an akshara this often to be built
SAMPLE_LINES = 2000  # lines kept for the report and the check of text without Devanagari
# Text without Devanagari that the extended tokenizer must give the base's ids for, beside
# such lines of the input: the characters a byte-level pattern or a byte fallback treats
# specially (marks of other scripts, joiners, digits, spaces, line ends).
PROBES = ["Hello, world! It's 2024: naïve café, résumé\u0301 and 12,345.67 — ok?",
          "  def f(x):\n\treturn x ** 2  # comment\r\n",
          "বাংলা ভাষা, ગુજરાતી, ਪੰਜਾਬੀ, தமிழ், తెలుగు, ಕನ್ನಡ, മലയാളം, ଓଡ଼ିଆ",
          "Emoji 👩\u200d💻 and ZWNJ a\u200cb, Ελληνικά, русский, 中文, العربية"]


def _tokenizers() -> Any:
    try:
        import tokenizers
    except ImportError:
        raise ImportError("larkspur.extend reads and writes tokenizers-library files: "
                          "pip install 'LarkspurTokenization[extend]' (or the tokenizers package)") from None
    return tokenizers


def _lines(paths: Sequence[str], texts: Optional[Iterable[Any]], jsonl_key: Optional[str], strict: bool,
           bar: Bar, invalid: Dict[str, int]) -> Iterator[str]:
    """The texts of the inputs: files (plain, gzip or zstd, JSON Lines with `jsonl_key`) line
    by line, then `texts`. Lines that are not UTF-8 are skipped and counted in `invalid`."""
    read = 0
    for p in paths:
        name = "<stdin>" if p == "-" else p
        with _corpus.open_input(p) as stream:
            first = True
            for block, line in _corpus._blocks(stream):
                if first:
                    _corpus.sniff(name, block)
                    first = False
                read += len(block)
                bar.to(read)
                if jsonl_key is not None:
                    bad = [0]
                    yield from _corpus._jsonl_texts(name, block, line, jsonl_key, strict, bad)
                    if bad[0]:
                        invalid[name] = invalid.get(name, 0) + bad[0]
                    continue
                try:
                    yield from block.decode("utf-8").split("\n")
                except UnicodeDecodeError:
                    for n, raw in enumerate(block.split(b"\n"), line):
                        try:
                            yield raw.decode("utf-8")
                        except UnicodeDecodeError:
                            if strict:
                                raise ValueError(f"{name}:{n}: the line is not valid UTF-8 (strict reading stops "
                                                 f"here)") from None
                            invalid[name] = invalid.get(name, 0) + 1
    if texts is not None:
        for i, t in enumerate(texts):
            if not isinstance(t, str):
                raise TypeError(f"texts must hold str, but item {i} is a {type(t).__name__}")
            yield t


class _WordCounter:
    """Counts the base's pre-tokens that hold Devanagari (the only words new merges apply
    to), as the widened pattern cuts them; within a memory limit, the rarest are left out."""

    def __init__(self, tokenizer: Any, base: Base, memory_limit: int):
        self.normalizer, self.pre = tokenizer.normalizer, tokenizer.pre_tokenizer
        self.base = base
        self.counts: Counter = Counter()
        self.words = 0
        self.limit = memory_limit
        self.size = 0
        self.left_out = 0
        self.marks = (base.spell("\u0900")[:2], base.spell("\u0940")[:2])

    def _dev(self, piece: str) -> bool:
        if self.base.kind == BYTE_FALLBACK:
            return has_devanagari(piece)
        return self.marks[0] in piece or self.marks[1] in piece

    def add(self, text: str) -> None:
        self.words += len(text.split())
        if not has_devanagari(text):
            return
        if self.normalizer is not None:
            text = self.normalizer.normalize_str(text)
        pieces = [p for p, _ in self.pre.pre_tokenize_str(text)] if self.pre is not None else [text]
        for piece in pieces:
            # Without a pre-tokenizer the merges see a whole line: words are what lies
            # between markers, which no merge of ours joins across.
            for word in (piece.replace(WORD_MARKER, "\n" + WORD_MARKER).split("\n")
                         if self.base.kind == BYTE_FALLBACK else (piece,)):
                if word and self._dev(word):
                    if word not in self.counts:
                        self.size += 100 + 4 * len(word)
                    self.counts[word] += 1
        if self.limit and self.size > self.limit:
            self._prune()

    def _prune(self) -> None:
        """Leaves out the rarest words until the table takes half its limit."""
        floor = 1
        while self.size > self.limit // 2 and self.counts:
            for w in [w for w, n in self.counts.items() if n <= floor]:
                self.left_out += 1
                self.size -= 100 + 4 * len(w)
                del self.counts[w]
            floor += 1


def extend(base: PathLike, files: Union[PathLike, Sequence[PathLike], None] = None,
           texts: Optional[Iterable[str]] = None, *, new_tokens: int, output: PathLike,
           jsonl_key: Optional[str] = None, memory_limit: Union[int, str, None] = None,
           progress: Optional[bool] = None, errors: str = "skip", keep_punctuation: bool = False) -> Dict[str, Any]:
    """Adds `new_tokens` Devanagari tokens to an existing model's tokenizer, learned from the
    files and texts, and writes the result to `output`.

    `base` is a tokenizers-library tokenizer.json (or a directory holding one, as
    save_pretrained writes, or a tokenizers Tokenizer or transformers fast tokenizer in
    memory) of a byte-level BPE with a split pattern or a BPE with byte
    fallback. The output is a tokenizer.json of the same kind (for a directory, the directory
    with its other files copied) that the tokenizers package and transformers load without
    larkspur: every base id keeps its token, text without Devanagari encodes to the base's
    ids, new tokens have ids from the base's size on, and none ends inside an akshara.
    Devanagari words stay whole before the merges: the split pattern counts Devanagari
    vowel signs and virama as letters (nothing else about it changes). With
    `keep_punctuation=True` a byte-level pattern also keeps a Devanagari word's trailing
    punctuation (dandas, commas, full stops) in its piece, as larkspur's own tokenizers do:
    fewer tokens, at the cost of a pattern that differs from the base's beyond the marks
    (text without Devanagari is still cut and encoded exactly as before).

    Inputs are read as by larkspur.train: plain, gzip or zstd files, JSON Lines with
    `jsonl_key`, and any iterable of texts; lines that are not UTF-8 are skipped with a
    UnicodeWarning (errors="strict": a ValueError naming the first). Returns a report:
    tokens per word before and after on a sample of the input, the tokens added and the
    base merges moved (see docs/reference.md)."""
    tokenizers = _tokenizers()
    started = time.perf_counter()
    count = _checks.positive_int("new_tokens", new_tokens)
    if errors not in ("skip", "strict"):
        raise ValueError(f"errors must be 'skip' or 'strict', not {errors!r}")
    limit = _checks.memory_limit(memory_limit)
    paths = [] if files is None else ([os.fspath(files)] if isinstance(files, (str, os.PathLike))
                                      else [os.fspath(f) for f in files])
    if texts is not None:
        _corpus.check_texts(texts)
    if not paths and texts is None:
        raise ValueError("extend needs text to learn from: pass files or texts")
    _corpus.check_paths(paths)
    b = Base.read(base)
    out = Path(os.fspath(output))
    # a directory in, a directory out (its other files copied) unless OUTPUT names a .json
    # file; a file in, a file out, or tokenizer.json inside an existing directory
    base_is_dir = isinstance(base, (str, os.PathLike)) and Path(os.fspath(base)).is_dir()
    as_directory = out.is_dir() or (base_is_dir and out.suffix != ".json")
    if b.path is not None and (out / "tokenizer.json" if as_directory else out).resolve() == b.path.resolve():
        raise ValueError(f"output {out} is the base tokenizer itself: write the extension elsewhere")
    if not isinstance(keep_punctuation, bool):
        raise TypeError(f"keep_punctuation must be True or False, not {keep_punctuation!r}")
    doc, widened = b.widened_doc(keep_punctuation)
    widened_tok = tokenizers.Tokenizer.from_str(json.dumps(doc))

    show = wanted(progress)
    sizes = sum(os.path.getsize(p) for p in paths if p != "-" and os.path.isfile(p))
    bar = Bar(show, "reading", sizes or None, "B", unit_scale=True)
    invalid: Dict[str, int] = {}
    counter = _WordCounter(widened_tok, b, limit)
    sample: List[str] = []
    latin: List[str] = []
    try:
        for text in _lines(paths, texts, jsonl_key, errors == "strict", bar, invalid):
            counter.add(text)
            if text.strip():
                if has_devanagari(text):
                    if len(sample) < SAMPLE_LINES:
                        sample.append(text)
                elif len(latin) < SAMPLE_LINES:
                    latin.append(text)
    finally:
        bar.close()
    _corpus.warn_invalid(invalid, 2)
    if not counter.counts:
        raise ValueError("the inputs hold no Devanagari words to learn new tokens from")

    # 1. Aksharas, most frequent first, within their share of the new ids.
    aksharas = AksharaMerges(b)
    cap = max(1, int(count * AKSHARA_SHARE))
    for akshara, n in sorted(count_aksharas(counter.counts, b).items(), key=lambda kv: (-kv[1], kv[0])):
        if n < AKSHARA_MIN_COUNT or len(aksharas.added) >= cap:
            break
        aksharas.add(akshara)
    added, first_merges = _within_budget(aksharas, b, count)
    base_pairs = set(b.merges)
    moved = {p for p in first_merges if p in base_pairs}
    base_merges = [m for m in b.merges if m not in moved]
    vocab = dict(b.vocab)
    # Added tokens that the model's vocabulary lacks (Llama-3's specials) go into it at their
    # own ids: the tokenizers library numbers such tokens after the model's vocabulary when
    # it loads a file, which would put them on top of the new tokens.
    taken_ids = set(vocab.values())
    for a in b.doc.get("added_tokens") or []:
        if a.get("content") not in vocab and a.get("id") not in taken_ids:
            vocab[a["content"]] = a["id"]
    for i, t in enumerate(added):
        vocab[t] = b.size + i

    # 2. The words as the akshara and base merges leave them, then the learned merges.
    seg_doc = json.loads(json.dumps(doc))
    seg_doc["model"]["vocab"] = vocab
    seg_doc["model"]["merges"] = [list(m) for m in first_merges + base_merges]
    seg_doc["model"]["ignore_merges"] = False
    model = tokenizers.Tokenizer.from_str(json.dumps(seg_doc)).model
    units: List[int] = []
    lengths: List[int] = []
    counts: List[int] = []
    for word, n in counter.counts.items():
        ids = [t.id for t in model.tokenize(word)]
        units.extend(ids)
        lengths.append(len(ids))
        counts.append(n)
    names = {i: t for t, i in vocab.items()}
    classes = classes_of(list(names), names.get, b)
    budget = count - len(added)
    # A merge may make a token the base already has (no new id): ask for some more merges
    # than ids, and for more again while the words still give merges and ids are left.
    wanted_merges = budget + budget // 10 + 64
    while True:
        made = learn(units, lengths, counts, classes, wanted_merges, MIN_COUNT) if budget > 0 else []
        pairs, learned = learned_tokens(made, dict(names), set(vocab), budget, set(first_merges) | set(base_merges))
        if len(learned) >= budget or len(made) < wanted_merges:
            break
        wanted_merges *= 2
    next_id = b.size + len(added)
    for t in learned:
        vocab[t] = next_id
        next_id += 1

    base_tok = tokenizers.Tokenizer.from_str(json.dumps(b.doc))
    written = b.write(doc, vocab, first_merges + base_merges + pairs, out, as_directory,
                      lambda path: _check_kept(base_tok, tokenizers.Tokenizer.from_file(path), latin + PROBES, b))
    extended = tokenizers.Tokenizer.from_file(str(written))
    before = tokens_per_word(base_tok, sample)
    after = tokens_per_word(extended, sample)
    return {
        "base": b.name, "output": str(written), "kind": b.kind, "pattern_widened": widened,
        "punctuation_kept": keep_punctuation and b.kind != BYTE_FALLBACK, "base_size": b.size, "size": next_id,
        "tokens_added": next_id - b.size,
        "akshara_tokens": len(added), "aksharas_built": aksharas.aksharas,
        "merges_learned": len(pairs), "base_merges_moved": len(moved),
        "words": counter.words, "devanagari_words": sum(counter.counts.values()),
        "distinct_devanagari_words": len(counter.counts), "words_left_out": counter.left_out,
        "sample_lines": len(sample), "tokens_per_word_before": before, "tokens_per_word_after": after,
        "akshara_split_share_before": akshara_splits(base_tok, b, sample),
        "akshara_split_share_after": akshara_splits(extended, b, sample),
        "seconds": round(time.perf_counter() - started, 2),
    }


def _within_budget(aksharas: AksharaMerges, b: Base, count: int) -> Tuple[List[str], List[Tuple[str, str]]]:
    """The akshara block's tokens and merges, cut to `count` new tokens when it made more
    (a tiny budget): a merge stays only where its two sides and its token are all kept."""
    added = aksharas.added[:count]
    kept = set(b.vocab) | set(added)
    merges = [m for m in aksharas.merges if m[0] in kept and m[1] in kept and m[0] + m[1] in kept]
    return added, merges


def _check_kept(base_tok: Any, extended: Any, texts: List[str], b: Base) -> None:
    """Text without Devanagari must keep the base's ids: a difference is our fault, never the
    user's, and a file that broke it must not be used."""
    kept = extended.get_vocab(with_added_tokens=True)
    for token, i in base_tok.get_vocab(with_added_tokens=True).items():
        if kept.get(token) != i:
            raise RuntimeError(f"the extended tokenizer moves the base's token {token!r} from id {i} to "
                               f"{kept.get(token)}; this is a fault of larkspur.extend, please report it with the "
                               f"base {b.name}")
    for text in texts:
        if base_tok.encode(text, add_special_tokens=False).ids != extended.encode(text, add_special_tokens=False).ids:
            raise RuntimeError(f"the extended tokenizer gives other ids than the base for {text[:60]!r}, which holds "
                               f"no Devanagari; this is a fault of larkspur.extend, please report it with the base "
                               f"{b.name}")
