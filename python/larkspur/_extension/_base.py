"""The tokenizer being extended: a tokenizers-library `tokenizer.json` of a BPE model, either
byte-level with a split pattern (Llama-3, Qwen, GPT style) or with byte fallback and a word
marker (Llama-2, Mistral, Gemma style). Reading it, telling its kind, widening its split
pattern so that Devanagari words stay whole, and writing the extended file."""

from __future__ import annotations

import copy
import json
import os
import shutil
import unicodedata
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

BYTE_LEVEL, BYTE_FALLBACK = "byte-level", "byte-fallback"
WORD_MARKER = "\u2581"  # "▁", the space of byte-fallback vocabularies

# The split pattern that a ByteLevel pre-tokenizer applies when it carries none of its own.
BYTE_LEVEL_PATTERN = r"'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"

# The files of a model directory that spell the base's vocabulary for other loaders; they
# would give the base's ids for the extended vocabulary, so an extended directory drops them.
SLOW_TOKENIZER_FILES = ("vocab.json", "merges.txt", "tokenizer.model", "tokenizer.model.v3", "vocab.txt",
                        "spiece.model", "sentencepiece.bpe.model")


def _devanagari_marks() -> str:
    """The Devanagari block's combining marks (vowel signs, virama, nukta, candrabindu...),
    as ranges of a regex class. They are not letters (\\p{L}), so a pattern that keeps
    letters together cuts every word at its first vowel sign."""
    ranges: List[List[int]] = []
    for cp in range(0x0900, 0x0980):
        if unicodedata.category(chr(cp)).startswith("M"):
            if ranges and ranges[-1][1] == cp - 1:
                ranges[-1][1] = cp
            else:
                ranges.append([cp, cp])
    return "".join(f"\\x{{{a:04X}}}" if a == b else f"\\x{{{a:04X}}}-\\x{{{b:04X}}}" for a, b in ranges)


DEVANAGARI_MARKS = _devanagari_marks()


def widen_pattern(pattern: str) -> str:
    """`pattern` with the Devanagari marks counted as letters wherever it names \\p{L}:
    added to each character class holding it, and \\p{L} alone made a class of both. Text
    without Devanagari matches exactly as before, since only those marks join a class. A
    pattern that already keeps marks with letters (\\p{M}) is returned as it is."""
    if "\\p{M" in pattern or "\\p{Mark" in pattern:
        return pattern
    out: List[str] = []
    i, depth = 0, 0
    while i < len(pattern):
        c = pattern[i]
        if c == "\\":
            piece = pattern[i:i + 5]
            if piece == "\\p{L}":
                out.append(piece + DEVANAGARI_MARKS if depth else f"[\\p{{L}}{DEVANAGARI_MARKS}]")
                i += 5
                continue
            out.append(pattern[i:i + 2])
            i += 2
            continue
        if c == "[":
            depth += 1
        elif c == "]" and depth:
            depth -= 1
        out.append(c)
        i += 1
    return "".join(out)


# With keep_punctuation, a piece tried before all others: a Devanagari word (letters and
# signs, not digits, which the pattern groups its own way) with the punctuation that follows
# it, as larkspur's own words keep it. It matches only where Devanagari stands, so other
# text is cut as before.
_LETTERS = r"[\x{0900}-\x{0963}\x{0971}-\x{097F}]+"
WORD_WITH_PUNCTUATION = (rf" ?{_LETTERS}(?:[\x{{200C}}\x{{200D}}]{_LETTERS})*"
                         r"[\x{0964}\x{0965}\x{0970},.!?;:'\")\]]*")


def keep_punctuation_in(pattern: str) -> str:
    return WORD_WITH_PUNCTUATION + "|" + pattern


def _bytes_to_unicode() -> Dict[int, str]:
    """The byte-level alphabet: each byte as a printable character (printable bytes as
    themselves, the rest moved past U+0100 in order), as byte-level BPE vocabularies spell it."""
    keep = list(range(ord("!"), ord("~") + 1)) + list(range(0xA1, 0xAD)) + list(range(0xAE, 0x100))
    chars = keep[:]
    n = 0
    for b in range(256):
        if b not in keep:
            keep.append(b)
            chars.append(256 + n)
            n += 1
    return {b: chr(c) for b, c in zip(keep, chars)}


BYTE_CHARS = _bytes_to_unicode()
CHAR_BYTES = {c: b for b, c in BYTE_CHARS.items()}


def _pre_tokenizers(node: Optional[Dict[str, Any]]) -> Iterator[Dict[str, Any]]:
    if not node:
        return
    if node.get("type") == "Sequence":
        for p in node.get("pretokenizers", []):
            yield from _pre_tokenizers(p)
    else:
        yield node


class Base:
    """A base tokenizer.json: its document, its kind, vocabulary and merges."""

    def __init__(self, path: Optional[Path], doc: Dict[str, Any]):
        self.path, self.doc = path, doc  # path: None for a tokenizer given in memory
        self.name = str(path) if path is not None else "the base tokenizer"
        model = doc.get("model")
        if not isinstance(model, dict):
            raise ValueError(f"{self.name}: not a tokenizers-library tokenizer.json (it has no model object)")
        found = model.get("type") or ("BPE" if "merges" in model else None)
        if found != "BPE":
            what = found or "a model without a type"
            raise ValueError(f"{self.name}: the model is {what}; larkspur.extend extends BPE models only "
                             f"(byte-level with a split pattern, or with byte fallback)")
        vocab = model.get("vocab")
        merges = model.get("merges")
        if not isinstance(vocab, dict) or not isinstance(merges, list):
            raise ValueError(f"{self.name}: the BPE model has no vocab object or no merges list")
        self.vocab: Dict[str, int] = vocab
        self.pairs_as_strings = bool(merges) and isinstance(merges[0], str)
        self.merges: List[Tuple[str, str]] = [_pair(m, self.name) for m in merges]
        levels = [p for p in _pre_tokenizers(doc.get("pre_tokenizer")) if p.get("type") == "ByteLevel"]
        if levels:
            self.kind = BYTE_LEVEL
        elif model.get("byte_fallback") and all(f"<0x{b:02X}>" in vocab for b in range(256)):
            self.kind = BYTE_FALLBACK
        else:
            pre = doc.get("pre_tokenizer")
            raise ValueError(f"{self.name}: a BPE model with neither a ByteLevel pre-tokenizer nor byte fallback "
                             f"(pre-tokenizer {pre.get('type') if isinstance(pre, dict) else pre}, byte_fallback "
                             f"{model.get('byte_fallback')}); larkspur.extend needs one of the two, so that every "
                             f"text has a spelling")
        ids = list(vocab.values()) + [t.get("id", -1) for t in doc.get("added_tokens") or []]
        self.size = max(ids) + 1 if ids else 0

    @staticmethod
    def read(base: Any) -> "Base":
        """From a path, or from a tokenizers-library Tokenizer (or a transformers fast
        tokenizer, by its backend) in memory; TypeError for anything else."""
        if not isinstance(base, (str, os.PathLike)):
            inner = getattr(base, "backend_tokenizer", base)
            if not callable(getattr(inner, "to_str", None)):
                raise TypeError(f"base must be a path to a tokenizer.json (or a directory holding one), a tokenizers "
                                f"Tokenizer or a transformers fast tokenizer, not {type(base).__name__}")
            doc = json.loads(inner.to_str())
            return Base(None, doc)
        p = Path(os.fspath(base))
        if p.is_dir():
            p = p / "tokenizer.json"
        if not p.is_file():
            raise FileNotFoundError(2, "no tokenizer.json (a tokenizers-library file, or a directory holding one)",
                                    str(p))
        try:
            doc = json.loads(p.read_text(encoding="utf-8"))
        except (json.JSONDecodeError, UnicodeDecodeError) as e:
            raise ValueError(f"{p}: not a JSON file ({e})") from None
        if not isinstance(doc, dict):
            raise ValueError(f"{p}: not a tokenizers-library tokenizer.json (not a JSON object)")
        return Base(p, doc)

    def widened_doc(self, keep_punctuation: bool = False) -> Tuple[Dict[str, Any], bool]:
        """The document with its split pattern widened (see widen_pattern), and with
        `keep_punctuation` a Devanagari word's trailing punctuation kept in its piece: a
        ByteLevel pre-tokenizer that splits by its own built-in pattern gets that pattern as
        a Split in front of it. Returns (document, whether anything changed)."""
        wide = (lambda p: keep_punctuation_in(widen_pattern(p))) if keep_punctuation else widen_pattern
        doc = copy.deepcopy(self.doc)
        if self.kind != BYTE_LEVEL:
            return doc, False
        changed = False

        def visit(node: Dict[str, Any]) -> Dict[str, Any]:
            nonlocal changed
            if node.get("type") == "Sequence":
                node["pretokenizers"] = [visit(p) for p in node.get("pretokenizers", [])]
                return node
            if node.get("type") == "Split" and isinstance(node.get("pattern"), dict) and "Regex" in node["pattern"]:
                widened = wide(node["pattern"]["Regex"])
                changed = changed or widened != node["pattern"]["Regex"]
                node["pattern"]["Regex"] = widened
            elif node.get("type") == "ByteLevel" and node.get("use_regex", True):
                if node.get("add_prefix_space", False):
                    # Split in front, ByteLevel would prefix every piece, not the text once.
                    raise ValueError(f"{self.name}: the ByteLevel pre-tokenizer splits by its built-in pattern "
                                     f"after adding a prefix space; larkspur.extend cannot widen that pattern "
                                     f"without changing the ids of other text (save the base with "
                                     f"add_prefix_space=false, or a Split pre-tokenizer in front)")
                node = dict(node, use_regex=False)
                changed = True
                split = {"type": "Split", "pattern": {"Regex": wide(BYTE_LEVEL_PATTERN)},
                         "behavior": "Isolated", "invert": False}
                return {"type": "Sequence", "pretokenizers": [split, node]}
            return node

        doc["pre_tokenizer"] = visit(doc["pre_tokenizer"])
        return doc, changed

    def token_text(self, token: str) -> Optional[str]:
        """The text a token stands for, or None where it is not whole characters (a byte,
        part of a character's bytes)."""
        if self.kind == BYTE_LEVEL:
            try:
                return bytes(CHAR_BYTES[c] for c in token).decode("utf-8")
            except (KeyError, UnicodeDecodeError):
                return None
        if len(token) == 6 and token.startswith("<0x") and token.endswith(">"):
            return None
        return token.replace(WORD_MARKER, " ")

    def spell(self, text: str) -> str:
        """A text in the vocabulary's alphabet (bytes as characters, or spaces as markers)."""
        if self.kind == BYTE_LEVEL:
            return "".join(BYTE_CHARS[b] for b in text.encode("utf-8"))
        return text.replace(" ", WORD_MARKER)

    def write(self, doc: Dict[str, Any], vocab: Dict[str, int], merges: List[Tuple[str, str]], output: Path,
              as_directory: bool, check: Callable[[str], None]) -> Path:
        """Writes the extended tokenizer.json (for a base directory, beside copies of its other
        files). `check(path)` sees the file under a temporary name first; what it rejects is
        never put in place."""
        doc["model"]["vocab"] = vocab
        doc["model"]["merges"] = [f"{a} {b}" for a, b in merges] if self.pairs_as_strings else [[a, b] for a, b in merges]
        target = output / "tokenizer.json" if as_directory else output
        target.parent.mkdir(parents=True, exist_ok=True)
        tmp = target.with_name(target.name + ".tmp")
        try:
            with open(tmp, "w", encoding="utf-8") as f:
                json.dump(doc, f, ensure_ascii=False, indent=2)
            check(str(tmp))
            if as_directory and self.path is not None and self.path.name == "tokenizer.json":
                _copy_directory(self.path.parent, output)
            os.replace(tmp, target)
        finally:
            tmp.unlink(missing_ok=True)
        return target


def _pair(m: Any, name: str) -> Tuple[str, str]:
    if isinstance(m, str):
        parts = m.split(" ")
        if len(parts) == 2:
            return parts[0], parts[1]
    elif isinstance(m, list) and len(m) == 2 and all(isinstance(x, str) for x in m):
        return m[0], m[1]
    raise ValueError(f"{name}: a merge that is not a pair of tokens: {m!r}")


def _copy_directory(source: Path, output: Path) -> None:
    """The base directory's files beside the new tokenizer.json, without the files that spell
    the base's vocabulary another way; tokenizer_config.json names the class that reads
    tokenizer.json as it is (a model's own tokenizer class may rebuild its split pattern)."""
    output.mkdir(parents=True, exist_ok=True)
    if source.resolve() != output.resolve():
        for f in source.iterdir():
            if f.is_file() and f.name not in SLOW_TOKENIZER_FILES and f.name != "tokenizer.json":
                shutil.copy2(f, output / f.name)
    for name in SLOW_TOKENIZER_FILES:
        (output / name).unlink(missing_ok=True)
    config = output / "tokenizer_config.json"
    if config.is_file():
        try:
            c = json.loads(config.read_text(encoding="utf-8"))
        except json.JSONDecodeError:
            return
        if isinstance(c, dict):
            if c.get("tokenizer_class") not in (None, "PreTrainedTokenizerFast"):
                c["extended_from_tokenizer_class"] = c["tokenizer_class"]
            c["tokenizer_class"] = "PreTrainedTokenizerFast"
            c.pop("auto_map", None)
            config.write_text(json.dumps(c, ensure_ascii=False, indent=2) + "\n", encoding="utf-8")
