"""Training: word counts, the recipes, budgets, checkpoints and resuming.

Training depends only on the word counts: `train` counts the words of its files (in
parallel) and then trains exactly as `train_from_word_counts` does on those counts, so
counts made elsewhere (on other machines, in pieces) give the same vocabulary.
"""

from __future__ import annotations

import json
import os
import time
import warnings
from pathlib import Path
from typing import Any, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

from . import _bundle, _checks, _engine, _files, _progress, _recipes, _superwords
from .data import _corpus
from ._counts import WordCounts, as_word_counts
from ._tokenizer import Tokenizer, default_roles

PathLike = Union[str, os.PathLike]
RUN_FILE = "larkspur-run.json"  # beside the checkpoints: what resume needs to rebuild the run
DEFAULT_SPECIALS = ("<pad>", "<s>", "</s>", "<unk>")


def _paths(files: Union[PathLike, Sequence[PathLike], None]) -> List[str]:
    if files is None:
        return []
    if isinstance(files, (str, os.PathLike)):
        files = [files]
    out = []
    for f in files:
        if not isinstance(f, (str, os.PathLike)):
            raise TypeError(f"files must be paths, not {type(f).__name__}")
        out.append(os.fspath(f))
    return out


def _rules(folding_rules: Iterable[Sequence[str]]) -> List[Tuple[str, str]]:
    rules = []
    for r in folding_rules or ():
        if isinstance(r, str) or len(r) != 2 or not all(isinstance(x, str) for x in r):
            raise ValueError(f"a folding rule must be a (from, to) pair of strings, not {r!r}")
        rules.append((r[0], r[1]))
    return rules


def _workers(num_workers: Optional[int]) -> int:
    return _checks.threads(num_workers, "num_workers")


def _errors(errors: str) -> bool:
    """Whether counting is strict about lines that are not UTF-8."""
    if errors not in ("skip", "strict"):
        raise ValueError(f"errors must be 'skip' or 'strict', not {errors!r}")
    return errors == "strict"


def _count(files: List[str], texts: Optional[Iterable[str]], mode: str, rules, num_workers, progress,
           memory_limit: int = 0, tmp_dir: str = "", jsonl_key: Optional[str] = None, errors: str = "skip",
           stacklevel: int = 3, runs_of: Optional[Tokenizer] = None, warn: bool = True) -> WordCounts:
    strict = _errors(errors)
    if jsonl_key is not None and (not isinstance(jsonl_key, str) or not jsonl_key):
        raise ValueError(f"jsonl_key must be a non-empty str, not {jsonl_key!r}")
    wanted = _progress.wanted(progress)
    sizes = [os.path.getsize(f) if f != "-" and os.path.isfile(f) else None for f in files]
    total = None if texts is not None or None in sizes else sum(sizes)
    what = "counting words" if runs_of is None else "counting word runs"
    with _progress.Bar(wanted and bool(files), what, total, "B", unit_scale=True) as bar, \
            _progress.Bar(wanted, "merging counts", None, "types", unit_scale=True, lazy=True) as merging:
        table, invalid = _corpus.count(files, texts, mode=mode, rules=rules, workers=_workers(num_workers),
                                       memory_limit=memory_limit, tmp_dir=tmp_dir, jsonl_key=jsonl_key,
                                       strict=strict, bar=bar, merging=merging,
                                       runs_of=None if runs_of is None else runs_of._engine)
        if total is not None:
            bar.to(total)
    if warn:
        _corpus.warn_invalid(invalid, stacklevel)
    counts = WordCounts(table)
    counts._invalid = invalid
    return counts


def count_words(files: Union[PathLike, Sequence[PathLike], None] = None, texts: Optional[Iterable[str]] = None, *,
                mode: str = "LM", folding_rules: Iterable[Sequence[str]] = (), num_workers: Optional[int] = None,
                progress: Optional[bool] = None, memory_limit: Union[int, str, None] = None,
                tmp_dir: Optional[PathLike] = None, jsonl_key: Optional[str] = None,
                errors: str = "skip") -> WordCounts:
    """Counts of the words of corpus files and/or texts: each line normalized under `mode`
    and the folding rules, split at white space. Words are counted on `num_workers` threads
    (default: every core); the counts do not depend on it.

    Files may be plain UTF-8 text, or gzip or zstd files of it (told by their first bytes,
    whatever their names); with `jsonl_key`, each line is a JSON record whose `jsonl_key`
    field is the text. "-" is standard input, and pipes work too. `texts` is any iterable of
    str (a list, a generator, a dataset's column, a file object), streamed to the workers.
    A file that is not UTF-8 text at all (a UTF-16 byte order mark, NUL bytes, a start that
    is mostly not UTF-8) is a ValueError naming it. Lines that are not UTF-8 are skipped,
    counted per file in `invalid_lines` and said in a UnicodeWarning; with
    errors="strict" the first one is a ValueError naming the file and the line.

    With `memory_limit` (bytes, or a size such as "2GB" or "512MiB"), the counts held in
    memory stay within it: beyond it they are written as sorted runs to a temporary
    directory under `tmp_dir` (default: the system's) and merged, and counts that do not
    fit at all are read from a temporary file that goes with them. The counts are the same
    as without a limit; every temporary file is removed however the call ends."""
    paths = _paths(files)
    if not paths and texts is None:
        raise ValueError("count_words needs files or texts")
    return _count(paths, texts, mode, _rules(folding_rules), num_workers, progress,
                  _checks.memory_limit(memory_limit), _checks.directory(tmp_dir), jsonl_key, errors)


def count_word_runs(subwords: Tokenizer, files: Union[PathLike, Sequence[PathLike], None] = None,
                    texts: Optional[Iterable[str]] = None, *, num_workers: Optional[int] = None,
                    progress: Optional[bool] = None, memory_limit: Union[int, str, None] = None,
                    tmp_dir: Optional[PathLike] = None, jsonl_key: Optional[str] = None,
                    errors: str = "skip") -> WordCounts:
    """Counts of the word runs of corpus files and/or texts, for the superword stage: each
    line normalized as `subwords` normalizes, split at white space, and cut into runs of
    words that `subwords` encodes as one token each (single spaces between them, all Latin
    or all not, ending after a word that ends a sentence). Each run is a key of the counts,
    its words joined by single spaces. Reads its inputs as count_words does, on
    `num_workers` threads within `memory_limit`; counts made in pieces add up.

    `subwords` is the tokenizer of the subword stage: the one that
    `train_from_word_counts(..., superwords=..., word_runs=f)` hands to f."""
    if not isinstance(subwords, Tokenizer):
        raise TypeError(f"subwords must be a larkspur.Tokenizer, not {type(subwords).__name__}")
    paths = _paths(files)
    if not paths and texts is None:
        raise ValueError("count_word_runs needs files or texts")
    return _count(paths, texts, subwords.mode, _rules(subwords._config.get("folding_rules", [])), num_workers, progress,
                  _checks.memory_limit(memory_limit), _checks.directory(tmp_dir), jsonl_key, errors,
                  runs_of=subwords)


def merge_word_counts(paths: Union[PathLike, Sequence[PathLike]], out: PathLike, *,
                      memory_limit: Union[int, str, None] = None, tmp_dir: Optional[PathLike] = None,
                      progress: Optional[bool] = None) -> None:
    """Adds up word<TAB>count files (as WordCounts.save and `larkspur count-words` write them,
    in any order and number) into `out`, word-sorted, within `memory_limit` (see
    count_words): counts made in pieces on many machines never need to fit in one process.
    ValueError naming the file and line of a line that is not word<TAB>count."""
    files = _paths(paths)
    limit, tmp = _checks.memory_limit(memory_limit), _checks.directory(tmp_dir)
    with _progress.Bar(_progress.wanted(progress), "merging counts", None, "types", unit_scale=True,
                       lazy=True) as merging:
        _engine.WordTable.load(files, limit, tmp, merging.callback()).save(os.fspath(out))


def _load_json(value: Any, what: str) -> Any:
    if isinstance(value, (str, os.PathLike)):
        try:
            return json.loads(Path(value).read_text(encoding="utf-8"))
        except (OSError, UnicodeDecodeError, json.JSONDecodeError) as e:
            raise ValueError(f"{value}: cannot read {what}: {e}") from None
    return value


def _paradigm_list(paradigms: Any) -> List[List[Any]]:
    """[[root_id, {surface: [followers]}], ...] from a list of {"root_id", "transitions"}
    records (the format of a paradigm file), a mapping root_id -> transitions, or a path
    to a JSON file holding either."""
    paradigms = _load_json(paradigms, "paradigms")
    if paradigms is None:
        return []
    items = paradigms.items() if isinstance(paradigms, Mapping) else paradigms
    out = []
    for item in items:
        if isinstance(item, Mapping):
            root, transitions = item.get("root_id"), item.get("transitions")
        else:
            root, transitions = item
        try:
            root = int(root)
        except (TypeError, ValueError):
            raise ValueError(f"a paradigm's root id must be an integer, not {root!r}") from None
        if root < 0 or not isinstance(transitions, Mapping):
            raise ValueError(f"paradigm {root}: needs a non-negative root id and a mapping of transitions")
        clean = {}
        for key, nexts in transitions.items():
            if not isinstance(key, str) or isinstance(nexts, str) or not all(isinstance(n, str) for n in nexts):
                raise ValueError(f"paradigm {root}: transitions map a surface to a list of surfaces")
            clean[key] = list(nexts)
        out.append([root, clean])
    return out


def _lexicon(lexicon: Any) -> Dict[str, int]:
    lexicon = _load_json(lexicon, "the lexicon")
    if lexicon is None:
        return {}
    if not isinstance(lexicon, Mapping):
        raise ValueError("lexicon must map surfaces to root ids")
    out = {}
    for k, v in lexicon.items():
        if not isinstance(k, str) or isinstance(v, bool) or not isinstance(v, int) or v < 0:
            raise ValueError(f"lexicon entry {k!r}: {v!r} must map a surface to a non-negative root id")
        out[k] = v
    return out


def _specials(special_tokens: Iterable[str]) -> List[str]:
    if isinstance(special_tokens, str):
        raise ValueError("special_tokens must be a sequence of strings, not a string")
    out = list(special_tokens or ())
    for t in out:
        if not isinstance(t, str) or not t:
            raise ValueError(f"a special token must be a non-empty string, not {t!r}")
    if len(set(out)) != len(out):
        raise ValueError("special_tokens holds the same text twice")
    return out


def _request(mode: str, rules, scheme: Dict[str, Any], vocab_size: int, specials: List[str],
             paradigms: List[List[Any]], lexicon: Dict[str, int], **recipe: Any) -> "_engine.TrainingRequest":
    return _engine.TrainingRequest(mode, rules, scheme, vocab_size, specials,
                                   [(root, list(t.items())) for root, t in paradigms], list(lexicon.items()), **recipe)


def _train_words(counts_held: List[Optional[WordCounts]], *, vocab_size: int = 16000, mode: str = "LM",
                 recipe: str = "morph", latin_share: Union[float, str] = _recipes.LATIN_SHARE,
                 special_tokens: Iterable[str] = DEFAULT_SPECIALS, folding_rules=(), seeds=None,
                 paradigms=None, lexicon=None, checkpoint_dir: Optional[PathLike] = None,
                 checkpoint_every: int = 0, progress: Optional[bool] = None, num_workers=None,
                 memory_limit: Union[int, str, None] = None, tmp_dir: Optional[PathLike] = None,
                 checkpoint_errors: str = "warn", source: Optional[Dict[str, Any]] = None,
                 superwords: Union[bool, float] = False, word_runs: Optional[_superwords.WordRuns] = None,
                 _core_options: bool = True, _inputs: Optional[Dict[str, Any]] = None) -> Tokenizer:
    """Trains from the word counts in counts_held[0] (a list, so that the superword stage can
    let them go when the caller holds no other reference)."""
    started = time.time()
    counts = counts_held[0]
    _checks.positive_int("vocab_size", vocab_size)
    superword_share = _checks.superwords(superwords, _recipes.SUPERWORD_SHARE)
    _superwords.check_runs(word_runs, superword_share)
    # The subword stage trains to the rest of the size; superwords take the ids before the specials.
    superword_ids = _superwords.ids_for(vocab_size, superword_share) if superword_share else 0
    full_size, vocab_size = vocab_size, vocab_size - superword_ids
    if vocab_size < 1:
        raise ValueError(f"vocab_size {full_size} leaves no ids for subwords with superwords={superwords!r}")
    latin_share = _checks.latin_share(latin_share)
    _checks.nonnegative_int("checkpoint_every", checkpoint_every)
    limit = _checks.memory_limit(memory_limit)
    trouble = _CheckpointTrouble(checkpoint_errors)
    rec = _recipes.recipe(recipe)
    if seeds is not None:
        if isinstance(seeds, str) or not all(isinstance(s, str) and s for s in seeds):
            raise ValueError("seeds must be a sequence of non-empty strings")
        rec = _recipes.with_seeds(rec, list(seeds))
    rules = _rules(folding_rules)
    specials = _specials(special_tokens)
    paradigm_list, lex = _paradigm_list(paradigms), _lexicon(lexicon)
    if not rec.use_paradigms and (paradigm_list or lex):
        raise ValueError(f"recipe {rec.name!r} trains without paradigms or a lexicon; use recipe='morph'")
    if not _core_options:  # for measuring what the options give: the exact module's defaults
        rec = _recipes.without_options(rec)
    fields = rec.scheme_fields()
    if superword_share:
        fields["superword_words"] = _recipes.SUPERWORD_WORDS
    request = _request(mode, rules, fields, vocab_size, specials, paradigm_list, lex, **rec.core_recipe(latin_share))
    if counts.occurrences == 0:
        raise ValueError("the training input holds no words (every line is empty, white space, or not UTF-8)")
    try:
        plan = _engine.plan_training(counts._table, limit, request)
    except ValueError as e:
        if not superword_share:
            raise
        raise ValueError(f"{e}; with superwords={superwords!r} the subwords get {vocab_size:,} of the "
                         f"{full_size:,} ids") from None
    kept_types, min_count, left_types, left_occurrences = plan.selected
    share = _share_report(plan, counts.occurrences)
    seed_settings = rec.settings(vocab_size)
    # The plan's own limit: the aksharas take a share of the Devanagari pass's ids.
    seed_settings["akshara_limit"] = plan.akshara_limit or None
    scheme = _bundle.scheme_fields(fields)
    run = {"mode": mode, "folding_rules": [list(r) for r in rules], "options": scheme,
           "special_tokens": specials, "seeds": seed_settings, "paradigms": paradigm_list, "lexicon": lex,
           "vocab_size": vocab_size, "latin_share": latin_share, "checkpoint_every": checkpoint_every,
           "checkpoint_errors": checkpoint_errors, "prune_to": plan.trained_size if plan.beyond else None,
           "selected": {"min_count": min_count, "left_out_types": left_types,
                        "left_out_occurrences": left_occurrences}, "share": share}
    if superword_share:
        run["superwords"] = {"share": superword_share, "ids": superword_ids, "memory_limit": limit, "inputs": _inputs}
    if checkpoint_dir is not None:
        Path(checkpoint_dir).mkdir(parents=True, exist_ok=True)
        _write_run_file(Path(checkpoint_dir), run)
    steps = plan.trained_size + plan.beyond
    with _progress.Bar(_progress.wanted(progress), "training", steps, "tok", initial=plan.base_size) as bar:
        said = [_share_line(share)]
        if left_types:
            said.append(f"words seen at least {min_count:,} times; {left_types:,} word types left out "
                        f"({left_occurrences:,} occurrences) to stay within the memory limit")
        bar.describe("; ".join(said))
        engine = _engine.train(request, plan, None if checkpoint_dir is None else os.fspath(checkpoint_dir),
                               checkpoint_every, 3, max(1, (steps - plan.base_size) // 200), bar.callback(),
                               trouble, trouble.raise_errors)
        bar.to(steps)
    summary = {"word_types": len(counts), "word_occurrences": counts.occurrences, "base_size": plan.base_size,
               "dev_budget": plan.dev_budget, "lat_budget": plan.lat_budget,
               "min_count": min_count, "left_out_types": left_types, "left_out_occurrences": left_occurrences,
               "checkpoint_failures": trouble.failures, **share, **(source or {})}
    if counts.invalid_lines:
        summary["invalid_lines"] = counts.invalid_lines
    if superword_share:
        # The word counts (and the plan's selection of them) are done with: when nothing else
        # holds them, their memory goes back before the runs are counted within the limit.
        counts = plan = counts_held[0] = None
        engine, stage = _superwords.run(engine, request, superword_ids, word_runs,
                                        None if checkpoint_dir is None else Path(checkpoint_dir), progress,
                                        superword_share, limit, rules)
        summary.update(stage)
    summary.update(trained_size=engine.base_size, seconds=round(time.time() - started, 3))
    if limit:
        summary["memory_limit"] = limit
    config = {"folding_rules": rules, "special_tokens": specials,
              "special_roles": default_roles(specials), "seeds": seed_settings,
              "paradigms": paradigm_list, "lexicon": lex, "training": summary}
    return Tokenizer(engine, config)


# A script other than Devanagari and Latin is reported from this share of the word
# occurrences on: below it, a few stray names and quotations.
OTHER_SCRIPT_SHARE = 0.001


def _share_report(plan: "_engine.TrainingPlan", occurrences: int) -> Dict[str, Any]:
    """How the ids were shared between the passes, and the other scripts the words hold."""
    latin_share, split, other_scripts = plan.share
    out: Dict[str, Any] = {"latin_share": round(latin_share, 6), "latin_share_from": "words" if split else "argument"}
    if split:
        out["script_split"] = dict(zip(("latin_merges", "devanagari_merges"), split))
    others = {name: n for name, n in other_scripts if n >= OTHER_SCRIPT_SHARE * occurrences}
    if others:
        out["other_scripts"] = others
    return out


def _share_line(share: Dict[str, Any]) -> str:
    line = f"latin share {share['latin_share']:.3f}"
    if "script_split" in share:
        lat, dev = share["script_split"]["latin_merges"], share["script_split"]["devanagari_merges"]
        line += f" from the words (a joint BPE gives Latin {lat:,} of {lat + dev:,} merges)"
    others = share.get("other_scripts")
    if others:
        line += "; other scripts: " + ", ".join(f"{k} ({v:,} word occurrences)" for k, v in others.items())
    return line


class _CheckpointTrouble:
    """Told each checkpoint that could not be written: warns once per kind of error (the
    directory and the system's error) and counts them for the training report."""

    def __init__(self, policy: str):
        if policy not in ("warn", "raise"):
            raise ValueError(f"checkpoint_errors must be 'warn' or 'raise', not {policy!r}")
        self.raise_errors = policy == "raise"
        self.failures = 0
        self._seen: set = set()

    def __call__(self, directory: str, error: str) -> None:
        self.failures += 1
        if error not in self._seen and not self.raise_errors:
            self._seen.add(error)
            warnings.warn(f"a checkpoint could not be written in {directory}: {error}; training goes on without "
                          f"it (checkpoint_errors='raise' stops instead)", RuntimeWarning, stacklevel=3)


def _write_run_file(directory: Path, run: Dict[str, Any]) -> None:
    _files.write_text(directory / RUN_FILE, json.dumps(run, ensure_ascii=False) + "\n")


def train(files: Union[PathLike, Sequence[PathLike], None] = None, texts: Optional[Iterable[str]] = None, *,
          vocab_size: int = 16000, mode: str = "LM", recipe: str = "morph",
          latin_share: Union[float, str] = _recipes.LATIN_SHARE,
          special_tokens: Iterable[str] = DEFAULT_SPECIALS, folding_rules: Iterable[Sequence[str]] = (),
          seeds: Optional[Sequence[str]] = None, paradigms: Any = None, lexicon: Any = None,
          checkpoint_dir: Optional[PathLike] = None, checkpoint_every: int = 0,
          progress: Optional[bool] = None, num_workers: Optional[int] = None,
          memory_limit: Union[int, str, None] = None, tmp_dir: Optional[PathLike] = None,
          checkpoint_errors: str = "warn", jsonl_key: Optional[str] = None, errors: str = "skip",
          superwords: Union[bool, float] = False) -> Tokenizer:
    """Trains a tokenizer on corpus files and/or texts, read as count_words reads them
    (gzip, zstd, JSON Lines with `jsonl_key`, standard input, any iterable of texts;
    `errors`="strict" about lines that are not UTF-8). ValueError when they hold no words.

    vocab_size counts every id: base tokens, the 256 byte tokens, merges and the special
    tokens (ValueError, stating the smallest possible size, when it is too small).
    recipe "morph" (the default) protects common suffixes and postpositions of Hindi,
    Marathi and Nepali and uses `paradigms` and `lexicon`; "plain" uses no seeds.
    latin_share is the part of the vocabulary that the Latin pass gets: "auto" (the
    default) shares the ids between Devanagari and Latin as a plain BPE over both scripts
    would share its merges, a number fixes the share. `seeds` replaces
    the recipe's seed list. Special tokens take the ids after the trained vocabulary.
    With `checkpoint_dir`, checkpoints are written every `checkpoint_every` merges and at
    the end of each pass; `larkspur.resume(checkpoint_dir)` continues a broken run.
    Words are counted on `num_workers` threads (default: every core). With `memory_limit`
    (bytes, or a size such as "2GB"), counting spills to `tmp_dir` beyond it (see
    count_words), and when the word types do not all fit, training keeps every type seen at
    least k times for the smallest k that fits; `training_report` says k and what was left
    out. Nothing is left out when everything fits.

    superwords=True (or a share of the vocabulary, such as 0.2) adds the superword stage:
    after the subwords, tokens of whole words that stand together ("की ओर", "के लिए", "of
    the"), up to four words each, never across a sentence end, a line feed or a tab. The
    inputs are read a second time to count the runs of words (streams and iterables are
    kept in a temporary folder under `tmp_dir`, or in `checkpoint_dir`, meanwhile).
    """
    paths = _paths(files)
    if not paths and texts is None:
        raise ValueError("train needs files or texts")
    rules = _rules(folding_rules)
    limit, tmp = _checks.memory_limit(memory_limit), _checks.directory(tmp_dir)
    superword_share = _checks.superwords(superwords, _recipes.SUPERWORD_SHARE)
    if texts is not None:
        _corpus.check_texts(texts)
    _corpus.check_paths(paths)
    replay = None
    if superword_share:
        folder = None if checkpoint_dir is None else Path(checkpoint_dir) / _superwords.INPUTS_DIR
        replay = _superwords.Replay(paths, folder, tmp)
    try:
        n_texts = [0]
        counted = replay.paths if replay else paths
        if texts is not None:
            texts = _tally(replay.tee(texts) if replay else texts, n_texts)
        held = [_count(counted, texts, mode, rules, num_workers, progress, limit, tmp, jsonl_key, errors)]
        inputs = None
        word_runs = None
        if replay:
            inputs = {**replay.inputs(), "jsonl_key": jsonl_key, "errors": errors}

            def word_runs(subwords: Tokenizer) -> WordCounts:
                # The second reading: its lines that are not UTF-8 were said in the first.
                return _count(replay.paths, _superwords.read_texts(replay.texts_file), mode, rules, num_workers,
                              progress, limit, tmp, jsonl_key, errors, runs_of=subwords, warn=False)

        return _train_words(held, vocab_size=vocab_size, mode=mode, recipe=recipe, memory_limit=limit or None,
                            latin_share=latin_share, special_tokens=special_tokens, folding_rules=rules,
                            seeds=seeds, paradigms=paradigms, lexicon=lexicon, checkpoint_dir=checkpoint_dir,
                            checkpoint_every=checkpoint_every, progress=progress,
                            checkpoint_errors=checkpoint_errors, source={"files": paths, "texts": n_texts[0]},
                            superwords=superwords, word_runs=word_runs, _inputs=inputs)
    finally:
        if replay:
            replay.close()


def _tally(texts: Iterable[str], seen: List[int]) -> Iterator[str]:
    for t in texts:
        seen[0] += 1
        yield t


def train_from_word_counts(counts: Union[WordCounts, Mapping[str, int], PathLike], **keywords: Any) -> Tokenizer:
    """Trains from word counts, as count_words gives them (or a mapping of words to counts,
    or a word<TAB>count file): the same vocabulary that train() gives on the files the words
    were counted from, whatever order the words come in. Takes the keywords of train()."""
    keywords.pop("num_workers", None)
    limit, tmp = _checks.memory_limit(keywords.get("memory_limit")), _checks.directory(keywords.pop("tmp_dir", None))
    if isinstance(counts, (str, os.PathLike)):
        counts = WordCounts(_engine.WordTable.load([os.fspath(counts)], limit, tmp, None))
    held = [as_word_counts(counts)]
    del counts  # held alone, so that the superword stage can let the counts go
    return _train_words(held, **keywords)


_CHECKPOINT_FIELDS = ("path", "mode", "phase", "merges_done", "vocab_len", "word_types", "theta", "dev_budget",
                      "total_budget")


def checkpoint_info(checkpoint_dir: PathLike) -> Optional[Dict[str, Any]]:
    """What the newest complete checkpoint of a directory records, or None."""
    info = _engine.checkpoint_info(os.fspath(checkpoint_dir))
    return None if info is None else dict(zip(_CHECKPOINT_FIELDS, info))


def resume(checkpoint_dir: PathLike, *, progress: Optional[bool] = None,
           checkpoint_errors: Optional[str] = None, word_runs: Optional[_superwords.WordRuns] = None) -> Tokenizer:
    """Continues a training run of train() from its newest complete checkpoint; the result
    is the tokenizer the unbroken run would have given. `checkpoint_errors` ("warn" or
    "raise") defaults to the broken run's. A run with superwords counts its word runs again
    from the inputs it recorded, unless they were counted before it broke; a run trained
    from word counts needs its `word_runs` again in that case."""
    run_path = Path(checkpoint_dir) / RUN_FILE
    if not run_path.is_file():
        raise ValueError(f"{checkpoint_dir}: not a larkspur checkpoint directory (no {RUN_FILE})")
    try:
        run = json.loads(run_path.read_text(encoding="utf-8"))
        mode, rules, specials = run["mode"], [tuple(r) for r in run["folding_rules"]], run["special_tokens"]
        paradigm_list, lex, seed_settings = run["paradigms"], run["lexicon"], run["seeds"]
    except (ValueError, KeyError, TypeError) as e:
        raise ValueError(f"{run_path}: malformed ({e})") from None
    info = checkpoint_info(checkpoint_dir)
    if info is None:
        raise ValueError(f"{checkpoint_dir}: no complete checkpoint to resume from")
    # A run file from before the options existed trained with all of them off.
    scheme = _bundle.scheme_fields(run.get("options", {}))
    prune_to = run.get("prune_to")
    request = _request(mode, rules, scheme, 0, specials, [[int(r), t] for r, t in paradigm_list],
                       {k: int(v) for k, v in lex.items()})
    trouble = _CheckpointTrouble(checkpoint_errors or run.get("checkpoint_errors", "warn"))
    with _progress.Bar(_progress.wanted(progress), "resuming", info["total_budget"], "tok",
                       initial=info["vocab_len"]) as bar:
        engine = _engine.resume(request, prune_to, os.fspath(checkpoint_dir), int(run.get("checkpoint_every", 0)), 3,
                                max(1, (info["total_budget"] - info["vocab_len"]) // 200), bar.callback(),
                                trouble, trouble.raise_errors)
        bar.to(info["total_budget"])
    stage: Dict[str, Any] = {}
    superwords = run.get("superwords")
    if superwords:
        engine, stage = _superwords.run(engine, request, int(superwords["ids"]),
                                        _resumed_runs(checkpoint_dir, run, superwords, word_runs), Path(checkpoint_dir),
                                        progress, float(superwords["share"]), int(superwords.get("memory_limit", 0)),
                                        rules)
    size = engine.base_size
    config = {"folding_rules": rules, "special_tokens": specials,
              "special_roles": default_roles(specials), "seeds": seed_settings, "paradigms": paradigm_list,
              "lexicon": lex, "training": {"resumed_from": info["path"], "merges_at_resume": info["merges_done"],
                                           "trained_size": size, "checkpoint_failures": trouble.failures,
                                           **run.get("selected", {}), **run.get("share", {}), **stage}}
    return Tokenizer(engine, config)


def _resumed_runs(checkpoint_dir: PathLike, run: Dict[str, Any], superwords: Dict[str, Any],
                  word_runs: Optional[_superwords.WordRuns]) -> _superwords.WordRuns:
    """The word runs of a resumed run with superwords: as given, or counted from the inputs
    the run file records (the stage reads them back from the checkpoint directory first)."""
    if word_runs is not None or (Path(checkpoint_dir) / _superwords.RUNS_FILE).is_file():
        return word_runs if word_runs is not None else WordCounts()
    inputs = superwords.get("inputs")
    if not inputs:
        raise ValueError(f"{checkpoint_dir}: the run was trained from word counts with superwords and broke before "
                         f"its word runs were counted: pass word_runs= as the run had it")
    rules = [tuple(r) for r in run["folding_rules"]]

    def count(subwords: Tokenizer) -> WordCounts:
        return _count(inputs["files"], _superwords.read_texts(inputs.get("texts_file")), run["mode"], rules, None,
                      None, 0, "", inputs.get("jsonl_key"), inputs.get("errors", "skip"), runs_of=subwords)

    return count
