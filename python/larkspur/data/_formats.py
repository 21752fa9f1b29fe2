"""The token-array formats: Megatron's indexed dataset (.bin/.idx), flat .bin with a JSON
description, and .npy (see larkspur.data for the layouts), written from encoded parts."""

from __future__ import annotations

import json
import os
import shutil
import struct
from pathlib import Path
from typing import Any, Dict, List, Sequence, Union

import numpy as np

from .._files import _named, temporary_name

PathLike = Union[str, os.PathLike]
FORMATS = ("megatron", "bin", "npy")
MEGATRON_MAGIC = b"MMIDIDX\x00\x00"
MEGATRON_VERSION = 1
MEGATRON_DTYPE_CODES = {np.dtype(np.uint16): 8, np.dtype(np.int32): 4}
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


# ---- joining parts ---------------------------------------------------------------------------

def _write_format(ids_of: Sequence[Path], lengths_of: Sequence[Path], format: str, temps: List[str], dtype: np.dtype,
                  documents: int, tokens: int, vocab_size: int, append_eos: bool) -> None:
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


def _sync_close(f) -> None:
    f.flush()
    os.fsync(f.fileno())
    f.close()


def _append_file(out, path: Path) -> None:
    with open(path, "rb") as src:
        shutil.copyfileobj(src, out, 1 << 22)


def join(ids_of: Sequence[Path], lengths_of: Sequence[Path], format: str, prefix: str, dtype: np.dtype,
         vocab_size: int, append_eos: bool) -> Dict[str, Any]:
    """Writes the `format` files at `prefix` from parts (each part's ids, and its documents'
    lengths as int64), in order, each under a temporary name renamed when complete; returns
    {"files", "documents", "tokens", "dtype"}."""
    documents = sum(p.stat().st_size // 8 for p in lengths_of)
    tokens = sum(p.stat().st_size // dtype.itemsize for p in ids_of)
    finals = output_files(prefix, format)
    temps = [temporary_name(f) for f in finals]

    try:
        _write_format(ids_of, lengths_of, format, temps, dtype, documents, tokens, vocab_size, append_eos)
    except BaseException as e:
        for t in temps:
            if os.path.exists(t):
                os.unlink(t)
        if isinstance(e, OSError):
            raise _named(finals[0], e) from None
        raise

    # An earlier run's files go first, so that old and new never pair up; the file that
    # marks the output finished is renamed last.
    for f in reversed(finals):
        if os.path.exists(f):
            os.unlink(f)
    for tmp, final in zip(temps, finals):
        os.replace(tmp, final)
    return {"files": finals, "documents": documents, "tokens": tokens, "dtype": dtype.name}
