"""What quality.py measures on a tokenized line, kept apart from the training and the
tables so that the tests can check it on lines made up by hand.

Every system's output is first brought to one shape: a list of `Piece`s, each the
character span of one id in the line it came from, plus the byte value when the id is a
byte-fallback token. The measures then only compare spans with the line's aksharas:

- a piece splits an akshara when its start or its end falls strictly inside one; a byte
  token of a character of more than one UTF-8 byte always does (its edges fall inside the
  character, so inside the akshara that holds it);
- a form keeps its stem|suffix boundary when some piece starts or ends exactly after the
  stem;
- each piece falls in one of the kinds of `KINDS` (byte, bare word marker, punctuation
  standing alone after a word, other punctuation, a word joined with punctuation, a whole
  word, a single Devanagari akshara of a longer word, a longer piece of a word).

How evenly a system uses its vocabulary is measured on the ids alone: the Rényi efficiency
of their distribution over the held-out text (`renyi_efficiency`).
"""

from __future__ import annotations

import math
import unicodedata
from typing import Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple


class Piece(NamedTuple):
    start: int       # character offsets in the line, end exclusive
    end: int
    byte: int = -1   # the byte value of a byte-fallback token, else -1
    id: int = -1     # the system's id of the token


# ----------------------------------------------------------------------------- the split

def split_blocks(lines: Sequence[str], block: int, every: int, held: int) -> Tuple[List[str], List[str]]:
    """(training lines, held-out lines): the lines cut into runs of `block` consecutive
    lines, run i held out when i % every == held. Runs of neighbouring lines rather than
    single lines, so that a held-out sentence rarely has the sentence before or after it
    (same story, same article, same names) in the training part; spread over the whole
    file rather than its tail, so that every source of the file is held out in its share."""
    if block < 1 or every < 2 or not 0 <= held < every:
        raise ValueError("need block >= 1, every >= 2 and 0 <= held < every")
    train: List[str] = []
    out: List[str] = []
    for i, line in enumerate(lines):
        (out if (i // block) % every == held else train).append(line)
    return train, out


def split_roots(paradigms: Sequence[dict]) -> Tuple[List[dict], List[dict]]:
    """(roots given to training, held-out roots): even root ids train, odd ones are held out."""
    train = [p for p in paradigms if int(p["root_id"]) % 2 == 0]
    held = [p for p in paradigms if int(p["root_id"]) % 2 == 1]
    return train, held


def paradigm_forms(paradigms: Iterable[dict]) -> List[Tuple[str, str]]:
    """Every distinct (stem, suffix) of the paradigms' transitions, in NFC, where the two
    written together are still the NFC of the whole form (so that the boundary sits at
    len(stem) in the text every system sees)."""
    seen = set()
    forms: List[Tuple[str, str]] = []
    for p in paradigms:
        for stem, suffixes in p["transitions"].items():
            for suffix in suffixes:
                s, x = unicodedata.normalize("NFC", stem), unicodedata.normalize("NFC", suffix)
                if not s or not x or (s, x) in seen:
                    continue
                if unicodedata.normalize("NFC", s + x) != s + x:
                    continue
                seen.add((s, x))
                forms.append((s, x))
    return forms


def form_occurrences(forms: Sequence[Tuple[str, str]], lines: Iterable[str]) -> Dict[Tuple[str, str], int]:
    """How often each form occurs as a word of `lines` (split at white space, punctuation
    stripped from both ends): a form's weight when the recall is counted over running text
    rather than over the list of forms."""
    wanted: Dict[str, List[Tuple[str, str]]] = {}
    for stem, suffix in forms:
        wanted.setdefault(stem + suffix, []).append((stem, suffix))
    out: Dict[Tuple[str, str], int] = {}
    for line in lines:
        for word in line.split():
            for form in wanted.get(_strip_punct(word), ()):
                out[form] = out.get(form, 0) + 1
    return out


def _strip_punct(word: str) -> str:
    a, b = 0, len(word)
    while a < b and is_punct(word[a]):
        a += 1
    while b > a and is_punct(word[b - 1]):
        b -= 1
    return word[a:b]


# ----------------------------------------------------------------------------- aksharas

def inside_flags(aksharas: Sequence[str], length: int) -> bytearray:
    """flags[p] == 1 where offset p (0..length) falls strictly inside an akshara."""
    flags = bytearray(length + 1)
    pos = 0
    for a in aksharas:
        for p in range(pos + 1, pos + len(a)):
            flags[p] = 1
        pos += len(a)
    if pos != length:
        raise ValueError(f"the aksharas cover {pos} characters of a line of {length}")
    return flags


def akshara_ends(aksharas: Sequence[str]) -> Dict[int, int]:
    """start offset -> end offset of each akshara."""
    out: Dict[int, int] = {}
    pos = 0
    for a in aksharas:
        out[pos] = pos + len(a)
        pos += len(a)
    return out


def splits_akshara(piece: Piece, inside: bytearray) -> bool:
    if piece.byte >= 0x80:
        return True
    return bool(inside[piece.start] or inside[piece.end])


def count_splitting(pieces: Iterable[Piece], inside: bytearray) -> int:
    return sum(1 for p in pieces if splits_akshara(p, inside))


def has_boundary_at(pieces: Sequence[Piece], offset: int) -> bool:
    """Whether a piece starts or ends at `offset` (a byte token's span is its character's,
    so bytes count only at the edges of their character)."""
    return any(p.start == offset or p.end == offset for p in pieces)


# ----------------------------------------------------------------------------- kinds of token

KINDS = ("byte", "marker", "punct after word", "other punct", "word+punct", "whole word", "one akshara",
         "longer piece")


def is_devanagari(ch: str) -> bool:
    return "\u0900" <= ch <= "\u097f" or "\ua8e0" <= ch <= "\ua8ff"


def is_punct(ch: str) -> bool:
    return unicodedata.category(ch)[0] in "PS"


def _edge(ch: str) -> bool:
    """Whether a character ends a run of letters: white space or punctuation."""
    return ch.isspace() or is_punct(ch)


def kind(line: str, piece: Piece, ends: Dict[int, int]) -> str:
    """Which of KINDS a piece is. The white space a word marker stands for is not part of
    what the piece spells: a piece over white space alone is a bare marker, a piece over a
    space and a comma is punctuation after a space, not after a word, and a piece over a
    space and a whole word is a whole word.

    - punct after word: punctuation alone, right after a non-space character;
    - word+punct: letters and punctuation in one piece (a word with its danda);
    - whole word: all the letters between white space or punctuation on both sides;
    - one akshara, longer piece: part of such a run of letters, one akshara or more long.
    """
    if piece.byte >= 0:
        return "byte"
    text = line[piece.start:piece.end]
    core = text.lstrip()
    start = piece.end - len(core)
    if not core:
        return "marker"
    punct = [is_punct(c) for c in core]
    if all(punct):
        after_word = start == piece.start and start > 0 and not line[start - 1].isspace()
        return "punct after word" if after_word else "other punct"
    if any(punct):
        return "word+punct"
    if (start == 0 or _edge(line[start - 1])) and (piece.end == len(line) or _edge(line[piece.end])):
        return "whole word"
    if ends.get(start) == piece.end and any(is_devanagari(c) for c in core):
        return "one akshara"
    return "longer piece"


# ----------------------------------------------------------------------------- the ids

RENYI_ALPHA = 2.5


def renyi_efficiency(counts: Iterable[int], vocab: int, alpha: float = RENYI_ALPHA) -> Optional[float]:
    """H_alpha(p) / log(vocab), p the relative frequencies of `counts` (one count per id
    used; ids never used weigh nothing in the sum but count in `vocab`), H_alpha =
    log(sum p_i^alpha) / (1 - alpha). 1.0 when every id of the vocabulary is used equally
    often; an alpha above 1 weighs the frequent ids, so a few ids taking much of the text
    pull it down more than a long tail of rare ids does. None when it is undefined (no
    tokens, fewer than two ids, alpha 1).

    >>> round(renyi_efficiency([7] * 500, 500), 9)
    1.0
    >>> round(renyi_efficiency([3] * 10, 100), 9)
    0.5
    >>> renyi_efficiency([90, 10], 2) < renyi_efficiency([60, 40], 2) < 1.0
    True
    """
    counts = [c for c in counts if c > 0]
    total = sum(counts)
    if not total or vocab < 2 or alpha == 1:
        return None
    h = math.log(math.fsum((c / total) ** alpha for c in counts)) / (1.0 - alpha)
    return h / math.log(vocab)


# ----------------------------------------------------------------------------- offsets

def char_index_of_bytes(text: str) -> List[int]:
    """For each UTF-8 byte offset of `text` (and its end), the character offset it falls in."""
    out: List[int] = []
    for i, ch in enumerate(text):
        out.extend([i] * len(ch.encode("utf-8")))
    out.append(len(text))
    return out
