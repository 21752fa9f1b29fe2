"""A slow, plainly written reference of the merges that extend a base tokenizer: a BPE over
sequences of unit numbers, every pair recounted from scratch before each merge, a pair
admitted only where the token it makes is one kind of Devanagari run of one word (after an
optional word marker on its left side)."""

from collections import Counter
from typing import Dict, List, Sequence, Tuple

NONE, MARKER, LETTERS, DIGITS, PUNCT, ASCII_PUNCT, LETTERS_PUNCT = 0, 1, 2, 3, 4, 5, 6
LEAD = 0x80
# The shapes a token may have after its optional marker, as regular expressions over one
# letter per kind: letters, perhaps ending in punctuation; digits; dandas.
SHAPES = {"L+": LETTERS, "D+": DIGITS, "P+": PUNCT, "L+[PA]+": LETTERS_PUNCT}
SPELLING = {LETTERS: "L", DIGITS: "D", PUNCT: "P", ASCII_PUNCT: "A", LETTERS_PUNCT: "LP"}


def merged_class(left: int, right: int) -> int:
    """The class of left+right, NONE when the two may not merge: spell both as strings of
    kinds and ask whether the result has an allowed shape."""
    import re

    if right & LEAD:
        return NONE
    lk, rk = left & 0x7F, right & 0x7F
    if rk not in SPELLING or (lk not in SPELLING and lk != MARKER):
        return NONE
    text = ("" if lk == MARKER else SPELLING[lk]) + SPELLING[rk]
    for shape, kind in SHAPES.items():
        if re.fullmatch(shape, text):
            return kind | (LEAD if lk == MARKER or left & LEAD else 0)
    return NONE


def merges(seqs: Sequence[Sequence[int]], counts: Sequence[int], classes: Sequence[int], n: int,
           min_count: int) -> List[Tuple[int, int, int]]:
    words = [list(s) for s in seqs]
    cls: Dict[int, int] = dict(enumerate(classes))
    out = []
    nxt = len(classes)
    for _ in range(n):
        pairs: Counter = Counter()
        for w, c in zip(words, counts):
            for a, b in zip(w, w[1:]):
                if merged_class(cls[a], cls[b]) != NONE:
                    pairs[(a, b)] += c
        best = [(c, p) for p, c in pairs.items() if c >= max(min_count, 1)]
        if not best:
            break
        # the most frequent; of equal counts the smaller pair
        top = max(c for c, _ in best)
        a, b = min(p for c, p in best if c == top)
        cls[nxt] = merged_class(cls[a], cls[b])
        out.append((a, b, nxt))
        for i, w in enumerate(words):
            j, merged = 0, []
            while j < len(w):
                if j + 1 < len(w) and w[j] == a and w[j + 1] == b:
                    merged.append(nxt)
                    j += 2
                else:
                    merged.append(w[j])
                    j += 1
            words[i] = merged
        nxt += 1
    return out
