"""The superword stage: runs of words counted with the subword tokenizer, merges across word
markers checked merge by merge against the slow reference (reference_superwords.py), the
boundaries no superword crosses, encoding, offsets and decoding across words, and the
stage kept by bundles, pickling and resume."""

import json
import pickle
import random
import subprocess
import sys
from collections import Counter

import pytest

import larkspur

from conftest import SANITIZED, keep_first_checkpoint, write_lines
from reference_superwords import ref_merges, ref_runs

PHRASES = ["की ओर", "के लिए", "किया गया है।", "में से", "of the", "in the", "है कि", "नहीं है।", "to be"]
WORDS = ["भारत", "राजधानी", "घर", "नदी", "पानी", "शहर", "model", "data", "क्षेत्र", "बात", "काम", "लोग"]
RARE = ["अनुक्रमणिका", "प्रतिस्पर्धात्मकता", "xylophonist"]


def _lines(n=400, seed=5):
    """Lines of frequent phrases and words, some rare long words (several tokens each), and
    sentence ends, line feeds and tabs inside lines."""
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        parts = []
        for _ in range(rng.randint(3, 9)):
            r = rng.random()
            parts.append(rng.choice(PHRASES) if r < 0.45 else rng.choice(RARE) if r < 0.5 else rng.choice(WORDS))
        line = " ".join(parts)
        if rng.random() < 0.1:
            line = line.replace(" ", "\t", 1)
        out.append(line)
    return out


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    return write_lines(tmp_path_factory.mktemp("sw") / "c.txt", _lines())


def _subword_stage(corpus, vocab_size, share, **kw):
    """Trains with superwords from word counts, keeping the subword tokenizer and its runs."""
    seen = {}

    def runs(subwords):
        seen["sub"] = subwords
        seen["runs"] = larkspur.count_word_runs(subwords, [corpus], progress=False)
        return seen["runs"]

    counts = larkspur.count_words([corpus], progress=False)
    tok = larkspur.train_from_word_counts(counts, vocab_size=vocab_size, recipe="plain", superwords=share,
                                          word_runs=runs, progress=False, **kw)
    return tok, seen["sub"], seen["runs"]


def _single(tok):
    def token(word):
        ids = tok.encode(word)
        if len(ids) != 1:
            return None
        # A word that opens with punctuation and is one Latin token ("▂(see") is left out
        # of runs: a superword's markers stand before the character that decides them.
        if not (word[0].isascii() and word[0].isalnum()) and tok.id_to_token(ids[0]).startswith("\u2582"):
            return None
        return ids[0]
    return token


class TestRuns:
    def test_runs_stop_at_sentence_ends_line_breaks_scripts_and_long_words(self, corpus, tmp_path):
        _, sub, _ = _subword_stage(corpus, 700, 0.2)
        line = "भारत की ओर घर। के लिए\tनदी में से of the model प्रत्युत्पन्नमति के लिए  घर बात"
        runs = larkspur.count_word_runs(sub, texts=[line], progress=False)
        expected = ref_runs(line, _single(sub))
        assert dict(runs) == {r: expected.count(r) for r in expected}
        # Each boundary ends a run: the danda, the tab, the change of script, the word of
        # several tokens and the double space.
        assert "के लिए" in runs and "of the model" in runs
        assert not any(("घर। के" in r) or ("नदी" in r and "लिए" in r) or ("से of" in r) or ("लिए घर" in r)
                       or "प्रत्युत्पन्नमति" in r for r in runs)
        assert len(sub.encode("प्रत्युत्पन्नमति")) > 1

    def test_a_latin_word_that_opens_with_punctuation_ends_a_run(self, tmp_path):
        # "(see" is one Latin token ("▂(see") though its first character is no letter: it
        # joins no run, neither the Devanagari word before it nor the Latin ones after it.
        corpus = write_lines(tmp_path / "c.txt", _lines(200) + ["घर (see the model"] * 60)
        _, sub, _ = _subword_stage(corpus, 700, 0.2)
        assert sub.tokenize("(see") == ["\u2582(see"] and len(sub.encode("घर")) == 1
        line = "नदी घर (see the model"
        runs = larkspur.count_word_runs(sub, texts=[line], progress=False)
        assert dict(runs) == {"नदी घर": 1, "the model": 1} == Counter(ref_runs(line, _single(sub)))

    def test_runs_equal_the_reference_on_random_lines_and_add_up_in_pieces(self, corpus):
        _, sub, _ = _subword_stage(corpus, 700, 0.2)
        lines = _lines(300, seed=11)
        whole = larkspur.count_word_runs(sub, texts=lines, progress=False, num_workers=2)
        expected = {}
        for line in lines:
            for r in ref_runs(line, _single(sub)):
                expected[r] = expected.get(r, 0) + 1
        assert dict(whole) == expected
        pieces = larkspur.count_word_runs(sub, texts=lines[:100], progress=False) + \
            larkspur.count_word_runs(sub, texts=lines[100:], progress=False)
        assert pieces == whole

    def test_a_subword_tokenizer_is_required(self, corpus):
        with pytest.raises(TypeError, match="larkspur.Tokenizer"):
            larkspur.count_word_runs("tok", [corpus])


class TestStage:
    @pytest.mark.parametrize("size,share", [(650, 0.1), (700, 0.3), (900, 0.5)])
    def test_merges_equal_the_reference(self, corpus, size, share):
        tok, sub, runs = _subword_stage(corpus, size, share)
        token = _single(sub)
        by_ids = {}
        for run, n in runs.items():
            ids = tuple(token(w) for w in run.split(" "))
            by_ids[ids] = by_ids.get(ids, 0) + n
        report = tok.training_report
        made = ref_merges(by_ids, sub.vocab_size - len(sub.special_tokens), report["superword_ids"], 4)
        base = sub.vocab_size - len(sub.special_tokens)
        surfaces = {}

        def surface(t):
            return surfaces[t] if t >= base else sub.id_to_token(t)

        for k, (a, b) in enumerate(made):
            surfaces[base + k] = surface(a) + surface(b)
        assert report["superwords"] == len(made) > 0
        assert [tok.id_to_token(base + k) for k in range(len(made))] == [surfaces[base + k] for k in range(len(made))]
        # Every subword keeps its id; the specials follow the superwords.
        assert [tok.id_to_token(i) for i in range(base)] == [sub.id_to_token(i) for i in range(base)]
        assert tok.token_to_id("<pad>") == base + len(made)

    def test_superwords_hold_whole_words_within_the_cap_and_no_sentence_end(self, corpus):
        tok, _, _ = _subword_stage(corpus, 900, 0.5)
        joined = [tok.decode([i]) for i in range(tok.vocab_size) if " " in tok.decode([i]).strip()]
        assert joined
        for text in joined:
            words = text.strip().split(" ")
            assert 2 <= len(words) <= 4
            assert not any(w.endswith(("।", ".", "?", "!")) for w in words[:-1])
            assert "\t" not in text and "\n" not in text

    def test_bad_shares_and_missing_runs_are_named(self, corpus):
        counts = larkspur.count_words([corpus], progress=False)
        for bad in (0, 1, 1.5, -0.2, "half"):
            with pytest.raises(ValueError, match=repr(bad)):
                larkspur.train([corpus], vocab_size=700, superwords=bad, progress=False)
        with pytest.raises(ValueError, match="the subwords get 240 of the 300 ids"):
            larkspur.train([corpus], vocab_size=300, superwords=True, progress=False)
        with pytest.raises(ValueError, match="count_word_runs"):
            larkspur.train_from_word_counts(counts, vocab_size=700, superwords=True, progress=False)
        with pytest.raises(TypeError, match="WordCounts"):
            larkspur.train_from_word_counts(counts, vocab_size=700, superwords=True, word_runs=lambda s: {},
                                            progress=False)


@pytest.fixture(scope="module")
def tok(corpus):
    return larkspur.train([corpus], vocab_size=900, recipe="plain", superwords=0.3, progress=False)


class TestEncoding:
    def test_a_superword_is_taken_only_where_it_ends_at_a_word_end(self, tok):
        assert tok.tokenize("के लिए") == ["▁के▁लिए"]
        pieces = tok.tokenize("के लिएx")
        assert "▁के▁लिए" not in pieces and tok.decode(tok.encode("के लिएx")) == "के लिएx"
        assert "▁की▁ओर" in tok.tokenize("घर की ओर\nनदी")
        # Never across a line feed, a tab or two spaces.
        for text in ("के\nलिए", "के\tलिए", "के  लिए"):
            assert "▁के▁लिए" not in tok.tokenize(text) and tok.decode(tok.encode(text)) == text

    def test_offsets_batches_arrays_and_decoding_across_words(self, tok):
        texts = _lines(50, seed=23) + ["", "के लिए", "  के लिए  ", "x के लिए\n\nकी ओर\tघर"]
        batch = tok.encode_batch(texts)
        assert batch == [tok.encode(t) for t in texts]
        ids, offsets = tok.encode_to_array(texts, append_eos=False)
        assert [list(ids[offsets[i]:offsets[i + 1]]) for i in range(len(texts))] == batch
        assert tok.decode_batch(batch) == texts
        text = "भारत की ओर चला, के लिए of the model"
        ids, spans = tok.encode_with_offsets(text)
        assert sum(" " in tok.decode([i]).strip() for i in ids) >= 2
        for i, (a, b) in zip(ids, spans):
            assert text[a:b].strip() == tok.decode([i]).strip()

    def test_the_stage_travels_with_bundles_pickles_and_the_adapter(self, tok, tmp_path):
        text = "भारत की ओर के लिए of the data"
        tok.save(tmp_path / "b")
        back = larkspur.load(tmp_path / "b")
        assert back.encode(text) == tok.encode(text)
        assert back.settings["options"]["superword_words"] == 4
        assert pickle.loads(pickle.dumps(tok)).encode(text) == tok.encode(text)
        assert back.training_report["superwords"] == tok.training_report["superwords"]
        if SANITIZED:
            return  # transformers' native dependencies are not run under the sanitizers
        pytest.importorskip("transformers")
        hf = tok.to_hf()
        assert hf(text)["input_ids"] == tok.encode(text)
        assert hf.decode(hf(text)["input_ids"]) == text


def test_every_recipe_mode_and_folding_rule_takes_the_stage(corpus):
    # The runs are cut from text normalized as training normalized it: with a folding rule
    # that turns "ओर" into "और", the superword is spelled with the folded word.
    rules = [("ओर", "और")]
    for recipe, mode in (("morph", "LM"), ("plain", "OCR")):
        tok = larkspur.train([corpus], vocab_size=900, recipe=recipe, mode=mode, folding_rules=rules, superwords=0.3,
                             progress=False)
        counts = larkspur.count_words([corpus], mode=mode, folding_rules=rules, progress=False)
        again = larkspur.train_from_word_counts(
            counts, vocab_size=900, recipe=recipe, mode=mode, folding_rules=rules, superwords=0.3, progress=False,
            word_runs=lambda subwords: larkspur.count_word_runs(subwords, [corpus], progress=False))
        assert again.get_vocab() == tok.get_vocab() and tok.training_report["superwords"] > 0
        assert "▁की▁और" in tok.tokenize("घर की ओर") and "▁की▁ओर" not in tok.get_vocab()
        assert tok.decode(tok.encode("घर की ओर")) == "घर की और"


_FROM_STDIN = ("import json, warnings, larkspur; warnings.simplefilter('ignore'); "
               "print(json.dumps(larkspur.train(['-'], vocab_size=800, recipe='plain', superwords=0.25, "
               "progress=False).get_vocab()))")


class TestInputsAndResume:
    def test_generators_and_files_give_the_same_vocabulary(self, corpus):
        lines = corpus.read_text(encoding="utf-8").splitlines()
        a = larkspur.train([corpus], vocab_size=800, recipe="plain", superwords=0.25, progress=False)
        b = larkspur.train(texts=(line for line in lines), vocab_size=800, recipe="plain", superwords=0.25,
                           progress=False)
        assert a.get_vocab() == b.get_vocab() and a.training_report["superwords"] > 0

    def test_streams_are_read_twice_and_bad_lines_said_once(self, corpus, tmp_path):
        bad = tmp_path / "bad.txt"
        bad.write_bytes(corpus.read_bytes() + b"\xff not text\n")
        with pytest.warns(UnicodeWarning) as said:
            a = larkspur.train([bad], vocab_size=800, recipe="plain", superwords=0.25, progress=False)
        assert len([w for w in said if issubclass(w.category, UnicodeWarning)]) == 1
        # Standard input is kept for the second reading: the same vocabulary as from the file.
        with open(bad, "rb") as stdin:
            piped = subprocess.run([sys.executable, "-c", _FROM_STDIN], stdin=stdin, capture_output=True, text=True)
        assert piped.returncode == 0, piped.stderr
        assert json.loads(piped.stdout) == a.get_vocab()

    def test_resume_after_the_subword_stage_and_inside_it(self, corpus, tmp_path):
        ck = tmp_path / "ck"
        whole = larkspur.train([corpus], vocab_size=900, recipe="plain", superwords=0.3, checkpoint_dir=ck,
                               checkpoint_every=20, progress=False)
        run = json.loads((ck / "larkspur-run.json").read_text(encoding="utf-8"))
        assert run["superwords"]["share"] == 0.3 and (ck / "word-runs.tsv").is_file()
        # Broken in the superword stage: the runs were counted and saved.
        assert larkspur.resume(ck, progress=False).get_vocab() == whole.get_vocab()
        # Broken inside the subword stage: the runs are counted again from the inputs.
        (ck / "word-runs.tsv").unlink()
        keep_first_checkpoint(ck)
        back = larkspur.resume(ck, progress=False)
        assert back.get_vocab() == whole.get_vocab()
        assert back.training_report["superwords"] == whole.training_report["superwords"]


def test_the_command_line_takes_superwords_and_inspect_says_the_stage(corpus, tmp_path):
    cli = [sys.executable, "-m", "larkspur"]
    for flag, said in ((["--superwords"], "share 0.2"), (["--superwords", "0.3"], "share 0.3"), ([], "none")):
        out = tmp_path / f"b{len(flag)}"
        done = subprocess.run(cli + ["train", str(corpus), "-o", str(out), "--vocab-size", "800", "--no-progress"] + flag,
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        shown = subprocess.run(cli + ["inspect", str(out)], capture_output=True, text=True).stdout
        assert said in next(line for line in shown.splitlines() if line.startswith("superwords"))
    bad = subprocess.run(cli + ["train", str(corpus), "-o", str(tmp_path / "x"), "--vocab-size", "800",
                                "--superwords", "most"], capture_output=True, text=True)
    assert bad.returncode != 0 and "'most'" in bad.stderr
