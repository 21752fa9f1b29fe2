"""The commands that read and write text: encode, decode, stats."""

from __future__ import annotations

import argparse
import json
import sys
from typing import List

from ._args import (Output, chunks, input_files, open_input, positive_int, print_fields, read_lines, tokenizer_arg,
                    write_lines)

def _encode_args(p: argparse.ArgumentParser) -> None:
    tokenizer_arg(p)
    p.add_argument("file", nargs="?", metavar="FILE", help="UTF-8 text, one text per line (default: standard input)")
    p.add_argument("-o", "--output", metavar="OUT", help="where to write (default: standard output)")
    p.add_argument("--tokens", action="store_true", help="write token surfaces instead of ids")
    p.add_argument("--workers", type=positive_int, metavar="N", help="threads that encode (default: every core)")


def run_encode(args: argparse.Namespace) -> None:
    import larkspur

    tok = larkspur.load(args.tokenizer)
    src = open_input(args.file)
    try:
        with Output(args.output) as out:
            for chunk in chunks(read_lines(src, args.file or "<stdin>")):
                if args.tokens:
                    rows = [" ".join(tok.tokenize(line)) for line in chunk]
                else:
                    rows = [" ".join(map(str, ids)) for ids in tok.encode_batch(chunk, num_threads=args.workers)]
                write_lines(out, rows)
    finally:
        if src is not sys.stdin.buffer:
            src.close()


def _decode_args(p: argparse.ArgumentParser) -> None:
    tokenizer_arg(p)
    p.add_argument("file", nargs="?", metavar="FILE",
                   help="ids separated by spaces, one text per line, as `larkspur encode` writes them "
                        "(default: standard input)")
    p.add_argument("-o", "--output", metavar="OUT", help="where to write (default: standard output)")
    p.add_argument("--skip-special", action="store_true", help="leave special tokens out of the text")
    p.add_argument("--workers", type=positive_int, metavar="N", help="threads that decode (default: every core)")


def _parse_ids(line: str, where: str) -> List[int]:
    ids = []
    for word in line.split():
        try:
            ids.append(int(word))
        except ValueError:
            raise ValueError(f"{where}: {word[:40]!r} is not an id") from None
    return ids


def run_decode(args: argparse.Namespace) -> None:
    import larkspur

    tok = larkspur.load(args.tokenizer)
    name = args.file or "<stdin>"
    src = open_input(args.file)
    first = 1
    try:
        with Output(args.output) as out:
            for chunk in chunks(read_lines(src, name)):
                batch = [_parse_ids(line, f"{name}:{first + i}") for i, line in enumerate(chunk)]
                write_lines(out, tok.decode_batch(batch, skip_special=args.skip_special,
                                                   num_threads=args.workers))
                first += len(chunk)
    finally:
        if src is not sys.stdin.buffer:
            src.close()


def _stats_args(p: argparse.ArgumentParser) -> None:
    tokenizer_arg(p)
    p.add_argument("files", nargs="+", metavar="FILE", help="UTF-8 text files, one text per line")
    p.add_argument("--json", action="store_true", help="print one JSON object instead of lines")


STATS_MEANINGS = {
    "texts": "lines measured",
    "words": "white-space separated words in them",
    "tokens": "ids they encode to",
    "tokens_per_word": "tokens per word (lower is a tighter fit)",
    "byte_fallback_share": "share of tokens that are byte tokens (text the vocabulary does not cover)",
    "roundtrip_ok": "share of lines that decode back to their normalized form (should be 1)",
}
SCRIPT_NAMES = {"DEV": "Devanagari", "LAT": "Latin", "PUN": "punctuation", "FMT": "format characters",
                "MAL": "byte tokens (text no other class covers)"}


def run_stats(args: argparse.Namespace) -> None:
    import larkspur

    tok = larkspur.load(args.tokenizer)
    figures = tok.stats(files=input_files(args.files))
    if args.json:
        print(json.dumps(figures, ensure_ascii=False, indent=1))
        return
    rows = []
    for key, value in figures.items():
        if key == "script_shares":
            for script, share in value.items():
                rows.append((f"script_shares.{script}", f"{share:<10.4f}share of tokens in "
                                                        f"{SCRIPT_NAMES.get(script, script)}"))
        else:
            shown = f"{value:.4f}" if isinstance(value, float) else str(value)
            rows.append((key, f"{shown:<10}{STATS_MEANINGS.get(key, '')}"))
    print_fields(rows)
