"""Word counts: what training reads, kept in native memory.

`count_words` returns a WordCounts; training takes it without copying a word into a Python
object. Counts made on several machines (or of several corpora) add up, and training from
the sum gives the vocabulary that training from all the text at once would.
"""

from __future__ import annotations

import os
from collections.abc import ItemsView, KeysView, Mapping, ValuesView
from typing import Any, Dict, Iterable, Iterator, Optional, Tuple, Union

from . import _engine

PathLike = Union[str, os.PathLike]

# Words handed to Python per native call when iterating.
_CHUNK = 4096
_MAX_COUNT = 2**64 - 1


def _pairs(counts: Any) -> list:
    """(word, count) pairs of a mapping or an iterable of pairs, each checked."""
    items = counts.items() if isinstance(counts, Mapping) else counts
    out = []
    for item in items:
        try:
            w, n = item
        except (TypeError, ValueError):
            raise TypeError(f"word counts must be a mapping of words to counts or (word, count) pairs, "
                            f"not {item!r}") from None
        if not isinstance(w, str) or not w or isinstance(n, bool) or not isinstance(n, int) or not 0 <= n <= _MAX_COUNT:
            raise ValueError(f"word count {w!r}: {n!r} must map a non-empty word to a non-negative integer")
        out.append((w, n))
    return out


class WordCounts(Mapping):
    """Counts of words: a read-only mapping from each word to how often it occurred, in
    byte order of the words.

    ``a + b`` and ``a.update(b)`` add counts (of text counted on other machines, say);
    a WordCounts pickles, so it travels to worker processes and Ray tasks; ``save(path)``
    writes word-sorted ``word<TAB>count`` lines and ``WordCounts.load(path)`` reads them.
    Equal to a dict with the same items.
    """

    __slots__ = ("_table", "_invalid")
    __hash__ = None  # type: ignore[assignment]  # update() changes it

    def __init__(self, counts: Union[Mapping, Iterable[Tuple[str, int]], None] = None):
        self._invalid: Dict[str, int] = {}  # per input, the lines skipped as not UTF-8
        if counts is None:
            self._table = _engine.WordTable()
        elif isinstance(counts, WordCounts):
            self._table = counts._table
            self._invalid = dict(counts._invalid)
        elif isinstance(counts, _engine.WordTable):
            self._table = counts
        else:
            self._table = _engine.WordTable.from_pairs(_pairs(counts))

    # ---- the mapping ---------------------------------------------------------------------
    def __len__(self) -> int:
        return len(self._table)

    def __getitem__(self, word: str) -> int:
        n = self._table.get(word) if isinstance(word, str) else None
        if n is None:
            raise KeyError(word)
        return n

    def __contains__(self, word: object) -> bool:
        return isinstance(word, str) and self._table.get(word) is not None

    def get(self, word: str, default: Optional[int] = None) -> Optional[int]:
        n = self._table.get(word) if isinstance(word, str) else None
        return default if n is None else n

    def __iter__(self) -> Iterator[str]:
        t = self._table
        for start in range(0, len(t), _CHUNK):
            for word, _ in t.items(start, start + _CHUNK):
                yield word

    def _items(self) -> Iterator[Tuple[str, int]]:
        t = self._table
        for start in range(0, len(t), _CHUNK):
            yield from t.items(start, start + _CHUNK)

    def keys(self) -> KeysView:
        return KeysView(self)

    def items(self) -> ItemsView:
        return _Items(self)

    def values(self) -> ValuesView:
        return _Values(self)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, WordCounts):
            return self._table == other._table
        if isinstance(other, Mapping):
            return len(self) == len(other) and all(other.get(w, None) == n for w, n in self._items())
        return NotImplemented

    # ---- adding up -----------------------------------------------------------------------
    def __add__(self, other: Any) -> "WordCounts":
        return _with_invalid(WordCounts(self._table.sum(_table_of(other))), self, other)

    def __radd__(self, other: Any) -> "WordCounts":
        if isinstance(other, int) and other == 0:  # sum() starts from 0
            return self
        return _with_invalid(WordCounts(_table_of(other).sum(self._table)), other, self)

    def update(self, other: Any) -> None:
        """Adds the counts of `other` (a WordCounts or a mapping of words to counts)."""
        self._table = self._table.sum(_table_of(other))
        _with_invalid(self, other)

    # ---- figures -------------------------------------------------------------------------
    @property
    def occurrences(self) -> int:
        """The number of word occurrences counted (the sum of the counts)."""
        return self._table.total()

    @property
    def source(self) -> Dict[str, int]:
        """What was read to make the counts: lines, bytes, and lines that were not UTF-8
        and were skipped (zero for counts loaded from a file)."""
        lines, nbytes, invalid = self._table.source
        return {"lines": lines, "bytes": nbytes, "invalid_lines": invalid}

    @property
    def invalid_lines(self) -> Dict[str, int]:
        """Per input file (or "<texts>", "<stdin>"), the lines skipped as not UTF-8; only
        inputs that had any."""
        return dict(self._invalid)

    @property
    def on_disk(self) -> bool:
        """Whether the counts outgrew their memory limit and are read from a temporary file
        (removed when the counts go)."""
        return self._table.on_disk

    def to_dict(self) -> Dict[str, int]:
        return dict(self._items())

    # ---- files and pickling ----------------------------------------------------------------
    def save(self, path: PathLike) -> None:
        """Writes word-sorted ``word<TAB>count`` lines to `path` (whole or not at all).
        OSError naming the path."""
        self._table.save(os.fspath(path))

    @classmethod
    def load(cls, path: PathLike) -> "WordCounts":
        """Reads ``word<TAB>count`` lines in any order (equal words add up). ValueError naming
        the file and line of a line that is not such a pair."""
        return cls(_engine.WordTable.load([os.fspath(path)]))

    def __reduce__(self):
        return (_from_bytes, (self._table.to_bytes(), self._invalid))

    def __repr__(self) -> str:
        return f"<larkspur.WordCounts: {len(self):,} word types, {self.occurrences:,} occurrences>"


class _Items(ItemsView):
    def __iter__(self):
        return self._mapping._items()


class _Values(ValuesView):
    def __iter__(self):
        for _, n in self._mapping._items():
            yield n


def _table_of(counts: Any) -> "_engine.WordTable":
    if isinstance(counts, WordCounts):
        return counts._table
    if isinstance(counts, Mapping):
        return _engine.WordTable.from_pairs(_pairs(counts))
    raise TypeError(f"can only add word counts or a mapping of words to counts, not {type(counts).__name__}")


def _from_bytes(data: bytes, invalid: Optional[Dict[str, int]] = None) -> WordCounts:
    counts = WordCounts(_engine.WordTable.from_bytes(data))
    counts._invalid = dict(invalid or {})
    return counts


def _with_invalid(result: WordCounts, *parts: Any) -> WordCounts:
    for part in parts:
        if isinstance(part, WordCounts) and part is not result:
            for name, n in part._invalid.items():
                result._invalid[name] = result._invalid.get(name, 0) + n
    return result


def as_word_counts(counts: Union[WordCounts, Mapping, PathLike]) -> WordCounts:
    """A WordCounts of a WordCounts, a mapping of words to counts, or a counts file."""
    if isinstance(counts, WordCounts):
        return counts
    if isinstance(counts, (str, os.PathLike)):
        return WordCounts.load(counts)
    if isinstance(counts, Mapping):
        return WordCounts(counts)
    raise TypeError(f"counts must be word counts, a mapping of words to counts or a path, "
                    f"not {type(counts).__name__}")
