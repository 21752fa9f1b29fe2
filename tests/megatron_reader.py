"""A reader of Megatron indexed-dataset files, written from the format's description:

    .idx: b"MMIDIDX\\x00\\x00", uint64 version (1), uint8 dtype code, uint64 sequence count N,
          uint64 document-index count, int32 lengths[N], int64 byte pointers[N],
          int64 document indices; all little-endian
    .bin: the sequences' ids back to back
"""

import struct

import numpy as np

DTYPES = {1: np.uint8, 2: np.int8, 3: np.int16, 4: np.int32, 5: np.int64, 6: np.float64, 7: np.float32,
          8: np.uint16}


def read_megatron(prefix):
    """(dtype, [ids of each sequence], document indices) of PREFIX.bin/.idx."""
    with open(f"{prefix}.idx", "rb") as f:
        head = f.read(9 + 8 + 1 + 8 + 8)
    assert head[:9] == b"MMIDIDX\x00\x00"
    (version,) = struct.unpack_from("<Q", head, 9)
    assert version == 1
    dtype = np.dtype(DTYPES[head[17]])
    n, n_docs = struct.unpack_from("<QQ", head, 18)
    idx = np.memmap(f"{prefix}.idx", mode="r", dtype=np.uint8)
    at = len(head)
    lengths = np.frombuffer(idx, dtype="<i4", count=n, offset=at)
    pointers = np.frombuffer(idx, dtype="<i8", count=n, offset=at + 4 * n)
    docs = np.frombuffer(idx, dtype="<i8", count=n_docs, offset=at + 12 * n)
    assert idx.size == at + 12 * n + 8 * n_docs
    data = np.memmap(f"{prefix}.bin", mode="r", dtype=np.uint8)
    seqs = [np.frombuffer(data, dtype=dtype.newbyteorder("<"), count=int(length), offset=int(p)).tolist()
            if length else [] for length, p in zip(lengths, pointers)]
    return dtype, seqs, docs.tolist()
