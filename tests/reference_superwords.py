"""Test-only: a slow, obviously correct restatement of the superword stage, kept to check the
native one on small inputs. Never use it outside the tests.

Runs: each line is split at white space; a run is a stretch of words that the subword
tokenizer encodes as one token each (the caller's `token`, which leaves out a word that
opens with punctuation and is one Latin token), with one space and nothing else between neighbours,
all starting with an ASCII letter or digit or all not, at most 32 words, and it ends after
a word that ends in ".", "?", "!", a danda or a double danda. Runs of one word count for
nothing.

Merges: a plain BPE over the runs, their whole-word tokens its units. Before each merge every
adjacent pair of every run is counted again (times the run's count), leaving out pairs whose
tokens hold more than `max_words` words together; the most frequent pair merges, ties to the
smaller (left id, right id), as long as it occurs at least twice. It merges left to right in
each run, and the new token's id is the next one after the vocabulary and earlier merges.
"""

import re
from collections import Counter
from typing import Callable, Dict, List, Optional, Tuple

SENTENCE_ENDS = (".", "?", "!", "\u0964", "\u0965")
MAX_RUN_WORDS = 32


def ref_runs(line: str, token: Callable[[str], Optional[int]]) -> List[str]:
    """The runs of one normalized line, each as its words joined by single spaces."""
    runs: List[List[str]] = []
    current: List[str] = []
    previous_end = None
    for m in re.finditer(r"\S+", line):
        word = m.group()
        joins = (current and line[previous_end:m.start()] == " " and len(current) < MAX_RUN_WORDS
                 and (word[0].isascii() and word[0].isalnum()) == (current[-1][0].isascii() and current[-1][0].isalnum()))
        if token(word) is None:
            runs.append(current)
            current = []
        else:
            if not joins:
                runs.append(current)
                current = []
            current.append(word)
            if word.endswith(SENTENCE_ENDS):
                runs.append(current)
                current = []
        previous_end = m.end()
    runs.append(current)
    return [" ".join(r) for r in runs if len(r) >= 2]


def ref_merges(runs: Dict[Tuple[int, ...], int], vocab_size: int, merges: int, max_words: int) -> List[Tuple[int, int]]:
    """The stage's merges over runs given as token ids with counts."""
    seqs = [(list(ids), n) for ids, n in runs.items()]
    words = {}

    def words_of(t: int) -> int:
        return words.get(t, 1)

    made: List[Tuple[int, int]] = []
    while len(made) < merges:
        pairs: Counter = Counter()
        for ids, n in seqs:
            for a, b in zip(ids, ids[1:]):
                if words_of(a) + words_of(b) <= max_words:
                    pairs[(a, b)] += n
        if not pairs:
            break
        best = min(pairs, key=lambda p: (-pairs[p], p))
        if pairs[best] < 2:
            break
        new = vocab_size + len(made)
        words[new] = words_of(best[0]) + words_of(best[1])
        made.append(best)
        for k, (ids, n) in enumerate(seqs):
            out, i = [], 0
            while i < len(ids):
                if i + 1 < len(ids) and (ids[i], ids[i + 1]) == best:
                    out.append(new)
                    i += 2
                else:
                    out.append(ids[i])
                    i += 1
            seqs[k] = (out, n)
    return made
