"""The measures of bench/quality.py: the held-out split, akshara splits, stem|suffix
boundaries and kinds of token, on lines made up here; and the larkspur adapter's spans
against the tokenizer's own counts."""

import random
import sys
import unicodedata
from pathlib import Path

import pytest

import larkspur
from LarkspurTokenization import PyLarkspurTokenization
from conftest import SANITIZED

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))
import _quality as Q  # noqa: E402
import quality  # noqa: E402

P = Q.Piece


class TestSplit:
    def test_runs_of_lines_are_held_out_in_turn_and_nothing_is_lost(self):
        lines = [str(i) for i in range(45)]
        train, held = Q.split_blocks(lines, block=10, every=3, held=1)
        assert held == [str(i) for i in range(10, 20)] + [str(i) for i in range(40, 45)]
        assert sorted(train + held, key=int) == lines
        assert not set(train) & set(held)

    @pytest.mark.parametrize("block,every,held", [(0, 10, 4), (10, 1, 0), (10, 10, 10), (10, 10, -1)])
    def test_impossible_splits_are_refused(self, block, every, held):
        with pytest.raises(ValueError):
            Q.split_blocks(["a"], block, every, held)

    def test_roots_split_by_parity(self):
        roots = [{"root_id": i, "transitions": {}} for i in (1, 2, 3, 10)]
        train, held = Q.split_roots(roots)
        assert [r["root_id"] for r in train] == [2, 10]
        assert [r["root_id"] for r in held] == [1, 3]

    def test_forms_are_distinct_nfc_pairs_whose_junction_stays_put(self):
        paradigms = [
            {"root_id": 1, "transitions": {"लड़": ["का", "के"], "x": [""]}},
            {"root_id": 3, "transitions": {"लड़": ["का"], "cafe": ["\u0301"]}},  # e + acute composes
        ]
        forms = Q.paradigm_forms(paradigms)
        assert forms == [("लड़", "का"), ("लड़", "के")]

    def test_forms_are_counted_in_running_text_without_their_punctuation(self):
        forms = [("लड़", "का"), ("लड़", "के"), ("कमा", "एंगे"), ("कमाएं", "गे"), ("घ", "र")]
        lines = ["लड़का आया, लड़के।", "(लड़का) कमाएंगे", "लड़कागाड़ी"]
        assert Q.form_occurrences(forms, lines) == {("लड़", "का"): 2, ("लड़", "के"): 1, ("कमा", "एंगे"): 1,
                                                    ("कमाएं", "गे"): 1}


class TestAksharas:
    def test_inside_flags_mark_offsets_strictly_inside(self):
        flags = Q.inside_flags(["न", "म", "स्ते"], 6)
        assert [i for i, f in enumerate(flags) if f] == [3, 4, 5]

    def test_aksharas_that_do_not_cover_the_line_are_an_error(self):
        with pytest.raises(ValueError):
            Q.inside_flags(["न", "म"], 3)

    def test_a_piece_splits_when_an_edge_falls_inside(self):
        inside = Q.inside_flags(["न", "म", "स्ते"], 6)
        assert not Q.splits_akshara(P(0, 2), inside)
        assert not Q.splits_akshara(P(2, 6), inside)
        assert Q.splits_akshara(P(2, 4), inside)
        assert Q.splits_akshara(P(4, 6), inside)
        assert Q.count_splitting([P(0, 1), P(1, 4), P(4, 6)], inside) == 2

    def test_bytes_of_a_multibyte_character_always_split_ascii_bytes_do_not(self):
        inside = Q.inside_flags(["क", "a"], 2)
        assert Q.splits_akshara(P(0, 1, 0xE0), inside)
        assert not Q.splits_akshara(P(1, 2, 0x61), inside)

    def test_the_exact_class_segments_a_conjunct_as_one_akshara(self):
        line = unicodedata.normalize("NFC", "क्षत्रिय है")
        ak = PyLarkspurTokenization().dfa_tokenize_debug(line)
        inside = Q.inside_flags(ak, len(line))
        # क्ष is three code points: a cut after क्ष is fine, a cut after क् is not.
        assert not Q.splits_akshara(P(0, 3), inside)
        assert Q.splits_akshara(P(0, 2), inside)

    def test_boundary_after_the_stem(self):
        pieces = [P(0, 2), P(2, 4)]
        assert Q.has_boundary_at(pieces, 2)
        assert not Q.has_boundary_at([P(0, 4)], 2)


class TestKinds:
    LINE = "वह घर है। ठीक , (x) कमरा"

    def kinds(self, pieces):
        ak = PyLarkspurTokenization().dfa_tokenize_debug(self.LINE)
        ends = Q.akshara_ends(ak)
        return [Q.kind(self.LINE, p, ends) for p in pieces]

    def test_each_kind(self):
        line = self.LINE
        i = line.index
        pieces = [
            P(0, 2),                        # वह: a whole word at the start
            P(2, 5),                        # ▁घर, the marker's space included
            P(5, 6), P(6, 8),               # ▁ alone, then है
            P(8, 9),                        # । right after है
            P(i(" ठ"), i(" ठ") + 3),       # ▁ठी: one akshara of a longer word
            P(i("ीक"), i("ीक") + 2),       # ीक: cut inside ठी, so not an akshara on its own
            P(i("क "), i("क ") + 1),       # क: the last akshara of ठीक
            P(i(" ,"), i(" ,") + 2),       # ▁, : punctuation after a space
            P(i("(x)"), i("(x)") + 3),      # (x) : letters and punctuation in one piece
            P(i("मरा"), i("मरा") + 3),      # मरा: two aksharas of कमरा
            P(0, 1, 0xE0),                  # a byte token
        ]
        assert self.kinds(pieces) == ["whole word", "whole word", "marker", "whole word", "punct after word",
                                      "one akshara", "longer piece", "one akshara", "other punct", "word+punct",
                                      "longer piece", "byte"]


def test_offsets_of_utf8_bytes():
    assert Q.char_index_of_bytes("aक") == [0, 1, 1, 1, 2]


def _lines(seed):
    rng = random.Random(seed)
    stems = ["कर", "पढ़", "लिख", "चल", "घर", "नदी", "क्षेत्र", "राष्ट्र"]
    ends = ["", "ना", "ता", "ों", "ें", "कर"]
    return [" ".join(rng.choice(stems) + rng.choice(ends) for _ in range(rng.randint(2, 8)))
            + rng.choice(["।", "", ","]) for _ in range(400)]


def test_larkspur_spans_count_what_the_tokenizer_counts(tmp_path):
    tok = larkspur.train(texts=_lines(1), vocab_size=600, recipe="plain", progress=False, num_workers=1)
    tok.save(tmp_path / "b")
    pieces_of, loaded = quality.larkspur_pieces(str(tmp_path / "b"))
    # Unseen aksharas (ज्ञ, ऋ) come out as code points, an emoji as byte tokens.
    held = quality.Heldout(_lines(2)[:50] + ["ज्ञान ऋषि 🙂 है।"], PyLarkspurTokenization())
    m = quality.measure(pieces_of, held, [("पढ़", "ना")])
    st = loaded.stats(texts=held.lines)
    assert m.tokens == st["tokens"] and m.words == st["words"]
    assert m.bytes == round(st["byte_fallback_share"] * st["tokens"]) > 0
    assert sum(m.kinds.values()) == m.tokens
    assert m.forms == 1
    # Apart from byte tokens and the code points that spell an unseen akshara, the
    # tokenizer never cuts inside an akshara.
    def spelled(line, p):
        bounds, at = {0}, 0
        for a in PyLarkspurTokenization().dfa_tokenize_debug(line):
            at += len(a)
            bounds.add(at)
        return p.end - p.start == 1 and not (p.start in bounds and p.end in bounds)

    assert m.splitting == sum(1 for line in held.lines for p in pieces_of(line)
                              if p.byte >= 0x80 or spelled(line, p)) > 4
    assert quality.check_larkspur_counts(loaded, held, m) == ""


def _byte_runs_spell_their_characters(line, pieces):
    """Consecutive byte pieces over one character spell that character's UTF-8 bytes."""
    run, where = [], None
    for p in pieces + [P(-1, -1)]:
        if p.byte >= 0 and (where is None or (p.start, p.end) == where):
            run.append(p.byte)
            where = (p.start, p.end)
            continue
        if run:
            assert bytes(run).decode("utf-8") == line[where[0]:where[1]]
        run, where = ([p.byte], (p.start, p.end)) if p.byte >= 0 else ([], None)
    return True


@pytest.mark.parametrize("peer", ["tokenizers", "sentencepiece"])
@pytest.mark.skipif(SANITIZED, reason="the peers' native code is not ours to check: the leak checker "
                                      "reports the type objects they keep for the life of the process")
def test_peer_spans_are_characters_of_the_line_and_bytes_spell_them(peer, tmp_path):
    pytest.importorskip(peer)
    corpus = tmp_path / "train.txt"
    corpus.write_text("\n".join(_lines(3)) + "\n", encoding="utf-8")
    if peer == "tokenizers":
        import _peers

        tok, trainer = _peers.hf_bpe(400)
        tok.train([str(corpus)], trainer)
        tok.save(str(tmp_path / "hf.json"))
        pieces_of, _ = quality.hf_pieces(str(tmp_path / "hf.json"))
    else:
        import sentencepiece as spm

        spm.SentencePieceTrainer.train(input=str(corpus), model_prefix=str(tmp_path / "sp"), model_type="bpe",
                                       vocab_size=400, byte_fallback=True, character_coverage=1.0,
                                       hard_vocab_limit=False, minloglevel=2)
        pieces_of, _ = quality.sp_pieces(str(tmp_path / "sp.model"))
    line = "ज्ञान ऋषि 🙂 घर है।"
    pieces = pieces_of(line)
    assert any(p.byte >= 0x80 for p in pieces)   # what training never saw falls back to bytes
    assert all(0 <= p.start <= p.end <= len(line) for p in pieces)
    assert [p.end for p in pieces] == sorted(p.end for p in pieces) and pieces[-1].end == len(line)
    assert _byte_runs_spell_their_characters(line, pieces)


class TestRenyiEfficiency:
    def test_even_use_of_every_id_is_one_and_skew_lowers_it(self):
        assert Q.renyi_efficiency([7] * 500, 500) == pytest.approx(1.0)
        assert Q.renyi_efficiency([3] * 10, 100) == pytest.approx(0.5)
        # Unused ids count in the vocabulary only; a frequent id pulls the figure down.
        assert Q.renyi_efficiency([5, 5, 0, 0], 4) == pytest.approx(0.5)
        assert Q.renyi_efficiency([90, 10], 2) < Q.renyi_efficiency([60, 40], 2) < 1.0
        assert Q.renyi_efficiency([], 10) is None and Q.renyi_efficiency([4], 1) is None
