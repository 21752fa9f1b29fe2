"""Token arrays on disk for language-model training: documents in, ids out.

    import larkspur, larkspur.data
    tok = larkspur.load("tok")
    larkspur.data.pretokenize(tok, ["corpus.txt"], "out/corpus", format="megatron", workers=4)

Documents are the lines of the inputs (files in the order given), or whole files
(`doc_per_file=True`), or one string field of each line of JSON Lines files (`jsonl_key`).
Three formats:

- ``megatron``: ``PREFIX.bin`` holds every document's ids back to back and ``PREFIX.idx``
  describes them, in the indexed-dataset layout that Megatron-style loaders read::

      9 bytes   b"MMIDIDX\\x00\\x00"
      uint64    version, 1
      uint8     dtype code of the ids in .bin (8 uint16, 4 int32)
      uint64    number of sequences N
      uint64    number of document indices, N + 1
      int32[N]  each sequence's length in ids
      int64[N]  each sequence's start in .bin, in bytes
      int64[N+1] document indices: 0, 1, ..., N (each document is one sequence)

  (all little-endian). The ids are uint16 when the vocabulary has fewer than 65,500 ids,
  else int32.
- ``bin``: ``PREFIX.bin`` is the flat ids, as nanoGPT-style loaders memory-map them
  (uint16, or uint32 when the vocabulary has more than 65,536 ids), and ``PREFIX.bin.json``
  names the dtype, with the document and token counts. Without `append_eos` the document
  boundaries are lost.
- ``npy``: ``PREFIX.npy``, the same flat ids as one NumPy array.

The work is cut into chunks of about `chunk_bytes` of input, each encoded on its own by one
of `workers` processes into a part file; the parts are then joined in input order, so the
output is byte-identical for any number of workers. Everything is written under temporary
names and renamed only when complete, so a broken run leaves no file that looks finished.
The parts live in ``PREFIX.parts.tmp/`` until the end: running the same job again reuses the
parts that were complete and finishes the rest. The workers are forked when the calling
process runs no other Python thread, and started as fresh interpreters otherwise (which,
as with multiprocessing's spawn, needs the caller's ``if __name__ == "__main__":`` guard).

Text that is not UTF-8 is decoded with U+FFFD in place of the bad bytes, so that the
documents stay one per line. Literal special-token text in a document is encoded as plain
text.
"""

from __future__ import annotations

import hashlib
import json
import multiprocessing
import os
import shutil
import struct
import tempfile
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _progress
from ._tokenizer import Tokenizer

PathLike = Union[str, os.PathLike]
FORMATS = ("megatron", "bin", "npy")
MEGATRON_MAGIC = b"MMIDIDX\x00\x00"
MEGATRON_VERSION = 1
MEGATRON_DTYPE_CODES = {np.dtype(np.uint16): 8, np.dtype(np.int32): 4}
DEFAULT_CHUNK_BYTES = 4 << 20
PARTS_SUFFIX = ".parts.tmp"
_JOB_FILE = "job.json"
_COPY_IDS = 1 << 22  # ids per write when joining parts


def megatron_dtype(vocab_size: int) -> np.dtype:
    """The id dtype of a Megatron .bin: uint16 below 65,500 ids, else int32."""
    return np.dtype(np.uint16 if vocab_size < 65500 else np.int32)


def flat_dtype(vocab_size: int) -> np.dtype:
    """The id dtype of the bin and npy formats: uint16 when every id fits, else uint32."""
    return np.dtype(np.uint16 if vocab_size <= 65536 else np.uint32)


def output_files(prefix: PathLike, format: str) -> List[str]:
    """The files that `pretokenize` writes for `prefix` in `format`, the last renamed last."""
    p = os.fspath(prefix)
    if format == "megatron":
        return [p + ".bin", p + ".idx"]
    if format == "bin":
        return [p + ".bin.json", p + ".bin"]
    if format == "npy":
        return [p + ".npy"]
    raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")


# ---- the documents of a chunk ----------------------------------------------------------------

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
        try:
            record = json.loads(text)
        except json.JSONDecodeError as e:
            raise ValueError(f"{path}: the line at byte {offset} is not JSON ({e.msg})") from None
        value = record.get(jsonl_key) if isinstance(record, dict) else None
        if not isinstance(value, str):
            raise ValueError(f"{path}: the line at byte {offset} has no string field {jsonl_key!r}")
        docs.append(value)
    return docs


# ---- parts -------------------------------------------------------------------------------------

def _part_names(parts: Path, index: int) -> Tuple[Path, Path]:
    return parts / f"{index:08d}.ids", parts / f"{index:08d}.len"


def _write_atomic(path: Path, array: np.ndarray) -> None:
    tmp = path.with_name(path.name + ".tmp")
    with open(tmp, "wb") as f:
        array.tofile(f)
    os.replace(tmp, path)


def encode_documents(tok: Tokenizer, docs: Sequence[str], dtype: np.dtype, append_eos: bool,
                     num_threads: Optional[int] = 1) -> Tuple[np.ndarray, np.ndarray]:
    """(ids as `dtype`, each document's length as int64) of documents, encoded in C++."""
    ids, offsets = tok.encode_to_array(list(docs), append_eos=append_eos, num_threads=num_threads)
    return ids.astype(dtype, copy=False), np.diff(offsets)


def _encode_part(tok: Tokenizer, chunk: Chunk, index: int, parts: Path, dtype: np.dtype, append_eos: bool,
                 doc_per_file: bool, jsonl_key: Optional[str]) -> int:
    ids, lengths = encode_documents(tok, chunk_documents(chunk, doc_per_file, jsonl_key), dtype, append_eos)
    ids_path, len_path = _part_names(parts, index)
    _write_atomic(ids_path, ids)
    _write_atomic(len_path, lengths.astype(np.int64))  # the .len file marks the part complete
    return chunk.size


_WORKER_TOKENIZER: Optional[Tokenizer] = None


def _worker_start(bundle: bytes) -> None:
    global _WORKER_TOKENIZER
    _WORKER_TOKENIZER = Tokenizer.from_bytes(bundle)


def _worker_encode(job: Tuple[Any, ...]) -> int:
    assert _WORKER_TOKENIZER is not None
    return _encode_part(_WORKER_TOKENIZER, *job)


def _start_method() -> str:
    """fork when this process runs no other Python thread (quick, and safe then), else
    spawn (each worker a fresh interpreter: the caller needs the __main__ guard)."""
    if "fork" in multiprocessing.get_all_start_methods() and threading.active_count() == 1:
        return "fork"
    return "spawn"


def _part_complete(parts: Path, index: int, itemsize: int) -> bool:
    ids_path, len_path = _part_names(parts, index)
    if not (ids_path.is_file() and len_path.is_file()) or len_path.stat().st_size % 8:
        return False
    total = int(np.fromfile(len_path, dtype=np.int64).sum())
    return ids_path.stat().st_size == total * itemsize


def _fingerprint(tok: Tokenizer) -> str:
    """A digest of the tokenizer's bundle files (the same tokenizer gives the same digest)."""
    h = hashlib.sha256()
    with tempfile.TemporaryDirectory(prefix="larkspur-") as tmp:
        tok.save(tmp)
        for name in sorted(os.listdir(tmp)):
            h.update(name.encode() + b"\0" + (Path(tmp) / name).read_bytes())
    return h.hexdigest()


def _job(tok: Tokenizer, paths: Sequence[str], format: str, append_eos: bool, doc_per_file: bool,
         jsonl_key: Optional[str], chunk_bytes: int) -> Dict[str, Any]:
    from . import __version__

    inputs = []
    for p in paths:
        st = os.stat(p)
        inputs.append([os.path.abspath(p), st.st_size, st.st_mtime_ns])
    return {"larkspur": __version__, "tokenizer": _fingerprint(tok), "inputs": inputs, "format": format,
            "append_eos": append_eos, "doc_per_file": doc_per_file, "jsonl_key": jsonl_key,
            "chunk_bytes": chunk_bytes}


def _prepare_parts(parts: Path, job: Dict[str, Any]) -> None:
    """Keeps the parts of an earlier run of the same job; starts afresh otherwise."""
    job_file = parts / _JOB_FILE
    if parts.is_dir():
        try:
            same = json.loads(job_file.read_text(encoding="utf-8")) == job
        except (OSError, ValueError):
            same = False
        if same:
            return
        shutil.rmtree(parts)
    parts.mkdir(parents=True)
    tmp = parts / (_JOB_FILE + ".tmp")
    tmp.write_text(json.dumps(job) + "\n", encoding="utf-8")
    os.replace(tmp, job_file)


# ---- joining ------------------------------------------------------------------------------------

def _sync_close(f) -> None:
    f.flush()
    os.fsync(f.fileno())
    f.close()


def _append_file(out, path: Path) -> None:
    with open(path, "rb") as src:
        shutil.copyfileobj(src, out, 1 << 22)


def _join(parts: Path, count: int, format: str, prefix: str, dtype: np.dtype, vocab_size: int,
          append_eos: bool) -> Dict[str, Any]:
    lengths_of = [_part_names(parts, i)[1] for i in range(count)]
    ids_of = [_part_names(parts, i)[0] for i in range(count)]
    documents = sum(p.stat().st_size // 8 for p in lengths_of)
    tokens = sum(p.stat().st_size // dtype.itemsize for p in ids_of)
    finals = output_files(prefix, format)
    temps = [f + ".tmp" for f in finals]

    if format == "megatron":
        with open(temps[0], "wb") as out:
            for p in ids_of:
                _append_file(out, p)
            _sync_close(out)
        with open(temps[1], "wb") as out:
            out.write(MEGATRON_MAGIC)
            out.write(struct.pack("<Q", MEGATRON_VERSION))
            out.write(struct.pack("<B", MEGATRON_DTYPE_CODES[dtype]))
            out.write(struct.pack("<Q", documents))
            out.write(struct.pack("<Q", documents + 1))
            for p in lengths_of:
                lengths = np.fromfile(p, dtype=np.int64)
                if lengths.size and lengths.max() > np.iinfo(np.int32).max:
                    raise ValueError("a document is longer than 2**31 - 1 ids, which the format cannot hold")
                lengths.astype("<i4").tofile(out)
            start = 0
            for p in lengths_of:
                lengths = np.fromfile(p, dtype=np.int64)
                pointers = np.empty(lengths.size, dtype="<i8")
                if lengths.size:
                    np.cumsum(lengths[:-1] * dtype.itemsize, out=pointers[1:])
                    pointers[0] = 0
                    pointers += start
                    start += int(lengths.sum()) * dtype.itemsize
                pointers.tofile(out)
            for b in range(0, documents + 1, _COPY_IDS):
                np.arange(b, min(documents + 1, b + _COPY_IDS), dtype="<i8").tofile(out)
            _sync_close(out)
    elif format == "bin":
        meta = {"format": "larkspur-token-bin", "dtype": dtype.name, "tokens": tokens, "documents": documents,
                "vocab_size": vocab_size, "append_eos": append_eos}
        with open(temps[0], "w", encoding="utf-8") as out:
            out.write(json.dumps(meta, indent=1) + "\n")
            _sync_close(out)
        with open(temps[1], "wb") as out:
            for p in ids_of:
                _append_file(out, p)
            _sync_close(out)
    else:
        with open(temps[0], "wb") as out:
            np.lib.format.write_array_header_1_0(
                out, {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False, "shape": (tokens,)})
            for p in ids_of:
                _append_file(out, p)
            _sync_close(out)

    # An earlier run's files go first, so that old and new never pair up; the file that
    # marks the output finished is renamed last.
    for f in reversed(finals):
        if os.path.exists(f):
            os.unlink(f)
    for tmp, final in zip(temps, finals):
        os.replace(tmp, final)
    return {"files": finals, "documents": documents, "tokens": tokens, "dtype": dtype.name}


def write_arrays(prefix: PathLike, format: str, ids: np.ndarray, lengths: np.ndarray, vocab_size: int,
                 append_eos: bool = False) -> Dict[str, Any]:
    """Writes documents already encoded (`ids` back to back, each document's length in
    `lengths`) as `format` files at `prefix`, each complete before it takes its name."""
    parts = Path(os.fspath(prefix) + PARTS_SUFFIX)
    shutil.rmtree(parts, ignore_errors=True)
    parts.mkdir(parents=True)
    ids_path, len_path = _part_names(parts, 0)
    _write_atomic(ids_path, np.ascontiguousarray(ids))
    _write_atomic(len_path, np.asarray(lengths, dtype=np.int64))
    result = _join(parts, 1, format, os.fspath(prefix), ids.dtype, vocab_size, append_eos)
    shutil.rmtree(parts, ignore_errors=True)
    return result


# ---- the entry point ----------------------------------------------------------------------------

def _check_paths(inputs: Union[PathLike, Sequence[PathLike]]) -> List[str]:
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    paths = [os.fspath(p) for p in inputs]
    if not paths:
        raise ValueError("pretokenize needs at least one input file")
    for p in paths:
        if not os.path.isfile(p):
            raise ValueError(f"{p}: {'is a directory' if os.path.isdir(p) else 'no such file'}")
    return paths


def default_workers() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def pretokenize(tok: Tokenizer, inputs: Union[PathLike, Sequence[PathLike]], prefix: PathLike, *,
                format: str = "megatron", workers: Optional[int] = None, append_eos: bool = False,
                doc_per_file: bool = False, jsonl_key: Optional[str] = None,
                chunk_bytes: int = DEFAULT_CHUNK_BYTES, progress: Optional[bool] = None) -> Dict[str, Any]:
    """Encodes the documents of `inputs` into token-array files at `prefix` (see the module's
    description of the formats). `workers` processes encode (default: one per core), each on
    one thread; the files do not depend on the number. `append_eos` ends every document
    with the tokenizer's end-of-text id. Returns {"files", "documents", "tokens", "dtype"}."""
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    if doc_per_file and jsonl_key is not None:
        raise ValueError("doc_per_file and jsonl_key do not go together")
    if workers is None:
        workers = default_workers()
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be a positive integer, not {workers!r}")
    if isinstance(chunk_bytes, bool) or not isinstance(chunk_bytes, int) or chunk_bytes < 1:
        raise ValueError(f"chunk_bytes must be a positive integer, not {chunk_bytes!r}")
    if append_eos and tok.eos_id is None:
        raise ValueError("append_eos needs an end-of-text token, and this tokenizer has none")
    paths = _check_paths(inputs)
    prefix = os.fspath(prefix)
    if os.path.dirname(prefix):
        os.makedirs(os.path.dirname(prefix), exist_ok=True)
    dtype = megatron_dtype(tok.vocab_size) if format == "megatron" else flat_dtype(tok.vocab_size)

    chunks = plan_chunks(paths, chunk_bytes, doc_per_file)
    parts = Path(prefix + PARTS_SUFFIX)
    _prepare_parts(parts, _job(tok, paths, format, append_eos, doc_per_file, jsonl_key, chunk_bytes))
    todo = [i for i in range(len(chunks)) if not _part_complete(parts, i, dtype.itemsize)]
    total = sum(c.size for c in chunks)
    done = total - sum(chunks[i].size for i in todo)
    jobs = [(chunks[i], i, parts, dtype, append_eos, doc_per_file, jsonl_key) for i in todo]
    pool = None
    if workers > 1 and len(jobs) > 1:
        # The pool is made before the progress bar and its thread, so that forking is safe.
        pool = multiprocessing.get_context(_start_method()).Pool(
            min(workers, len(jobs)), initializer=_worker_start, initargs=(tok.to_bytes(),))
    try:
        with _progress.Bar(_progress.wanted(progress), "pretokenizing", total, "B", initial=done,
                           unit_scale=True) as bar:
            results = (pool.imap_unordered(_worker_encode, jobs) if pool is not None
                       else (_encode_part(tok, *job) for job in jobs))
            for size in results:
                done += size
                bar.to(done)
    finally:
        if pool is not None:
            pool.terminate()
            pool.join()
    result = _join(parts, len(chunks), format, prefix, dtype, tok.vocab_size, append_eos)
    shutil.rmtree(parts, ignore_errors=True)
    return result
