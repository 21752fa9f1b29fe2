"""The `larkspur` command line: training, resuming, inspecting, encoding, decoding, measuring,
counting words and extending other tokenizers, each a thin layer over the package's functions.

COMMANDS below is the one table of commands: each row names a command, its one-line
summary, the function that declares its arguments and the function that runs it. The
parser, the help text, the docs and the tests are all built from or checked against it.

Every failure prints exactly one line, "larkspur: error: <what went wrong>", to standard
error and exits with status 1 (2 for a usage error, 130 for an interrupt); a reader that
closes standard output early (`| head`) ends the command quietly.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence

from ._args import UsageError, _Parser
from ._extend import _extend_args, run_extend
from ._pipeline import pretokenize_arguments, run_pretokenize
from ._text import _decode_args, _encode_args, _stats_args, run_decode, run_encode, run_stats
from ._training import (_count_words_args, _inspect_args, _resume_args, _train_args, run_count_words, run_inspect,
                        run_resume, run_train)

PROG = "larkspur"


@dataclass(frozen=True)
class Command:
    name: str
    summary: str
    arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], None]


COMMANDS: List[Command] = [
    Command("train", "train a tokenizer on corpus files and write its bundle", _train_args, run_train),
    Command("resume", "finish a broken training run from its checkpoints", _resume_args, run_resume),
    Command("inspect", "describe a bundle or a checkpoint directory", _inspect_args, run_inspect),
    Command("encode", "encode text, one line in, one line of ids out", _encode_args, run_encode),
    Command("decode", "decode lines of ids back to text", _decode_args, run_decode),
    Command("stats", "measure how a tokenizer fits some text", _stats_args, run_stats),
    Command("count-words", "count the words of corpus files into a word<TAB>count file",
            _count_words_args, run_count_words),
    Command("pretokenize", "encode documents into token arrays for training (Megatron .bin/.idx, flat .bin, .npy)",
            pretokenize_arguments, run_pretokenize),
    Command("extend", "add Devanagari tokens to an existing model's tokenizer.json, keeping every base id",
            _extend_args, run_extend),
]


def build_parser() -> argparse.ArgumentParser:
    from .. import __version__

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
    sys.stderr.flush()
    return status


def _quiet_stdout() -> None:
    # The reader has gone; point standard output at /dev/null so that the interpreter's
    # final flush does not fail a second time.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs one command; returns the exit status (0, 1 for an error, 2 for a usage error,
    130 when interrupted)."""
    try:
        args = build_parser().parse_args(argv)
        with warnings.catch_warnings():
            warnings.simplefilter("default")
            warnings.showwarning = _warn
            args.run(args)
        sys.stdout.flush()
        return 0
    except UsageError as e:
        return _fail(str(e), 2)
    except BrokenPipeError:
        _quiet_stdout()
        return 1
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except MemoryError:
        return _fail("out of memory", 1)
    except (ValueError, OSError, RuntimeError, ImportError) as e:
        return _fail(_describe(e), 1)
    except Exception as e:  # a fault of ours: still one line, never a traceback
        return _fail(f"internal error: {type(e).__name__}: {e}", 1)


def _warn(message, category, filename, lineno, file=None, line=None) -> None:
    # A warning is one line too, as errors are.
    sys.stderr.write(f"{PROG}: warning: {' '.join(str(message).split())}\n")
    sys.stderr.flush()


def _describe(e: BaseException) -> str:
    if isinstance(e, OSError) and e.filename is not None and e.strerror:
        return f"{e.filename}: {e.strerror}"
    return str(e) or type(e).__name__
