"""The scheme's optional behaviour as the recipes switch it on: code-point fallback, symbol
tokens, whitespace tokens, joins at word edges, Latin joins."""

import json
import random
import re
from collections import Counter

import pytest

import larkspur

from conftest import write_lines


def _request(size, seeds=(), symbol_min_freq=1, symbol_limit=1000, **scheme):
    from larkspur import _engine

    return _engine.TrainingRequest("LM", [], scheme, size, [], [], [], seed_tiers=[(10**9, list(seeds))],
                                   punctuation=["।", ",", '"'], symbol_min_freq=symbol_min_freq,
                                   symbol_limit=symbol_limit,
                                   ids_per_symbol=1)  # every symbol of the words, however small the vocabulary


def _engine_with(aksharas, seeds=(), symbols=(), **scheme):
    """A tokenizer holding just the base vocabulary of the given aksharas, seeds and symbols,
    with the named scheme fields on (the others off): trained to its own base size, so that
    nothing is merged."""
    from larkspur import _engine

    words = larkspur.WordCounts({w: 1 for w in [*aksharas, *symbols]})._table
    base = _engine.plan_training(words, 0, _request(10**6, seeds, **scheme)).base_size
    request = _request(base, seeds, **scheme)
    return _engine.train(request, _engine.plan_training(words, 0, request), None, 0, 3, 0, None)


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

        table = larkspur.WordCounts(list(zip(words, counts)))._table  # a word drawn twice adds up
        without = _engine.plan_training(table, 0, _request(10**6)).aksharas
        for min_freq, limit in [(1, 1000), (40, 1000), (1, 5)]:
            want = sorted((c for c, n in seen.items() if n >= min_freq), key=lambda c: (-seen[c], c))[:limit]
            plan = _engine.plan_training(table, 0, _request(10**6, symbol_min_freq=min_freq, symbol_limit=limit,
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
        apart = larkspur.train_from_word_counts(larkspur.count_words([write_lines(tmp_path / "c.txt", lines)]),
                                                vocab_size=700, recipe="plain", progress=False,
                                                _core_options=False)
        tokens = apart.tokenize("वह घर है।")
        assert tokens[-1] == "।" and "▁है" in tokens
        # The halves of a frequent hyphenated pair join too.
        assert joined.tokenize("बार-बार") == ["▁बार-बार"]
        assert apart.tokenize("बार-बार")[-2:] == ["-", "बार"]

    def test_english_words_take_the_punctuation_before_and_inside_them(self):
        lines = ["वह घर है। (see the docs) and it's done, --help", "यह सच है। (see also) it's __init__()"] * 60
        tok = larkspur.train(texts=lines, vocab_size=700, recipe="plain", progress=False)
        # The word opens with punctuation before a letter: a Latin word, one token here.
        assert tok.tokenize("(see") == ["▂(see"] and tok.tokenize("--help") == ["▂--help"]
        assert tok.tokenize("it's") == ["▂it's"]
        # Opening punctuation before Devanagari stays with the Devanagari word.
        assert tok.tokenize("(घर")[0].startswith("▁")
        text = "(see it's __init__() (घर) --x"
        assert tok.decode(tok.encode(text)) == text
        assert tok.encode_with_offsets(text)[1][0] == (0, 4)

    def test_a_corpus_that_quotes_the_special_tokens_keeps_them_special(self):
        # Latin joins let "<" and "unk" merge, and "<unk>" would have become a trained token
        # before the special token of that text was added (a ValueError at the end of a run).
        wrappers = ["`%s`", "(%s)", "[%s]", '"%s"', "'%s'", "{%s}", "%s,", "%s.", "a%sb", "x%s"]
        lines = [" ".join(w % t for w in wrappers) + " यह घर है।" for t in ("<unk>", "<s>")] * 40
        tok = larkspur.train(texts=lines, vocab_size=600, progress=False)
        trained = tok._engine.export_tokens()[0]
        assert not {"<unk>", "<s>"} & set(trained)
        # Without those special tokens the same words do make such tokens.
        unreserved = larkspur.train(texts=lines, vocab_size=600, special_tokens=(), progress=False)
        assert {"<unk>", "<s>"} <= set(unreserved._engine.export_tokens()[0])
        assert tok.token_to_id("<unk>") in tok.encode("a <unk> b", allowed_special="all")
        assert tok.decode(tok.encode(lines[0])) == lines[0]

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
                                           "edge_joins": True, "marker_stems": True, "latin_joins": True,
                                           "superword_words": 0}
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
