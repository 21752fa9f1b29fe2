"""What an extension changes, measured on sample lines: tokens per word, and the share of
Devanagari tokens that end inside an akshara."""

from __future__ import annotations

from typing import Any, List, Optional, Sequence

from ._base import BYTE_LEVEL, CHAR_BYTES, Base
from ._learn import aksharas


def tokens_per_word(tokenizer: Any, lines: Sequence[str]) -> Optional[float]:
    """Tokens per whitespace-separated word over the lines (None without words)."""
    words = sum(len(line.split()) for line in lines)
    if not words:
        return None
    tokens = sum(len(e.ids) for e in tokenizer.encode_batch(list(lines), add_special_tokens=False))
    return round(tokens / words, 4)


def token_bytes(base: Base, token: str) -> bytes:
    """The bytes a token spells in the tokenizer's normalized text."""
    if base.kind == BYTE_LEVEL:
        return bytes(CHAR_BYTES.get(c, 0x3F) for c in token)
    if len(token) == 6 and token.startswith("<0x") and token.endswith(">"):
        return bytes([int(token[3:5], 16)])
    return token.encode("utf-8")


def akshara_splits(tokenizer: Any, base: Base, lines: Sequence[str]) -> Optional[float]:
    """The share of tokens holding Devanagari that end inside an akshara (None without any)."""
    dev = inside = 0
    for e in tokenizer.encode_batch(list(lines), add_special_tokens=False):
        spans: List[bytes] = [token_bytes(base, t) for t in e.tokens]
        try:
            text = b"".join(spans).decode("utf-8")
        except UnicodeDecodeError:
            continue  # an unknown token spelled nothing: no positions to compare
        ends = set()
        devanagari = bytearray()
        at = 0
        for a in aksharas(text):
            for c in a:
                devanagari.extend([0x0900 <= ord(c) <= 0x097F] * len(c.encode("utf-8")))
            at += len(a.encode("utf-8"))
            ends.add(at)
        at = 0
        for s in spans:
            begin, at = at, at + len(s)
            if any(devanagari[begin:at]):
                dev += 1
                inside += at not in ends
    return round(inside / dev, 4) if dev else None
