"""The command line's data-pipeline parts: `larkspur pretokenize`, and `--ray` on
`count-words` and `pretokenize`.

`extend(commands, Command)` takes the command table of larkspur.cli and gives it back
with `pretokenize` added and `count-words` able to run as a Ray job; the options and the
runners live here so that cli.py only wires them in.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
from typing import Any, Callable, List


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, not {text!r}")
    return value


def add_ray_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--ray", action="store_true",
                   help="run as a Ray Data job (needs `pip install 'LarkspurTokenization[ray]'`); "
                        "the result equals the local one")
    p.add_argument("--ray-address", metavar="ADDRESS",
                   help="the Ray cluster to join, e.g. ray://head:10001 or auto (default: RAY_ADDRESS, "
                        "else a local cluster started for the command)")


def pretokenize_arguments(p: argparse.ArgumentParser) -> None:
    from .data import DEFAULT_CHUNK_BYTES, FORMATS

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
    p.add_argument("--workers", type=_positive_int, metavar="N",
                   help="processes that encode (default: one per core); the output does not depend on it")
    p.add_argument("--append-eos", action="store_true", help="end every document with the end-of-text id")
    docs = p.add_mutually_exclusive_group()
    docs.add_argument("--doc-per-file", action="store_true", help="each input file is one document")
    docs.add_argument("--jsonl-key", metavar="KEY",
                      help="the inputs are JSON Lines; each line's string field KEY is a document")
    p.add_argument("--chunk-bytes", type=_positive_int, default=DEFAULT_CHUNK_BYTES, metavar="N",
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
        from . import ray as lray

        lray.connect(args.ray_address)
        result = lray.pretokenize(args.inputs, tok, args.output, format=args.format,
                                  append_eos=args.append_eos, jsonl_key=args.jsonl_key,
                                  chunk_bytes=args.chunk_bytes)
        print(f"wrote {len(result['shards'])} shards at {args.output}: {result['documents']} documents, "
              f"{result['tokens']} tokens ({result['dtype']})")
        return
    from .data import pretokenize

    result = pretokenize(tok, args.inputs, args.output, format=args.format, workers=args.workers,
                         append_eos=args.append_eos, doc_per_file=args.doc_per_file, jsonl_key=args.jsonl_key,
                         chunk_bytes=args.chunk_bytes, progress=args.progress)
    print(f"wrote {', '.join(result['files'])}: {result['documents']} documents, {result['tokens']} tokens "
          f"({result['dtype']})")


def count_words_on_ray(args: argparse.Namespace) -> None:
    from . import ray as lray

    for p in args.files:
        if not os.path.isfile(p):
            raise ValueError(f"{p}: {'is a directory' if os.path.isdir(p) else 'no such file'}")
    lray.connect(args.ray_address)
    counts = lray.count_words(args.files, mode=args.mode, folding_rules=[tuple(r) for r in args.folding_rule])
    counts.save(args.output)


def _with_ray(arguments: Callable[[argparse.ArgumentParser], None],
              run: Callable[[argparse.Namespace], None]) -> tuple:
    def ray_arguments(p: argparse.ArgumentParser) -> None:
        arguments(p)
        add_ray_arguments(p)

    def ray_run(args: argparse.Namespace) -> None:
        (count_words_on_ray if args.ray else run)(args)

    return ray_arguments, ray_run


def extend(commands: List[Any], command_type: Any) -> List[Any]:
    """The command table with `pretokenize` added and `--ray` on `count-words`."""
    out = []
    for cmd in commands:
        if cmd.name == "count-words":
            arguments, run = _with_ray(cmd.arguments, cmd.run)
            cmd = dataclasses.replace(cmd, arguments=arguments, run=run)
        out.append(cmd)
    if not any(cmd.name == "pretokenize" for cmd in out):
        out.append(command_type("pretokenize", "encode documents into token arrays for training "
                                               "(Megatron .bin/.idx, flat .bin, .npy)",
                                pretokenize_arguments, run_pretokenize))
    return out
