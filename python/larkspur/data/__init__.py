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

from ._formats import FORMATS, MEGATRON_DTYPE_CODES, MEGATRON_MAGIC, MEGATRON_VERSION, flat_dtype, megatron_dtype, output_files
from ._inputs import DEFAULT_CHUNK_BYTES, Chunk, check_paths, chunk_documents, chunk_lines, plan_chunks
from ._writer import PARTS_SUFFIX, default_workers, encode_documents, pretokenize, write_arrays

__all__ = ["FORMATS", "DEFAULT_CHUNK_BYTES", "PARTS_SUFFIX", "Chunk", "chunk_documents", "chunk_lines",
           "default_workers", "encode_documents", "flat_dtype", "megatron_dtype", "output_files", "plan_chunks",
           "pretokenize", "write_arrays"]
