"""The golden record of the default scheme: both packages reproduce, token for token, the
vocabulary and ids that tests/golden/sample.json keeps (see tests/golden/regenerate.py), and
the exact class, given the companion's vocabulary, encodes the sample to the same ids. A change of either that moves a merge or an id
shows here, even where every other test still passes."""

import json
from pathlib import Path

import pytest

from golden_runs import SAMPLE, _lines, companion_run, exact_run

GOLDEN = json.loads((Path(__file__).resolve().parent / "golden" / "sample.json").read_text(encoding="utf-8"))


@pytest.mark.parametrize("package, run", [("exact", exact_run), ("companion", companion_run)])
def test_each_package_reproduces_its_golden_training(package, run):
    got = run()
    assert got["vocab"] == GOLDEN[package]["vocab"]
    assert got["ids"] == GOLDEN[package]["ids"]


def test_the_exact_class_encodes_the_companions_golden_vocabulary_alike(tmp_path):
    import larkspur
    from LarkspurTokenization import PyLarkspurTokenization

    counts = larkspur.count_words(SAMPLE, progress=False)
    tok = larkspur.train_from_word_counts(counts, vocab_size=800, recipe="plain", special_tokens=[], progress=False,
                                          latin_share=0.025, _core_options=False)
    tok.save(tmp_path / "b")
    exact = PyLarkspurTokenization()
    exact.load_vocab_tsv(str(tmp_path / "b" / "vocab.tsv"))
    assert [exact.encode(line) for line in _lines()] == GOLDEN["companion"]["ids"]
