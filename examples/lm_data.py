"""From text to training data: a tokenizer trained on the bundled sample, the sample
written as Megatron token files, read back with numpy's memmap, and the first documents
decoded.

    python examples/lm_data.py
"""

import os
import struct
import sys
import tempfile

import numpy as np

import larkspur
import larkspur.data

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, "sample.txt")
DTYPES = {4: np.int32, 8: np.uint16}  # the .idx dtype codes larkspur writes


def read_megatron(prefix):
    """The sequences of PREFIX.bin/.idx as numpy views, straight from the layout: magic,
    version, dtype code, counts, then lengths (int32), byte pointers (int64) and document
    indices (int64)."""
    idx = np.memmap(prefix + ".idx", dtype=np.uint8, mode="r")
    assert bytes(idx[:9]) == b"MMIDIDX\x00\x00", "not a Megatron index"
    version, = struct.unpack("<Q", bytes(idx[9:17]))
    assert version == 1, f"index version {version}"
    dtype = np.dtype(DTYPES[int(idx[17])])
    n, n_docs = struct.unpack("<QQ", bytes(idx[18:34]))
    lengths = np.frombuffer(idx, dtype="<i4", count=n, offset=34)
    pointers = np.frombuffer(idx, dtype="<i8", count=n, offset=34 + 4 * n)
    ids = np.memmap(prefix + ".bin", dtype=dtype, mode="r")
    return [ids[p // dtype.itemsize: p // dtype.itemsize + length] for p, length in zip(pointers, lengths)]


def main():
    print("== training a tokenizer on", os.path.relpath(SAMPLE))
    tok = larkspur.train([SAMPLE], vocab_size=1000, progress=False)
    print(tok)
    with tempfile.TemporaryDirectory(prefix="larkspur-lm-data-") as out:
        prefix = os.path.join(out, "sample")
        print("\n== pretokenizing: one document per line, an end-of-text id after each")
        result = larkspur.data.pretokenize(tok, [SAMPLE], prefix, format="megatron", workers=2,
                                           append_eos=True, progress=False)
        for f in result["files"]:
            print(f"  {os.path.basename(f):12} {os.path.getsize(f):8,} bytes")
        print(f"  {result['documents']} documents, {result['tokens']} tokens, ids as {result['dtype']}")

        print("\n== reading the files back with numpy.memmap")
        docs = read_megatron(prefix)
        with open(SAMPLE, encoding="utf-8") as f:
            lines = f.read().splitlines()
        for i, ids in enumerate(docs[:3]):
            print(f"  document {i}: {len(ids)} ids {ids[:8].tolist()}...")
            print(f"    decoded: {tok.decode(ids.tolist(), skip_special=True)}")
        same = all(d.tolist() == tok.encode(t) + [tok.eos_id] for d, t in zip(docs, lines))
        print(f"\n  every document equals tok.encode(line) + [eos]: {same}")
        del docs  # close the memory maps before the directory goes
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
