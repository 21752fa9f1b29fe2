"""The larkspur package: training from files and word counts, special tokens, bundles,
pickling into worker processes, batch encoding, arrays, offsets and threads."""

import json
import multiprocessing
import pickle
import random
import re
import shutil
import threading
import unicodedata
from collections import Counter
from pathlib import Path

import numpy as np
import pytest

import larkspur
from LarkspurTokenization import PyLarkspurTokenization

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "examples" / "sample.txt"
MIXED = "भारत की राजधानी New Delhi है। उसने 3 किताबें पढ़ीं, और\u200d चाय पी!"


def _words_corpus(path, lines, seed):
    rng = random.Random(seed)
    stems = ["कर", "पढ़", "लिख", "चल", "बोल", "सुन", "देख", "खेल", "काम", "घर", "पान", "नदी"]
    ends = ["", "ना", "ता", "ती", "ते", "ों", "ें", "ने", "कर", "गा"]
    latin = ["data", "model", "token", "GPU", "2024", "Delhi"]
    with open(path, "w", encoding="utf-8") as f:
        for _ in range(lines):
            words = [rng.choice(stems) + rng.choice(ends) if rng.random() < 0.85 else rng.choice(latin)
                     for _ in range(rng.randint(3, 12))]
            f.write(" ".join(words) + rng.choice(["।", "", ",", "?"]) + "\n")
    return path


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    return _words_corpus(tmp_path_factory.mktemp("lk") / "corpus.txt", 3000, 5)


@pytest.fixture(scope="module")
def tok(corpus):
    return larkspur.train([corpus, SAMPLE], vocab_size=1200, progress=False)


def _texts():
    return SAMPLE.read_text(encoding="utf-8").splitlines() + [MIXED, "", "  दो  spaces ", "emoji 🙂 है"]


class TestTraining:
    def test_files_and_their_word_counts_train_the_same_vocabulary(self, corpus, tok):
        counts = larkspur.count_words([corpus, SAMPLE])
        again = larkspur.train_from_word_counts(dict(reversed(list(counts.items()))), vocab_size=1200,
                                                progress=False)
        assert again.get_vocab() == tok.get_vocab()
        assert sum(counts.values()) == tok.settings["training"]["word_occurrences"]

    def test_counts_do_not_depend_on_the_number_of_workers(self, tmp_path):
        # Several chunks per file: the cuts fall inside lines.
        block = _words_corpus(tmp_path / "block.txt", 2000, 9).read_text(encoding="utf-8")
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
        path = _write(tmp_path / "w.txt", lines)
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

    def test_progress_bars_only_when_asked(self, corpus, capsys):
        larkspur.train(corpus, vocab_size=600, progress=True)
        assert "counting words" in capsys.readouterr().err
        larkspur.train(corpus, vocab_size=600, progress=False)
        assert capsys.readouterr().err == ""


class TestSpecialTokens:
    def test_special_text_is_plain_text_unless_allowed(self, tok):
        text = "<s>कर</s> <pad>"
        plain = tok.encode(text)
        assert not set(plain) & set(tok.special_tokens.values())
        assert tok.decode(plain) == text
        bos, eos, pad = tok.bos_id, tok.eos_id, tok.pad_id
        some = tok.encode(text, allowed_special=["<s>"])
        assert some[0] == bos and eos not in some
        everything = tok.encode(text, allowed_special="all")
        assert [i for i in everything if i in (bos, eos, pad)] == [bos, eos, pad]
        assert tok.decode(everything) == text
        assert tok.decode(everything, skip_special=True) == "कर "
        with pytest.raises(ValueError, match="'<x>' is not a special token"):
            tok.encode(text, allowed_special=["<x>"])

    def test_ids_outside_the_vocabulary_are_named(self, tok):
        n = tok.vocab_size
        assert tok.id_to_token(n - 1) == "<unk>"
        for bad in (n, n + 5, 2 ** 40):
            with pytest.raises(ValueError, match=f"id {bad} is not in the vocabulary"):
                tok.decode([tok.bos_id, bad])
        with pytest.raises(ValueError, match="id -1 is not in the vocabulary"):
            tok.decode([-1])
        with pytest.raises(ValueError, match=f"id {n}"):
            tok.id_to_token(n)


class TestBundles:
    def test_a_saved_bundle_restores_the_same_tokenizer(self, tok, tmp_path):
        tok.save(tmp_path / "b")
        back = larkspur.load(tmp_path / "b")
        texts = _texts()
        assert [back.encode(t) for t in texts] == [tok.encode(t) for t in texts]
        assert back.stats(texts=texts) == tok.stats(texts=texts)
        assert back.get_vocab() == tok.get_vocab() and back.special_tokens == tok.special_tokens
        doc = json.loads((tmp_path / "b" / "tokenizer.json").read_text(encoding="utf-8"))
        assert doc["format"] == "larkspur-bundle" and doc["version"] == 1
        assert doc["special_tokens"] == tok.special_tokens
        # The exact module reads the same vocabulary file: the same surfaces under the same
        # ids (it encodes with its own defaults, so only a tokenizer trained without the
        # core options encodes as it does).
        exact = PyLarkspurTokenization()
        exact.load_vocab_tsv(str(tmp_path / "b" / "vocab.tsv"))
        assert exact.vocab_size() == tok.vocab_size - len(tok.special_tokens)
        assert all(exact.vocab_get_surface(i) == tok.id_to_token(i) for i in range(exact.vocab_size()))

    def test_without_the_core_options_the_exact_module_encodes_alike(self, corpus, tmp_path):
        counts = larkspur.count_words([corpus, SAMPLE])
        tok = larkspur.train_from_word_counts(counts, vocab_size=900, progress=False, _core_options=False)
        assert not any(tok.settings["options"].values())
        tok.save(tmp_path / "b")
        exact = PyLarkspurTokenization()
        exact.load_vocab_tsv(str(tmp_path / "b" / "vocab.tsv"))
        for text in filter(None, _texts()):  # larkspur gives an empty text no tokens at all
            assert exact.encode(text) == tok.encode(text)

    def _damage(self, path, what):
        j = path / "tokenizer.json"
        doc = json.loads(j.read_text(encoding="utf-8"))
        if what == "no json":
            j.unlink()
        elif what == "no vocab":
            (path / "vocab.tsv").unlink()
        elif what == "malformed":
            j.write_text("{\"format\": ", encoding="utf-8")
        elif what == "version":
            doc["version"] = 99
        elif what == "format":
            doc["format"] = "other"
        elif what == "special id":
            doc["special_tokens"]["<s>"] = 10 ** 6
        elif what == "escape":
            doc["vocab_file"] = "../vocab.tsv"
        elif what == "root set":
            doc["tokens"]["root_sets"] = {str(10 ** 6): [1]}
        elif what == "kinds":
            doc["tokens"]["kinds"] = doc["tokens"]["kinds"][:-1]
        elif what == "vocab lines":
            with open(path / "vocab.tsv", "a", encoding="utf-8") as f:
                f.write("999999\tzz\n")
        if what in ("version", "format", "special id", "escape", "root set", "kinds"):
            j.write_text(json.dumps(doc), encoding="utf-8")

    @pytest.mark.parametrize("what,file,message", [
        ("no json", "tokenizer.json", "missing"),
        ("no vocab", "vocab.tsv", "missing"),
        ("malformed", "tokenizer.json", "malformed JSON"),
        ("version", "tokenizer.json", "unknown version 99"),
        ("format", "tokenizer.json", "format must be 'larkspur-bundle'"),
        ("special id", "tokenizer.json", "special token '<s>' has id 1000000, out of range"),
        ("escape", "tokenizer.json", "leaves the bundle directory"),
        ("root set", "tokenizer.json", "beyond the vocabulary"),
        ("kinds", "tokenizer.json", "each of the"),
        ("vocab lines", "vocab.tsv", "without gaps"),
    ])
    def test_a_bad_bundle_names_the_file_and_the_problem(self, tok, tmp_path, what, file, message):
        tok.save(tmp_path / "b")
        self._damage(tmp_path / "b", what)
        with pytest.raises(ValueError) as e:
            larkspur.load(tmp_path / "b")
        assert str(tmp_path / "b" / file) in str(e.value) and message in str(e.value)


def _encode_in_worker(args):
    tok, texts = args
    return [tok.encode(t) for t in texts]


class TestPickling:
    def test_a_pickled_tokenizer_is_independent_and_equal(self, tok):
        back = pickle.loads(pickle.dumps(tok))
        assert back is not tok and back.get_vocab() == tok.get_vocab()
        assert back.encode(MIXED, allowed_special="all") == tok.encode(MIXED, allowed_special="all")

    @pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
    def test_it_travels_to_worker_processes(self, tok, method):
        texts = _texts()
        with multiprocessing.get_context(method).Pool(2) as pool:
            got = pool.map(_encode_in_worker, [(tok, texts[:20]), (tok, texts[20:])])
        assert got[0] + got[1] == [tok.encode(t) for t in texts]


class TestBatches:
    def test_batches_equal_one_by_one_for_any_thread_count(self, tok):
        texts = _texts() * 7
        expect = [tok.encode(t) for t in texts]
        for threads in (1, 2, 3, None):
            assert tok.encode_batch(texts, num_threads=threads) == expect
        assert tok.decode_batch(expect, num_threads=2) == [tok.decode(ids) for ids in expect]

    def test_batches_leave_the_garbage_collector_as_they_found_it(self, tok):
        # The collector is held off while the lists are built, and only then.
        import gc
        texts = _texts() * 7
        try:
            gc.disable()
            tok.encode_batch(texts, num_threads=2)
            assert not gc.isenabled()
            gc.enable()
            tok.encode_batch(texts, num_threads=2)
            assert gc.isenabled()
        finally:
            gc.enable()

    def test_arrays_hold_every_text_with_its_end(self, tok):
        texts = _texts()
        ids, offsets = tok.encode_to_array(texts)
        assert ids.dtype == np.uint16 and offsets.dtype == np.int64 and len(offsets) == len(texts) + 1
        for i, t in enumerate(texts):
            assert ids[offsets[i]:offsets[i + 1]].tolist() == tok.encode(t) + [tok.eos_id]
        bare, bare_offsets = tok.encode_to_array(texts, append_eos=False, num_threads=2)
        assert len(bare) == len(ids) - len(texts) and bare_offsets[-1] == len(bare)
        no_eos = larkspur.train(texts=["कमल"], vocab_size=600, special_tokens=(), progress=False)
        with pytest.raises(ValueError, match="needs an end-of-text token"):
            no_eos.encode_to_array(["x"])

    def test_one_tokenizer_from_many_threads(self, tok):
        texts = _texts()
        expect = [tok.encode(t) for t in texts]
        results, errors = [], []

        def work():
            try:
                for _ in range(20):
                    results.append([tok.encode(t) for t in texts] == expect and
                                   tok.encode_batch(texts, num_threads=2) == expect)
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors and all(results) and len(results) == 80


class TestOffsets:
    @pytest.mark.parametrize("text", [MIXED, "  दो  spaces ", "कमल", "", "a\u200db क\u200dष", "emoji 🙂 है।"])
    def test_each_token_covers_its_text(self, tok, text):
        assert unicodedata.is_normalized("NFC", text)
        ids, spans = tok.encode_with_offsets(text)
        assert ids == tok.encode(text) and len(spans) == len(ids)
        assert all(0 <= s <= e <= len(text) for s, e in spans)
        assert [s for s, _ in spans] == sorted(s for s, _ in spans)
        kinds = tok._engine.export_tokens()[1]
        by_char = {}
        for (s, e), i in zip(spans, ids):
            piece = tok.decode([i])
            if kinds[i] == "B":  # spelled as bytes: the character's span
                assert e - s == 1
                by_char.setdefault(s, []).append(i)
            else:
                assert text[s:e].strip() == piece.strip().replace("\u200d", ""), (text, s, e, piece)
        for s, group in by_char.items():
            assert tok.decode(group) == text[s]

    def test_specials_have_their_own_spans(self, tok):
        text = "<s>कमल</s>"
        ids, spans = tok.encode_with_offsets(text, allowed_special="all")
        assert ids[0] == tok.bos_id and spans[0] == (0, 3) and spans[-1] == (len(text) - 4, len(text))


def test_resuming_a_broken_run_ends_with_the_unbroken_vocabulary(corpus, tmp_path):
    ck = tmp_path / "ck"
    whole = larkspur.train(corpus, vocab_size=1000, checkpoint_dir=ck, checkpoint_every=10, progress=False)
    # Drop the newest checkpoints: as if the run had been killed after an early one.
    steps = sorted(p for p in ck.iterdir() if p.name.startswith("step_"))
    assert len(steps) == 3
    for p in steps[1:]:
        shutil.rmtree(p)
    (ck / "LATEST").unlink()
    back = larkspur.resume(ck, progress=False)
    assert back.get_vocab() == whole.get_vocab()
    assert back.encode(MIXED) == whole.encode(MIXED)
    with pytest.raises(ValueError, match="not a larkspur checkpoint directory"):
        larkspur.resume(tmp_path)


def _request(words, size, seeds=(), symbol_min_freq=1, symbol_limit=1000, **scheme):
    from larkspur import _engine

    recipe = _engine.Recipe()
    recipe.symbol_min_freq, recipe.symbol_limit = symbol_min_freq, symbol_limit
    tier = _engine.SeedTier()
    tier.up_to, tier.seeds = 10**9, list(seeds)
    recipe.seed_tiers = [tier]
    recipe.punctuation = ["।", ",", '"']
    recipe.ids_per_symbol = 1  # every symbol of the words, however small the vocabulary
    return _engine.TrainingRequest("LM", [], scheme, recipe, size, [], [], [])


def _engine_with(aksharas, seeds=(), symbols=(), **scheme):
    """A tokenizer holding just the base vocabulary of the given aksharas, seeds and symbols,
    with the named scheme fields on (the others off): trained to its own base size, so that
    nothing is merged."""
    from larkspur import _engine

    words = _engine.select_words(larkspur.WordCounts({w: 1 for w in [*aksharas, *symbols]})._table, 0)
    base = _engine.plan_training(words, _request(words, 10**6, seeds, **scheme)).base_size
    request = _request(words, base, seeds, **scheme)
    return _engine.train(words, request, _engine.plan_training(words, request), None, 0, 3, 0, None)


def _surfaces(e, ids):
    return [e.id_to_token(i) for i in ids]


WORD = "\u2581"


class TestCoreOptions:
    """The core's options beyond the exact module's defaults, as the recipes switch them on."""

    def test_a_missing_akshara_is_spelled_as_code_points_and_decodes_back(self):
        text = "क्षमा"  # aksharas क्ष and मा; only मा has a base id
        plain = _engine_with(["मा"])
        ids = plain.encode(text, [])
        assert len(ids) == 1 + len("क्ष".encode()) + 1  # marker, nine bytes, मा
        e = _engine_with(["मा"], codepoint_fallback=True)
        ids = e.encode(text, [])
        assert _surfaces(e, ids) == [WORD, "क", "्", "ष", "मा"]
        assert e.decode(ids, False) == text
        # A code point of the block that is missing still falls back to bytes, not to nothing.
        assert e.decode(e.encode("ॐ ॠ", []), False) == "ॐ ॠ"
        # The word marker takes the first code points of a spelled akshara when it forms a
        # surface with them, as it would with a whole akshara; never those of an akshara
        # that has a surface of its own.
        e = _engine_with(["मा", "क"], codepoint_fallback=True, seeds=[WORD + "क"])
        assert _surfaces(e, e.encode(text, [])) == [WORD + "क", "्", "ष", "मा"]
        assert _surfaces(e, e.encode("मा", [])) == [WORD, "मा"]
        assert e.decode(e.encode(text + " " + text, []), False) == text + " " + text

    def test_symbol_inventory_ranks_what_no_script_class_or_byte_symbol_covers(self):
        # Against a regular expression of the same rule, over words drawn around each edge
        # of the excluded ranges, with counts that tie.
        excluded = re.compile("[\x00-\x9f\u0900-\u097f\u200c\u200d\u2010-\u2015\u2018-\u201f"
                              "\u2026\u2581\u2582\\s]")
        edges = [0x7F, 0x9F, 0xA0, 0xA1, 0xB0, 0xE9, 0x143, 0x144, 0x8FF, 0x900, 0x97F, 0x980, 0x1680, 0x1FFF, 0x2000, 0x200A, 0x200B,
                 0x200C, 0x200D, 0x200E, 0x200F, 0x2010, 0x2015, 0x2016, 0x2017, 0x2018, 0x201F, 0x2020, 0x2026,
                 0x2028, 0x202F, 0x205F, 0x2212, 0x2580, 0x2581, 0x2582, 0x2583, 0x3000, 0x5143, 0x1F642]
        rng = random.Random(3)
        words = ["".join(chr(rng.choice(edges)) for _ in range(rng.randint(1, 6))) + "क" for _ in range(400)]
        counts = [rng.randint(1, 3) for _ in words]
        seen = Counter()
        for w, n in zip(words, counts):
            for c in w:
                if not excluded.match(c):
                    seen[c] += n
        from larkspur import _engine

        table = _engine.select_words(larkspur.WordCounts(list(zip(words, counts)))._table, 0)  # a word drawn twice adds up
        without = _engine.plan_training(table, _request(table, 10**6)).aksharas
        for min_freq, limit in [(1, 1000), (40, 1000), (1, 5)]:
            want = sorted((c for c, n in seen.items() if n >= min_freq), key=lambda c: (-seen[c], c))[:limit]
            plan = _engine.plan_training(table, _request(table, 10**6, symbol_min_freq=min_freq, symbol_limit=limit,
                                                         codepoint_fallback=True))
            assert plan.symbols == want
            assert plan.aksharas == without  # the one pass finds what the akshara harvest alone does
        assert set(want) < set(map(chr, edges))

    def test_symbols_become_tokens_but_markers_stay_bytes(self):
        e = _engine_with(["क"], codepoint_fallback=True, symbols=["−", "元"])
        for text in ["क − 元", "literal \u2581 and \u2582 marks", "Ā Ń byte symbols", "ß é"]:
            assert e.decode(e.encode(text, []), False) == text
        assert _surfaces(e, e.encode("−元", [])) == [WORD, "−", "元"]

    def test_letters_that_look_like_byte_symbols_get_tokens_beside_the_bytes(self):
        # "°" is the byte 0xB0's symbol and "Ā" the byte 0x00's: their character tokens must
        # not take the byte tokens' place in byte fallback, where "ะ" (E0 B8 B0) and a NUL
        # still need the bytes themselves.
        e = _engine_with(["क"], codepoint_fallback=True, symbols=["°", "Ā", "é"])
        kinds = e.export_tokens()[1]
        text = "३०° Āé ะ \x00क"
        ids = e.encode(text, [])
        assert e.decode(ids, False) == text
        assert [s for i, s in zip(ids, _surfaces(e, ids)) if kinds[i] != "B"].count("°") == 1
        singles = [i for i in e.encode("°Āé", []) if kinds[i] != "B"]
        assert [e.decode([i], False) for i in singles[1:]] == ["°", "Ā", "é"]
        assert sum(kinds[i] == "B" for i in e.encode("ะ", [])) == 3
        assert e.decode(e.encode("ะ", []), False) == "ะ"
        ids, spans = e.encode_with_offsets(text, [])
        for i, (a, b) in zip(ids, spans):
            if kinds[i] == "B":
                assert text[a:b] in ("ะ", "\x00")
            else:
                assert text[a:b].strip() == e.decode([i], False).strip()

    @pytest.mark.parametrize("text", ["पहला\nदूसरा", "पहला\n दूसरा", "\nपहला", "पहला\n", "एक\n\nदो", "a\tb c",
                                      " \n ", "\n", "\r\n", "नमस्ते दुनिया", "", "  दो  spaces \n\tend  "])
    def test_whitespace_tokens_round_trip_and_keep_the_markers(self, text):
        e = _engine_with(["प", "ह", "ला", "दू", "स", "रा", "ए", "क", "दो"], whitespace_tokens=True)
        ids = e.encode(text, [])
        assert e.decode(ids, False) == text
        spans = e.encode_with_offsets(text, [])[1]
        kinds = e.export_tokens()[1]
        for i, (a, b) in zip(ids, spans):
            if kinds[i] != "B":
                assert text[a:b].strip() == e.decode([i], False).strip()

    def test_the_word_after_a_line_feed_encodes_as_it_does_after_a_space(self):
        e = _engine_with(["प", "ह", "ला", "दू", "स", "रा"], whitespace_tokens=True)
        after_space = e.encode("पहला दूसरा", [])
        after_newline = e.encode("पहला\nदूसरा", [])
        assert _surfaces(e, after_newline) == _surfaces(e, after_space[:4]) + ["\n"] + _surfaces(e, after_space[4:])
        assert after_space[4] == e.token_to_id(WORD)
        # The exact module's default: the line feed is a byte and the word loses its marker.
        plain = _engine_with(["प", "ह", "ला", "दू", "स", "रा"])
        assert plain.token_to_id(WORD) not in plain.encode("पहला\nदूसरा", [])[1:]

    def test_a_word_joins_the_danda_that_ends_it(self, tmp_path):
        lines = ["वह घर है।", "यह सच है।", "तुम कौन हो?", "\"नमस्ते\" उसने बार-बार कहा।"] * 50
        joined = larkspur.train(texts=lines, vocab_size=700, recipe="plain", progress=False)
        assert "▁है।" in joined.tokenize("वह घर है।")
        assert joined.decode(joined.encode("\"नमस्ते\" उसने कहा।")) == "\"नमस्ते\" उसने कहा।"
        apart = larkspur.train_from_word_counts(larkspur.count_words([_write(tmp_path / "c.txt", lines)]),
                                                vocab_size=700, recipe="plain", progress=False,
                                                _core_options=False)
        tokens = apart.tokenize("वह घर है।")
        assert tokens[-1] == "।" and "▁है" in tokens
        # The halves of a frequent hyphenated pair join too.
        assert joined.tokenize("बार-बार") == ["▁बार-बार"]
        assert apart.tokenize("बार-बार")[-2:] == ["-", "बार"]

    def test_a_marker_and_stem_token_gets_the_root_set_of_its_stem(self):
        stems = {"पढ़": ["ना", "ता", "ती"], "लिख": ["ना", "ता", "ती"]}
        paradigms = [{"root_id": 5, "transitions": {"पढ़": stems["पढ़"]}},
                     {"root_id": 9, "transitions": {"लिख": stems["लिख"]}}]
        lines = [f"{s}{e} {s}" for s in stems for e in stems[s]] * 40
        tok = larkspur.train(texts=lines, vocab_size=600, recipe="morph", paradigms=paradigms, progress=False)
        surfaces, _, _, _, roots = tok._engine.export_tokens()
        by_surface = {surfaces[i]: r for i, r in roots}
        assert by_surface.get(WORD + "पढ़") == [5]
        assert by_surface.get(WORD + "लिख") == [9]
        # The stem never absorbs a continuation its paradigm does not allow.
        assert all(not s.startswith(WORD + "पढ़") or s[len(WORD + "पढ़"):] in ("", "ना", "ता", "ती")
                   for s in surfaces)

    def test_options_travel_with_the_bundle(self, tmp_path, tok):
        assert tok.settings["options"] == {"codepoint_fallback": True, "whitespace_tokens": True,
                                           "edge_joins": True, "marker_stems": True}
        tok.save(tmp_path / "b")
        back = larkspur.load(tmp_path / "b")
        text = "पहली पंक्ति है।\nदूसरी\tक्षत्रिय ॠ"
        assert back.encode(text) == tok.encode(text)
        assert back.settings["options"] == tok.settings["options"]
        doc = json.loads((tmp_path / "b" / "tokenizer.json").read_text(encoding="utf-8"))
        doc["options"]["faster"] = True
        (tmp_path / "b" / "tokenizer.json").write_text(json.dumps(doc), encoding="utf-8")
        with pytest.raises(ValueError, match="unknown option 'faster'"):
            larkspur.load(tmp_path / "b")


    def test_letters_that_look_like_byte_symbols_train_and_travel_as_characters(self, corpus, tmp_path):
        counts = dict(larkspur.count_words([corpus]))
        counts.update({"३०°": 5, "Śiva": 4, "ā": 3, "café": 2})
        tok = larkspur.train_from_word_counts(counts, vocab_size=900, progress=False)
        text = "तापमान ३०° है, Śiva café ā ะ"
        ids = tok.encode(text)
        assert tok.decode(ids) == text
        assert {"°", "ā", "é"} <= {tok.decode([i]) for i in ids}  # a byte token alone decodes to U+FFFD
        tok.save(tmp_path / "b")
        back = larkspur.load(tmp_path / "b")
        assert back.encode(text) == ids and back.decode(ids) == text


def _write(path, lines):
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


class TestPruning:
    """Training past the size and giving back the least used merges."""

    def test_a_recipe_run_ends_at_the_size_asked_for(self, corpus, tmp_path):
        tok = larkspur.train(corpus, vocab_size=900, recipe="plain", progress=False,
                             checkpoint_dir=tmp_path / "ck", checkpoint_every=50)
        assert tok.vocab_size == 900 and tok.settings["training"]["trained_size"] == 896
        again = larkspur.resume(tmp_path / "ck", progress=False)
        assert again.get_vocab() == tok.get_vocab()
