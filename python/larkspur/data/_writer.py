"""The parallel writer: chunks encoded by worker processes into part files, joined in input
order, so that the output is byte-identical for any number of workers; a re-run of the same
job keeps the parts that were complete."""

from __future__ import annotations

import ctypes
import hashlib
import json
import multiprocessing
import os
import shutil
import signal
import sys
import tempfile
import threading
from pathlib import Path
from typing import Any, Dict, Optional, Sequence, Tuple, Union

import numpy as np

from .. import _checks, _files, _progress
from .._tokenizer import Tokenizer
from ._formats import FORMATS, flat_dtype, join, megatron_dtype
from ._inputs import DEFAULT_CHUNK_BYTES, Chunk, check_paths, chunk_documents, plan_chunks

PathLike = Union[str, os.PathLike]
PARTS_SUFFIX = ".parts.tmp"
_JOB_FILE = "job.json"


def _part_names(parts: Path, index: int) -> Tuple[Path, Path]:
    return parts / f"{index:08d}.ids", parts / f"{index:08d}.len"


def _write_array(path: Path, array: np.ndarray) -> None:
    _files.write_atomic(path, array.tofile)


def encode_documents(tok: Tokenizer, docs: Sequence[str], dtype: np.dtype, append_eos: bool,
                     num_threads: Optional[int] = 1) -> Tuple[np.ndarray, np.ndarray]:
    """(ids as `dtype`, each document's length as int64) of documents, encoded in C++."""
    ids, offsets = tok.encode_to_array(list(docs), append_eos=append_eos, num_threads=num_threads)
    return ids.astype(dtype, copy=False), np.diff(offsets)


def _encode_part(tok: Tokenizer, chunk: Chunk, index: int, parts: Path, dtype: np.dtype, append_eos: bool,
                 doc_per_file: bool, jsonl_key: Optional[str]) -> int:
    ids, lengths = encode_documents(tok, chunk_documents(chunk, doc_per_file, jsonl_key), dtype, append_eos)
    ids_path, len_path = _part_names(parts, index)
    _write_array(ids_path, ids)
    _write_array(len_path, lengths.astype(np.int64))  # the .len file marks the part complete
    return chunk.size


_WORKER_TOKENIZER: Optional[Tokenizer] = None


def _worker_start(bundle: bytes) -> None:
    global _WORKER_TOKENIZER
    # Ctrl-C reaches the whole process group: the main process stops the pool, so that the
    # workers need not each print a traceback of their own.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _end_with_parent()
    _WORKER_TOKENIZER = Tokenizer.from_bytes(bundle)


def _end_with_parent() -> None:
    """A worker ends quietly (SIGTERM) when the main process dies, killed say, instead of
    finishing its part and failing with a traceback to hand it back (Linux only)."""
    if not sys.platform.startswith("linux"):
        return
    parent = os.getppid()
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, int(signal.SIGTERM))  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        return
    if os.getppid() != parent:  # the parent died before the request took hold
        os.kill(os.getpid(), signal.SIGTERM)


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
    from .. import __version__

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
    _files.write_text(job_file, json.dumps(job) + "\n")


def _join_parts(parts: Path, count: int, format: str, prefix: str, dtype: np.dtype, vocab_size: int,
                append_eos: bool) -> Dict[str, Any]:
    names = [_part_names(parts, i) for i in range(count)]
    return join([ids for ids, _ in names], [lengths for _, lengths in names], format, prefix, dtype, vocab_size,
                append_eos)


def write_arrays(prefix: PathLike, format: str, ids: np.ndarray, lengths: np.ndarray, vocab_size: int,
                 append_eos: bool = False) -> Dict[str, Any]:
    """Writes documents already encoded (`ids` back to back, each document's length in
    `lengths`) as `format` files at `prefix`, each complete before it takes its name."""
    parts = Path(os.fspath(prefix) + PARTS_SUFFIX)
    shutil.rmtree(parts, ignore_errors=True)
    parts.mkdir(parents=True)
    ids_path, len_path = _part_names(parts, 0)
    _write_array(ids_path, np.ascontiguousarray(ids))
    _write_array(len_path, np.asarray(lengths, dtype=np.int64))
    result = _join_parts(parts, 1, format, os.fspath(prefix), ids.dtype, vocab_size, append_eos)
    shutil.rmtree(parts, ignore_errors=True)
    return result


# ---- the entry point ----------------------------------------------------------------------------

def default_workers() -> int:
    """One worker per core this process may run on."""
    return _checks.every_core()


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
    workers = default_workers() if workers is None else _checks.positive_int("workers", workers)
    _checks.positive_int("chunk_bytes", chunk_bytes)
    if append_eos and tok.eos_id is None:
        raise ValueError("append_eos needs an end-of-text token, and this tokenizer has none")
    paths = check_paths(inputs)
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
    result = _join_parts(parts, len(chunks), format, prefix, dtype, tok.vocab_size, append_eos)
    shutil.rmtree(parts, ignore_errors=True)
    return result
