"""What the commands share: argument types and groups, reading inputs and writing outputs."""

from __future__ import annotations

import argparse
import os
import sys

from .. import _files
from typing import IO, Iterator, List, Optional, Sequence, Union


CHUNK_LINES = 4096  # lines encoded or decoded per batch call


class UsageError(Exception):
    """Arguments that parse but do not fit together; exits with status 2."""


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage before its message; the contract is one line.
    def error(self, message: str) -> None:  # type: ignore[override]
        raise UsageError(f"{message} (see `{self.prog} --help`)")


# ---- argument types --------------------------------------------------------------------------

def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive integer, not {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, not {text!r}")
    return value


def nonnegative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, not {text!r}")
    return value


def share(text: str) -> Union[float, str]:
    """"auto" or a number (its range is checked by the call it goes to)."""
    if text == "auto":
        return text
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected 'auto' or a number, not {text!r}") from None


def superword_share(text: str) -> float:
    """A number (its range is checked by the call it goes to)."""
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a share such as 0.2, not {text!r}") from None


# ---- input and output ------------------------------------------------------------------------

def corpus_args(p: argparse.ArgumentParser) -> None:
    """The corpus inputs of train and count-words, read as larkspur.count_words reads them."""
    p.add_argument("files", nargs="+", metavar="FILE",
                   help="corpus files: UTF-8 text with one text per line, gzip or zstd files of it, or JSON "
                        "Lines with --jsonl-key; - is standard input")
    p.add_argument("--jsonl-key", metavar="KEY", help="each line is a JSON record whose field KEY is the text")
    p.add_argument("--strict-utf8", action="store_true",
                   help="stop at the first line that is not UTF-8 (by default such lines are skipped and counted)")


def input_files(paths: Sequence[str]) -> List[str]:
    """The paths, each checked to be a readable file, so that the message names it."""
    for p in paths:
        if not os.path.isfile(p):
            raise ValueError(f"{p}: {'is a directory' if os.path.isdir(p) else 'no such file'}")
    return list(paths)


def read_lines(stream: IO[bytes], name: str) -> Iterator[str]:
    """The lines of a byte stream, split at "\\n" only (one output line per input line),
    without their line ends. ValueError naming the line that is not UTF-8."""
    for n, raw in enumerate(stream, 1):
        if raw.endswith(b"\n"):
            raw = raw[:-2] if raw.endswith(b"\r\n") else raw[:-1]
        try:
            yield raw.decode("utf-8")
        except UnicodeDecodeError as e:
            raise ValueError(f"{name}:{n}: not UTF-8 ({e.reason} at byte {e.start})") from None


def chunks(lines: Iterator[str], size: int = CHUNK_LINES) -> Iterator[List[str]]:
    chunk: List[str] = []
    for line in lines:
        chunk.append(line)
        if len(chunk) == size:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


class Output:
    """Standard output, or a file written under a temporary name and renamed into place
    when the command succeeds, so that a failed run leaves no half-written OUT."""

    def __init__(self, path: Optional[str]):
        self.path = path if path not in (None, "-") else None
        if self.path is None:
            self.stream: IO[bytes] = sys.stdout.buffer
        else:
            self._tmp = _files.temporary_name(self.path)
            self.stream = open(self._tmp, "wb")

    def __enter__(self) -> IO[bytes]:
        return self.stream

    def __exit__(self, exc_type, *rest) -> None:
        if self.path is None:
            self.stream.flush()
            return
        self.stream.close()
        if exc_type is None:
            os.replace(self._tmp, self.path)
        else:
            os.unlink(self._tmp)


def open_input(path: Optional[str]) -> IO[bytes]:
    if path in (None, "-"):
        return sys.stdin.buffer
    return open(input_files([path])[0], "rb")


def write_lines(out: IO[bytes], lines: Sequence[str]) -> None:
    if lines:
        out.write(("\n".join(lines) + "\n").encode("utf-8"))


def print_fields(rows: Sequence[tuple]) -> None:
    width = max(len(k) for k, _ in rows)
    for key, value in rows:
        print(f"{key:<{width}}  {value}")


def tokenizer_arg(p: argparse.ArgumentParser) -> None:
    p.add_argument("-t", "--tokenizer", required=True, metavar="BUNDLE",
                   help="the tokenizer's bundle directory (as `larkspur train` writes it)")


def progress_arg(p: argparse.ArgumentParser) -> None:
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="show progress bars on standard error (default: when it is a terminal)")


def normalization_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("--mode", default="LM", choices=["LM", "OCR"],
                   help="fold mode: LM for language models, OCR for OCR output (default LM)")
    p.add_argument("--folding-rule", nargs=2, action="append", default=[], metavar=("FROM", "TO"),
                   help="replace FROM by TO before counting (repeatable, applied in order)")
    p.add_argument("--workers", type=positive_int, metavar="N",
                   help="threads that count words (default: every core; results do not depend on it)")


def checkpoint_errors_arg(p: argparse.ArgumentParser, default: Optional[str] = "warn") -> None:
    p.add_argument("--checkpoint-errors", choices=["warn", "raise"], default=default,
                   help="a checkpoint that cannot be written: warn and go on, or stop with the error"
                        + (" (default warn)" if default else " (default: as the broken run)"))


def memory_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("--memory-limit", metavar="SIZE",
                   help="keep word counts within SIZE bytes (e.g. 2GB, 512MiB): beyond it they spill to "
                        "sorted files on disk, and training keeps the most frequent word types that fit "
                        "(default: no limit)")
    p.add_argument("--tmp-dir", metavar="DIR", help="where counts spill (default: the system's temporary directory)")


def add_ray_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--ray", action="store_true",
                   help="run as a Ray Data job (needs `pip install 'LarkspurTokenization[ray]'`); "
                        "the result equals the local one")
    p.add_argument("--ray-address", metavar="ADDRESS",
                   help="the Ray cluster to join, e.g. ray://head:10001 or auto (default: RAY_ADDRESS, "
                        "else a local cluster started for the command)")
