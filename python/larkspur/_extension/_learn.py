"""The new merges: aksharas first, then the merges learned from the base's segmentation.

The base's own merges cut Devanagari anywhere (a byte-level vocabulary learned from text in
which every vowel sign started a new piece). Two blocks of merges fix that:

1. Akshara merges, ranked before every base merge: for each akshara of the new text (most
   frequent first), merges that build it from its characters, and each Devanagari character
   from its bytes. Applied first, they leave every such akshara one symbol before any base
   merge can join part of it to its neighbour; base merges that would have split it find
   nothing to join. (Ranking them after the base merges instead leaves the base's splits in
   place, and new merges then spend ids on the same akshara behind each of its splits.)
2. Learned merges, ranked after every base merge: a BPE over the new text's words as the
   akshara and base merges leave them, merging only pairs that stay one Devanagari run of
   one word (train/extension.hpp in the core).

Every merge added makes a token holding Devanagari, and every merge moved in front is one
of those: so no merge added or moved can apply to text without Devanagari, whose ids stay
the base's."""

from __future__ import annotations

import functools
import re
from collections import Counter
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Set, Tuple

from .. import _engine
from ._base import BYTE_FALLBACK, Base

Pair = Tuple[str, str]

_DEVANAGARI = re.compile("[\u0900-\u097f]")
_PUNCT = {"\u0964", "\u0965", "\u0970"}
_JOINERS = {"\u200c", "\u200d"}
# Classes of tokens for the core's merge rule (train/extension.hpp).
NONE, MARKER, LETTERS, DIGITS, PUNCT, ASCII_PUNCT, LETTERS_PUNCT = 0, 1, 2, 3, 4, 5, 6
LEAD_MARKER = 0x80
_SHAPE = re.compile(r"(L+)([PA]*)|(D+)|(P+)|(A+)")


@functools.lru_cache(maxsize=1)
def _automaton() -> Any:
    from LarkspurTokenization import PyLarkspurTokenization

    return PyLarkspurTokenization()


def aksharas(text: str) -> List[str]:
    """The aksharas of a text, cut by the core's default automaton (the exact class's, which
    the companion's tokenizers share)."""
    return _automaton().dfa_tokenize_debug(text)


def has_devanagari(text: str) -> bool:
    return _DEVANAGARI.search(text) is not None


def _char_kind(c: str) -> str:
    if c in _PUNCT:
        return "P"
    if "\u0966" <= c <= "\u096f":
        return "D"
    if "\u0900" <= c <= "\u097f" or c in _JOINERS:
        return "L"
    if c.isascii() and c.isprintable() and not c.isalnum() and c != " ":
        return "A"
    return "?"


def token_class(text: Optional[str]) -> int:
    """A token's class from the text it stands for (None: not whole characters): the word
    marker alone, or after an optional marker Devanagari letters (perhaps ending in
    punctuation), Devanagari digits, dandas, or ASCII punctuation; NONE otherwise."""
    if not text:
        return NONE
    lead = 0
    if text[0] == " ":
        if len(text) == 1:
            return MARKER
        lead, text = LEAD_MARKER, text[1:]
    if text[0] in _JOINERS:
        return NONE
    m = _SHAPE.fullmatch("".join(_char_kind(c) for c in text))
    if m is None:
        return NONE
    if m.group(1):
        kind = LETTERS_PUNCT if m.group(2) else LETTERS
    else:
        kind = DIGITS if m.group(3) else PUNCT if m.group(4) else ASCII_PUNCT
    return kind | lead


def apply_merges(symbols: List[str], ranks: Dict[Pair, int]) -> List[str]:
    """BPE by rank, as the tokenizers library applies it: the adjacent pair of the lowest rank
    merges first, the leftmost of equal ones."""
    symbols = list(symbols)
    while len(symbols) > 1:
        best, at = None, -1
        for i in range(len(symbols) - 1):
            r = ranks.get((symbols[i], symbols[i + 1]))
            if r is not None and (best is None or r < best):
                best, at = r, i
        if best is None:
            break
        symbols[at:at + 2] = [symbols[at] + symbols[at + 1]]
    return symbols


class AksharaMerges:
    """The first block: merges that build aksharas, and the tokens they add."""

    def __init__(self, base: Base):
        self.base = base
        self.known: Set[str] = set(base.vocab)
        self.merges: List[Pair] = []
        self.ranks: Dict[Pair, int] = {}
        self.added: List[str] = []  # tokens not in the base, in the order they were made
        self.aksharas = 0

    def _new(self, token: str) -> None:
        if token not in self.known:
            self.known.add(token)
            self.added.append(token)

    def _merge(self, a: str, b: str) -> None:
        self.ranks[(a, b)] = len(self.merges)
        self.merges.append((a, b))
        self._new(a + b)

    def _symbols(self, akshara: str) -> Optional[List[str]]:
        """The akshara's first symbols: each Devanagari character one symbol (built from its
        bytes, or added as a token of its own where the base has no such character), other
        characters as the base spells them. None where it cannot be built."""
        out: List[str] = []
        for c in akshara:
            spelled = self.base.spell(c)
            if self.base.kind == BYTE_FALLBACK:
                if spelled not in self.known:
                    if not has_devanagari(c):
                        return None  # a joiner the base spells by bytes: leave it to them
                    self._new(spelled)
                out.append(spelled)
            elif has_devanagari(c):
                symbols = apply_merges(list(spelled), self.ranks)
                while len(symbols) > 1:
                    self._merge(symbols[0], symbols[1])
                    symbols = apply_merges(list(spelled), self.ranks)
                out.append(symbols[0])
            else:
                out.extend(spelled)
        return out

    def add(self, akshara: str) -> None:
        if not has_devanagari(akshara[0]) or any(c in " \t\r\n" for c in akshara):
            return
        first = self._symbols(akshara)
        if first is None:
            return
        symbols = apply_merges(first, self.ranks)
        while len(symbols) > 1:
            self._merge(symbols[0], symbols[1])
            symbols = apply_merges(first, self.ranks)
        self.aksharas += 1


def count_aksharas(words: Dict[str, int], base: Base) -> Counter:
    """How often each akshara starting with Devanagari occurs in the words (given in the
    base's alphabet)."""
    texts = list(words)
    plain = [base.token_text(w) or "" for w in texts]
    out: Counter = Counter()
    for w, aks in zip(texts, map(aksharas, plain)):
        n = words[w]
        for a in aks:
            if has_devanagari(a[0]):
                out[a] += n
    return out


def learn(units: List[int], lengths: List[int], counts: List[int], classes: bytes, merges: int,
          min_count: int) -> List[Tuple[int, int, int]]:
    return _engine.extension_merges(units, lengths, counts, list(classes), merges, min_count)


def learned_tokens(made: Sequence[Tuple[int, int, int]], names: Dict[int, str], known: Set[str], budget: int,
                   taken: Set[Pair]) -> Tuple[List[Pair], List[str]]:
    """The learned merges as token pairs, up to `budget` new tokens (a merge that makes a
    token the vocabulary has adds none), leaving out pairs already merged earlier."""
    pairs: List[Pair] = []
    added: List[str] = []
    for left, right, merged in made:
        a, b = names[left], names[right]
        names[merged] = a + b
        if (a, b) in taken:
            continue
        if a + b not in known:
            if len(added) == budget:
                break
            known.add(a + b)
            added.append(a + b)
        taken.add((a, b))
        pairs.append((a, b))
    return pairs, added


def classes_of(ids: Iterable[int], name_of: Callable[[int], Optional[str]], base: Base) -> bytes:
    """Each id's class (train/extension.hpp), indexed by id, for ids up to the largest given."""
    ids = sorted(set(ids))
    table = bytearray((ids[-1] + 1) if ids else 0)
    for i in ids:
        name = name_of(i)
        table[i] = token_class(base.token_text(name)) if name is not None else NONE
    return bytes(table)
