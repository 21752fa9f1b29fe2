"""Corpora as teams store them, for counting words: plain text files (read by the native
counter in parallel), gzip and zstd files (told by their first bytes, whatever their
names), JSON Lines with a text field, standard input, pipes, and iterables of texts.
Everything that is not a plain file is streamed in blocks to the native counting threads,
so memory stays bounded whatever the input's size.

Input that is not text at all is refused before it trains a tokenizer without a word: a
byte order mark of UTF-16 or UTF-32, NUL bytes, or a start that is mostly not UTF-8."""

from __future__ import annotations

import contextlib
import errno
import gzip
import io
import os
import stat
import sys
import warnings
from typing import IO, Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

from .. import _engine
from ._inputs import record_text

GZIP_MAGIC = b"\x1f\x8b"
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
BLOCK_BYTES = 4 << 20  # a block handed to the counting threads
SNIFF_BYTES = 64 << 10  # what is looked at to tell text from something else
TEXTS_PER_BLOCK = 65536

# Byte order marks, longest first (UTF-32 LE starts with UTF-16 LE's).
_BOMS = ((b"\xff\xfe\x00\x00", "UTF-32"), (b"\x00\x00\xfe\xff", "UTF-32"),
         (b"\xff\xfe", "UTF-16"), (b"\xfe\xff", "UTF-16"))


def check_paths(paths: Sequence[str]) -> None:
    """FileNotFoundError or IsADirectoryError naming the first input that cannot be read as
    a file, before any work starts. "-" is standard input; pipes and devices are fine."""
    for p in paths:
        if p == "-":
            continue
        try:
            st = os.stat(p)
        except FileNotFoundError:
            raise FileNotFoundError(errno.ENOENT, "no such file", p) from None
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, "is a directory, not a corpus file", p)
        if not os.access(p, os.R_OK):
            raise PermissionError(errno.EACCES, "cannot be read", p)


def sniff(name: str, head: bytes) -> None:
    """ValueError naming the input when its first bytes are not UTF-8 text."""
    for bom, encoding in _BOMS:
        if head.startswith(bom):
            raise ValueError(f"{name}: looks like {encoding} text (it starts with a {encoding} byte order mark); "
                             f"larkspur reads UTF-8: convert it first, e.g. iconv -f {encoding} -t UTF-8")
    head = head[:SNIFF_BYTES]
    if b"\x00" in head:
        raise ValueError(f"{name}: holds NUL bytes, so it looks like binary data rather than text "
                         f"(a compressed file is read only when it is gzip or zstd)")
    if len(head) == SNIFF_BYTES:
        cut = head.rfind(b"\n")
        head = head[:cut] if cut > 0 else head[:-3]  # never judge a character cut in half
    lines = [line for line in head.split(b"\n") if line.strip()]
    bad = sum(1 for line in lines if not _is_utf8(line))
    if lines and bad * 2 > len(lines):
        raise ValueError(f"{name}: {bad} of its first {len(lines)} lines are not UTF-8, so it does not look like "
                         f"UTF-8 text; larkspur reads UTF-8 (or gzip or zstd files of it)")


def _is_utf8(b: bytes) -> bool:
    try:
        b.decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False


def _head(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read(SNIFF_BYTES)


def is_plain_file(path: str) -> bool:
    """A regular file that is not compressed: the native counter reads it in parallel."""
    if path == "-" or not stat.S_ISREG(os.stat(path).st_mode):
        return False
    head = _head(path)
    return not (head.startswith(GZIP_MAGIC) or head.startswith(ZSTD_MAGIC))


@contextlib.contextmanager
def open_input(path: str) -> Iterator[IO[bytes]]:
    """The input's text as a binary stream: decompressed when it is gzip or zstd. The file
    is closed on leaving (standard input is left open)."""
    raw: Any = sys.stdin.buffer if path == "-" else open(path, "rb")
    try:
        # Peeking would lose bytes of a pipe: read the start and put it back in front.
        head = raw.read(4)
        stream: Any = _Prefixed(head, raw)
        if head.startswith(GZIP_MAGIC):
            stream = _gzip().GzipFile(fileobj=stream, mode="rb")
        elif head.startswith(ZSTD_MAGIC):
            import zstandard

            stream = zstandard.ZstdDecompressor().stream_reader(stream, read_across_frames=True, closefd=False)
        yield stream
    finally:
        if raw is not sys.stdin.buffer:
            raw.close()


def _gzip() -> Any:
    """ISA-L's gzip reader where it is installed (a dependency on x86-64 and ARM64): it
    inflates about three times as fast as zlib, which keeps a decompressing reader ahead of
    the counting threads; the standard library's elsewhere."""
    try:
        from isal import igzip

        return igzip
    except ImportError:
        return gzip


class _Prefixed(io.RawIOBase):
    """A binary stream with some bytes already read from it put back in front."""

    def __init__(self, prefix: bytes, raw: Any):
        super().__init__()
        self._prefix, self._raw = prefix, raw

    def readable(self) -> bool:
        return True

    def readinto(self, b: Any) -> int:
        if self._prefix:
            n = min(len(b), len(self._prefix))
            b[:n] = self._prefix[:n]
            self._prefix = self._prefix[n:]
            return n
        data = self._raw.read(len(b))
        b[:len(data)] = data
        return len(data)


def _blocks(stream: IO[bytes]) -> Iterable[Tuple[bytes, int]]:
    """(whole lines, the number of the first) of a stream, about BLOCK_BYTES each."""
    carry = b""
    line = 1
    while True:
        data = stream.read(BLOCK_BYTES)
        if not data:
            break
        if carry:
            data = carry + data
        cut = data.rfind(b"\n") + 1
        if cut == 0:
            carry = data  # a line longer than a block: keep reading until it ends
            continue
        block, carry = (data, b"") if cut == len(data) else (data[:cut], data[cut:])
        yield block, line
        line += block.count(b"\n")
    if carry:
        yield carry, line


def _jsonl_texts(name: str, lines: bytes, first: int, key: str, strict: bool,
                 invalid: List[int]) -> List[str]:
    """The `key` field of each JSON line (blank lines skipped). ValueError naming the line
    that is not JSON or has no such string field; a line that is not UTF-8 is skipped and
    counted, as in text (or the error, when strict)."""
    texts = []
    for n, raw in enumerate(lines.split(b"\n"), first):
        if not raw.strip():
            continue
        try:
            texts.append(record_text(raw, key, f"{name}:{n}: the line"))
        except UnicodeDecodeError:
            if strict:
                raise ValueError(f"{name}:{n}: the line is not valid UTF-8 (strict counting stops here)") from None
            invalid[0] += 1
    return texts


def _feed_stream(counter: Any, source: int, name: str, stream: IO[bytes], jsonl_key: Optional[str],
                 strict: bool, advance: Callable[[int], None]) -> int:
    """Hands a stream's lines to the counter; the lines that were skipped in Python (JSON
    Lines that are not UTF-8)."""
    invalid = [0]
    first = True
    for block, line in _blocks(stream):
        if first:
            sniff(name, block)
            first = False
        if jsonl_key is None:
            more = counter.add(block, source, line)
        else:
            more = counter.add_texts(_jsonl_texts(name, block, line, jsonl_key, strict, invalid), source, line)
        advance(len(block))
        if not more:
            break  # strict counting met a bad line: finish() says which
    return invalid[0]


def _feed_texts(counter: Any, source: int, texts: Iterable[Any]) -> None:
    batch: List[str] = []
    size, first = 0, 1
    for i, t in enumerate(texts):
        if not isinstance(t, str):
            raise TypeError(f"texts must hold str, but item {i} is a {type(t).__name__}")
        batch.append(t)
        size += len(t)
        if size >= BLOCK_BYTES or len(batch) >= TEXTS_PER_BLOCK:
            if not counter.add_texts(batch, source, first):
                return
            first += len(batch)
            batch, size = [], 0
    if batch:
        counter.add_texts(batch, source, first)


def check_texts(texts: Any) -> None:
    if isinstance(texts, (str, bytes)):
        raise TypeError(f"texts must be a list or an iterable of str, not a {type(texts).__name__}: "
                        f"to count one text, pass [text]")
    if not hasattr(texts, "__iter__"):
        raise TypeError(f"texts must be a list or an iterable of str, not {type(texts).__name__}")


TEXTS_SOURCE = "<texts>"


def count_texts(texts: Sequence[str], mode: str, rules: List[Tuple[str, str]],
                runs_of: Any = None) -> "_engine.WordTable":
    """The counts of texts in memory, on one worker (for tasks that are one worker each);
    with `runs_of` (a native tokenizer), of its word runs."""
    counter = _engine.Counter(mode, rules, 1, 0, "", False, [TEXTS_SOURCE], None, runs_of)
    try:
        counter.add_texts(list(texts), 0, 1)
        return counter.finish()[0]
    finally:
        counter.close()


def count(paths: Sequence[str], texts: Optional[Iterable[Any]], *, mode: str, rules: List[Tuple[str, str]],
          workers: int, memory_limit: int, tmp_dir: str, jsonl_key: Optional[str], strict: bool,
          bar: Any, merging: Any, runs_of: Any = None) -> Tuple["_engine.WordTable", Dict[str, int]]:
    """The counts of the inputs and, per input, the lines skipped as not UTF-8. Plain files
    go to the native parallel counter; the rest are streamed. `bar` is told the bytes read.
    With `runs_of` (a native tokenizer), the keys are its word runs instead of words."""
    check_paths(paths)
    if texts is not None:
        check_texts(texts)
    plain, streamed = [], []
    for p in paths:
        (plain if jsonl_key is None and is_plain_file(p) else streamed).append(p)
    for p in plain:
        sniff(p, _head(p))
    invalid: Dict[str, int] = {}
    table = None
    read = [sum(os.path.getsize(p) for p in plain)]

    def advance(n: int) -> None:
        read[0] += n
        bar.to(read[0])

    if plain:
        table, skipped = _engine.count_words(plain, mode, rules, workers, bar.callback(), memory_limit, tmp_dir,
                                             merging.callback(), strict, runs_of)
        invalid.update({p: n for p, n in zip(plain, skipped) if n})
    if streamed or texts is not None:
        names = [("<stdin>" if p == "-" else p) for p in streamed] + [TEXTS_SOURCE]
        counter = _engine.Counter(mode, rules, workers, memory_limit, tmp_dir, strict, names, merging.callback(),
                                  runs_of)
        try:
            python_invalid = [0] * len(names)
            for i, p in enumerate(streamed):
                with open_input(p) as stream:
                    python_invalid[i] = _feed_stream(counter, i, names[i], stream, jsonl_key, strict, advance)
            if texts is not None:
                _feed_texts(counter, len(streamed), texts)
            more, skipped = counter.finish()
        finally:
            counter.close()
        for name, n, m in zip(names, skipped, python_invalid):
            if n + m:
                invalid[name] = invalid.get(name, 0) + n + m
        table = more if table is None else table.sum(more, memory_limit, tmp_dir)
    return (table if table is not None else _engine.WordTable()), invalid


def warn_invalid(invalid: Dict[str, int], stacklevel: int) -> None:
    """A UnicodeWarning per input that had lines skipped as not UTF-8."""
    for name, n in invalid.items():
        lines = "line is" if n == 1 else "lines are"
        warnings.warn(f"{name}: {n:,} {lines} not valid UTF-8 and skipped (errors='strict' stops at the first "
                      f"instead)", UnicodeWarning, stacklevel=stacklevel + 1)
