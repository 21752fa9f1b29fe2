"""The `larkspur` command line.

COMMANDS is the table of commands: each row names a command, its summary, the function
that declares its arguments and the one that runs it. An error prints one line to standard
error and exits with status 1 (2 for a usage error).
"""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence

PROG = "larkspur"


class UsageError(Exception):
    """Arguments that parse but do not fit together; exits with status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        raise UsageError(f"{message} (see `{self.prog} --help`)")


def _count_words_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("files", nargs="+", metavar="FILE", help="UTF-8 corpus files, one text per line")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="the word<TAB>count file to write")
    p.add_argument("--mode", default="LM", choices=["LM", "OCR"], help="fold mode (default LM)")
    p.add_argument("--folding-rule", nargs=2, action="append", default=[], metavar=("FROM", "TO"),
                   help="replace FROM by TO before counting (repeatable, applied in order)")
    p.add_argument("--workers", type=int, metavar="N", help="threads that count words (default: every core)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None)


def run_count_words(args: argparse.Namespace) -> None:
    import larkspur
    from ._training import write_word_counts

    counts = larkspur.count_words(args.files, mode=args.mode, folding_rules=[tuple(r) for r in args.folding_rule],
                                  num_workers=args.workers, progress=args.progress)
    write_word_counts(counts, args.output)


@dataclass(frozen=True)
class Command:
    name: str
    summary: str
    arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], None]


COMMANDS: List[Command] = [
    Command("count-words", "count the words of corpus files into a word<TAB>count file",
            _count_words_args, run_count_words),
]


def build_parser() -> argparse.ArgumentParser:
    from . import __version__

    parser = _Parser(prog=PROG, description="A morphology-aware BPE tokenizer for Devanagari text "
                                            "with Latin text alongside.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True
    for cmd in COMMANDS:
        p = sub.add_parser(cmd.name, help=cmd.summary, description=cmd.summary[0].upper() + cmd.summary[1:] + ".")
        cmd.arguments(p)
        p.set_defaults(run=cmd.run)
    return parser


def _fail(message: str, status: int) -> int:
    sys.stderr.write(f"{PROG}: error: {' '.join(str(message).split())}\n")
    return status


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        args.run(args)
        sys.stdout.flush()
        return 0
    except UsageError as e:
        return _fail(str(e), 2)
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except (ValueError, OSError, RuntimeError, ImportError) as e:
        return _fail(str(e) or type(e).__name__, 1)
    except Exception as e:
        return _fail(f"internal error: {type(e).__name__}: {e}", 1)


# ---- data-pipeline commands: `pretokenize`, and `--ray` on `count-words` -----------------------
# (larkspur/_cli_pipeline.py; this hunk is all that cli.py needs for them)
from . import _cli_pipeline  # noqa: E402

COMMANDS[:] = _cli_pipeline.extend(COMMANDS, Command)
