"""Vocabulary: seeding, loading, promotion, the TSV file and root sets."""

import math
import re

import pytest

from LarkspurTokenization import PyLarkspurTokenization as Tok

DEV, LAT, PUN, FMT, MAL = 0, 1, 2, 3, 4
WS, WL = "\u2581", "\u2582"       # word-start markers
ZWNJ = "\u200c"
KA, KHA, GA, KI = "\u0915", "\u0916", "\u0917", "\u0915\u093f"
MARKS = [chr(c) for c in (0x2010, 0x2011, 0x2012, 0x2013, 0x2014, 0x2015, 0x2018, 0x2019,
                          0x201A, 0x201B, 0x201C, 0x201D, 0x201E, 0x201F, 0x2026)]
ALNUM = ([chr(c) for c in range(ord("a"), ord("z") + 1)]
         + [chr(c) for c in range(ord("A"), ord("Z") + 1)]
         + [chr(c) for c in range(ord("0"), ord("9") + 1)])


def _printable(b):
    return 0x21 <= b <= 0x7E or 0xA1 <= b <= 0xAC or 0xAE <= b <= 0xFF


_REMAPPED = [b for b in range(256) if not _printable(b)]
BYTE_SYMBOLS = [chr(b) if _printable(b) else chr(0x100 + _REMAPPED.index(b)) for b in range(256)]
BASE_SURFACES = ([WS, WL] + MARKS + ALNUM
                 + [s for s in BYTE_SYMBOLS if s not in ALNUM] + [ZWNJ])
BASE_SCRIPTS = bytes([DEV, LAT] + [PUN] * 15 + [LAT] * 62 + [MAL] * 194 + [FMT])
MISMATCH = ("folding-mode mismatch: vocab was built with mode={} but this tokenizer is mode={}. "
            "Modes are a build-time fork \u2014 one tokenizer, one vocabulary, one model per mode. "
            "Rebuild, or pass allow_mode_mismatch=True if you know what you are doing.")


def exact(msg):
    return "^" + re.escape(msg) + "$"


def named(arg):
    return rf"(?<!\w){arg}(?!\w)"


def base(tok=None, aksharas=(), seeds=(), punct=()):
    tok = tok or Tok()
    tok.initialize_vocab(list(aksharas), list(seeds), list(punct), [], [])
    return tok


def surfaces(tok):
    return [tok.vocab_get_surface(i) for i in range(tok.vocab_size())]


class TestNewObject:
    def test_empty_tables(self):
        tok = Tok()
        assert tok.vocab_size() == 0
        assert tok.script_ids() == b"" and isinstance(tok.script_ids(), bytes)
        assert tok.get_vocab_dict() == {}
        assert tok.paradigm_embedding_ids() == []
        assert tok.get_root_set("a") == []
        assert tok.vocab_get_id("a") is None and not tok.vocab_contains("a")

    @pytest.mark.parametrize("method", ["vocab_get_surface", "get_token_surface"])
    def test_surface_of_missing_id(self, method):
        for tok in (Tok(), base()):
            with pytest.raises(ValueError, match=exact("Invalid token ID")):
                getattr(tok, method)(tok.vocab_size())

    def test_negative_id_refused(self):
        with pytest.raises(OverflowError):
            base().vocab_get_surface(-1)


class TestInitializeVocab:
    def test_base_vocabulary_layout(self):
        tok = Tok()
        assert tok.initialize_vocab([], [], [], [], []) == 274
        assert surfaces(tok) == BASE_SURFACES
        assert tok.script_ids() == BASE_SCRIPTS
        assert tok.vocab_get_id(BYTE_SYMBOLS[0]) == 79
        assert tok.vocab_get_id(ZWNJ) == 273
        assert tok.get_vocab_dict() == {s: i for i, s in enumerate(BASE_SURFACES)}
        for i, s in enumerate(BASE_SURFACES):
            assert tok.get_token_surface(i) == s and tok.vocab_get_id(s) == i

    def test_letter_a_is_latin_not_byte(self):
        tok = base()
        assert tok.vocab_get_id("a") == 17
        assert tok.script_ids()[17] == LAT
        assert BYTE_SYMBOLS[0x61] == "a"

    def test_comma_as_punctuation(self):
        tok = Tok()
        assert tok.initialize_vocab([], [], [","], [], []) == 274
        assert tok.vocab_get_id(",") == 2
        assert tok.script_ids()[2] == PUN

    def test_list_decides_kind(self):
        tok = Tok()
        assert tok.initialize_vocab([], ["a"], ["b"], [], []) == 274
        assert tok.vocab_get_id("a") == 0 and tok.vocab_get_id("b") == 3
        assert tok.script_ids()[0] == DEV and tok.script_ids()[3] == PUN

    def test_akshara_registration_wins_over_seed(self):
        tok = Tok()
        n = tok.initialize_vocab([KA], [KI, KA], [], [KA], [KI])
        assert n == 276
        assert tok.vocab_get_id(KA) == 0 and tok.vocab_get_id(KI) == 1
        assert tok.script_ids()[:4] == bytes([DEV, DEV, DEV, LAT])

    def test_second_call_appends(self):
        tok = base()
        assert tok.initialize_vocab([KA, "a"], [], [], [], []) == 275
        assert tok.vocab_get_id(KA) == 274 and tok.vocab_get_id("a") == 17

    def test_normalization_is_not_applied_to_lookups(self):
        tok = base(aksharas=["\u0929"])
        assert tok.vocab_contains("\u0929")
        assert tok.vocab_get_id("\u0928\u093c") is None

    @pytest.mark.parametrize("pos, name", list(enumerate(
        ["aksharas", "seed_morphemes", "punctuation", "v_strict", "v_ambiguous"])))
    def test_plain_string_refused(self, pos, name):
        tok = Tok()
        args = [[KA], [], [], [], []]
        args[pos] = "ab"
        with pytest.raises(TypeError, match=named(name)):
            tok.initialize_vocab(*args)
        assert tok.vocab_size() == 0


class TestAbbreviationWindow:
    # The longest seed holding "." or a danda bounds the encoder's abbreviation
    # lookahead; such seeds are only found by that step because the stop is
    # punctuation and would otherwise split the run.
    @pytest.mark.parametrize("seed, marker", [("a.b", WL), (KA + "\u0964" + KHA, WS)])
    def test_seed_with_stop_enables_window(self, seed, marker):
        tok = base(seeds=[seed])
        assert tok.encode(seed) == [tok.vocab_get_id(marker), tok.vocab_get_id(seed)]

    def test_next_seeding_resets_window(self):
        tok = base(seeds=["a.b"])
        tok.initialize_vocab([], [], [], [], [])
        assert tok.vocab_get_id("a.b") not in tok.encode("a.b")

    def test_only_seeds_with_stops_count(self):
        # Window 3 would miss "ab." at a word start; a window of 6 from "abcdef" would find it.
        tok = base(seeds=["ab.", "abcdef"])
        assert tok.vocab_get_id("ab.") not in tok.encode("ab.")

    def test_load_vocab_sets_window(self):
        tok = Tok()
        tok.load_vocab([(0, "a.b"), (1, "a"), (2, "b"), (3, ".")])
        assert tok.encode("a.b") == [tok.vocab_get_id(WL), 0]


class TestLoadVocab:
    def test_reorders_and_appends_markers(self):
        tok = base()
        assert tok.load_vocab([(7, "b"), (3, "a")]) == 4
        assert surfaces(tok) == ["a", "b", WS, WL]
        assert tok.script_ids() == bytes([LAT, LAT, DEV, LAT])

    def test_equal_ids_keep_input_order(self):
        tok = Tok()
        assert tok.load_vocab([(1, "p"), (0, "q"), (1, "r")]) == 5
        assert surfaces(tok)[:3] == ["q", "p", "r"]

    def test_duplicate_surfaces(self, tmp_path):
        tok = Tok()
        assert tok.load_vocab([(0, "x"), (1, "x")]) == 4
        assert tok.vocab_get_id("x") == 1
        assert surfaces(tok)[:2] == ["x", "x"]
        tok.save_vocab_tsv(str(tmp_path / "v.tsv"))
        lines = (tmp_path / "v.tsv").read_text(encoding="utf-8").split("\n")
        assert lines[1:3] == ["0\tx", "1\tx"]

    def test_present_markers_not_appended(self):
        tok = Tok()
        assert tok.load_vocab([(0, WL), (1, WS)]) == 2
        assert tok.script_ids() == bytes([LAT, DEV])

    @pytest.mark.parametrize("surface, script", [
        ("a", LAT), ("Z", LAT), ("7", LAT), ("abc123", LAT), (WL + "e9", LAT), ("", LAT),
        (WL, LAT), (WS, DEV), (ZWNJ, FMT),
        (WL + "e-mail", DEV), (WL + WL, DEV), (WS + "ab", DEV), ("ab,", DEV),
        ("!", MAL), (",", MAL), ("\u0100", MAL), ("\u0120", MAL), ("\u0143", MAL), ("\u00e9", MAL),
        (" ", DEV), ("\u00ad", DEV), ("\u0964", DEV), (KA, DEV), ("\uff41", DEV), ("\u2014", DEV),
    ])
    def test_script_follows_surface(self, surface, script):
        tok = Tok()
        tok.load_vocab([(0, surface)])
        assert tok.script_ids()[0] == script

    def test_clears_root_sets(self):
        tok = base(aksharas=[KA])
        tok.add_paradigm(3, {KA: []})
        tok.assign_initial_roots()
        assert tok.get_root_set(KA) == [3]
        tok.load_vocab([(0, KA)])
        assert tok.get_root_set(KA) == []

    @pytest.mark.parametrize("pairs", ["ab", [(0, "a"), (1, 2)], [(0, "a"), (-1, "b")], [(0,)]])
    def test_refused_pairs_change_nothing(self, pairs):
        tok = base()
        with pytest.raises((TypeError, OverflowError)):
            tok.load_vocab(pairs)
        assert surfaces(tok) == BASE_SURFACES

    def test_str_pairs_names_argument(self):
        with pytest.raises(TypeError, match=named("pairs")):
            Tok().load_vocab("ab")


class TestSeedSets:
    def test_induce_gate(self):
        tok = Tok()
        n = tok.induce_ambiguous_seeds([("\u0915\u0930", 2.0), ("\u0916\u093e", 1.0), ("", 9.0)], 2.0)
        assert n == 1
        assert surfaces(tok) == ["\u0915\u0930"] and tok.script_ids() == bytes([DEV])

    @pytest.mark.parametrize("count, c_lo", [(math.nan, 0.0), (5.0, math.nan), (math.nan, math.nan),
                                             (-math.inf, 0.0)])
    def test_induce_rejects(self, count, c_lo):
        tok = Tok()
        assert tok.induce_ambiguous_seeds([(KA, count)], c_lo) == 0
        assert tok.vocab_size() == 0

    def test_induce_existing_surface_counts_and_keeps_kind(self):
        tok = base()
        assert tok.induce_ambiguous_seeds([("a", 5.0), (KA, 1), (KA, 3.0)], 1) == 3
        assert tok.vocab_size() == 275
        assert tok.script_ids()[17] == LAT and tok.script_ids()[274] == DEV

    def test_induce_refusals_change_nothing(self):
        tok = Tok()
        with pytest.raises(TypeError, match=named("candidates")):
            tok.induce_ambiguous_seeds("ab", 1.0)
        with pytest.raises(TypeError):
            tok.induce_ambiguous_seeds([(KA, 3.0), (KHA, "x")], 1.0)
        with pytest.raises(TypeError, match=named("c_lo")):
            tok.induce_ambiguous_seeds([(KA, 3.0)], "1")
        assert tok.vocab_size() == 0

    def test_promotion_needs_validation(self):
        tok = Tok()
        tok.induce_ambiguous_seeds([(KA, 3.0)], 1.0)
        assert tok.promote_to_strict(KA) is False
        assert tok.promote_to_strict(KA, human_validated=False) is False
        assert tok.promote_to_strict(KA, human_validated=True) is True
        assert tok.promote_to_strict(KHA, human_validated=True) is False
        with pytest.raises(TypeError, match=named("human_validated")):
            tok.promote_to_strict(KA, 1)

    def test_token_weight(self):
        tok = base()
        assert tok.set_token_weight("a", -2.5) is True
        assert tok.set_token_weight("a", 3) is True
        assert tok.set_token_weight(KA, 2.0) is False
        assert tok.vocab_size() == 274
        with pytest.raises(TypeError, match=named("weight")):
            tok.set_token_weight("a", "heavy")


def tsv(tmp_path, text, name="v.tsv"):
    p = tmp_path / name
    p.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))
    return str(p)


class TestEscapeTsv:
    @pytest.mark.parametrize("raw, escaped", [
        ("a", "a"), ("x\ty", "x\\ty"), ("x\ny", "x\\ny"), ("end\\", "end\\\\"),
        ("a\rb", "a\rb"), ("\\t", "\\\\t"), ("", ""),
    ])
    def test_table(self, raw, escaped):
        assert Tok.escape_tsv(raw) == escaped
        assert Tok().escape_tsv(raw) == escaped


class TestTsvFile:
    def test_save_format_and_round_trip(self, tmp_path):
        tok = Tok()
        tok.load_vocab([(0, "a"), (1, "x\ty"), (2, "end\\"), (3, "n\nl")])
        path = str(tmp_path / "v.tsv")
        assert tok.save_vocab_tsv(path) is None
        assert (tmp_path / "v.tsv").read_bytes().decode() == (
            "# tamsil-v4 mode=LM\n0\ta\n1\tx\\ty\n2\tend\\\\\n3\tn\\nl\n4\t" + WS + "\n5\t" + WL + "\n")
        again = Tok()
        assert again.load_vocab_tsv(path) == 6
        assert surfaces(again) == ["a", "x\ty", "end\\", "n\nl", WS, WL]

    @pytest.mark.parametrize("mode", ["LM", "OCR"])
    def test_empty_vocabulary_is_header_only(self, tmp_path, mode):
        Tok(mode=mode).save_vocab_tsv(str(tmp_path / "v.tsv"))
        assert (tmp_path / "v.tsv").read_bytes() == f"# tamsil-v4 mode={mode}\n".encode()

    @pytest.mark.parametrize("field, surface", [
        ("\\x", "\\x"), ("ab\\", "ab\\"), ("a\\\\t", "a\\t"), ("\\t\\n", "\t\n"), ("a\tb", "a\tb"),
    ])
    def test_unescaping(self, tmp_path, field, surface):
        tok = Tok()
        tok.load_vocab_tsv(tsv(tmp_path, f"# mode=LM\n0\t{field}\n"))
        assert tok.vocab_get_surface(0) == surface

    @pytest.mark.parametrize("header", ["", "# tamsil-v4\n", "# tamsil-v4 mode=XY\n",
                                        "# mode=LM\n# mode=bogus\n", "#mode=\n",
                                        "# tamsil-v4 mode=LM v2\n", "# mode=OCR mode=LM\n",
                                        " # tamsil-v4 mode=LM\n"])
    @pytest.mark.parametrize("mode", ["LM", "OCR"])
    def test_missing_mode_header_warns(self, tmp_path, capfd, header, mode):
        path = tsv(tmp_path, header + "0\tq\n")
        tok = Tok(mode=mode)
        assert tok.load_vocab_tsv(path) == 3
        assert capfd.readouterr().err == (
            f"[load] warning: {path} has no mode header; assuming mode={mode}\n")
        assert tok.vocab_get_id("q") == 0

    @pytest.mark.parametrize("header", ["#what ever mode= ocr \n", "#mode=\u00a0Ocr\u3000\r\n"])
    def test_lower_case_tag_after_free_text(self, tmp_path, capfd, header):
        path = tsv(tmp_path, header + "0\tq\n")
        tok = Tok(mode="OCR")
        assert tok.load_vocab_tsv(path) == 3
        assert capfd.readouterr().err == ""
        with pytest.raises(ValueError, match=exact(MISMATCH.format("OCR", "LM"))):
            Tok().load_vocab_tsv(path)

    def test_last_mode_comment_decides_anywhere(self, tmp_path, capfd):
        path = tsv(tmp_path, "# mode=OCR\n0\tq\n# tamsil-v4 mode=LM\n")
        assert Tok().load_vocab_tsv(path) == 3
        assert capfd.readouterr().err == ""

    @pytest.mark.parametrize("ours, theirs", [("LM", "OCR"), ("OCR", "LM")])
    def test_mode_refusal_and_override(self, tmp_path, capfd, ours, theirs):
        path = tsv(tmp_path, f"# tamsil-v4 mode={theirs}\n0\tq\n")
        tok = base(Tok(mode=ours))
        with pytest.raises(ValueError, match=exact(MISMATCH.format(theirs, ours))):
            tok.load_vocab_tsv(path)
        assert surfaces(tok) == BASE_SURFACES
        assert tok.load_vocab_tsv(path, allow_mode_mismatch=True) == 3
        assert tok.vocab_get_id("q") == 0
        assert capfd.readouterr().err == ""

    def test_malformed_id_lines(self, tmp_path):
        tok = Tok()
        text = "# tamsil-v4 mode=LM\n12\n12\t\nx\tq\n-1\tr\n+3\ts\n\n"
        assert tok.load_vocab_tsv(tsv(tmp_path, text)) == 5
        assert surfaces(tok) == ["s", "", "", WS, WL]
        assert tok.vocab_get_id("") == 2
        assert tok.script_ids()[:3] == bytes([LAT, LAT, LAT])

    @pytest.mark.parametrize("field", ["", "+", "-", "++3", " 3", "3 ", "0x3", "3.0", "-0",
                                       "\u0663", "99999999999999999999999"])
    def test_skipped_id_fields(self, tmp_path, field):
        tok = Tok()
        assert tok.load_vocab_tsv(tsv(tmp_path, f"# mode=LM\n{field}\tq\n")) == 2
        assert not tok.vocab_contains("q")

    def test_leading_zeros_are_digits(self, tmp_path):
        tok = Tok()
        tok.load_vocab_tsv(tsv(tmp_path, "# mode=LM\n007\tq\n3\tp\n"))
        assert surfaces(tok)[:2] == ["p", "q"]

    def test_ids_are_renumbered(self, tmp_path):
        tok = Tok()
        assert tok.load_vocab_tsv(tsv(tmp_path, "# mode=LM\n5\tfive\n2\ttwo\n")) == 4
        assert surfaces(tok) == ["two", "five", WS, WL]

    def test_crlf_line_ends(self, tmp_path, capfd):
        lf, crlf = Tok(), Tok()
        body = "# tamsil-v4 mode=LM\n0\ta\n1\t" + KI + "\n2\tx\\ty\n"
        lf.load_vocab_tsv(tsv(tmp_path, body, "lf.tsv"))
        crlf.load_vocab_tsv(tsv(tmp_path, body.replace("\n", "\r\n"), "crlf.tsv"))
        assert surfaces(crlf) == surfaces(lf) == ["a", KI, "x\ty", WS, WL]
        assert capfd.readouterr().err == ""

    def test_trailing_cr_in_surface_is_lost(self, tmp_path):
        tok = Tok()
        tok.load_vocab([(0, "ab\r"), (1, "c\rd")])
        path = str(tmp_path / "v.tsv")
        tok.save_vocab_tsv(path)
        again = Tok()
        again.load_vocab_tsv(path)
        assert surfaces(again)[:2] == ["ab", "c\rd"]

    def test_base_vocabulary_round_trip(self, tmp_path):
        path = str(tmp_path / "v.tsv")
        base().save_vocab_tsv(path)
        with open(path, encoding="utf-8", newline="") as f:
            assert f.readline() == "# tamsil-v4 mode=LM\n"
        tok = Tok()
        assert tok.load_vocab_tsv(path) == 274
        assert surfaces(tok) == BASE_SURFACES
        # Loading re-derives kinds: the typographic marks become DEV, nothing else moves.
        assert tok.script_ids() == bytes([DEV, LAT] + [DEV] * 15) + BASE_SCRIPTS[17:]

    def test_invalid_utf8_leaves_vocabulary(self, tmp_path):
        tok = base()
        path = tsv(tmp_path, b"# tamsil-v4 mode=LM\n0\ta\n1\t\xff\n2\tb\n")
        with pytest.raises(OSError, match=exact("read: stream did not contain valid UTF-8")):
            tok.load_vocab_tsv(path)
        assert surfaces(tok) == BASE_SURFACES

    def test_missing_paths(self, tmp_path):
        missing = str(tmp_path / "absent.tsv")
        tok = base()
        with pytest.raises(OSError, match=exact(f"open {missing}: No such file or directory (os error 2)")):
            tok.load_vocab_tsv(missing)
        assert tok.vocab_size() == 274
        target = str(tmp_path / "no" / "dir.tsv")
        with pytest.raises(OSError, match=exact(f"create {target}: No such file or directory (os error 2)")):
            tok.save_vocab_tsv(target)
        with pytest.raises(OSError, match=exact(f"create {tmp_path}: Is a directory (os error 21)")):
            tok.save_vocab_tsv(str(tmp_path))
        with pytest.raises(OSError, match=exact("read: Is a directory (os error 21)")):
            tok.load_vocab_tsv(str(tmp_path))
        assert tok.vocab_size() == 274


def tagged(prior=None, regs=((7, {KA: [KHA]}), (3, {KA: []}))):
    tok = base(aksharas=[KA, KHA, GA])
    for root, transitions in regs:
        tok.add_paradigm(root, transitions)
    if prior is not None:
        tok.set_root_prior(prior)
    tok.assign_initial_roots()
    return tok


class TestRootSets:
    @pytest.mark.parametrize("prior, expected", [
        ({}, [3, 7]), ({7: 2.0}, [7, 3]), ({3: 1.5, 7: 1.5}, [3, 7]), ({7: 0.5}, [3, 7]),
        ({7: math.nan}, [3, 7]), ({3: 0.1, 9: 5.0}, [7, 3]),
    ])
    def test_order_by_prior(self, prior, expected):
        assert tagged(prior).get_root_set(KA) == expected

    def test_registration_order_does_not_matter(self):
        assert tagged(regs=((3, {KA: []}), (7, {KA: []}))).get_root_set(KA) == [3, 7]

    def test_root_registered_twice(self):
        assert tagged(regs=((5, {KA: []}), (5, {KA: [GA]}))).get_root_set(KA) == [5, 5]

    def test_only_keys_count(self):
        tok = tagged()
        assert tok.get_root_set(KHA) == []
        assert tok.get_root_set(GA) == []

    def test_retagging_resorts(self):
        tok = tagged()
        tok.set_root_prior({7: 4.0})
        assert tok.get_root_set(KA) == [3, 7]
        tok.assign_initial_roots()
        assert tok.get_root_set(KA) == [7, 3]

    def test_only_devanagari_kinds_are_tagged(self):
        tok = base(seeds=["b"], punct=[","])
        tok.add_paradigm(2, {"a": [], "b": [], ",": [], "!": [], ZWNJ: [], WL: [], WS: []})
        tok.assign_initial_roots()
        assert tok.get_root_set("b") == [2] and tok.get_root_set(WS) == [2]
        for s in ("a", ",", "!", ZWNJ, WL):
            assert tok.get_root_set(s) == [], s
        assert tok.get_root_set("\u0939\u0948") == []

    def test_loaded_tokens_are_tagged(self):
        tok = Tok()
        tok.load_vocab([(0, KI), (1, "\u0964")])
        tok.add_paradigm(4, {KI: [], "\u0964": []})
        tok.assign_initial_roots()
        assert tok.get_root_set(KI) == [4] and tok.get_root_set("\u0964") == [4]


class TestParadigmEmbedding:
    def test_one_root_or_none(self):
        tok = tagged(regs=((7, {KA: []}), (3, {KA: []}), (5, {KHA: []})))
        assert tok.build_paradigm_embedding() == 1
        ids = tok.paradigm_embedding_ids()
        assert len(ids) == tok.vocab_size() == 277
        assert ids[0] == -1 and ids[1] == 5 and ids[2] == -1
        assert set(ids[3:]) == {-1}

    @pytest.mark.parametrize("prior, expected", [({}, 3), ({7: 2.0}, 7), ({3: 1.0, 7: 1.0}, 3),
                                                 ({3: math.nan}, 3)])
    def test_seeded_by_prior(self, prior, expected):
        tok = tagged(prior)
        assert tok.build_paradigm_embedding(seed_ambiguous_by_prior=True) == 1
        assert tok.paradigm_embedding_ids()[0] == expected

    def test_prior_read_at_build_time(self):
        tok = tagged()
        tok.set_root_prior({7: 2.0})
        tok.build_paradigm_embedding(True)
        assert tok.paradigm_embedding_ids()[0] == 7

    def test_lexicon_takes_precedence(self):
        tok = tagged()
        tok.set_lexicon({KA: 9, "a": 4, "!": 11, "absent": 1})
        assert tok.build_paradigm_embedding(True) == 3
        ids = tok.paradigm_embedding_ids()
        assert (ids[0], ids[tok.vocab_get_id("a")], ids[tok.vocab_get_id("!")]) == (9, 4, 11)
        tok.set_lexicon({})
        assert tok.build_paradigm_embedding() == 0

    def test_new_ids_after_build(self):
        tok = tagged(regs=((5, {KA: []}),))
        tok.build_paradigm_embedding()
        tok.initialize_vocab(["\u0918"], [], [], [], [])
        tok.add_paradigm(5, {"\u0918": []})
        tok.assign_initial_roots()
        ids = tok.paradigm_embedding_ids()
        assert len(ids) == tok.vocab_size() == 278
        assert ids[0] == 5 and ids[277] == -1

    def test_rebuild_empties_previous_entries(self):
        tok = tagged(regs=((5, {KA: []}),))
        tok.set_lexicon({"a": 1})
        assert tok.build_paradigm_embedding() == 2
        tok.set_lexicon({})
        assert tok.build_paradigm_embedding() == 1
        assert tok.paradigm_embedding_ids()[17] == -1


class TestParadigmArguments:
    @pytest.mark.parametrize("root, transitions, exc, name", [
        (1, "ab", TypeError, "transitions"), (1, [("a", ["b"])], TypeError, "transitions"),
        (-1, {KA: []}, OverflowError, "root_id"), ("1", {KA: []}, TypeError, "root_id"),
    ])
    def test_named_refusals(self, root, transitions, exc, name):
        with pytest.raises(exc, match=named(name)):
            Tok().add_paradigm(root, transitions)

    @pytest.mark.parametrize("transitions", [
        {KA: [KHA], 5: [GA]}, {KA: [KHA], GA: "ab"}, {KA: [KHA], GA: [1]}, {KA: [KHA], GA: None},
    ])
    def test_bad_transitions_register_nothing(self, transitions):
        tok = base(aksharas=[KA, GA])
        with pytest.raises(TypeError):
            tok.add_paradigm(7, transitions)
        tok.assign_initial_roots()
        assert tok.get_root_set(KA) == [] and tok.get_root_set(GA) == []

    def test_bad_lexicon_keeps_old_one(self):
        tok = tagged(regs=((5, {KA: []}),))
        tok.set_lexicon({KA: 9})
        for bad in ({KA: 1, KHA: -1}, {KA: 1, 3: 2}, [(KA, 1)], {KA: "1"}):
            with pytest.raises((TypeError, OverflowError), match=named("lexicon")):
                tok.set_lexicon(bad)
        tok.build_paradigm_embedding()
        assert tok.paradigm_embedding_ids()[0] == 9

    def test_flag_must_be_bool(self):
        with pytest.raises(TypeError, match=named("seed_ambiguous_by_prior")):
            base().build_paradigm_embedding(1)
