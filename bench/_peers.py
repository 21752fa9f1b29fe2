"""Peer tokenizers, trained the way the benchmarks compare them: each gets a vocabulary of
about the same size as ours, trained on the same text file.

Import this module only after the caller has decided the thread count: tokenizers reads
RAYON_NUM_THREADS when it first starts its thread pool, so the scripts set it to 1 before
anything imports tokenizers.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Dict, List, Optional

# Words, punctuation runs and white space; a leading space stays with the word after it.
# Used both to pre-split text for the byte-level BPE and as tiktoken's pattern, so that
# the two split text the same way. (GPT-2's pattern would cut Devanagari words at every
# vowel sign: those are marks, not letters.)
SPLIT_PATTERN = r""" ?[^\s\p{P}\p{S}]+| ?[\p{P}\p{S}]+|\s+(?!\S)|\s+"""

BYTE_TOKENS = [f"<0x{b:02X}>" for b in range(256)]


def available() -> Dict[str, Optional[str]]:
    """Peer name -> version, or None when it cannot be imported."""
    from importlib import metadata

    out: Dict[str, Optional[str]] = {}
    for name in ("tokenizers", "sentencepiece", "tiktoken", "youtokentome"):
        try:
            mod = __import__(name)
        except Exception:  # noqa: BLE001 - a broken install counts as missing
            out[name] = None
            continue
        try:
            out[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            out[name] = getattr(mod, "__version__", "?")
    return out


# --------------------------------------------------------------------------- tokenizers

def hf_bpe(vocab_size: int, byte_fallback: bool = True):
    """A BPE tokenizer like ours in shape: NFC, words marked with U+2581, byte fallback."""
    from tokenizers import Tokenizer, decoders, models, normalizers, pre_tokenizers, trainers

    tok = Tokenizer(models.BPE(unk_token="<unk>", byte_fallback=byte_fallback))
    tok.normalizer = normalizers.NFC()
    tok.pre_tokenizer = pre_tokenizers.Metaspace(replacement="\u2581", prepend_scheme="always")
    tok.decoder = decoders.Sequence([decoders.ByteFallback(), decoders.Metaspace(replacement="\u2581",
                                                                                  prepend_scheme="always")])
    specials = ["<unk>"] + (BYTE_TOKENS if byte_fallback else [])
    trainer = trainers.BpeTrainer(vocab_size=vocab_size, special_tokens=specials, show_progress=False)
    return tok, trainer


def train_hf_bpe(path: Path, vocab_size: int):
    tok, trainer = hf_bpe(vocab_size)
    tok.train([str(path)], trainer)
    return tok


def train_hf_bytelevel(path: Path, vocab_size: int):
    """Byte-level BPE over SPLIT_PATTERN pieces; its merges become tiktoken's ranks."""
    from tokenizers import Regex, Tokenizer, decoders, models, pre_tokenizers, trainers

    tok = Tokenizer(models.BPE())
    tok.pre_tokenizer = pre_tokenizers.Sequence([
        pre_tokenizers.Split(Regex(SPLIT_PATTERN), behavior="isolated"),
        pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False),
    ])
    tok.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(vocab_size=vocab_size, show_progress=False,
                                  initial_alphabet=pre_tokenizers.ByteLevel.alphabet())
    tok.train([str(path)], trainer)
    return tok


def _bytes_to_unicode() -> Dict[int, str]:
    """The byte -> printable character table of byte-level BPE (GPT-2's), as larkspur.extend
    reads such vocabularies."""
    from larkspur._extension._base import BYTE_CHARS

    return dict(BYTE_CHARS)


def tiktoken_from_bytelevel(hf_tok, name: str = "larkspur_bench_bytelevel"):
    """A tiktoken Encoding whose ranks are the 256 bytes, then the merges in order."""
    import tiktoken

    model = json.loads(hf_tok.to_str())["model"]
    merges = model["merges"]
    decoder = {c: b for b, c in _bytes_to_unicode().items()}

    def to_bytes(s: str) -> bytes:
        return bytes(decoder[ch] for ch in s)

    ranks: Dict[bytes, int] = {bytes([b]): b for b in range(256)}
    for m in merges:
        left, right = (m.split(" ", 1) if isinstance(m, str) else m)
        merged = to_bytes(left) + to_bytes(right)
        if merged not in ranks:
            ranks[merged] = len(ranks)
    return tiktoken.Encoding(name=name, pat_str=SPLIT_PATTERN, mergeable_ranks=ranks, special_tokens={})


# --------------------------------------------------------------------------- sentencepiece

def max_line_bytes(path: Path) -> int:
    longest = 0
    with open(path, "rb") as f:
        for line in f:
            longest = max(longest, len(line))
    return longest


def train_sentencepiece(path: Path, vocab_size: int, model_prefix: Path, threads: int,
                        max_sentence_length: Optional[int] = None, log: bool = False):
    """BPE with byte fallback over every line of the file (no sampling, no length cut)."""
    import sentencepiece as spm

    if max_sentence_length is None:
        max_sentence_length = max_line_bytes(path) + 16
    spm.SentencePieceTrainer.train(
        input=str(path),
        model_prefix=str(model_prefix),
        model_type="bpe",
        vocab_size=vocab_size,
        byte_fallback=True,
        character_coverage=1.0,
        num_threads=threads,
        input_sentence_size=0,          # 0: every sentence, no sampling
        shuffle_input_sentence=False,
        max_sentence_length=max_sentence_length,
        minloglevel=0 if log else 1,
    )
    return spm.SentencePieceProcessor(model_file=str(model_prefix) + ".model")


def sentencepiece_merges(sp) -> int:
    """Pieces made by merging: normal pieces longer than one character."""
    n = 0
    for i in range(sp.get_piece_size()):
        if sp.is_byte(i) or sp.is_control(i) or sp.is_unknown(i) or sp.is_unused(i):
            continue
        if len(sp.id_to_piece(i)) > 1:
            n += 1
    return n


def hf_merges(tok) -> int:
    return len(json.loads(tok.to_str())["model"]["merges"])


# --------------------------------------------------------------------------- encoders

class Encoder:
    """One tokenizer seen through the two calls the benchmarks time."""

    def __init__(self, name: str, encode, decode=None, note: str = ""):
        self.name = name
        self.encode = encode      # str -> list of ids, single-threaded
        self.decode = decode      # list of ids -> str, or None
        self.note = note


def hf_encoder(tok, name: str, note: str = "") -> Encoder:
    enc = tok.encode

    def encode(s: str) -> List[int]:
        return enc(s, add_special_tokens=False).ids

    return Encoder(name, encode, tok.decode, note)


def sp_encoder(sp, name: str, note: str = "") -> Encoder:
    enc = sp.encode
    return Encoder(name, lambda s: enc(s), sp.decode, note)


def tiktoken_encoder(enc, name: str, note: str = "") -> Encoder:
    return Encoder(name, enc.encode_ordinary, enc.decode, note)
