"""The superword stage: tokens of whole words ("की ओर", "के लिए", "of the") learned after
the subword stage, from counts of word runs.

A word run is a stretch of words of one line that the subword tokenizer encodes as one
token each, single spaces between them, all Latin or all not, ending after a word that ends
a sentence ("।", "॥", ".", "?", "!"). Runs depend on the subword tokenizer, so they are
counted after it is trained: training with superwords reads its inputs twice, and inputs
that cannot be read twice (standard input, pipes, iterables of texts) are kept in a
temporary folder (the checkpoint directory, when there is one, so that a resumed run can
count them) while the first reading goes.
"""

from __future__ import annotations

import os
import shutil
import stat
import tempfile
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple, Union

from . import _engine, _progress
from ._counts import WordCounts

RUNS_FILE = "word-runs.tsv"  # in a checkpoint directory: the runs the stage trains from
INPUTS_DIR = "superword-inputs"  # in a checkpoint directory: inputs kept for the second reading

# What the stage is given: the run counts, or a callable that counts them with the subword
# tokenizer it is handed.
WordRuns = Union[WordCounts, Callable[[Any], WordCounts]]


def ids_for(vocab_size: int, share: float) -> int:
    """The ids the stage gets out of `vocab_size` (at least one)."""
    return max(1, round(share * vocab_size))


class Replay:
    """The inputs of a training run, readable a second time. Files stay where they are;
    standard input and other streams are copied into `folder` before counting, and texts
    are written there as the first reading passes them. `folder` None: a temporary folder
    under `tmp_dir`, removed by close()."""

    def __init__(self, paths: List[str], folder: Optional[Path], tmp_dir: str):
        self._temp = None
        if folder is None:
            self._temp = tempfile.TemporaryDirectory(prefix="larkspur-superwords-", dir=tmp_dir or None)
            folder = Path(self._temp.name)
        folder.mkdir(parents=True, exist_ok=True)
        self.folder = folder
        self.paths = [self._kept(p, i) for i, p in enumerate(paths)]
        self.texts_file: Optional[str] = None

    def _kept(self, path: str, index: int) -> str:
        if path != "-" and stat.S_ISREG(os.stat(path).st_mode):
            return path
        kept = self.folder / f"input-{index}"
        with open(0 if path == "-" else path, "rb", closefd=path != "-") as src, open(kept, "wb") as dst:
            shutil.copyfileobj(src, dst, 1 << 20)
        return str(kept)

    def tee(self, texts: Iterable[str]) -> Iterator[str]:
        """`texts`, each written to the texts file (one per line) once it has been counted."""
        self.texts_file = str(self.folder / "texts.txt")
        with open(self.texts_file, "w", encoding="utf-8", newline="\n") as out:
            for t in texts:
                yield t
                out.write(t)
                out.write("\n")

    def inputs(self) -> Dict[str, Any]:
        """Where the inputs are, for a resumed run (which may start in another folder)."""
        return {"files": [os.path.abspath(p) for p in self.paths],
                "texts_file": None if self.texts_file is None else os.path.abspath(self.texts_file)}

    def close(self) -> None:
        if self._temp is not None:
            self._temp.cleanup()


def read_texts(path: Optional[str]) -> Optional[Iterator[str]]:
    """The texts a Replay kept, line by line (a text's own line feeds end runs either way)."""
    if path is None:
        return None

    def lines() -> Iterator[str]:
        with open(path, encoding="utf-8", newline="\n") as f:
            for line in f:
                yield line[:-1] if line.endswith("\n") else line

    return lines()


def run(engine: "_engine.Tokenizer", request: "_engine.TrainingRequest", ids: int, word_runs: WordRuns,
        checkpoint_dir: Optional[Path], progress: Optional[bool], share: float, memory_limit: int,
        folding_rules: List[Tuple[str, str]]) -> Tuple["_engine.Tokenizer", Dict[str, Any]]:
    """The stage on a subword tokenizer: the runs counted (or read back from a checkpoint
    directory), then up to `ids` superwords added, within `memory_limit` (the runs seen
    least often left out when they do not all fit). Returns the tokenizer and its report."""
    from ._tokenizer import Tokenizer

    saved = checkpoint_dir / RUNS_FILE if checkpoint_dir is not None else None
    if saved is not None and saved.is_file():
        runs = WordCounts.load(saved)
    elif callable(word_runs):
        subwords = Tokenizer(engine, {"special_tokens": list(engine.special_tokens), "folding_rules": folding_rules})
        runs = word_runs(subwords)
        if not isinstance(runs, WordCounts):
            raise TypeError(f"word_runs must give WordCounts (as larkspur.count_word_runs does), "
                            f"not {type(runs).__name__}")
        if saved is not None:
            runs.save(saved)
    else:
        runs = word_runs
    with _progress.Bar(_progress.wanted(progress), "superwords", ids, "tok") as bar:
        bar.describe(f"{len(runs):,} word runs ({runs.occurrences:,} occurrences)")
        engine, added, min_count, left_out = engine.add_superwords(request, runs._table, ids, memory_limit)
        bar.to(ids)
    report = {"superword_share": share, "superword_ids": ids, "superwords": added,
              "superword_words": int(engine.scheme.get("superword_words", 0)), "word_runs": len(runs),
              "word_run_occurrences": runs.occurrences}
    if left_out:
        report.update(word_runs_min_count=min_count, word_runs_left_out=left_out)
    return engine, report


def check_runs(word_runs: Any, share: Optional[float]) -> None:
    """ValueError when superwords are asked for without the word runs (or the reverse)."""
    if share is None:
        if word_runs is not None:
            raise ValueError("word_runs is only used with superwords=True or a share")
        return
    if word_runs is None:
        raise ValueError(
            "superwords need the counts of word runs, which depend on the subword stage: pass "
            "word_runs=lambda subwords: larkspur.count_word_runs(subwords, files) (or "
            "larkspur.ray.count_word_runs on a cluster), called with the subword tokenizer once it is trained")
    if not callable(word_runs) and not isinstance(word_runs, WordCounts):
        raise TypeError(f"word_runs must be WordCounts or a callable giving them, not {type(word_runs).__name__}")

