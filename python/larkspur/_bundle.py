"""The bundle: a directory that holds everything a tokenizer is.

    vocab.tsv        the vocabulary file of the exact module (PyLarkspurTokenization.load_vocab_tsv
                     reads it)
    tokenizer.json   format name and version, mode, folding rules, automaton extensions, core
                     options, special tokens with their ids, each token's kind, script and seed
                     flags, root sets, seed settings and a training summary
    morphology.json  the paradigms and the lexicon, when there are any

This module is the one place that knows the layout (SCHEMA below); saving, loading and the
bytes that pickling and worker processes carry all go through it. A bad bundle raises
ValueError naming the file and the problem, and nothing is half-loaded: the tokenizer is
built completely before it is returned.
"""

from __future__ import annotations

import contextlib
import hashlib
import io
import json
import os
import shutil
import stat
import tarfile
import tempfile
import threading
from pathlib import Path
from typing import Any, Dict, Iterator, List, Tuple

from . import _engine, _files

FORMAT = "larkspur-bundle"
VERSION = 1
TOKENIZER_FILE = "tokenizer.json"
VOCAB_FILE = "vocab.tsv"
MORPHOLOGY_FILE = "morphology.json"

# The fields of tokenizer.json, version 1.
SCHEMA = {
    "format": "always " + FORMAT,
    "version": "integer; this larkspur writes and reads 1",
    "mode": "the fold mode, LM or OCR",
    "folding_rules": "list of [from, to] pairs, in the order given",
    "akshara_extensions": "transitions added to the default akshara automaton (none so far)",
    "options": "the tokenizer's scheme: the core's optional behaviour beyond the exact module's, an "
               "object of the scheme's fields (_engine.scheme_fields(); a missing one has its default)",
    "vocab_file": "the vocabulary file, relative to the bundle",
    "vocab_size": "number of trained tokens (ids 0 to vocab_size - 1)",
    "special_tokens": "object from each special token's text to its id, ids after vocab_size",
    "special_roles": "object from pad, bos, eos, unk to the special token's text",
    "tokens": "kinds (one letter per id), scripts (one letter per id), flags (one digit per id: "
              "1 strict seed, 2 ambiguous seed), root_sets (object id -> list of root ids)",
    "seeds": "the recipe and its seed settings, and seed_max_len (the abbreviation window)",
    "morphology_file": "the paradigms and lexicon file, relative to the bundle, or null",
    "training": "a summary of the training run",
}


# The scheme's fields, by name, with their defaults (the core defines them).
SCHEME_DEFAULTS: Dict[str, Any] = _engine.scheme_fields()[0]


def scheme_fields(options: Dict[str, Any]) -> Dict[str, Any]:
    """Every field of the scheme by name, from a bundle's (or run file's) options object."""
    unknown = sorted(set(options) - set(SCHEME_DEFAULTS))
    if unknown:
        raise ValueError(f"unknown option {unknown[0]!r} (known: {', '.join(SCHEME_DEFAULTS)})")
    for name, value in options.items():
        if type(value) is not type(SCHEME_DEFAULTS[name]):
            expected = "true or false" if isinstance(SCHEME_DEFAULTS[name], bool) else "a number"
            raise ValueError(f"option {name!r} must be {expected}, not {value!r}")
    return {**SCHEME_DEFAULTS, **options}


def _fail(path: Path, problem: str) -> ValueError:
    return ValueError(f"{path}: {problem}")


def _digest(surfaces: List[str]) -> str:
    """The tokens of vocab.tsv as tokenizer.json records them: a hash of the surfaces as
    read, so that a file whose line ends or escapes change on the way reads the same."""
    return "sha256:" + hashlib.sha256(json.dumps(surfaces, ensure_ascii=False).encode("utf-8")).hexdigest()


def _inside(root: Path, name: Any, field: str, json_path: Path) -> Path:
    if not isinstance(name, str) or not name:
        raise _fail(json_path, f"{field} must be a file name")
    p = Path(name)
    if p.is_absolute() or ".." in p.parts or len(p.parts) != 1:
        raise _fail(json_path, f"{field} {name!r} leaves the bundle directory")
    return root / p


def write(directory: str | os.PathLike, engine: "_engine.Tokenizer", config: Dict[str, Any]) -> None:
    """Writes the bundle of `engine` with `config` (the tokenizer's settings)."""
    root = Path(directory)
    root.mkdir(parents=True, exist_ok=True)
    surfaces, kinds, scripts, flags, root_sets = engine.export_tokens()
    base = engine.base_size
    specials = config["special_tokens"]
    morphology = {"paradigms": config.get("paradigms", []), "lexicon": config.get("lexicon", {})}
    has_morphology = bool(morphology["paradigms"] or morphology["lexicon"])
    doc = {
        "format": FORMAT,
        "version": VERSION,
        "mode": engine.mode,
        "folding_rules": [list(r) for r in config.get("folding_rules", [])],
        "akshara_extensions": [],
        "options": engine.scheme,
        "vocab_file": VOCAB_FILE,
        "vocab_size": base,
        "special_tokens": {text: base + i for i, text in enumerate(specials)},
        "special_roles": dict(config.get("special_roles", {})),
        "tokens": {"kinds": kinds, "scripts": scripts, "flags": "".join(str(b) for b in flags),
                   "root_sets": {str(i): list(r) for i, r in root_sets}},
        "seeds": dict(config.get("seeds", {}), seed_max_len=engine.seed_max_len),
        "morphology_file": MORPHOLOGY_FILE if has_morphology else None,
        "training": dict(config.get("training", {})),
    }
    # Each file is written under a temporary name and renamed, so that a reader never
    # sees a half-written one.
    _files.replace_with(root / VOCAB_FILE, engine.save_vocab_tsv)
    # tokenizer.json describes each token of vocab.tsv by id (kind, script, roots); the
    # digest lets a load notice a vocab.tsv edited by hand after it was written.
    doc["vocab_digest"] = _digest(_engine.read_vocab_file(str(root / VOCAB_FILE), engine.mode))
    if has_morphology:
        _write_json(root / MORPHOLOGY_FILE, morphology)
    elif (root / MORPHOLOGY_FILE).exists():
        (root / MORPHOLOGY_FILE).unlink()
    _write_json(root / TOKENIZER_FILE, doc)


def _write_json(path: Path, doc: Any) -> None:
    _files.write_text(path, json.dumps(doc, ensure_ascii=False, indent=1) + "\n")


def _read_json(path: Path) -> Any:
    if not path.is_file():
        raise _fail(path, "missing")
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except UnicodeDecodeError as e:
        raise _fail(path, f"not UTF-8 ({e.reason})") from None
    except json.JSONDecodeError as e:
        raise _fail(path, f"malformed JSON ({e.msg} at line {e.lineno}, column {e.colno})") from None


def _get(doc: Dict[str, Any], key: str, kind: type, path: Path) -> Any:
    if key not in doc:
        raise _fail(path, f"has no {key!r}")
    value = doc[key]
    if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
        raise _fail(path, f"{key!r} must be {kind.__name__}, not {type(value).__name__}")
    return value


def read(directory: str | os.PathLike) -> Tuple["_engine.Tokenizer", Dict[str, Any]]:
    """Reads a bundle: (engine, config). ValueError naming the file for a bad bundle."""
    root = Path(directory)
    json_path = root / TOKENIZER_FILE
    if not root.is_dir():
        raise _fail(root, "not a bundle directory")
    doc = _read_json(json_path)
    if not isinstance(doc, dict):
        raise _fail(json_path, "must hold a JSON object")
    if doc.get("format") != FORMAT:
        raise _fail(json_path, f"format must be {FORMAT!r}, not {doc.get('format')!r}")
    version = _get(doc, "version", int, json_path)
    if version != VERSION:
        raise _fail(json_path, f"unknown version {version} (this larkspur reads version {VERSION})")
    mode = _get(doc, "mode", str, json_path)
    rules = _get(doc, "folding_rules", list, json_path)
    if not all(isinstance(r, list) and len(r) == 2 and all(isinstance(x, str) for x in r) for r in rules):
        raise _fail(json_path, "folding_rules must be a list of [from, to] pairs of strings")
    if _get(doc, "akshara_extensions", list, json_path):
        raise _fail(json_path, "akshara_extensions are not supported by this version")
    options = _get(doc, "options", dict, json_path)
    base = _get(doc, "vocab_size", int, json_path)
    specials = _get(doc, "special_tokens", dict, json_path)
    tokens = _get(doc, "tokens", dict, json_path)
    seeds = _get(doc, "seeds", dict, json_path)
    vocab_path = _inside(root, doc.get("vocab_file"), "vocab_file", json_path)
    if mode not in ("LM", "OCR"):
        raise _fail(json_path, f"mode must be 'LM' or 'OCR', not {mode!r}")

    if not vocab_path.is_file():
        raise _fail(vocab_path, "missing")
    try:
        surfaces = _engine.read_vocab_file(str(vocab_path), mode)
    except (OSError, ValueError) as e:
        raise _fail(vocab_path, str(e)) from None
    if len(surfaces) != base:
        raise _fail(json_path, f"vocab_size is {base} but {vocab_path.name} holds {len(surfaces)} tokens")
    digest = doc.get("vocab_digest")  # bundles written before it was recorded have none
    if digest is not None and digest != _digest(surfaces):
        raise _fail(vocab_path, f"its tokens are not those that {json_path} was written with (edited by hand?); "
                                f"the two files of a bundle must be saved together")
    kinds, scripts, flags = tokens.get("kinds"), tokens.get("scripts"), tokens.get("flags")
    root_sets = tokens.get("root_sets", {})
    if not all(isinstance(x, str) for x in (kinds, scripts, flags)) or not isinstance(root_sets, dict):
        raise _fail(json_path, "tokens must hold the strings kinds, scripts and flags and the object root_sets")
    if not (len(kinds) == len(scripts) == len(flags) == base):
        raise _fail(json_path, f"tokens must describe each of the {base} tokens once")
    if any(f not in "0123" for f in flags):
        raise _fail(json_path, "token flags must be digits 0 to 3")
    try:
        roots = [(int(k), [int(r) for r in v]) for k, v in root_sets.items()]
    except (TypeError, ValueError):
        raise _fail(json_path, "root_sets must map token ids to lists of root ids") from None
    if any(r < 0 for _, v in roots for r in v) or any(k < 0 for k, _ in roots):
        raise _fail(json_path, "root_sets must map token ids to lists of root ids")
    try:
        scheme = scheme_fields(options)
    except ValueError as e:
        raise _fail(json_path, str(e)) from None
    seed_max_len = seeds.get("seed_max_len", 0)
    if not isinstance(seed_max_len, int) or isinstance(seed_max_len, bool) or seed_max_len < 0:
        raise _fail(json_path, "seeds.seed_max_len must be a non-negative integer")
    top = base + len(specials)
    for text, sid in specials.items():
        if not isinstance(sid, int) or isinstance(sid, bool) or not base <= sid < top:
            raise _fail(json_path, f"special token {text!r} has id {sid!r}, out of range "
                                   f"(special tokens take the ids {base} to {top - 1})")
    if len(set(specials.values())) != len(specials):
        raise _fail(json_path, "two special tokens share an id")
    order = sorted(specials.items(), key=lambda kv: kv[1])
    try:
        request = _engine.TrainingRequest(mode, [tuple(r) for r in rules], scheme, 0, [t for t, _ in order], [], [])
        engine = _engine.load(request, surfaces, kinds, scripts, bytes(int(f) for f in flags), roots, seed_max_len)
    except ValueError as e:
        raise _fail(json_path, str(e)) from None
    roles = doc.get("special_roles", {})
    if not isinstance(roles, dict) or any(v not in specials for v in roles.values()):
        raise _fail(json_path, "special_roles must name special tokens")

    paradigms: List[Any] = []
    lexicon: Dict[str, int] = {}
    if doc.get("morphology_file") is not None:
        morph_path = _inside(root, doc["morphology_file"], "morphology_file", json_path)
        morph = _read_json(morph_path)
        if not isinstance(morph, dict):
            raise _fail(morph_path, "must hold a JSON object")
        paradigms, lexicon = morph.get("paradigms", []), morph.get("lexicon", {})
        if not isinstance(paradigms, list) or not isinstance(lexicon, dict):
            raise _fail(morph_path, "must hold a list of paradigms and a lexicon object")

    config = {
        "folding_rules": [tuple(r) for r in rules],
        "options": engine.scheme,
        "special_tokens": [t for t, _ in order],
        "special_roles": roles,
        "seeds": {k: v for k, v in seeds.items() if k != "seed_max_len"},
        "paradigms": paradigms,
        "lexicon": lexicon,
        "training": doc.get("training", {}),
    }
    return engine, config


_MEMBERS = (TOKENIZER_FILE, VOCAB_FILE, MORPHOLOGY_FILE)

# The bundle's bytes go through files (the native code reads and writes the vocabulary
# file): each process keeps the name of one scratch directory, with a folder per thread.
# Fresh temporary names at every call would each enter the interpreter's caches (interned
# path parts), and pickling is called often (every worker, every task). The directory is
# removed by the last call that uses it, since worker processes end without running exit
# handlers and would leave it behind; the next call makes it again under the same name.
_scratch_lock = threading.Lock()
_scratch_base: Dict[int, str] = {}


def _remade(base: str) -> bool:
    """Makes the directory again; False when the name is taken by anything but a private
    directory of ours (someone else may have made it since we removed it)."""
    try:
        os.mkdir(base, 0o700)
        return True
    except FileExistsError:  # another thread of ours is using it
        st = os.lstat(base)
        return stat.S_ISDIR(st.st_mode) and st.st_uid == os.getuid() and not st.st_mode & 0o077
    except OSError:
        return False


@contextlib.contextmanager
def _scratch() -> Iterator[Path]:
    pid = os.getpid()
    with _scratch_lock:
        base = _scratch_base.get(pid)
        if base is None or not _remade(base):
            base = _scratch_base[pid] = tempfile.mkdtemp(prefix="larkspur-bundles-")
        d = Path(base) / str(threading.get_ident())
        d.mkdir(exist_ok=True)
    try:
        yield d
    finally:
        with _scratch_lock:
            shutil.rmtree(d, ignore_errors=True)
            try:
                os.rmdir(base)
            except OSError:  # another thread is still using it
                pass


def to_bytes(engine: "_engine.Tokenizer", config: Dict[str, Any]) -> bytes:
    """The bundle's files as one uncompressed tar, for pickling and worker processes; the
    same tokenizer always gives the same bytes."""
    with _scratch() as tmp:
        write(tmp, engine, config)
        buf = io.BytesIO()
        with tarfile.open(fileobj=buf, mode="w", format=tarfile.USTAR_FORMAT) as tar:
            for name in _MEMBERS:
                if (tmp / name).exists():
                    data = (tmp / name).read_bytes()
                    info = tarfile.TarInfo(name)
                    info.size, info.mode = len(data), 0o644
                    tar.addfile(info, io.BytesIO(data))
        return buf.getvalue()


def from_bytes(data: bytes) -> Tuple["_engine.Tokenizer", Dict[str, Any]]:
    """Reads what to_bytes wrote; only the bundle's own file names are taken from it."""
    with _scratch() as tmp:
        try:
            with tarfile.open(fileobj=io.BytesIO(data), mode="r:") as tar:
                for member in tar.getmembers():
                    if member.name not in _MEMBERS or not member.isfile():
                        raise ValueError(f"bundle bytes: unexpected member {member.name!r}")
                    src = tar.extractfile(member)
                    (tmp / member.name).write_bytes(src.read() if src else b"")
        except tarfile.TarError as e:
            raise ValueError(f"bundle bytes: not a bundle ({e})") from None
        return read(tmp)
