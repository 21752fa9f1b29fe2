"""Training from files, texts and word counts: recipes, sizes, seeds, the run that resumes
and the merges trained past the size and given back."""

import re

import pytest

import larkspur

from conftest import MIXED, SAMPLE, keep_first_checkpoint, words_corpus, write_lines


class TestTraining:
    def test_files_and_their_word_counts_train_the_same_vocabulary(self, corpus, tok):
        counts = larkspur.count_words([corpus, SAMPLE])
        again = larkspur.train_from_word_counts(dict(reversed(list(counts.items()))), vocab_size=1200,
                                                progress=False)
        assert again.get_vocab() == tok.get_vocab()
        assert sum(counts.values()) == tok.settings["training"]["word_occurrences"]

    def test_counts_do_not_depend_on_the_number_of_workers(self, tmp_path):
        # Several chunks per file: the cuts fall inside lines.
        block = words_corpus(tmp_path / "block.txt", 2000, 9).read_text(encoding="utf-8")
        big = tmp_path / "big.txt"
        big.write_text(block * 80, encoding="utf-8")
        assert big.stat().st_size > 9 * 2 ** 20
        one = larkspur.count_words(big, num_workers=1)
        assert list(larkspur.count_words([big], num_workers=3).items()) == list(one.items())  # the order too
        assert sum(one.values()) == sum(len(line.split()) for line in big.read_text(encoding="utf-8").splitlines())

    def test_words_of_every_width_come_back_as_they_were(self, tmp_path):
        # The str objects are built from code units of 1, 2 or 4 bytes, by the widest
        # character of each word.
        words = ["abc", "café", "ÿÿ", "देव", "a€", "x😀y", "😀", "\u0915\u094d\u0937", "Z"]
        lines = [" ".join(words[i:] + words[:i]) for i in range(len(words))] * 3
        path = write_lines(tmp_path / "w.txt", lines)
        counts = larkspur.count_words(path, num_workers=2)
        assert counts == {w: 3 * len(words) for w in words}
        assert all(type(w) is str and w.isprintable() for w in counts)

    def test_vocab_size_counts_every_id(self, corpus):
        t = larkspur.train(corpus, vocab_size=650, special_tokens=["<s>", "</s>"], progress=False)
        assert t.vocab_size == 650 == len(t.get_vocab())
        assert t.special_tokens == {"<s>": 648, "</s>": 649}
        assert t.pad_id is None and (t.bos_id, t.eos_id) == (648, 649)

    def test_a_size_below_the_base_states_the_smallest(self, corpus):
        with pytest.raises(ValueError, match=r"vocab_size 50 is below the smallest possible size (\d+)") as e:
            larkspur.train(corpus, vocab_size=50, progress=False)
        smallest = int(str(e.value).split("smallest possible size ")[1].split()[0])
        assert larkspur.train(corpus, vocab_size=smallest, progress=False).vocab_size == smallest

    @pytest.mark.parametrize("kwargs,message", [
        ({"vocab_size": 0}, "vocab_size must be a positive integer"),
        ({"latin_share": 1.5}, "latin_share must be"),
        ({"recipe": "bpe"}, "recipe must be one of morph, plain"),
        ({"mode": "XY"}, "mode must be 'LM' or 'OCR'"),
        ({"special_tokens": ["<s>", "<s>"]}, "the same text twice"),
        ({"recipe": "plain", "lexicon": {"गया": 1}}, "trains without paradigms"),
        ({"folding_rules": [("a",)]}, "a folding rule must be"),
    ])
    def test_bad_arguments_are_named(self, corpus, kwargs, message):
        with pytest.raises(ValueError, match=message):
            larkspur.train(corpus, progress=False, **kwargs)

    def test_recipes_and_morphology(self, corpus):
        plain = larkspur.train(corpus, vocab_size=900, recipe="plain", progress=False)
        paradigms = [{"root_id": 7, "transitions": {"कर": ["ना", "ता"], "पढ़": ["ना"]}}]
        morph = larkspur.train(corpus, vocab_size=900, paradigms=paradigms, lexicon={"गया": 3}, progress=False)
        assert plain.settings["recipe"] == "plain" and plain.settings["seeds"] == []
        seeds = set(morph.settings["seeds"])
        assert "ता" in morph.settings["ambiguous"]
        # An ambiguous seed is never the right part of a merge: no token ends in one
        # unless it is a seed itself.
        assert [s for s in morph.get_vocab() if s.endswith("ता") and s not in seeds] == []
        assert [s for s in plain.get_vocab() if s.endswith("ता") and len(s) > 2]
        # The protection shrinks as the vocabulary grows.
        assert larkspur.train(corpus, vocab_size=30000, progress=False).settings["seeds"] == []
        assert morph.encode("करना") and morph.decode(morph.encode("करना पढ़ना")) == "करना पढ़ना"

    def test_texts_train_too(self):
        t = larkspur.train(texts=["कमल कमल नमक", "hello hello world"], vocab_size=600, progress=False)
        assert t.decode(t.encode("कमल hello")) == "कमल hello"
        with pytest.raises(ValueError, match="train needs files or texts"):
            larkspur.train(progress=False)

    def test_progress_bars_only_when_asked_and_never_past_their_total(self, corpus, capsys):
        larkspur.train(corpus, vocab_size=600, progress=True)
        err = capsys.readouterr().err
        assert "counting words" in err and max(int(p) for p in re.findall(r"(\d+)%", err)) == 100
        larkspur.train(corpus, vocab_size=600, progress=False)
        assert capsys.readouterr().err == ""
        # A total known at the start can be outrun (a file that grows while it is read).
        from larkspur import _progress

        with _progress.Bar(True, "counting words", 100, "B") as bar:
            bar.to(40)
            bar.to(250)
        assert "100/100" in capsys.readouterr().err


def test_resuming_a_broken_run_ends_with_the_unbroken_vocabulary(corpus, tmp_path):
    ck = tmp_path / "ck"
    whole = larkspur.train(corpus, vocab_size=1000, checkpoint_dir=ck, checkpoint_every=10, progress=False)
    # Drop the newest checkpoints: as if the run had been killed after an early one.
    assert keep_first_checkpoint(ck) == 3
    back = larkspur.resume(ck, progress=False)
    assert back.get_vocab() == whole.get_vocab()
    assert back.encode(MIXED) == whole.encode(MIXED)
    with pytest.raises(ValueError, match="not a larkspur checkpoint directory"):
        larkspur.resume(tmp_path)


class TestPruning:
    """Training past the size and giving back the least used merges."""

    def test_a_recipe_run_ends_at_the_size_asked_for(self, corpus, tmp_path):
        tok = larkspur.train(corpus, vocab_size=900, recipe="plain", progress=False,
                             checkpoint_dir=tmp_path / "ck", checkpoint_every=50)
        assert tok.vocab_size == 900 and tok.settings["training"]["trained_size"] == 896
        again = larkspur.resume(tmp_path / "ck", progress=False)
        assert again.get_vocab() == tok.get_vocab()
