"""The companion's native calls keep no references and no memory: each call repeated a few
hundred times, the references its arguments and results hold and the Python blocks
allocated must not grow (see conftest.grows). Native memory is the sanitizer run's part."""

import contextlib
import os
import pickle

import pytest

import larkspur

from conftest import MIXED, SANITIZED, grows, sample_texts

TEXTS = sample_texts()


def _cases(tok, counts, tmp):
    ids = tok.encode(MIXED)
    batch = tok.encode_batch(TEXTS)
    saved = tmp / "counts.tsv"
    counts.save(saved)
    data = pickle.dumps(tok)
    return {
        "encode": lambda: tok.encode(MIXED),
        "encode allowed specials": lambda: tok.encode("<s>" + MIXED + "</s>", allowed_special="all"),
        "encode_batch": lambda: tok.encode_batch(TEXTS, num_threads=2),
        "encode_to_array": lambda: tok.encode_to_array(TEXTS, num_threads=2),
        "encode_with_offsets": lambda: tok.encode_with_offsets(MIXED),
        "decode": lambda: tok.decode(ids),
        "decode_batch": lambda: tok.decode_batch(batch, num_threads=2),
        "tokenize": lambda: tok.tokenize(MIXED),
        "get_vocab": tok.get_vocab,
        "id_to_token and token_to_id": lambda: tok.token_to_id(tok.id_to_token(ids[1])),
        "stats": lambda: tok.stats(texts=TEXTS[:20]),
        "pickle round trip": lambda: pickle.loads(data),
        "WordCounts items and lookups": lambda: (list(counts.items())[:5], counts.get("है"), "x" in counts),
        # The pickle's own round trip (to_bytes, then the function it names), without the C
        # unpickler, which keeps a few blocks of its own over thousands of calls (measured with
        # any reduce value, ours or not) and made the count flaky.
        "WordCounts add and pickle": lambda: (lambda f, a: f(*a))(*(counts + {"नया": 1}).__reduce__()),
        "WordCounts load": lambda: larkspur.WordCounts.load(saved),
        "count_words of texts": lambda: larkspur._training._count([], TEXTS, "LM", [], None, False),
        "a bad id": lambda: tok.decode([tok.vocab_size]),
        "a text that is not a str": lambda: tok.encode_batch([MIXED, 3]),
    }


@pytest.fixture(scope="module")
def cases(sample_tok, tmp_path_factory):
    counts = larkspur.WordCounts({t: i + 1 for i, t in enumerate(" ".join(TEXTS).split())})
    return _cases(sample_tok, counts, tmp_path_factory.mktemp("leaks"))


NAMES = ["encode", "encode allowed specials", "encode_batch", "encode_to_array", "encode_with_offsets", "decode",
         "decode_batch", "tokenize", "get_vocab", "id_to_token and token_to_id", "stats", "pickle round trip",
         "WordCounts items and lookups", "WordCounts add and pickle", "WordCounts load", "count_words of texts",
         "a bad id", "a text that is not a str"]


SLOW = {"pickle round trip", "WordCounts load"}


def _quietly(fn):
    def once():
        try:
            return fn()
        except (ValueError, TypeError):
            return None
    return once


@pytest.mark.skipif(SANITIZED, reason="the sanitizer run checks native memory; its malloc settles late")
class TestNoLeaks:
    def test_every_case_is_named(self, cases):
        assert sorted(cases) == sorted(NAMES)

    @pytest.mark.parametrize("name", NAMES)
    def test_repeated_calls_keep_nothing(self, cases, sample_tok, name):
        # Bundles go through temporary files, whose random names move the interpreter's
        # caches by a few dozen blocks either way: those calls run longer, so that a leak of
        # one block per call stands out.
        rounds = 1000 if name in SLOW else 300
        with open(os.devnull, "w") as devnull, contextlib.redirect_stderr(devnull):
            leaks = grows(_quietly(cases[name]), (sample_tok,), rounds)
        assert not leaks, "; ".join(leaks)

    def test_the_check_sees_a_leak(self, sample_tok):
        kept = []
        leaks = grows(lambda: kept.append(sample_tok.encode(MIXED)), (sample_tok,), 300)
        assert leaks
