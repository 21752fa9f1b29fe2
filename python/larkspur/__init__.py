"""larkspur: a morphology-aware BPE tokenizer for Devanagari text with Latin text alongside,
for language-model teams.

    import larkspur
    tok = larkspur.train(["corpus.txt"], vocab_size=16000)
    tok.save("tok")                      # a bundle directory
    tok = larkspur.load("tok")
    ids = tok.encode("भारत की राजधानी New Delhi है।")
    text = tok.decode(ids)

Built on the same C++ core as the exact module LarkspurTokenization; importing larkspur
imports neither transformers nor Ray (their modules load them when used).
"""

from ._tokenizer import Tokenizer, load
from ._counts import WordCounts
from ._extension import extend
from ._training import count_word_runs, count_words, merge_word_counts, resume, train, train_from_word_counts

try:  # the version is written once, in pyproject.toml
    from importlib.metadata import PackageNotFoundError, version as _version

    __version__ = _version("LarkspurTokenization")
except PackageNotFoundError:  # run from a source tree that is not installed
    __version__ = "0+unknown"
__all__ = ["Tokenizer", "WordCounts", "count_word_runs", "count_words", "extend", "load", "merge_word_counts", "resume", "train", "train_from_word_counts", "__version__"]
