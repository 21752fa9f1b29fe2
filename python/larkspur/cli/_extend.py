"""`larkspur extend`: Devanagari tokens added to an existing model's tokenizer.json."""

from __future__ import annotations

import argparse

from ._args import corpus_args, positive_int, print_fields, progress_arg


def _extend_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("--base", required=True, metavar="BASE",
                   help="the tokenizer to extend: a tokenizers-library tokenizer.json, or a model directory "
                        "holding one (as save_pretrained writes it)")
    p.add_argument("--new-tokens", required=True, type=positive_int, metavar="N", help="how many tokens to add")
    p.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                   help="where to write the extended tokenizer.json (a directory when BASE is one)")
    corpus_args(p)
    p.add_argument("--keep-punctuation", action="store_true",
                   help="a byte-level base's split pattern also keeps a Devanagari word's trailing punctuation "
                        "in its piece (fewer tokens; the pattern then differs from the base's beyond the "
                        "Devanagari marks)")
    p.add_argument("--memory-limit", metavar="SIZE",
                   help="keep the word counts within SIZE bytes (e.g. 2GB); the rarest words are left out "
                        "beyond it (default: no limit)")
    progress_arg(p)


def run_extend(args: argparse.Namespace) -> None:
    import larkspur

    report = larkspur.extend(args.base, args.files, new_tokens=args.new_tokens, output=args.output,
                             jsonl_key=args.jsonl_key, memory_limit=args.memory_limit, progress=args.progress,
                             errors="strict" if args.strict_utf8 else "skip",
                             keep_punctuation=args.keep_punctuation)
    print_fields([(k, v) for k, v in report.items()])
