"""Training: word-type counting, merge legality and order, the merge loop and the drivers.

The merge loop is checked against a deliberately naive reference (reference_merges.py)
that recounts every pair after every merge; the fast loop must agree with it merge by merge.
"""

import os
import random
import re
import threading

import pytest

from LarkspurTokenization import PyLarkspurTokenization

from conftest import quiet
from reference_merges import reference_bpe

KA, KHA, GA, GHA, CA = "क", "ख", "ग", "घ", "च"
WORD_MARKER, LATIN_MARKER = "\u2581", "\u2582"

BUILD_DONE = re.compile(
    r"^\[build\] done: (\d+) lines, (\d+) word-occ, (\d+) unique types kept \(min_freq=(\d+)\) in \d+\.\ds$", re.M
)
SEEDED = re.compile(r"^\[train:(DEV|LAT)\] heap seeded with (\d+) admissible pairs in \d+\.\ds$", re.M)
PROGRESS = re.compile(
    r"^\[train:(DEV|LAT)\] (\d+) merges \| vocab (\d+) \| heap (\d+) \| \d+\.\ds \| \d+ merges/s$", re.M
)
DONE = re.compile(r"^\[train:(DEV|LAT)\] done: (\d+) merges \((\d+) -> (\d+) vocab\) in \d+\.\ds$", re.M)
SPLIT = re.compile(r"^\[train\] budget split: DEV (\d+) \(target (\d+)\) \| LAT \+(\d+) \(target \+(\d+)\)$", re.M)


def surfaces(tok):
    return [tok.vocab_get_surface(i) for i in range(tok.vocab_size())]


def loaded(*surfs):
    tok = PyLarkspurTokenization()
    tok.load_vocab(list(enumerate(surfs)))
    return tok


def write(path, text):
    path.write_text(text, encoding="utf-8")
    return str(path)


class TestAgainstReference:
    @pytest.mark.parametrize("seed", range(60))
    def test_random_corpora_merge_for_merge(self, seed):
        rng = random.Random(seed)
        alphabet = [KA, KHA, GA, GHA, CA]
        base = rng.sample(alphabet, rng.randint(2, 5))
        # Multi-character surfaces make some merges land on an existing surface.
        base += ["".join(rng.choices(base, k=rng.randint(2, 3))) for _ in range(rng.randint(0, 3))]
        base = list(dict.fromkeys(base))
        tok = loaded(*base)
        n = len(base)  # ids of the Devanagari surfaces; the two markers follow them
        sequences = [[rng.randrange(n) for _ in range(rng.randint(1, 9))] for _ in range(rng.randint(1, 25))]
        budget = tok.vocab_size() + rng.randint(0, 30)
        expected = reference_bpe(surfaces(tok), sequences, budget)
        assert tok.train_bpe(sequences, budget, 100) == len(expected)
        assert surfaces(tok) == expected
        assert set(tok.script_ids()[n + 2 :]) <= {0}  # merged tokens are DEV like their left parts

    @pytest.mark.parametrize("seed", range(12))
    def test_long_words_of_few_symbols(self, seed):
        """Long words with runs of one symbol (x x x x) and alternations (x y x y), where a
        merge meets many overlapping occurrences in one word."""
        rng = random.Random(1000 + seed)
        base = rng.sample([KA, KHA, GA], rng.randint(1, 3))
        tok = loaded(*base)
        n = len(base)
        sequences = []
        for _ in range(rng.randint(1, 4)):
            runs = [[rng.randrange(n)] * rng.randint(1, 40) for _ in range(rng.randint(1, 12))]
            sequences.append([x for run in runs for x in run])
        budget = tok.vocab_size() + rng.randint(5, 25)
        expected = reference_bpe(surfaces(tok), sequences, budget)
        assert tok.train_bpe(sequences, budget, 100) == len(expected)
        assert surfaces(tok) == expected


class TestMergeLoop:
    def test_equal_keys_prefer_larger_left_then_larger_right(self):
        tok = loaded(KA, KHA, GA, GHA)
        tok.train_bpe([[0, 1], [3, 2]], tok.vocab_size() + 1, 100)
        assert surfaces(tok)[-1] == GHA + GA
        tok = loaded(KA, KHA, GA, GHA)
        tok.train_bpe([[3, 1], [3, 2]], tok.vocab_size() + 1, 100)
        assert surfaces(tok)[-1] == GHA + GA

    def test_devanagari_pairs_beat_punctuation_whatever_the_counts(self):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab([KA, KHA], [], ["!", "?"], [], [])
        ka, kha, bang, q = (tok.vocab_get_id(s) for s in (KA, KHA, "!", "?"))
        size = tok.vocab_size()
        tok.train_bpe([[bang, q]] * 50 + [[ka, kha]], size + 1, 100)
        assert tok.vocab_get_id(KA + KHA) == size
        assert not tok.vocab_contains("!?")
        # Punctuation merges with punctuation once Devanagari is exhausted, keeping script PUN.
        tok.train_bpe([[bang, q]], tok.vocab_size() + 1, 100)
        assert tok.script_ids()[tok.vocab_get_id("!?")] == 2

    def test_occurrences_merge_left_to_right_without_overlap(self):
        tok = loaded(KA, KHA)
        # a b a b -> t t: the pair (b, a) disappears and (t, t) appears with count 1.
        tok.train_bpe([[0, 1, 0, 1]], tok.vocab_size() + 2, 100)
        assert surfaces(tok)[-2:] == [KA + KHA, KA + KHA + KA + KHA]
        tok = loaded(KA)
        # a a a -> t a: one (a, a) merge leaves no (a, a) pair and one (t, a).
        tok.train_bpe([[0, 0, 0]], tok.vocab_size() + 2, 100)
        assert surfaces(tok)[-2:] == [KA + KA, KA * 3]

    def test_merge_onto_existing_surface_does_not_grow_the_vocabulary(self):
        tok = loaded(KA, KHA, GA, KA + KHA)
        size = tok.vocab_size()
        # (0, 1) comes first and lands on the existing id 3; the words then hold 3, so the
        # next merge is (3, 2).
        assert tok.train_bpe([[0, 1, 2]] * 3 + [[0, 1]] * 3, size + 1, 100) == size + 1
        assert surfaces(tok)[size:] == [KA + KHA + GA]

    def test_existing_surface_keeps_its_script(self):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab([KA, KHA], [], [KA + KHA], [], [])
        ka, kha, kakha = (tok.vocab_get_id(s) for s in (KA, KHA, KA + KHA))
        size = tok.vocab_size()
        assert tok.train_bpe([[ka, kha]] * 3, size + 1, 100) == size
        assert tok.script_ids()[kakha] == 2

    def test_budget_at_or_below_size_and_unknown_ids_merge_nothing(self):
        tok = loaded(KA, KHA)
        size = tok.vocab_size()
        assert tok.train_bpe([[0, 1]] * 5, size, 100) == size
        assert tok.train_bpe([[0, 1]] * 5, 0, 100) == size
        assert tok.train_bpe([[100, 101], [2**40, 2**40]], size + 5, 100) == size


@pytest.fixture
def morph_tok():
    """Seeded so that KAR is one unit and the word marker is protected."""
    tok = PyLarkspurTokenization()
    tok.initialize_vocab(["क", "र", "ना", "ता", "के"], ["\u2581", "कर"], [], ["\u2581"], [])
    return tok


class TestLegality:
    def test_morph_narrows_root_sets_and_refuses_unknown_transitions(self, morph_tok, tmp_path):
        tok = morph_tok
        tok.add_paradigm(1, {"कर": ["ना", "ता"]})
        tok.add_paradigm(2, {"कर": ["ना"]})
        corpus = write(tmp_path / "c.txt", "करना करता करके\n")
        tok.train_from_file(corpus, tok.vocab_size() + 10, 100, progress_merges=0, progress_lines=0)
        assert tok.get_root_set("कर") == [1, 2]
        assert tok.get_root_set("करना") == [1, 2]
        assert tok.get_root_set("करता") == [1]
        assert not tok.vocab_contains("करके")

    @pytest.mark.parametrize("theta, merged", [(3, True), (4, False)])
    def test_ambiguous_left_needs_theta_occurrences(self, theta, merged, tmp_path):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab(["क", "र", "ना"], ["\u2581", "कर"], [], ["\u2581"], ["कर"])
        corpus = write(tmp_path / "c.txt", "करना करना करना\n")
        tok.train_from_file(corpus, tok.vocab_size() + 5, theta, progress_merges=0, progress_lines=0)
        assert tok.vocab_contains("करना") is merged

    @pytest.mark.parametrize("flag", ["strict", "ambiguous"])
    def test_seed_on_the_right_is_never_absorbed(self, flag, tmp_path):
        tok = PyLarkspurTokenization()
        lists = {"strict": ["\u2581", "ना"], "ambiguous": ["ना"]}
        tok.initialize_vocab(["क", "र"], ["\u2581", "कर", "ना"], [], lists["strict"] if flag == "strict" else ["\u2581"],
                             lists["ambiguous"] if flag == "ambiguous" else [])
        corpus = write(tmp_path / "c.txt", "करना " * 20 + "\n")
        tok.train_from_file(corpus, tok.vocab_size() + 5, 1, progress_merges=0, progress_lines=0)
        assert not tok.vocab_contains("करना")

    def test_strict_left_is_never_extended(self, tmp_path):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab(["क", "र", "ना"], ["\u2581", "कर"], [], ["\u2581", "कर"], [])
        corpus = write(tmp_path / "c.txt", "करना " * 20 + "\n")
        tok.train_from_file(corpus, tok.vocab_size() + 5, 1, progress_merges=0, progress_lines=0)
        assert not tok.vocab_contains("करना")


class TestWordCounting:
    def test_summary_counts_lines_occurrences_and_types(self, tmp_path, capfd):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab(["क", "ख"], [], [], [], [])
        corpus = write(tmp_path / "c.txt", "क ख क\n \t \nख\n")
        tok.train_from_file(corpus, 0, 100, progress_lines=0)
        m = BUILD_DONE.search(capfd.readouterr().err)
        assert m and m.groups() == ("3", "4", "2", "1")

    def test_frequency_filter_keeps_occurrence_total(self, tmp_path, capfd):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab(["क", "ख"], [], [], [], [])
        corpus = write(tmp_path / "c.txt", "क क ख\n")
        tok.train_from_file(corpus, 0, 100, min_word_freq=2, progress_lines=0)
        assert BUILD_DONE.search(capfd.readouterr().err).groups() == ("1", "3", "1", "2")

    def test_empty_file_and_invalid_lines(self, tmp_path, capfd):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab(["क"], [], [], [], [])
        empty = write(tmp_path / "e.txt", "")
        size = tok.vocab_size()
        assert tok.train_from_file(empty, size + 10, 100, progress_lines=0) == size
        assert BUILD_DONE.search(capfd.readouterr().err).groups()[:3] == ("0", "0", "0")
        bad = tmp_path / "b.txt"
        bad.write_bytes("क\n".encode() + b"\xff\xfe bad\n" + "क क\n".encode())
        tok.train_from_file(str(bad), 0, 100, progress_lines=0)
        assert BUILD_DONE.search(capfd.readouterr().err).groups()[:3] == ("2", "3", "1")

    def test_progress_lines(self, tmp_path, capfd):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab(["क"], [], [], [], [])
        corpus = write(tmp_path / "c.txt", "क\n" * 5)
        tok.train_from_file(corpus, 0, 100, progress_lines=2)
        lines = re.findall(r"^\[build\] (\d+) lines \| (\d+) word-occ \| (\d+) unique \| \d+\.\ds$",
                           capfd.readouterr().err, re.M)
        assert lines == [("2", "2", "1"), ("4", "4", "1")]
        tok.train_from_file(corpus, 0, 100, progress_lines=0)
        assert "lines |" not in capfd.readouterr().err

    def test_latin_only_filter(self, tmp_path, capfd):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab(["क", "१", "२"], [], ["-"], [], [])
        # kept: ASCII letters, Devanagari digits with one ASCII letter, ASCII digits;
        # skipped: a lone dash and a Devanagari-only word.
        corpus = write(tmp_path / "c.txt", "abc १२x 42 - क\n")
        tok.train_latin_from_file(corpus, 0, progress_lines=0)
        m = re.search(r"^\[build:LAT\] done: (\d+) lines, (\d+) latin-word-occ, (\d+) unique types kept "
                      r"\(min_freq=1\) in \d+\.\ds$", capfd.readouterr().err, re.M)
        assert m and m.groups() == ("1", "3", "3")

    def test_missing_file_raises_and_changes_nothing(self, tmp_path):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab(["क"], [], [], [], [])
        path = str(tmp_path / "missing.txt")
        for call in (lambda: tok.train_from_file(path, 500, 100),
                     lambda: tok.train_bilingual_from_file(path, 500, 5, 100),
                     lambda: tok.train_latin_from_file(path, 5)):
            with pytest.raises(OSError, match=re.escape(f"open {path}: No such file or directory (os error 2)")):
                call()
        assert tok.vocab_size() == 275


class TestDrivers:
    def test_train_from_text_splits_into_word_types(self):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab(["क", "ख"], ["\u2581"], [], ["\u2581"], [])
        size = tok.vocab_size()
        assert tok.train_from_text([], size + 5, 100) == size
        assert tok.train_from_text(["   \t "], size + 5, 100) == size
        tok.train_from_text(["कख कख", "खक"], size + 5, 100)
        # Merges never cross the space between words.
        assert tok.vocab_contains("कख") and not tok.vocab_contains("खक" + "क")
        assert not any(WORD_MARKER in s and len(s) > 1 for s in surfaces(tok))

    def test_latin_driver_refuses_an_empty_vocabulary_before_opening(self, tmp_path):
        tok = PyLarkspurTokenization()
        msg = "train_latin_from_file: vocab is empty \u2014 call load_vocab_tsv first"
        with pytest.raises(RuntimeError, match=re.escape(msg)):
            tok.train_latin_from_file(str(tmp_path / "does-not-exist.txt"), 10)

    def test_latin_pass_with_zero_budget_still_reports(self, tmp_path, capfd):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab([], [], [], [], [])
        corpus = write(tmp_path / "c.txt", "hello hello world\n")
        assert tok.train_latin_from_file(corpus, 0, progress_lines=0) == 274
        err = capfd.readouterr().err
        assert SEEDED.search(err).group(1) == "LAT"
        assert DONE.search(err).groups() == ("LAT", "0", "274", "274")
        assert tok.train_latin_from_file(corpus, 3, progress_lines=0) == 277
        assert tok.vocab_contains("\u2582h") or tok.vocab_contains("he") or tok.vocab_contains("ll")

    def test_bilingual_budget_split(self, tmp_path, capfd):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab(["क", "ख"], [], [], [], [])
        corpus = write(tmp_path / "c.txt", "कख कख hello hello\n")
        size = tok.vocab_size()
        final = tok.train_bilingual_from_file(corpus, size + 1, 2, 100, **quiet())
        err = capfd.readouterr().err
        assert SPLIT.search(err).groups() == (str(size + 1), str(size + 1), "2", "2")
        assert final == size + 3
        assert not SEEDED.search(err) and not DONE.search(err)  # progress off

    def test_bilingual_latin_pass_fills_a_short_devanagari_pass(self, tmp_path, capfd):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab(["क"], [], [], [], [])
        corpus = write(tmp_path / "c.txt", "hello hello hello\n")
        size = tok.vocab_size()
        # No Devanagari pair exists, so the Latin pass aims at dev_budget + lat_budget in all.
        final = tok.train_bilingual_from_file(corpus, size + 3, 0, 100, **quiet())
        assert final == size + 3
        assert SPLIT.search(capfd.readouterr().err).groups() == (str(size), str(size + 3), "3", "0")

    def test_bilingual_without_latin_words_adds_nothing_in_the_latin_pass(self, tmp_path, capfd):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab(["क", "ख"], [], [], [], [])
        corpus = write(tmp_path / "c.txt", "कख कख खक\n")
        tok.train_bilingual_from_file(corpus, 1000, 5, 100, **quiet())
        dev, _, added, _ = SPLIT.search(capfd.readouterr().err).groups()
        assert added == "0" and int(dev) == tok.vocab_size()

    def test_progress_lines_of_the_merge_loop(self, tmp_path, capfd):
        tok = PyLarkspurTokenization()
        tok.initialize_vocab(["क", "ख", "ग"], [], [], [], [])
        corpus = write(tmp_path / "c.txt", "कखग कखग खग\n")
        size = tok.vocab_size()
        tok.train_from_file(corpus, size + 3, 100, progress_lines=0, progress_merges=2)
        err = capfd.readouterr().err
        assert SEEDED.search(err).groups() == ("DEV", "4")
        assert [m[1:3] for m in PROGRESS.findall(err)] == [("2", str(size + 2))]
        assert DONE.search(err).groups() == ("DEV", "3", str(size), str(size + 3))

    def test_theta_must_be_an_integer(self):
        tok = PyLarkspurTokenization()
        with pytest.raises(TypeError, match="theta"):
            tok.train_bpe([[0]], 10, 1.5)
        with pytest.raises(TypeError, match="theta"):
            tok.train_from_text(["x"], 10, 100.0)

    def test_two_runs_give_identical_files(self, tmp_path):
        text = "".join(f"कख{'ग' * (i % 4)} खग{'क' * (i % 3)} abc{i % 5}\n" for i in range(40))
        corpus = write(tmp_path / "c.txt", text)
        outputs = []
        for run in range(2):
            tok = PyLarkspurTokenization()
            tok.initialize_vocab(tok.harvest_aksharas(corpus), [], [], [], [])
            tok.train_bilingual_from_file(corpus, 320, 10, 100, **quiet())
            out = tmp_path / f"v{run}.tsv"
            tok.save_vocab_tsv(str(out))
            outputs.append(out.read_bytes())
        assert outputs[0] == outputs[1]


class TestBorrowDuringTraining:
    def test_calls_from_another_thread_fail_at_once(self, tmp_path):
        fifo = str(tmp_path / "corpus.fifo")
        os.mkfifo(fifo)
        tok = PyLarkspurTokenization()
        tok.initialize_vocab(["क", "ख"], [], [], [], [])
        result = {}

        def run():
            result["size"] = tok.train_from_file(fifo, 300, 100, **quiet())

        worker = threading.Thread(target=run)
        worker.start()
        # Opening the writer end blocks until the training thread has opened the file, which it
        # does while it holds the object and has released the interpreter lock.
        with open(fifo, "w", encoding="utf-8") as w:
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                tok.clear_dfa()
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                tok.vocab_size()
            w.write("कख कख\n")
        worker.join(timeout=60)
        assert not worker.is_alive()
        assert result["size"] == tok.vocab_size() == 278  # कख, then ▁कख
