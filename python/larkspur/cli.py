"""The `larkspur` command line: training, resuming, inspecting, encoding, decoding, measuring
and counting words, each a thin layer over the package's functions.

COMMANDS below is the one table of commands: each row names a command, its one-line
summary, the function that declares its arguments and the function that runs it. The
parser, the help text, the docs and the tests are all built from or checked against it.

Every failure prints exactly one line, "larkspur: error: <what went wrong>", to standard
error and exits with status 1 (2 for a usage error, 130 for an interrupt); a reader that
closes standard output early (`| head`) ends the command quietly.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Sequence

PROG = "larkspur"
CHUNK_LINES = 4096  # lines encoded or decoded per batch call


class UsageError(Exception):
    """Arguments that parse but do not fit together; exits with status 2."""


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage before its message; the contract is one line.
    def error(self, message: str) -> None:  # type: ignore[override]
        raise UsageError(f"{message} (see `{self.prog} --help`)")


# ---- argument types --------------------------------------------------------------------------

def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive integer, not {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, not {text!r}")
    return value


def _nonnegative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, not {text!r}")
    return value


def _share(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, not {text!r}") from None


# ---- input and output ------------------------------------------------------------------------

def _input_files(paths: Sequence[str]) -> List[str]:
    """The paths, each checked to be a readable file, so that the message names it."""
    for p in paths:
        if not os.path.isfile(p):
            raise ValueError(f"{p}: {'is a directory' if os.path.isdir(p) else 'no such file'}")
    return list(paths)


def _lines(stream: IO[bytes], name: str) -> Iterator[str]:
    """The lines of a byte stream, split at "\\n" only (one output line per input line),
    without their line ends. ValueError naming the line that is not UTF-8."""
    for n, raw in enumerate(stream, 1):
        if raw.endswith(b"\n"):
            raw = raw[:-2] if raw.endswith(b"\r\n") else raw[:-1]
        try:
            yield raw.decode("utf-8")
        except UnicodeDecodeError as e:
            raise ValueError(f"{name}:{n}: not UTF-8 ({e.reason} at byte {e.start})") from None


def _chunks(lines: Iterator[str], size: int = CHUNK_LINES) -> Iterator[List[str]]:
    chunk: List[str] = []
    for line in lines:
        chunk.append(line)
        if len(chunk) == size:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


class _Output:
    """Standard output, or a file written under a temporary name and renamed into place
    when the command succeeds, so that a failed run leaves no half-written OUT."""

    def __init__(self, path: Optional[str]):
        self.path = path if path not in (None, "-") else None
        if self.path is None:
            self.stream: IO[bytes] = sys.stdout.buffer
        else:
            self._tmp = self.path + ".tmp"
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


def _open_input(path: Optional[str]) -> IO[bytes]:
    if path in (None, "-"):
        return sys.stdin.buffer
    return open(_input_files([path])[0], "rb")


def _write_lines(out: IO[bytes], lines: Sequence[str]) -> None:
    if lines:
        out.write(("\n".join(lines) + "\n").encode("utf-8"))


def _print_fields(rows: Sequence[tuple]) -> None:
    width = max(len(k) for k, _ in rows)
    for key, value in rows:
        print(f"{key:<{width}}  {value}")


# ---- the commands ----------------------------------------------------------------------------

def _tokenizer_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("-t", "--tokenizer", required=True, metavar="BUNDLE",
                   help="the tokenizer's bundle directory (as `larkspur train` writes it)")


def _progress_arg(p: argparse.ArgumentParser) -> None:
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="show progress bars on standard error (default: when it is a terminal)")


def _normalization_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("--mode", default="LM", choices=["LM", "OCR"],
                   help="fold mode: LM for language models, OCR for OCR output (default LM)")
    p.add_argument("--folding-rule", nargs=2, action="append", default=[], metavar=("FROM", "TO"),
                   help="replace FROM by TO before counting (repeatable, applied in order)")
    p.add_argument("--workers", type=_positive_int, metavar="N",
                   help="threads that count words (default: every core; results do not depend on it)")


def _train_args(p: argparse.ArgumentParser) -> None:
    from . import _recipes

    p.add_argument("files", nargs="+", metavar="FILE", help="UTF-8 corpus files, one text per line")
    p.add_argument("-o", "--output", required=True, metavar="BUNDLE",
                   help="the bundle directory to write (created if missing)")
    p.add_argument("--vocab-size", required=True, type=_positive_int, metavar="N",
                   help="every id: base tokens, byte tokens, merges and special tokens")
    _normalization_args(p)
    p.add_argument("--recipe", default="morph", choices=sorted(_recipes.RECIPES),
                   help="morph protects common suffixes and postpositions; plain uses no seeds "
                        "(default morph)")
    p.add_argument("--latin-share", type=_share, default=_recipes.LATIN_SHARE, metavar="X",
                   help=f"the part of the vocabulary the Latin pass gets, from 0 up to 1 "
                        f"(default {_recipes.LATIN_SHARE})")
    p.add_argument("--special-tokens", action="append", metavar="LIST",
                   help="special tokens, comma-separated or repeated; an empty LIST means none "
                        "(default <pad>,<s>,</s>,<unk>)")
    p.add_argument("--seeds", metavar="FILE", help="a file of seeds, one per line, replacing the recipe's")
    p.add_argument("--paradigms", metavar="FILE", help="a JSON file of paradigms (recipe morph)")
    p.add_argument("--lexicon", metavar="FILE", help="a JSON file mapping surfaces to root ids (recipe morph)")
    p.add_argument("--checkpoint-dir", metavar="DIR",
                   help="write checkpoints here, so that `larkspur resume DIR` can finish a broken run")
    p.add_argument("--checkpoint-every", type=_nonnegative_int, default=0, metavar="K",
                   help="merges between checkpoints (besides one at the end of each pass; needs "
                        "--checkpoint-dir)")
    _progress_arg(p)


def _special_tokens(values: Optional[List[str]]) -> Optional[List[str]]:
    if values is None:
        return None
    return [t for v in values for t in v.split(",") if t]


def _seed_file(path: str) -> List[str]:
    with open(_input_files([path])[0], encoding="utf-8") as f:
        return [s for s in (line.rstrip("\r\n") for line in f) if s]


def run_train(args: argparse.Namespace) -> None:
    import larkspur

    if args.checkpoint_every and args.checkpoint_dir is None:
        raise UsageError("--checkpoint-every needs --checkpoint-dir")
    keywords: Dict[str, Any] = {}
    specials = _special_tokens(args.special_tokens)
    if specials is not None:
        keywords["special_tokens"] = specials
    if args.seeds is not None:
        keywords["seeds"] = _seed_file(args.seeds)
    for name in ("paradigms", "lexicon"):
        if getattr(args, name) is not None:
            keywords[name] = _input_files([getattr(args, name)])[0]
    tok = larkspur.train(_input_files(args.files), vocab_size=args.vocab_size, mode=args.mode,
                         recipe=args.recipe, latin_share=args.latin_share,
                         folding_rules=[tuple(r) for r in args.folding_rule],
                         checkpoint_dir=args.checkpoint_dir, checkpoint_every=args.checkpoint_every,
                         progress=args.progress, num_workers=args.workers, **keywords)
    tok.save(args.output)
    print(f"wrote {args.output}: {tok.vocab_size} ids ({len(tok.special_tokens)} special)")


def _resume_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("checkpoint_dir", metavar="CHECKPOINT_DIR",
                   help="the --checkpoint-dir of a `larkspur train` run")
    p.add_argument("-o", "--output", required=True, metavar="BUNDLE", help="the bundle directory to write")
    _progress_arg(p)


def run_resume(args: argparse.Namespace) -> None:
    import larkspur

    tok = larkspur.resume(args.checkpoint_dir, progress=args.progress)
    tok.save(args.output)
    print(f"wrote {args.output}: {tok.vocab_size} ids ({len(tok.special_tokens)} special)")


def _inspect_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("path", metavar="PATH", help="a bundle directory or a checkpoint directory")
    p.add_argument("--json", action="store_true", help="print one JSON object instead of lines")


def _describe_bundle(path: str) -> Dict[str, Any]:
    import larkspur

    tok = larkspur.load(path)
    settings = tok.settings
    training = settings.get("training", {})
    merges = None
    if "trained_size" in training and "base_size" in training:
        merges = training["trained_size"] - training["base_size"]
    return {
        "kind": "bundle", "path": path, "complete": True, "mode": tok.mode,
        "vocab_size": tok.vocab_size, "trained_size": tok.vocab_size - len(tok.special_tokens),
        "base_size": training.get("base_size"), "merges": merges,
        "special_tokens": tok.special_tokens,
        "roles": {"pad": tok.pad_id, "bos": tok.bos_id, "eos": tok.eos_id, "unk": tok.unk_id},
        "recipe": settings.get("recipe"), "seeds": len(settings.get("seeds", [])),
        "folding_rules": [list(r) for r in settings.get("folding_rules", [])],
        "options": settings.get("options", {}), "training": training,
    }


def _describe_checkpoint(path: str) -> Dict[str, Any]:
    from . import _engine
    from ._training import RUN_FILE

    run_path = Path(path) / RUN_FILE
    run: Dict[str, Any] = {}
    if run_path.is_file():
        try:
            run = json.loads(run_path.read_text(encoding="utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as e:
            raise ValueError(f"{run_path}: malformed ({e})") from None
    info = _engine.checkpoint_info(path)
    if info is None and not run:
        raise ValueError(f"{path}: neither a bundle nor a checkpoint directory")
    out: Dict[str, Any] = {
        "kind": "checkpoint", "path": path, "run_file": bool(run),
        "mode": run.get("mode", info and info["mode"]), "vocab_size": run.get("vocab_size"),
        "latin_share": run.get("latin_share"), "special_tokens": run.get("special_tokens"),
        "recipe": run.get("seeds", {}).get("recipe"), "folding_rules": run.get("folding_rules"),
        "checkpoint_every": run.get("checkpoint_every"), "latest": None,
    }
    if info is not None:
        out["latest"] = {k: info[k] for k in ("path", "phase", "merges_done", "vocab_len", "word_types",
                                              "dev_budget", "total_budget", "theta")}
        # Training runs the Devanagari pass up to dev_budget tokens, then the Latin pass up
        # to total_budget; a checkpoint of the Latin pass means the first one is done.
        out["dev_pass_complete"] = info["phase"] == "LAT"
        out["complete"] = info["phase"] == "LAT" and info["vocab_len"] >= info["total_budget"]
    else:
        out["dev_pass_complete"] = out["complete"] = False
    out["resumable"] = bool(run) and info is not None
    return out


def _inspect_lines(d: Dict[str, Any]) -> List[tuple]:
    if d["kind"] == "bundle":
        specials = ", ".join(f"{t}={i}" for t, i in d["special_tokens"].items()) or "none"
        roles = ", ".join(f"{r}={i}" for r, i in d["roles"].items() if i is not None) or "none"
        rules = ", ".join(f"{a}->{b}" for a, b in d["folding_rules"]) or "none"
        training = d["training"]
        return [
            ("bundle", d["path"]), ("mode", d["mode"]),
            ("vocab size", f"{d['vocab_size']} ids ({d['trained_size']} trained, "
                           f"{len(d['special_tokens'])} special)"),
            ("base tokens", d["base_size"] if d["base_size"] is not None else "not recorded"),
            ("merges", d["merges"] if d["merges"] is not None else "not recorded"),
            ("special tokens", specials), ("roles", roles),
            ("recipe", f"{d['recipe']} ({d['seeds']} seeds)"), ("folding rules", rules),
            ("options", json.dumps(d["options"], ensure_ascii=False)),
            ("resumed from", training["resumed_from"]) if "resumed_from" in training else
            ("trained on", ", ".join(training.get("files", [])) or "texts given in Python"),
            ("complete", "yes (a bundle is a finished tokenizer)"),
        ]
    rows = [("checkpoint directory", d["path"]), ("mode", d["mode"] or "not recorded")]
    if d["run_file"]:
        specials = d["special_tokens"] or []
        rows += [("target vocab size", d["vocab_size"]), ("latin share", d["latin_share"]),
                 ("recipe", d["recipe"]), ("special tokens", ", ".join(specials) or "none"),
                 ("folding rules", ", ".join(f"{a}->{b}" for a, b in d["folding_rules"] or []) or "none"),
                 ("checkpoint every", f"{d['checkpoint_every']} merges")]
    else:
        rows.append(("run file", "missing: `larkspur resume` cannot rebuild this run"))
    latest = d["latest"]
    if latest is None:
        rows.append(("latest checkpoint", "none complete yet"))
    else:
        rows += [("latest checkpoint", latest["path"]), ("phase", latest["phase"]),
                 ("merges done", latest["merges_done"]),
                 ("vocabulary", f"{latest['vocab_len']} of {latest['total_budget']} trained tokens "
                                f"(Devanagari pass up to {latest['dev_budget']})"),
                 ("word types", latest["word_types"])]
    rows += [("devanagari pass", "complete" if d["dev_pass_complete"] else "not complete"),
             ("training", "complete" if d["complete"] else "not complete"),
             ("resumable", "yes" if d["resumable"] else "no")]
    return rows


def run_inspect(args: argparse.Namespace) -> None:
    from ._bundle import TOKENIZER_FILE

    if not os.path.isdir(args.path):
        raise ValueError(f"{args.path}: no such directory")
    if (Path(args.path) / TOKENIZER_FILE).exists():
        d = _describe_bundle(args.path)
    else:
        d = _describe_checkpoint(args.path)
    if args.json:
        print(json.dumps(d, ensure_ascii=False, indent=1))
    else:
        _print_fields(_inspect_lines(d))


def _encode_args(p: argparse.ArgumentParser) -> None:
    _tokenizer_args(p)
    p.add_argument("file", nargs="?", metavar="FILE", help="UTF-8 text, one text per line (default: standard input)")
    p.add_argument("-o", "--output", metavar="OUT", help="where to write (default: standard output)")
    p.add_argument("--tokens", action="store_true", help="write token surfaces instead of ids")
    p.add_argument("--workers", type=_positive_int, metavar="N", help="threads that encode (default: every core)")


def run_encode(args: argparse.Namespace) -> None:
    import larkspur

    tok = larkspur.load(args.tokenizer)
    src = _open_input(args.file)
    try:
        with _Output(args.output) as out:
            for chunk in _chunks(_lines(src, args.file or "<stdin>")):
                if args.tokens:
                    rows = [" ".join(tok.tokenize(line)) for line in chunk]
                else:
                    rows = [" ".join(map(str, ids)) for ids in tok.encode_batch(chunk, num_threads=args.workers)]
                _write_lines(out, rows)
    finally:
        if src is not sys.stdin.buffer:
            src.close()


def _decode_args(p: argparse.ArgumentParser) -> None:
    _tokenizer_args(p)
    p.add_argument("file", nargs="?", metavar="FILE",
                   help="ids separated by spaces, one text per line, as `larkspur encode` writes them "
                        "(default: standard input)")
    p.add_argument("-o", "--output", metavar="OUT", help="where to write (default: standard output)")
    p.add_argument("--skip-special", action="store_true", help="leave special tokens out of the text")
    p.add_argument("--workers", type=_positive_int, metavar="N", help="threads that decode (default: every core)")


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
    src = _open_input(args.file)
    first = 1
    try:
        with _Output(args.output) as out:
            for chunk in _chunks(_lines(src, name)):
                batch = [_parse_ids(line, f"{name}:{first + i}") for i, line in enumerate(chunk)]
                _write_lines(out, tok.decode_batch(batch, skip_special=args.skip_special,
                                                   num_threads=args.workers))
                first += len(chunk)
    finally:
        if src is not sys.stdin.buffer:
            src.close()


def _stats_args(p: argparse.ArgumentParser) -> None:
    _tokenizer_args(p)
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
    figures = tok.stats(files=_input_files(args.files))
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
    _print_fields(rows)


def _count_words_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("files", nargs="+", metavar="FILE", help="UTF-8 corpus files, one text per line")
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="the word<TAB>count file to write (larkspur.train_from_word_counts reads it)")
    _normalization_args(p)
    _progress_arg(p)


def run_count_words(args: argparse.Namespace) -> None:
    import larkspur

    counts = larkspur.count_words(_input_files(args.files), mode=args.mode,
                                  folding_rules=[tuple(r) for r in args.folding_rule],
                                  num_workers=args.workers, progress=args.progress)
    counts.save(args.output)


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


def _describe(e: BaseException) -> str:
    if isinstance(e, OSError) and e.filename is not None and e.strerror:
        return f"{e.filename}: {e.strerror}"
    return str(e) or type(e).__name__


# ---- data-pipeline commands: `pretokenize`, and `--ray` on `count-words` -----------------------
# They live in larkspur/_cli_pipeline.py; this is all that the table needs for them.
from . import _cli_pipeline  # noqa: E402

COMMANDS[:] = _cli_pipeline.extend(COMMANDS, Command)
