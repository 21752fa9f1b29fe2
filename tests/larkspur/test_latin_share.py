"""How training shares the ids between Devanagari and Latin: chosen from the words by
default (a plain BPE over both scripts), or fixed by the caller; recorded in the report,
the bundle, the run file and `inspect`, and kept by resume and pickling."""

import json
import pickle
import random
import subprocess
import sys

import pytest

import larkspur
from larkspur import _engine

from conftest import keep_first_checkpoint, write_lines
from reference_script_split import joint_split, latin_merges, script_runs

HINDI = ["कर", "पढ़", "लिख", "चल", "बोल", "सुन", "देख", "खेल", "काम", "घर", "नदी", "क्षेत्र", "श्री", "प्रश्न"]
ENDS = ["", "ना", "ता", "ती", "ते", "ों", "ें", "ने", "गा", "।", "\u0964\u0964"]
ENGLISH = ["the", "model", "token", "data", "train", "reads", "every", "word", "shared", "between"]


SYLLABLES = ["ka", "ri", "mo", "te", "sun", "la", "pe", "dor", "vi", "ens", "ta", "gu", "no", "ber", "shi", "al"]
AKSHARAS = ["क", "रि", "मो", "ते", "सुं", "ला", "पे", "दो", "वि", "न्स", "ता", "गु", "नो", "बे", "शि", "क्ष"]


def _word(rng, units, ends):
    """A word of one to three units, the first ones likelier (as real words' parts are)."""
    weights = [1 / (i + 1) for i in range(len(units))]
    return "".join(rng.choices(units, weights, k=rng.randint(1, 3))) + rng.choice(ends)


def _lines(english_share, n=600, seed=3):
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        out.append(" ".join(_word(rng, SYLLABLES, ["", "s", ".", ","]) if rng.random() < english_share
                            else _word(rng, AKSHARAS, ENDS) for _ in range(rng.randint(4, 10))))
    return out


def _report(tok):
    return tok.settings["training"]


def _planned(report):
    """The ids the plan shared out (the run may stop short of them when the words run out)."""
    return report["dev_budget"] + report["lat_budget"]


def _aksharas():
    from LarkspurTokenization import PyLarkspurTokenization

    return PyLarkspurTokenization().dfa_tokenize_debug


class TestTheRule:
    @pytest.mark.parametrize("latin_joins", [False, True])
    def test_the_core_splits_merges_as_the_plain_reference_does(self, latin_joins):
        aksharas = _aksharas()
        rng = random.Random(11)
        pieces = HINDI + ENDS[1:] + ENGLISH + ["(", ")", ".", "-", "_", "2024", "x", "Привет", "ab.cd", "ॐ", "॰", "--"]
        scheme = {"latin_joins": latin_joins}
        for trial in range(6):
            words = {}
            for _ in range(rng.randint(5, 60)):
                w = "".join(rng.choice(pieces) for _ in range(rng.randint(1, 4)))
                words[w] = words.get(w, 0) + rng.randint(1, 30)
            table = larkspur.WordCounts(words)._table
            base = _engine.plan_training(table, 0, _engine.TrainingRequest("LM", [], scheme, 10**6, [], [], [])).base_size
            # From a handful of merges to more than the runs hold.
            for size in (base + 5, base + 40, base + 2000):
                request = _engine.TrainingRequest("LM", [], scheme, size, [], [], [], latin_share=None)
                plan = _engine.plan_training(table, 0, request)
                merges = plan.trained_size - plan.base_size
                share, split, _ = plan.share
                want = joint_split(words, merges, aksharas, latin_joins)
                assert split == want, (trial, size, words)
                assert plan.lat_budget == latin_merges(want, merges)
                assert share == plan.lat_budget / plan.trained_size

    def test_runs_follow_the_passes_joins(self):
        aksharas = _aksharas()
        # A Latin run takes the punctuation after its letters; punctuation before them goes
        # with the Devanagari pass, and only at the start of a word.
        assert script_runs("e.g.", aksharas) == [(True, ["\u2582", "e", ".", "g", "."])]
        assert script_runs("(the", aksharas) == [(False, ["\u2581", "("]), (True, ["t", "h", "e"])]
        assert script_runs("क्षेत्र।", aksharas) == [(False, ["\u2581", "क्षे", "त्र", "।"])]
        assert script_runs("xyzक", aksharas) == [(True, ["\u2582", "x", "y", "z"])]
        assert script_runs("Привет", aksharas) == []
        # With Latin joins the punctuation that opens a Latin word is that word's.
        assert script_runs("(the", aksharas, True) == [(True, ["\u2582", "(", "t", "h", "e"])]
        assert script_runs("--x", aksharas, True) == [(True, ["\u2582", "-", "-", "x"])]
        assert script_runs("(क)", aksharas, True) == [(False, ["\u2581", "(", "क", ")"])]
        assert script_runs("((", aksharas, True) == [(False, ["\u2581", "(", "("])]

    def test_the_aksharas_take_a_share_of_the_devanagari_ids(self):
        # Many aksharas, fewer base ids than there are aksharas: the base takes a share of
        # the ids that the Latin pass leaves, so English in the corpus shrinks it, and the
        # plan is a fixed point (the share it chose, given back as a number, plans the same).
        consonants = [chr(c) for c in range(0x915, 0x939)]
        signs = ["", "\u093e", "\u093f", "\u0940", "\u0941", "\u0947", "\u094b", "\u0902"]
        rng = random.Random(5)
        limits = []
        for english in (0.0, 0.5, 0.9):
            words = {}
            for _ in range(4000):
                if rng.random() < english:
                    w = "".join(rng.choices(SYLLABLES, k=rng.randint(1, 3)))
                else:
                    w = "".join(rng.choice(consonants) + rng.choice(signs) for _ in range(rng.randint(1, 3)))
                words[w] = words.get(w, 0) + rng.randint(1, 9)
            table = larkspur.WordCounts(words)._table

            def plan(**share):
                return _engine.plan_training(table, 0, _engine.TrainingRequest(
                    "LM", [], {"codepoint_fallback": True}, 3000, [], [], [], akshara_share=0.05, **share))

            auto = plan(latin_share=None)
            part = 1 - auto.lat_budget / auto.trained_size
            assert auto.akshara_limit == int(0.05 * 3000 * part) and len(auto.aksharas) == auto.akshara_limit
            fixed = plan(latin_share=auto.lat_budget / auto.trained_size)
            assert (fixed.base_size, fixed.lat_budget, fixed.aksharas) == (auto.base_size, auto.lat_budget, auto.aksharas)
            limits.append(auto.akshara_limit)
        assert limits[0] > limits[1] > limits[2]

    @pytest.mark.parametrize("size", [600, 1200])
    def test_the_share_follows_the_mix_and_stays_in_bounds(self, tmp_path, size):
        shares = []
        for i, english in enumerate([0.0, 0.1, 0.5, 0.9, 1.0]):
            path = write_lines(tmp_path / f"mix{i}.txt", _lines(english))
            report = _report(larkspur.train([path], vocab_size=size, recipe="plain", progress=False))
            assert report["latin_share_from"] == "words"
            shares.append(report["latin_share"])
            assert 0 <= report["lat_budget"] <= _planned(report) - report["base_size"]
        assert shares[0] == 0 and shares == sorted(shares) and shares[1] < shares[2] < shares[3]
        assert shares[-1] < 1


class TestChosenAndFixed:
    def test_a_number_fixes_the_share_and_bad_values_are_named(self, corpus):
        tok = larkspur.train([corpus], vocab_size=900, latin_share=0.1, progress=False)
        report = _report(tok)
        assert report["latin_share_from"] == "argument" and "script_split" not in report
        assert report["lat_budget"] == round(0.1 * _planned(report))
        for bad in ("automatic", -0.1, 1.0, True, None):
            with pytest.raises(ValueError, match=repr(bad)):
                larkspur.train([corpus], vocab_size=900, latin_share=bad, progress=False)

    def test_recorded_in_bundle_pickle_run_file_and_resume(self, corpus, tmp_path):
        ck = tmp_path / "ck"
        whole = larkspur.train([corpus], vocab_size=1000, checkpoint_dir=ck, checkpoint_every=10, progress=False)
        report = _report(whole)
        split = report["script_split"]
        assert report["lat_budget"] == latin_merges((split["latin_merges"], split["devanagari_merges"]),
                                                   _planned(report) - report["base_size"])
        run = json.loads((ck / "larkspur-run.json").read_text(encoding="utf-8"))
        assert run["latin_share"] == "auto" and run["share"]["latin_share"] == report["latin_share"]
        whole.save(tmp_path / "b")
        for again in (larkspur.load(tmp_path / "b"), pickle.loads(pickle.dumps(whole))):
            assert _report(again)["script_split"] == split
        keep_first_checkpoint(ck)
        back = larkspur.resume(ck, progress=False)
        assert back.get_vocab() == whole.get_vocab()
        assert _report(back)["latin_share"] == report["latin_share"]
        assert _report(back)["script_split"] == split

    def test_the_command_line_takes_auto_and_inspect_says_the_share(self, tmp_path):
        path = write_lines(tmp_path / "mix.txt", _lines(0.5))
        cli = [sys.executable, "-m", "larkspur"]
        for share, said in (("auto", "from the words"), ("0.2", "0.200")):
            out = tmp_path / f"b{share}"
            done = subprocess.run(cli + ["train", str(path), "-o", str(out), "--vocab-size", "600",
                                        "--latin-share", share, "--no-progress"], capture_output=True, text=True)
            assert done.returncode == 0, done.stderr
            shown = subprocess.run(cli + ["inspect", str(out)], capture_output=True, text=True).stdout
            assert said in next(line for line in shown.splitlines() if line.startswith("latin share"))
        bad = subprocess.run(cli + ["train", str(path), "-o", str(tmp_path / "x"), "--vocab-size", "600",
                                    "--latin-share", "half"], capture_output=True, text=True)
        assert bad.returncode != 0 and "'half'" in bad.stderr

    def test_the_progress_line_says_the_share(self, tmp_path, capsys):
        path = write_lines(tmp_path / "mix.txt", _lines(0.5))
        larkspur.train([path], vocab_size=600, progress=True)
        err = capsys.readouterr().err
        assert "latin share 0." in err and "from the words (a joint BPE gives Latin" in err


def test_other_scripts_in_quantity_are_reported(tmp_path):
    lines = _lines(0.2, n=300)
    lines += ["Привет мир дом"] * 40 + ["السلام"]  # 120 Cyrillic occurrences; Arabic too few
    report = _report(larkspur.train(texts=lines, vocab_size=700, progress=False))
    others = report["other_scripts"]
    assert others["Cyrillic"] == 120 and "Arabic" not in others
    assert not ({"Devanagari", "Latin", "Common"} & set(others))
