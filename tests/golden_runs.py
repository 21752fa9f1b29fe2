"""The two fixed trainings of the golden record (tests/golden/sample.json): the exact class
seeded and trained from the sample's text, and the companion trained from its counts with
the plain recipe and the default scheme (every option off). Each gives the vocabulary's
surfaces in id order and the ids of every line of the sample."""

from pathlib import Path

SAMPLE = Path(__file__).resolve().parents[1] / "examples" / "sample.txt"
SEEDS = ["ों", "ने", "में", "का", "की"]


def _lines():
    return [line for line in SAMPLE.read_text(encoding="utf-8").splitlines() if line.strip()]


def exact_run():
    from LarkspurTokenization import PyLarkspurTokenization

    t = PyLarkspurTokenization()
    t.initialize_vocab(t.harvest_aksharas(str(SAMPLE)), SEEDS, ["।"], ["ने"], ["में"])
    t.train_from_text(_lines(), 700, 5)
    return {"vocab": [t.vocab_get_surface(i) for i in range(t.vocab_size())],
            "ids": [t.encode(line) for line in _lines()]}


def companion_run():
    import larkspur

    counts = larkspur.count_words(SAMPLE, progress=False)
    # The share is fixed: the record pins the training, not the rule that picks a share.
    tok = larkspur.train_from_word_counts(counts, vocab_size=800, recipe="plain", special_tokens=[], progress=False,
                                          latin_share=0.025, _core_options=False)
    assert not any(tok.settings["options"].values())
    # The surfaces, as vocab.tsv holds them (id_to_token names byte tokens "<0xE0>").
    return {"vocab": tok._engine.export_tokens()[0],
            "ids": [tok.encode(line) for line in _lines()]}
