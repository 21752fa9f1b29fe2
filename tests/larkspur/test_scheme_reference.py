"""The companion's encoder under every scheme, checked id by id against the slow reference
encoder (reference_encoder.py) and for decode(encode(text)) == normalize(text).

Tokenizers are made for each combination of the scheme's fields, from random token tables
loaded as a bundle would load them and from small trainings. The texts are random but
seeded, and built from what sits on each option's edges: aksharas without a token (their
code points with and without tokens), characters outside the script classes and letters
that look like byte symbols, line feeds and tabs alone, in runs and beside spaces,
punctuation inside and around words (danda, quotation marks, hyphens), Latin words and
abbreviations."""

import itertools
import random

import pytest

import larkspur
from larkspur import _engine

from reference_encoder import BYTE_SYMBOLS, DANDA, WB, WL, ZWNJ, CompanionView, ref_encode

ENCODING_FIELDS = ("codepoint_fallback", "whitespace_tokens", "edge_joins", "latin_joins")
DEFAULTS = _engine.scheme_fields()[0]
# Each field off and on: a flag false and true, superwords none and up to four words.
ON = {name: (4 if name == "superword_words" else True) for name in DEFAULTS}
# Every combination of the fields that encoding reads; marker_stems, which it never reads
# (test_every_option_changes_some_encoding), goes along with code-point fallback, so that
# both of its values still meet every combination of the others but that one.
VARIED = [name for name in DEFAULTS if name != "marker_stems"]
SCHEMES = [{**{name: (ON[name] if on else DEFAULTS[name]) for name, on in zip(VARIED, values)},
            "marker_stems": values[0]} for values in itertools.product([False, True], repeat=len(VARIED))]


def scheme_id(scheme):
    return "-".join(name for name, on in scheme.items() if on) or "default"


def reference(view, engine, text, scheme):
    """The reference's ids for the companion's encode(text, []). The companion encodes an
    empty text as nothing at all, where the exact class gives a lone word marker."""
    if not text:
        return []
    options = {name: scheme[name] for name in ENCODING_FIELDS}
    return ref_encode(view, engine.seed_max_len, text, byte_tokens=view.byte_tokens,
                      superwords=scheme["superword_words"] > 0, **options)


def round_trips(text):
    # A literal word marker in the text can be taken for the marker of a surface by the
    # abbreviation step (the exact module's behaviour), which then decodes it as a space.
    return WB not in text and WL not in text


# --- random token tables -----------------------------------------------------------------

AKSHARAS = ["क", "मा", "क्ष", "कि", "ल", "है", "घ", "र", "डा", "न", "स", "ती", "बा", "ॐ", "ष", "त्र", "श्री", "ह",
            "उ", "ने", "कहा"]
CODE_POINTS = [chr(c) for c in range(0x900, 0x980) if chr(c) != DANDA and c != 0x965]
PUNCTUATION = ["।", ",", '"', "-", ".", "“", "”", "?", "'", "॥", "…"]
LATIN = list("abegxyzAB07")
# Outside the script classes: letters that are byte symbols too ("°", "Ā", "Ã"), others
# that are not, a no-break space and a character beyond the BMP.
SYMBOLS = ["é", "°", "Ā", "Ã", "−", "元", "\U0001F600", "ß", "\u00a0"]
LINE_BREAKS = ["\n", "\t"]
ABBREVIATIONS = ["e.g.", "डा.", "a.b.", "क।", "x.y.z.", "है।"]


def byte_rows(rng=None, drop=0.0):
    """The tokens of the bytes, each left out with probability `drop`. An ASCII letter or
    digit's token is a Latin token, which spells its byte too; every other byte has a byte
    token."""
    return [(s, "T" if s.isascii() and s.isalnum() else "B") for s in BYTE_SYMBOLS
            if not drop or rng.random() >= drop]


def random_table(rng):
    """(surfaces, kinds, seed_max_len, complete): a token table in the trained layout's
    kinds, with some of its parts left out; `complete` when every byte and U+200C has a
    token, so that every text can be decoded back."""
    complete = rng.random() < 0.6
    rows = byte_rows(rng, 0 if complete else rng.choice([0, 0.1, 0.5, 1]))
    if complete or rng.random() < 0.7:
        rows.append((ZWNJ, "Z"))
    rows += [(m, k) for m, k in ((WB, "S"), (WL, "T")) if complete or rng.random() < 0.8]
    rows += [(p, "P") for p in PUNCTUATION if rng.random() < 0.7]
    rows += [(a, "A") for a in AKSHARAS if rng.random() < 0.5]
    share = rng.choice([0, 0.5, 1])  # the code points of the block that have tokens
    rows += [(c, "O") for c in CODE_POINTS if rng.random() < share]
    rows += [(s, "O") for s in SYMBOLS + LINE_BREAKS if rng.random() < 0.4]
    # Joined surfaces: words with their punctuation, markers inside and before them, and
    # line breaks inside them.
    pool = AKSHARAS + PUNCTUATION + LATIN + [WB, WL] * 2 + CODE_POINTS[:10] + LINE_BREAKS
    rows += [("".join(rng.choice(pool) for _ in range(rng.randint(2, 4))), rng.choice("OSA"))
             for _ in range(rng.randint(0, 25))]
    # A marker with the first code points of an akshara, which code-point fallback lets the
    # marker join when the akshara itself has no surface.
    rows += [(WB + a[:rng.randint(1, len(a))], "S") for a in AKSHARAS if rng.random() < 0.15]
    rows += [(a, "S") for a in ABBREVIATIONS + ["e.\n", "\n.", "a.\tb"] if rng.random() < 0.4]
    # Latin words with the punctuation that opens them, behind either marker and none.
    rows += [(m + p + "".join(rng.choice(LATIN) for _ in range(rng.randint(0, 2))), "T")
             for m in (WL, WB, "") for p in ('"', "'", "(", "--", "“") if rng.random() < 0.2]
    # Superwords: whole words behind their markers, some of them prefixes of others, and
    # some that are no superword (a marker of the wrong kind, an empty word, a line break).
    for _ in range(rng.randint(0, 12)):
        words = [word(rng) for _ in range(rng.randint(2, 4))]
        rows += [("".join(marker(w) + w for w in words[:k]), "M") for k in range(2, len(words) + 1)]
    rows += [(s, "M") for s in (WB + "क" + WL + "मा", WB + "क" + WB, WB + "क" + WB + WB + "ल", WB + "क\n" + WB + "ल")
             if rng.random() < 0.3]
    if rng.random() < 0.3:
        rng.shuffle(rows)  # later ids win equal surfaces; byte tokens need not come first
    surfaces = [s for s, _ in rows]
    stops = [len(s) for s in surfaces if "." in s or DANDA in s]
    window = rng.choice([0, 0, max(stops, default=0), rng.randint(2, 7)])
    return surfaces, "".join(k for _, k in rows), window, complete and ZWNJ in surfaces


def load(surfaces, kinds, window, scheme):
    request = _engine.TrainingRequest("LM", [], scheme, 0, [], [], [])
    return _engine.load(request, surfaces, kinds, "M" * len(kinds), bytes(len(kinds)), [], window)


# --- random texts ------------------------------------------------------------------------

GAPS = [" ", " ", " ", "  ", "", "\n", "\t", "\n\n", "\t\t", " \n", "\n ", " \n ", "\r\n", "\n\t"]
PIECES = (AKSHARAS + PUNCTUATION + LATIN + SYMBOLS + GAPS + ABBREVIATIONS +
          ['"नमस्ते"', "बार-बार", "“घर”", "ab", "abc", "e.g", ZWNJ, "\u200d", WB, WL, "्", "ि", "ा", "e\u0301"])


def word(rng):
    """A Devanagari or Latin word, perhaps hyphenated, perhaps with punctuation around it."""
    if rng.random() < 0.7:
        stem = "".join(rng.choice(AKSHARAS + [rng.choice(CODE_POINTS)]) for _ in range(rng.randint(1, 3)))
    else:
        stem = "".join(rng.choice(LATIN) for _ in range(rng.randint(1, 4)))
    if rng.random() < 0.2:
        stem += "-" + stem
    before = rng.choice(["", "", '"', "“", "'", "(", "--"])
    after = rng.choice(["", "", "।", ",", ".", '"', "”", "?", "॥", "।\"", "…"])
    return before + stem + after


def marker(w):
    return WL if w[0].isascii() and w[0].isalnum() else WB


def random_text(rng, surfaces):
    # Surfaces spelled out (markers as spaces) make long matches and abbreviations come up.
    spelled = [s.replace(WB, " ").replace(WL, " ") for s in surfaces if len(s) > 1 and s not in BYTE_SYMBOLS]
    parts = []
    for _ in range(rng.randint(0, 12)):
        r = rng.random()
        if r < 0.25 and spelled:
            parts.append(rng.choice(spelled))
        elif r < 0.5:
            parts.append(word(rng) + rng.choice(GAPS))
        elif r < 0.55:
            parts.append(chr(rng.randint(0x900, 0x97F)))
        else:
            parts.append(rng.choice(PIECES))
    return "".join(parts)


def cases(count, texts_each):
    """Seeded random token tables, each with its texts."""
    for seed in range(count):
        rng = random.Random(seed)
        surfaces, kinds, window, complete = random_table(rng)
        yield surfaces, kinds, window, complete, [random_text(rng, surfaces) for _ in range(texts_each)]


def check(engine, scheme, texts, complete):
    view = CompanionView(engine)
    for text in texts:
        ids = engine.encode(text, [])
        assert ids == reference(view, engine, text, scheme), text
        if complete and round_trips(text):
            assert engine.decode(ids, False) == view.normalize(text), text


# --- small trainings ---------------------------------------------------------------------

TRAINING_WORDS = {"वह": 30, "घर": 25, "है।": 40, '"नमस्ते"': 12, "बार-बार": 15, "क्षत्रिय": 8, "डा.": 6, "e.g.": 5,
                  "hello": 9, "world,": 7, "(hello": 6, "it's": 5, "--help": 4, "कहा।": 10, "°C": 3, "−": 2, "उसने": 11, "पढ़ना": 9, "पढ़ता": 7,
                  "लिखता": 8, "“घर”": 4, "ॐ": 2}


def trained(scheme):
    """A small training with the scheme: seeds with full stops (an abbreviation window), a
    seed of a marker and a code point, and a paradigm for marker_stems to steer."""
    table = larkspur.WordCounts(TRAINING_WORDS)._table

    def request(size):
        return _engine.TrainingRequest("LM", [], scheme, size, [], [(3, [("पढ़", ["ना", "ता"])])], [],
                                       seed_tiers=[(10**9, ["डा.", "e.g.", WB + "क"])],
                                       punctuation=["।", ",", '"', "-", "."], ids_per_symbol=1)

    base = _engine.plan_training(table, 0, request(10**6)).base_size
    req = request(base + 60)
    return _engine.train(req, _engine.plan_training(table, 0, req), None, 0, 3, 0, None)


class TestAgainstReference:
    def test_the_reference_knows_every_field(self):
        # A new field of the scheme must be taught to the reference (or said to leave
        # encoding alone, as marker_stems does) before these tests mean anything for it.
        assert set(DEFAULTS) == {*ENCODING_FIELDS, "marker_stems", "superword_words"}
        assert not any(DEFAULTS.values())

    @pytest.mark.parametrize("scheme", SCHEMES, ids=scheme_id)
    def test_loaded_token_tables(self, scheme):
        for surfaces, kinds, window, complete, texts in cases(24, 20):
            check(load(surfaces, kinds, window, scheme), scheme, texts, complete)

    @pytest.mark.parametrize("scheme", SCHEMES, ids=scheme_id)
    def test_trained_tokenizers(self, scheme):
        engine = trained(scheme)
        rng = random.Random(7)
        words = list(TRAINING_WORDS)
        texts = [" ".join(rng.choice(words) for _ in range(rng.randint(1, 6))) for _ in range(40)]
        texts += [random_text(rng, words) for _ in range(120)]
        check(engine, scheme, texts, True)

    def test_every_option_changes_some_encoding(self):
        # The inputs above reach each option's edges: switching an option on alone changes
        # the ids of some text; marker_stems, which only steers training, changes none.
        changed = dict.fromkeys(DEFAULTS, 0)
        for surfaces, kinds, window, _, texts in cases(24, 20):
            plain = load(surfaces, kinds, window, {})
            for name in DEFAULTS:
                one = load(surfaces, kinds, window, {name: ON[name]})
                changed[name] += sum(one.encode(t, []) != plain.encode(t, []) for t in texts)
        assert changed.pop("marker_stems") == 0
        assert all(changed.values()), changed

    def test_a_line_break_ends_an_abbreviation(self):
        # With whitespace tokens a seed that holds a line feed or tab never takes one in:
        # the line feed stays a token of its own and the word after it keeps its marker,
        # which decoding drops again.
        rows = byte_rows() + [(WB, "S"), (WL, "T"), ("\n", "O"), ("e.\n", "S"), ("\n.", "S")]
        surfaces = [s for s, _ in rows]
        engine = load(surfaces, "".join(k for _, k in rows), 4, {"whitespace_tokens": True})
        for text, tokens in [("e.\n b", [WL, "e", ".", "\n", WB, WL, "b"]),
                             ("x\n.", [WL, "x", "\n", WB, "."])]:
            ids = engine.encode(text, [])
            assert [surfaces[i] for i in ids] == tokens
            assert engine.decode(ids, False) == text
