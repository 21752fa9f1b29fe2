"""Text front end: fold modes, the normalizer N and the akshara automaton."""

import bz2
import os
import re
import subprocess
import sys
import threading
import time
import unicodedata
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from LarkspurTokenization import PyLarkspurTokenization as Tok

ZWJ, ZWNJ = "\u200d", "\u200c"
MODE_ERROR = "mode must be 'LM' or 'OCR'"
# Unicode's conformance data, as Debian's unicode-data package ships it (compressed).
NORMALIZATION_TEST = next((p for p in (Path("/usr/share/unicode/NormalizationTest.txt"),
                                       Path("/usr/share/unicode/NormalizationTest.txt.bz2")) if p.exists()),
                          Path("/usr/share/unicode/NormalizationTest.txt"))


def span(lo, hi):
    return [chr(c) for c in range(lo, hi + 1)]


# The default Devanagari grammar, written out class by class.
CONSONANTS = span(0x915, 0x939) + span(0x958, 0x95F) + span(0x978, 0x97F)
VOWEL_SIGNS = (span(0x93A, 0x93B) + span(0x93E, 0x94C) + span(0x94E, 0x94F)
               + span(0x955, 0x957) + span(0x962, 0x963))
NASALS = span(0x900, 0x903)
INDEPENDENT = span(0x904, 0x914) + span(0x972, 0x977)
STANDALONE = ["\u093d", "\u0950"] + span(0x966, 0x971)
ACCEPTING = {1, 2, 3, 4, 6}
GRAMMAR = {
    0: [(c, 1) for c in CONSONANTS] + [(c, 3) for c in INDEPENDENT]
       + [(c, 6) for c in STANDALONE],
    1: [("\u093c", 1), ("\u094d", 2)] + [(c, 3) for c in VOWEL_SIGNS]
       + [(c, 4) for c in NASALS],
    2: [(c, 1) for c in CONSONANTS],
    3: [(c, 3) for c in VOWEL_SIGNS] + [(c, 4) for c in NASALS],
}


def segment(transitions, accepting, text):
    """Longest accepted prefix with single-character fallback."""
    out, i = [], 0
    while i < len(text):
        state, j, last = 0, i, None
        while j < len(text) and (state, text[j]) in transitions:
            state = transitions[(state, text[j])]
            j += 1
            if state in accepting:
                last = j
        if last is None:
            out.append(text[i])
            i += 1
        else:
            out.append(text[i:last])
            i = last
    return out


def lm_nfc(s):
    return unicodedata.normalize("NFC", unicodedata.normalize("NFC", s).replace(ZWJ, ""))


class TestFoldModeParsing:
    def test_default_is_lm(self):
        assert Tok().fold_mode() == "LM"

    @pytest.mark.parametrize("tag, expected", [
        ("LM", "LM"), ("OCR", "OCR"), ("  ocr ", "OCR"), ("Lm", "LM"), ("oCr", "OCR"),
        ("\tLM\n", "LM"), ("\u3000lm\u2003", "LM"), ("\u0085OCR\u00a0", "OCR"),
    ])
    def test_accepted_tags(self, tag, expected):
        assert Tok(mode=tag).fold_mode() == expected

    @pytest.mark.parametrize("tag", [
        "", "   ", "LMX", "L M", "OCR.", "\u200bLM", "\uff2c\uff2d", "LM\u200b", "0CR",
    ])
    def test_rejected_tags(self, tag):
        with pytest.raises(ValueError, match="^" + re.escape(MODE_ERROR) + "$"):
            Tok(mode=tag)

    def test_mode_none_is_a_type_error(self):
        with pytest.raises(TypeError, match=r"\bmode\b"):
            Tok(mode=None)

    @pytest.mark.parametrize("arg", ["folding_rules", "minimal_folding_rules"])
    @pytest.mark.parametrize("mode", ["LM", "OCR"])
    def test_plain_string_rule_list_refused(self, arg, mode):
        # Refused even when the mode would discard that list.
        with pytest.raises(TypeError, match=rf"(?<!\w){arg}(?!\w)"):
            Tok(**{arg: "ab", "mode": mode})

    @pytest.mark.parametrize("rules", [[("a",)], [("a", 1)], [("a", "b", "c")], ["ab"], [None]])
    def test_malformed_rule_items_refused(self, rules):
        with pytest.raises(TypeError):
            Tok(folding_rules=rules)

    def test_none_and_tuples_accepted(self):
        assert Tok(folding_rules=None, minimal_folding_rules=None).normalize("ab") == "ab"
        assert Tok(folding_rules=(("a", "b"),)).normalize("a") == "b"

    def test_mode_selects_rule_list(self):
        kw = dict(folding_rules=[("a", "L")], minimal_folding_rules=[("a", "O")])
        assert Tok(mode="LM", **kw).normalize("a") == "L"
        assert Tok(mode="OCR", **kw).normalize("a") == "O"


class TestRuleOrder:
    def test_longest_pattern_wins_whatever_the_listing(self):
        assert Tok([("ab", "X"), ("abc", "Y")]).normalize("abcd") == "Yd"
        assert Tok([("abc", "Y"), ("ab", "X")]).normalize("abcd") == "Yd"
        assert Tok([("ab", "X"), ("abc", "Y")]).normalize("abd") == "Xd"

    def test_first_listed_wins_among_equal_lengths(self):
        assert Tok([("a", "1"), ("a", "2")]).normalize("aa") == "11"
        assert Tok([("a", "2"), ("a", "1")]).normalize("aa") == "22"

    def test_replacements_are_not_rescanned(self):
        tok = Tok([("a", "b"), ("b", "c")])
        assert tok.normalize("a") == "b"
        assert tok.normalize("ab") == "bc"

    def test_empty_pattern_never_matches(self):
        assert Tok([("", "X")]).normalize("abc") == "abc"

    def test_rule_can_delete(self):
        assert Tok([("\u093c", "")]).normalize("\u0921\u093c") == "\u0921"

    @settings(max_examples=300, deadline=None)
    @given(st.lists(st.tuples(st.text(alphabet="abक्\u200dन", max_size=3),
                              st.text(alphabet="abxक\u093cन\u0301e", max_size=3)), max_size=12),
           st.text(alphabet="abcक्\u093c\u200d नe\u0301", max_size=30), st.sampled_from(["LM", "OCR"]))
    def test_matches_a_literal_scan(self, rules, text, mode):
        # Test-only reference: try the rules in stored order (longest pattern first, ties in
        # listing order) at every position, as a direct scan would.
        ordered = sorted(rules, key=lambda r: -len(r[0]))
        src, out, i = unicodedata.normalize("NFC", text), [], 0
        while i < len(src):
            for pat, rep in ordered:
                if pat and src.startswith(pat, i):
                    out.append(rep)
                    i += len(pat)
                    break
            else:
                if not (src[i] == ZWJ and mode == "LM"):
                    out.append(src[i])
                i += 1
        expected = unicodedata.normalize("NFC", "".join(out))
        kw = {"folding_rules": rules} if mode == "LM" else {"minimal_folding_rules": rules}
        assert Tok(mode=mode, **kw).normalize(text) == expected


class TestValidateFoldingRules:
    @pytest.mark.parametrize("rules, expected", [
        ([], []),
        ([("a", "b")], []),
        ([("a", "b"), ("b", "c")], ["a -> b re-triggers b"]),
        ([("a", "aa")], ["a -> aa re-triggers a"]),
        # Stored order is longest pattern first, so "ab" is examined before "c".
        ([("c", "ab"), ("ab", "c")], ["ab -> c re-triggers c", "c -> ab re-triggers ab"]),
        ([("x", "ab")], []),
        ([("", "a"), ("a", "b")], [" -> a re-triggers a"]),
        ([("\u0915", "\u0915\u094d\u0937")], ["\u0915 -> \u0915\u094d\u0937 re-triggers \u0915"]),
    ])
    def test_messages(self, rules, expected):
        assert Tok(rules).validate_folding_rules() == expected

    def test_one_rule_reported_against_several(self):
        tok = Tok([("x", "ab"), ("a", "1"), ("b", "2")])
        assert tok.validate_folding_rules() == ["x -> ab re-triggers a", "x -> ab re-triggers b"]

    def test_only_active_set_examined(self):
        assert Tok(minimal_folding_rules=[("a", "aa")]).validate_folding_rules() == []
        assert Tok(folding_rules=[("a", "aa")], mode="OCR").validate_folding_rules() == []
        assert Tok(minimal_folding_rules=[("a", "aa")], mode="OCR").validate_folding_rules() == [
            "a -> aa re-triggers a"]


class TestJoinersAndComposition:
    def test_zwj_dropped_in_lm_kept_in_ocr(self):
        text = "\u0915\u094d" + ZWJ + "\u0937" + ZWJ
        assert Tok().normalize(text) == "\u0915\u094d\u0937"
        assert Tok(mode="OCR").normalize(text) == text

    def test_zwnj_never_removed(self):
        text = "\u0915\u094d" + ZWNJ + "\u0937"
        assert Tok().normalize(text) == text
        assert Tok(mode="OCR").normalize(text) == text

    @pytest.mark.parametrize("mode", ["LM", "OCR"])
    def test_zwj_inside_a_pattern_is_consumed_by_the_rule(self, mode):
        rules = [("\u094d" + ZWJ, "H")]
        tok = Tok(folding_rules=rules, minimal_folding_rules=rules, mode=mode)
        assert tok.normalize("\u0915\u094d" + ZWJ + "\u0937") == "\u0915H\u0937"

    def test_zwj_removal_lets_neighbours_compose(self):
        # Removing the joiner leaves e + combining acute, which the last NFC composes.
        assert Tok().normalize("e" + ZWJ + "\u0301") == "\u00e9"
        assert Tok(mode="OCR").normalize("e" + ZWJ + "\u0301") == "e" + ZWJ + "\u0301"

    @pytest.mark.parametrize("pattern, text", [
        ("\u0928\u093c", "\u0928\u093c"),   # NA + nukta composes to U+0929
        ("\u0928\u093c", "\u0929"),
        ("e\u0301", "e\u0301"),
    ])
    def test_decomposed_pattern_never_matches(self, pattern, text):
        tok = Tok([(pattern, "X")])
        assert tok.normalize(text) == unicodedata.normalize("NFC", text)

    def test_composed_pattern_matches_both_spellings(self):
        tok = Tok([("\u0929", "X"), ("\u00e9", "E")])
        assert tok.normalize("\u0928\u093c\u0929") == "XX"
        assert tok.normalize("e\u0301\u00e9") == "EE"

    def test_composition_after_folding(self):
        assert Tok([("x", "\u0301")]).normalize("ex") == "\u00e9"
        assert Tok([("x", "\u093c")]).normalize("\u0928x") == "\u0929"

    def test_composition_exclusions_decompose(self):
        assert Tok().normalize("\u0958") == "\u0915\u093c"
        assert Tok([("\u0958", "X")]).normalize("\u0958") == "\u0915\u093c"

    @settings(max_examples=300, deadline=None)
    @given(st.text(alphabet=st.sampled_from(
        span(0x900, 0x97F) + span(0x300, 0x315) + list("aeiouAEIO nc\u00e9\u00c5")
        + span(0x1100, 0x1103) + span(0x1161, 0x1163) + span(0x11A8, 0x11AA)
        + ["\uac00", "\u212b", "\u2126", ZWJ, ZWNJ]), max_size=24))
    def test_no_rules_is_nfc(self, s):
        assert Tok(mode="OCR").normalize(s) == unicodedata.normalize("NFC", s)
        assert Tok().normalize(s) == lm_nfc(s)


class TestCompositionCheck:
    # The check that decides whether text is already composed has fast paths for runs of
    # Devanagari, viramas and spaces; marks in the wrong canonical order, nuktas that
    # compose, accents and Latin marks must all still be caught.
    @settings(max_examples=600, deadline=None)
    @given(st.text(alphabet=st.sampled_from(
        ["\u0915", "\u0928", "\u0930", "\u0921", "\u093e", "\u093f", "\u094d", "\u093c", "\u0951",
         "\u0952", "\u0929", "\u095c", " ", "a", "e", "\u0301", "\u0327", "\u00e9", "\u200d",
         "\U0001d15e", "\U0001d165"]), max_size=40))
    def test_against_unicodedata(self, s):
        assert Tok(mode="OCR").normalize(s) == unicodedata.normalize("NFC", s)


def normalization_test_rows():
    if not NORMALIZATION_TEST.exists():
        return []
    rows, part = [], None
    opener = bz2.open if NORMALIZATION_TEST.suffix == ".bz2" else open
    with opener(NORMALIZATION_TEST, "rt", encoding="utf-8") as f:
        text = f.read()
    for line in text.splitlines():
        if line.startswith("@Part"):
            part = line.split()[0]
            continue
        if part not in ("@Part1", "@Part2") or not line or line.startswith("#"):
            continue
        cols = ["".join(chr(int(h, 16)) for h in c.split()) for c in line.split(";")[:5]]
        rows.append(cols)
    return rows


@pytest.mark.skipif(not NORMALIZATION_TEST.exists(), reason="NormalizationTest.txt not installed")
def test_conformance_file_nfc_column():
    ocr, lm = Tok(mode="OCR"), Tok()
    rows = normalization_test_rows()
    assert rows
    for source, nfc, nfd, _, _ in rows:
        for col in (source, nfc, nfd):
            assert ocr.normalize(col) == nfc, (col, nfc)
            if ZWJ not in col:
                assert lm.normalize(col) == nfc, (col, nfc)


def tokens(text, tok=None):
    return (tok or Tok()).dfa_tokenize_debug(text)


class TestDefaultGrammar:
    @pytest.mark.parametrize("text, expected", [
        ("\u0915\u094d\u0937\u093f", ["\u0915\u094d\u0937\u093f"]),
        ("\u0915\u094d\u0937 \u0915\u093f", ["\u0915\u094d\u0937", " ", "\u0915\u093f"]),
        ("\u0915\u094d", ["\u0915\u094d"]),
        ("\u093f", ["\u093f"]),
        ("\u0915\u093e\u0947", ["\u0915\u093e\u0947"]),
        ("\u0967\u0968", ["\u0967", "\u0968"]),
        ("\u0915\u0902\u0902", ["\u0915\u0902", "\u0902"]),
        ("\u0905\u0902", ["\u0905\u0902"]),
        ("\u0905\u093e", ["\u0905\u093e"]),
        ("\u0915\u093c\u093e", ["\u0915\u093c\u093e"]),
        ("\u0958", ["\u0958"]),                      # not normalized here
        ("\u0915\u0964\u0916", ["\u0915", "\u0964", "\u0916"]),
        ("\u0915\u0951", ["\u0915", "\u0951"]),
        ("\u0950\u0915", ["\u0950", "\u0915"]),
        ("ab", ["a", "b"]),
        ("", []),
    ])
    def test_segmentation(self, text, expected):
        assert tokens(text) == expected

    def test_vowel_sign_after_virama_starts_over(self):
        assert tokens("\u0915\u094d\u093e") == ["\u0915\u094d", "\u093e"]

    @pytest.mark.parametrize("state", range(8))
    def test_transitions_per_state(self, state):
        expected = sorted((c, n, n in ACCEPTING) for c, n in GRAMMAR.get(state, []))
        assert sorted(Tok().dfa_get_transitions(state)) == expected

    def test_has_transition(self):
        tok = Tok()
        assert tok.dfa_has_transition(0, "\u0915")
        assert tok.dfa_has_transition(1, "\u093c")
        assert not tok.dfa_has_transition(0, "\u093c")
        assert not tok.dfa_has_transition(5, "\u0915")
        assert not tok.dfa_has_transition(0, "\u0964")

    @settings(max_examples=300, deadline=None)
    @given(st.text(alphabet=st.sampled_from(span(0x900, 0x97F) + [" ", "a", ZWJ]), max_size=30))
    def test_matches_reference_segmenter(self, s):
        table = {(st_, c): n for st_, edges in GRAMMAR.items() for c, n in edges}
        assert tokens(s) == segment(table, ACCEPTING, s)

    @settings(max_examples=200, deadline=None)
    @given(st.text(max_size=40))
    def test_concatenation_gives_back_any_text(self, s):
        assert "".join(tokens(s)) == s


class TestCustomAutomaton:
    def test_clear_dfa(self):
        tok = Tok()
        tok.clear_dfa()
        assert tok.dfa_tokenize_debug("\u0915\u094d\u0937\u093f") == list("\u0915\u094d\u0937\u093f")
        assert not tok.dfa_has_transition(0, "\u0915")
        assert tok.dfa_get_transitions(0) == []
        # A new object still gets the grammar.
        assert Tok().dfa_has_transition(0, "\u0915")

    def test_non_accepting_intermediate_state(self):
        tok = Tok()
        tok.clear_dfa()
        tok.add_dfa_transition(0, "a", 7, False)
        tok.add_dfa_transition(7, "b", 8, True)
        assert tok.dfa_tokenize_debug("ab") == ["ab"]
        assert tok.dfa_tokenize_debug("a") == ["a"]
        assert tok.dfa_tokenize_debug("ac") == ["a", "c"]
        assert tok.dfa_tokenize_debug("aab") == ["a", "ab"]
        assert sorted(tok.dfa_get_transitions(0)) == [("a", 7, False)]
        assert sorted(tok.dfa_get_transitions(7)) == [("b", 8, True)]

    def test_walk_goes_back_to_last_accepting_position(self):
        tok = Tok()
        tok.clear_dfa()
        tok.add_dfa_transition(0, "a", 1, True)
        tok.add_dfa_transition(1, "b", 2, False)
        tok.add_dfa_transition(2, "c", 3, True)
        assert tok.dfa_tokenize_debug("abc") == ["abc"]
        # "ab" is read but state 2 does not accept: the akshara ends after "a"
        # and "b" is read again from the start state.
        assert tok.dfa_tokenize_debug("abd") == ["a", "b", "d"]
        assert tok.dfa_tokenize_debug("ababc") == ["a", "b", "abc"]

    def test_replacing_and_false_accepting_removes_nothing(self):
        tok = Tok()
        tok.add_dfa_transition(0, "x", 1, False)
        assert tok.dfa_tokenize_debug("x\u093e") == ["x\u093e"]
        tok.add_dfa_transition(0, "\u0915", 9, True)
        assert ("\u0915", 9, True) in tok.dfa_get_transitions(0)
        assert ("\u0915", 1, True) not in tok.dfa_get_transitions(0)
        assert tok.dfa_tokenize_debug("\u0915\u093e") == ["\u0915", "\u093e"]

    @pytest.mark.parametrize("args, exc", [
        ((0, "ab", 1, True), TypeError),
        ((0, "", 1, True), TypeError),
        ((0, "a", 1, 1), TypeError),
        ((-1, "a", 1, True), OverflowError),
        ((0, "a", -2, True), OverflowError),
    ])
    def test_bad_arguments(self, args, exc):
        tok = Tok()
        tok.clear_dfa()
        with pytest.raises(exc):
            tok.add_dfa_transition(*args)
        assert tok.dfa_get_transitions(0) == []

    @settings(max_examples=300, deadline=None)
    @given(st.lists(st.tuples(st.integers(0, 3), st.sampled_from("abc"),
                              st.integers(0, 3), st.booleans()), max_size=12),
           st.text(alphabet="abcd", max_size=20))
    def test_random_automata(self, edges, text):
        tok = Tok()
        tok.clear_dfa()
        table, accepting = {}, set()
        for state, ch, nxt, acc in edges:
            tok.add_dfa_transition(state, ch, nxt, acc)
            table[(state, ch)] = nxt
            if acc:
                accepting.add(nxt)
        got = tok.dfa_tokenize_debug(text)
        assert "".join(got) == text
        assert got == segment(table, accepting, text)


def corpus(tmp_path, text, name="c.txt"):
    p = tmp_path / name
    p.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    return str(p)


class TestHarvest:
    # counts: कि 2, ख 2, क 1
    TEXT = "\u0915\u093f \u0916 \u0915 latin\n\u0916\u0964\u0915\u093f\n"

    def test_order_by_count_then_text(self, tmp_path):
        assert Tok().harvest_aksharas(corpus(tmp_path, self.TEXT)) == [
            "\u0915\u093f", "\u0916", "\u0915"]

    @pytest.mark.parametrize("min_freq, expected", [
        (0, ["\u0915\u093f", "\u0916", "\u0915"]),
        (2, ["\u0915\u093f", "\u0916"]),
        (3, []),
    ])
    def test_min_freq(self, tmp_path, min_freq, expected):
        assert Tok().harvest_aksharas(corpus(tmp_path, self.TEXT), min_freq=min_freq) == expected

    def test_latin_only_and_empty(self, tmp_path):
        assert Tok().harvest_aksharas(corpus(tmp_path, "hello world\n123 . ,\n")) == []
        assert Tok().harvest_aksharas(corpus(tmp_path, "", "e.txt")) == []

    def test_digits_and_invalid_lines(self, tmp_path):
        data = b"\xff\xfe \xe0\xa4\x95\n" + "\u0967\u0968\u0967\r\n".encode() + b"\xe0\xa4\n"
        assert Tok().harvest_aksharas(corpus(tmp_path, data)) == ["\u0967", "\u0968"]

    def test_nukta_shows_composed_pair(self, tmp_path):
        path = corpus(tmp_path, "\u0958 \u0915\u093c\n")
        assert Tok().harvest_aksharas(path) == ["\u0915\u093c"]

    def test_lines_are_normalized_with_the_object_rules(self, tmp_path):
        path = corpus(tmp_path, "\u0915\u094d" + ZWJ + "\u0937 \u0916\n")
        assert Tok().harvest_aksharas(path) == ["\u0915\u094d\u0937", "\u0916"]
        # In OCR the joiner survives and splits the Devanagari run.
        assert Tok(mode="OCR").harvest_aksharas(path) == ["\u0915\u094d", "\u0916", "\u0937"]
        assert Tok([("\u0916", "\u0915")]).harvest_aksharas(path) == ["\u0915", "\u0915\u094d\u0937"]

    def test_uses_current_automaton(self, tmp_path):
        tok = Tok()
        tok.clear_dfa()
        assert tok.harvest_aksharas(corpus(tmp_path, "\u0915\u093f\u0915\n")) == ["\u0915", "\u093f"]

    def test_missing_file(self, tmp_path):
        path = str(tmp_path / "absent.txt")
        msg = f"open {path}: No such file or directory (os error 2)"
        with pytest.raises(OSError, match="^" + re.escape(msg) + "$"):
            Tok().harvest_aksharas(path)

    def test_read_error_ends_the_scan(self, tmp_path):
        # A directory opens but cannot be read: the scan stops with the error instead of
        # asking for the next line forever.
        with pytest.raises(OSError, match="^" + re.escape("read: Is a directory (os error 21)") + "$"):
            Tok().harvest_aksharas(str(tmp_path))

    def test_negative_min_freq(self, tmp_path):
        with pytest.raises(OverflowError):
            Tok().harvest_aksharas(corpus(tmp_path, "\u0915"), min_freq=-1)


# Holds the write end of the FIFO until its stdin closes; the 60 s limit only
# keeps a broken build from hanging the run forever.
WRITER = (
    "import select, sys\n"
    "f = open(sys.argv[1], 'w', encoding='utf-8')\n"
    "f.write(sys.argv[2]); f.flush()\n"
    "select.select([sys.stdin], [], [], 60)\n"
)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
class TestBorrowConflicts:
    def test_harvest_holds_a_shared_borrow_without_the_lock(self, tmp_path):
        fifo = str(tmp_path / "feed")
        os.mkfifo(fifo)
        writer = subprocess.Popen([sys.executable, "-c", WRITER, fifo, "\u0915\u093f \u0915\n"],
                                  stdin=subprocess.PIPE)
        tok = Tok()
        result = {}
        worker = threading.Thread(target=lambda: result.update(out=tok.harvest_aksharas(fifo)))
        try:
            worker.start()
            # A harmless exclusive call tells us when the harvest has taken its borrow.
            deadline = time.monotonic() + 30
            while True:
                try:
                    tok.set_root_prior({})
                except RuntimeError as e:
                    assert str(e) == "Already borrowed"
                    break
                assert time.monotonic() < deadline, "harvest never took its borrow"
                time.sleep(0.001)
            # The harvest is now blocked reading the FIFO.
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                tok.clear_dfa()
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                tok.add_dfa_transition(0, "a", 1, True)
            assert tok.fold_mode() == "LM"
            assert tok.normalize("a" + ZWJ) == "a"
            assert tok.dfa_tokenize_debug("\u0915\u093f") == ["\u0915\u093f"]
            assert worker.is_alive()
        finally:
            writer.stdin.close()
            writer.wait(timeout=60)
            worker.join(timeout=60)
        assert not worker.is_alive()
        assert result["out"] == ["\u0915", "\u0915\u093f"]
        tok.clear_dfa()
        assert tok.dfa_get_transitions(0) == []
