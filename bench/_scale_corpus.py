"""A corpus generator for the corpus-scale benchmarks: the lines of the shared corpus,
shuffled and repeated, with new word types mixed in so that the number of distinct words
keeps growing with the text, as it does in web text (names, numbers, misspellings and
compounds keep appearing however much text there is).

Each word of a line is replaced, with probability `rate`, by a synthetic word whose number
is drawn from a Zipf distribution of exponent `zipf`: a few synthetic words are frequent and
most are seen once or twice, and the number of distinct ones grows about as N^(1/zipf) with
the N words drawn. With the defaults (rate 0.1, exponent 1.1) that is about 0.5 million word
types at 0.2 GB, 3.5 million at 2 GB and 28 million at 20 GB. A synthetic word spells its
number in base 40 with aksharas made here from consonants and vowel signs, so it is valid
Devanagari that the tokenizers segment as they would real words.

The file is written in blocks of about 16 MB; generation runs at about 50 to 100 MB/s.
"""

from __future__ import annotations

import random
from pathlib import Path
from typing import List, Sequence

import numpy as np

# 40 aksharas: 10 consonants with 4 vowel signs each (none, आ, ि, ो).
_CONSONANTS = [chr(c) for c in (0x0915, 0x0917, 0x091A, 0x091C, 0x0924, 0x0926, 0x0928, 0x092A, 0x092E, 0x0930)]
_SIGNS = ["", "\u093e", "\u093f", "\u094b"]
_AKSHARAS = [c + s for c in _CONSONANTS for s in _SIGNS]
_BASE = len(_AKSHARAS)


def synthetic_word(n: int) -> str:
    """The word of number n (n >= 1): its base-40 digits as aksharas, at least two."""
    out = []
    while True:
        n, d = divmod(n, _BASE)
        out.append(_AKSHARAS[d])
        if n == 0 and len(out) >= 2:
            break
    return "".join(out)


def generate(dest: Path, sources: Sequence[Path], target_bytes: int, rate: float = 0.1, zipf: float = 1.1,
             seed: int = 7) -> dict:
    """Writes about `target_bytes` of text to `dest`; returns what was written (bytes,
    lines, words, synthetic words drawn)."""
    lines: List[str] = []
    for s in sources:
        with open(s, encoding="utf-8") as f:
            lines.extend(line.rstrip("\n") for line in f if line.strip())
    rng = random.Random(seed)
    nprng = np.random.default_rng(seed)
    written = n_lines = n_words = n_synth = 0
    cache: dict = {}
    with open(dest, "w", encoding="utf-8", newline="\n") as out:
        while written < target_bytes:
            order = list(range(len(lines)))
            rng.shuffle(order)
            block: List[str] = []
            size = 0
            for i in order:
                words = lines[i].split()
                k = len(words)
                hits = np.flatnonzero(nprng.random(k) < rate)
                if hits.size:
                    numbers = nprng.zipf(zipf, hits.size)
                    for pos, num in zip(hits.tolist(), numbers.tolist()):
                        w = cache.get(num)
                        if w is None:
                            w = synthetic_word(num)
                            if len(cache) < 200_000:
                                cache[num] = w
                        words[pos] = w
                    n_synth += int(hits.size)
                text = " ".join(words)
                block.append(text)
                size += len(text.encode("utf-8")) + 1
                n_words += k
                if size >= (16 << 20) or written + size >= target_bytes:
                    out.write("\n".join(block) + "\n")
                    written += size
                    n_lines += len(block)
                    block, size = [], 0
                    if written >= target_bytes:
                        break
            if block:
                out.write("\n".join(block) + "\n")
                written += size
                n_lines += len(block)
    return {"bytes": written, "lines": n_lines, "words": n_words, "synthetic_words": n_synth}
