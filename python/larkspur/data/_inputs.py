"""The documents of the inputs: chunks of about `chunk_bytes` of input, each the lines
that start in a byte range of one file (or whole files), read and decoded on their own."""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator, List, Optional, Sequence, Tuple, Union

PathLike = Union[str, os.PathLike]
DEFAULT_CHUNK_BYTES = 4 << 20


@dataclass(frozen=True)
class Chunk:
    """Documents of the input: lines starting in bytes [begin, end) of one file, or whole
    files (doc_per_file)."""
    files: Tuple[str, ...]
    begin: int = 0
    end: int = 0

    @property
    def size(self) -> int:
        return self.end - self.begin


def plan_chunks(paths: Sequence[str], chunk_bytes: int, doc_per_file: bool) -> List[Chunk]:
    """The chunks of the inputs, in input order; they depend only on the file sizes."""
    chunks: List[Chunk] = []
    if doc_per_file:
        group: List[str] = []
        size = 0
        for p in paths:
            n = os.path.getsize(p)
            if group and size + n > chunk_bytes:
                chunks.append(Chunk(tuple(group), 0, size))
                group, size = [], 0
            group.append(p)
            size += n
        if group:
            chunks.append(Chunk(tuple(group), 0, size))
        return chunks
    for p in paths:
        n = os.path.getsize(p)
        if n == 0:
            continue
        for b in range(0, n, chunk_bytes):
            chunks.append(Chunk((p,), b, min(n, b + chunk_bytes)))
    return chunks


def _chunk_bytes(path: str, begin: int, end: int) -> Tuple[int, bytes]:
    """(offset, bytes) of the lines that start in [begin, end) of the file, line ends
    included (b"" when there are none). A line belongs to the chunk its first byte lies in."""
    with open(path, "rb") as f:
        pos = begin
        if begin > 0:
            f.seek(begin - 1)
            pos = begin - 1 + len(f.readline())  # past the end of the line holding byte begin-1
        if pos >= end:
            return pos, b""
        f.seek(pos)
        data = f.read(end - pos)
        if not data.endswith(b"\n"):
            data += f.readline()  # finish the line that crosses `end`
    return pos, data


def chunk_lines(path: str, begin: int, end: int) -> Iterator[Tuple[int, bytes]]:
    """(byte offset, line) for each line that starts in [begin, end) of the file, without its
    line end ("\\n", or "\\r\\n"). A last line without a line end is a line; an empty file
    has none."""
    at, data = _chunk_bytes(path, begin, end)
    if not data:
        return
    if data.endswith(b"\n"):
        data = data[:-1]
    for line in data.split(b"\n"):
        start = at
        at += len(line) + 1
        yield start, line[:-1] if line.endswith(b"\r") else line


def _decoded_lines(path: str, begin: int, end: int) -> List[str]:
    """The lines of chunk_lines decoded (U+FFFD for bytes that are not UTF-8), in bulk: a
    bad sequence never spans a line feed, so decoding the whole chunk is decoding each line."""
    _, data = _chunk_bytes(path, begin, end)
    if not data:
        return []
    if data.endswith(b"\n"):
        data = data[:-1]
    text = data.decode("utf-8", errors="replace").replace("\r\n", "\n")
    if text.endswith("\r"):
        text = text[:-1]
    return text.split("\n")


def chunk_documents(chunk: Chunk, doc_per_file: bool = False, jsonl_key: Optional[str] = None) -> List[str]:
    """The documents of a chunk, in order."""
    if doc_per_file:
        return [Path(p).read_bytes().decode("utf-8", errors="replace") for p in chunk.files]
    path = chunk.files[0]
    if jsonl_key is None:
        return _decoded_lines(path, chunk.begin, chunk.end)
    docs: List[str] = []
    for offset, raw in chunk_lines(path, chunk.begin, chunk.end):
        text = raw.decode("utf-8", errors="replace")
        if not text.strip():
            continue
        docs.append(record_text(text, jsonl_key, f"{path}: the line at byte {offset}"))
    return docs


def record_text(line: Union[str, bytes], key: str, where: str) -> str:
    """The string field `key` of a JSON Lines record. ValueError "{where} is not JSON (...)"
    or "{where} has no string field 'key'"; UnicodeDecodeError for bytes that are not UTF-8."""
    try:
        record = json.loads(line)
    except json.JSONDecodeError as e:
        raise ValueError(f"{where} is not JSON ({e.msg})") from None
    value = record.get(key) if isinstance(record, dict) else None
    if not isinstance(value, str):
        raise ValueError(f"{where} has no string field {key!r}")
    return value


def check_paths(inputs: Union[PathLike, Sequence[PathLike]]) -> List[str]:
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    paths = [os.fspath(p) for p in inputs]
    if not paths:
        raise ValueError("pretokenize needs at least one input file")
    for p in paths:
        if not os.path.isfile(p):
            raise ValueError(f"{p}: {'is a directory' if os.path.isdir(p) else 'no such file'}")
    return paths
