"""A slow, plainly written reference of how training shares the ids between the Devanagari
and the Latin pass when the words decide: the words cut into runs of units, then a plain
BPE over all runs at once, every pair recounted from scratch before each merge."""

from collections import Counter
from typing import Callable, Dict, List, Tuple

LATIN_MARKER, WORD_MARKER = "\u2582", "\u2581"


def unit_class(ch: str) -> str:
    c = ord(ch)
    if c < 0x80:
        if ch.isascii() and ch.isalnum():
            return "latin"
        return "punct" if 0x20 < c < 0x7F else "other"
    if c in (0x0964, 0x0965):
        return "punct"
    if 0x0900 <= c <= 0x097F:
        return "dev"
    return "other"


def script_runs(word: str, aksharas: Callable[[str], List[str]], latin_joins: bool = False) -> List[Tuple[bool, List[str]]]:
    """(is Latin, units) of each run of a word that can merge at all. With latin_joins the
    punctuation that opens a word before a Latin letter or digit belongs to its Latin run."""
    classes = [unit_class(ch) for ch in word]
    runs = []
    k = 0
    while k < len(word):
        if classes[k] == "other":
            k += 1
            continue
        latin = classes[k] == "latin"
        if k == 0 and latin_joins and classes[0] == "punct":
            first_other = next((c for c in classes if c != "punct"), None)
            latin = first_other == "latin"
        stop = "dev" if latin else "latin"
        end = k
        while end < len(word) and classes[end] not in ("other", stop):
            end += 1
        units = [LATIN_MARKER if latin else WORD_MARKER] if k == 0 else []
        j = k
        while j < end:
            if classes[j] != "dev":
                units.append(word[j])
                j += 1
                continue
            d = j
            while d < end and classes[d] == "dev":
                d += 1
            units += aksharas(word[j:d])
            j = d
        has_dev = "dev" in classes[k:end]
        if (latin or has_dev or k == 0) and len(units) > 1:
            runs.append((latin, units))
        k = end
    return runs


def joint_split(words: Dict[str, int], merges: int, aksharas: Callable[[str], List[str]],
                latin_joins: bool = False) -> Tuple[int, int]:
    """(Latin merges, Devanagari merges) of a plain BPE over the runs of `words`: the most
    frequent adjacent pair first, ties to the pair of smaller unit numbers, units numbered
    in order of first sight over the words in byte order."""
    number: Dict[str, int] = {}
    runs: List[Tuple[bool, List[int], int]] = []
    for word in sorted(words, key=lambda w: w.encode("utf-8")):
        if words[word] == 0:
            continue
        for latin, units in script_runs(word, aksharas, latin_joins):
            seq = []
            for u in units:
                number.setdefault(u, len(number))
                seq.append(number[u])
            runs.append((latin, seq, words[word]))
    next_unit = len(number)
    lat = dev = 0
    for _ in range(merges):
        pairs: Counter = Counter()
        for _, seq, n in runs:
            for a, b in zip(seq, seq[1:]):
                pairs[(a, b)] += n
        if not pairs:
            break
        best = max(pairs.values())
        a, b = min(p for p, c in pairs.items() if c == best)
        in_latin = in_dev = 0
        for i, (latin, seq, n) in enumerate(runs):
            out, j, merged = [], 0, 0
            while j < len(seq):
                if j + 1 < len(seq) and seq[j] == a and seq[j + 1] == b:
                    out.append(next_unit)
                    j += 2
                    merged += 1
                else:
                    out.append(seq[j])
                    j += 1
            runs[i] = (latin, out, n)
            if latin:
                in_latin += merged * n
            else:
                in_dev += merged * n
        next_unit += 1
        if in_latin > in_dev:
            lat += 1
        else:
            dev += 1
    return lat, dev


def latin_merges(split: Tuple[int, int], merges: int) -> int:
    """The Latin pass's merges out of `merges`: the split's Latin part, half to even."""
    lat, dev = split
    return 0 if lat + dev == 0 else round(lat / (lat + dev) * merges)
