"""`larkspur pretokenize`: documents into token arrays, locally or as a Ray job."""

from __future__ import annotations

import argparse

from ._args import add_ray_arguments, positive_int

def pretokenize_arguments(p: argparse.ArgumentParser) -> None:
    from ..data import DEFAULT_CHUNK_BYTES, FORMATS

    p.add_argument("-t", "--tokenizer", required=True, metavar="BUNDLE",
                   help="the tokenizer's bundle directory (as `larkspur train` writes it)")
    p.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="UTF-8 text files: one document per line, in the order given")
    p.add_argument("-o", "--output", required=True, metavar="PREFIX",
                   help="where to write: PREFIX.bin and PREFIX.idx (megatron), PREFIX.bin and "
                        "PREFIX.bin.json (bin), PREFIX.npy (npy)")
    p.add_argument("--format", required=True, choices=FORMATS,
                   help="megatron: the indexed-dataset .bin/.idx pair; bin: flat ids as nanoGPT reads "
                        "them; npy: one NumPy array")
    p.add_argument("--workers", type=positive_int, metavar="N",
                   help="processes that encode (default: one per core); the output does not depend on it")
    p.add_argument("--append-eos", action="store_true", help="end every document with the end-of-text id")
    docs = p.add_mutually_exclusive_group()
    docs.add_argument("--doc-per-file", action="store_true", help="each input file is one document")
    docs.add_argument("--jsonl-key", metavar="KEY",
                      help="the inputs are JSON Lines; each line's string field KEY is a document")
    p.add_argument("--chunk-bytes", type=positive_int, default=DEFAULT_CHUNK_BYTES, metavar="N",
                   help=argparse.SUPPRESS)
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="show a progress bar on standard error (default: when it is a terminal)")
    add_ray_arguments(p)


def run_pretokenize(args: argparse.Namespace) -> None:
    import larkspur

    tok = larkspur.load(args.tokenizer)
    if args.ray:
        if args.doc_per_file:
            raise ValueError("--doc-per-file does not go with --ray (give one document per line or --jsonl-key)")
        from .. import ray as lray

        lray.connect(args.ray_address)
        result = lray.pretokenize(tok, args.inputs, args.output, format=args.format,
                                  append_eos=args.append_eos, jsonl_key=args.jsonl_key,
                                  chunk_bytes=args.chunk_bytes)
        print(f"wrote {len(result['shards'])} shards at {args.output}: {result['documents']} documents, "
              f"{result['tokens']} tokens ({result['dtype']})")
        return
    from ..data import pretokenize

    result = pretokenize(tok, args.inputs, args.output, format=args.format, workers=args.workers,
                         append_eos=args.append_eos, doc_per_file=args.doc_per_file, jsonl_key=args.jsonl_key,
                         chunk_bytes=args.chunk_bytes, progress=args.progress)
    print(f"wrote {', '.join(result['files'])}: {result['documents']} documents, {result['tokens']} tokens "
          f"({result['dtype']})")
