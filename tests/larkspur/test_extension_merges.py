"""The merges that extend another tokenizer, in the core: against a slow reference on random
sequences and classes, and the classes of tokens by their text. (Nothing here loads the
tokenizers library, so this runs under the sanitizers too.)"""

import os
import sys

import pytest
from hypothesis import given, settings, strategies as st

from larkspur import _engine
from larkspur._extension._learn import token_class

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
from reference_extension import merges as reference_merges  # noqa: E402


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.lists(st.integers(0, 6), min_size=1, max_size=7), st.integers(1, 5)),
                min_size=1, max_size=8),
       st.lists(st.sampled_from([0, 1, 2, 3, 4, 5, 6, 0x82, 0x83, 0x84, 0x86]), min_size=7, max_size=7),
       st.integers(1, 12), st.integers(1, 3))
def test_merges_match_the_reference(words, classes, n, min_count):
    seqs = [w for w, _ in words]
    counts = [c for _, c in words]
    units = [u for s in seqs for u in s]
    got = _engine.extension_merges(units, [len(s) for s in seqs], counts, classes, n, min_count)
    assert [tuple(m) for m in got] == reference_merges(seqs, counts, classes, n, min_count)


def test_token_classes():
    assert token_class(" ") == 1 and token_class("  ") == 0
    assert token_class("क्षि") == 2 and token_class(" क्षि") == 0x82
    assert token_class("१२") == 3 and token_class("।") == 4 and token_class(",.") == 5
    assert token_class(" है।") == 0x86 and token_class("है?!") == 6 and token_class("है?क") == 0
    assert token_class("कa") == 0 and token_class("\u200dक") == 0 and token_class(None) == 0
    with pytest.raises(ValueError, match="unit 9 has no class"):
        _engine.extension_merges([9, 1], [2], [1], [2, 2], 1, 1)
