"""Training recipes: which seeds, punctuation, thresholds and core options a run uses.

``plain`` trains without seeds or paradigms: the fewest tokens the vocabulary size allows,
for a team that only counts tokens. ``morph`` (the default) keeps stems and endings apart
where that is cheap: it protects the most productive verb endings of Hindi, Marathi and
Nepali as ambiguous seeds (never absorbed into a stem by a merge) while the vocabulary is
small, and lets the paradigms and lexicon that the caller passes constrain the merges of
stems, at the start of words too.

Both recipes switch on the core's options (code-point fallback, whitespace tokens, joins
at word edges, paradigms over word-initial stems) and give back the least used merges; the
exact module keeps every option off.

The endings are written from the grammar of the three languages, not taken from any
corpus; which of them a recipe protects at which size was chosen by measuring tokens per
word and stem|suffix boundaries on held-out text (see bench/quality.py).
"""

from __future__ import annotations

import sys
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple, Union

from . import _engine

# The participle endings: Hindi -ता/-ती/-ते (habitual and present participles, the bulk of
# verb forms in running text), and -ले (Marathi past participle, Nepali ergative). Each
# protected ending costs a token wherever a frequent word ends in it, and a large
# vocabulary holds many such words whole, so the protection shrinks as the vocabulary
# grows; above the last size only the caller's paradigms constrain the merges.
PROTECTED_ENDINGS: Tuple[Tuple[int, Tuple[str, ...]], ...] = (
    (12_000, ("ता", "ती", "ते", "ले")),
    (24_000, ("ती", "ते")),
)

# Marks that get tokens of their own (beyond the typographic marks every vocabulary has):
# the dandas and every ASCII punctuation mark and symbol. Each one left out would cost a
# byte token wherever it occurs (braces, brackets and the like do occur in web text).
PUNCTUATION = ["।", "॥"] + [chr(c) for c in range(0x21, 0x7F) if not chr(c).isalnum()]

# Characters outside every script class (other than the 256 byte symbols, which are the
# byte tokens' own) become tokens of their own when the training words hold them at least
# this often, so that a minus sign, a Greek letter or an ideograph costs one token instead
# of two to four bytes. One id saves that much at each later occurrence, and the symbols
# are capped at 1 % of the ids, so even a symbol seen once is worth its id (measured: the
# byte tokens of held-out Hindi at 32k fell by a third, tokens per word did not move).
SYMBOL_MIN_FREQ = 1

# At most this many symbols are ranked (the core counts them, in harvest_inventories), and
# at most one symbol gets a token per this many ids (1 % of the vocabulary).
SYMBOL_LIMIT = 1000
IDS_PER_SYMBOL = 100


# The scheme of both recipes: every optional behaviour of the core on (the exact module
# keeps all of them off). The fields are documented where they are defined, in the core's
# scheme (_engine.scheme_fields() gives their names, defaults and one line on each):
# code-point fallback, whitespace tokens, joins at word edges, paradigms over word-initial
# stems.
RECIPE_SCHEME: Dict[str, object] = {name: True for name, default in _engine.scheme_fields()[0].items()
                                    if isinstance(default, bool)}

# With code-point fallback, the most frequent aksharas of the training words get base ids,
# at most this share of the ids the Devanagari pass gets (all of them, less the Latin
# share): the rest is better spent on merges than on rare aksharas that code points spell
# nearly as well. (A share, not a count, so that the choice does not drift with the size
# of the corpus; of the Devanagari ids, so that a corpus of half English does not give
# rare aksharas the ids its English words need: measured on Marathi with as much English
# at 16,000 ids, 2,400 aksharas cost 1.3 % more English tokens and 0.6 % more Marathi
# ones than the 1,120 of this rule.)
AKSHARA_SHARE = 0.15

# The part of the merges that training adds beyond the size asked for and then gives back,
# the least used first: most of them are steps on the way to longer tokens that the greedy
# encoder never stops at. Measured on held-out Hindi, Marathi and Nepali at 8k and 32k
# (with LATIN_SHARE): 0.15 did best on average; more favours the words that training saw
# (whole-word tokens) over the ones it did not (the pieces of words), and less the reverse.
PRUNE_SHARE = 0.15

# The part of the vocabulary that the Latin pass gets by default: chosen from the words by
# the core's plan, as a plain BPE over both scripts at once would share the merges between
# them. Devanagari web text with English names and terms gets 0.5 % to 3 %, a corpus of half
# English about half. A number fixes the share instead.
LATIN_SHARE = "auto"

# The superword stage (superwords=True): the share of the vocabulary given to tokens of whole
# words, and the most words such a token holds. See the README's superword section for the
# measurements behind the share.
SUPERWORD_SHARE = 0.2
SUPERWORD_WORDS = 4


@dataclass(frozen=True)
class Recipe:
    name: str
    # (largest vocabulary size, ambiguous seeds), from small sizes to large; a size above
    # the last one gets no seeds.
    seed_tiers: Tuple[Tuple[int, Tuple[str, ...]], ...] = ()
    punctuation: Tuple[str, ...] = tuple(PUNCTUATION)
    theta: int = 100
    use_paradigms: bool = True
    word_min_freq: int = 1
    scheme: Tuple[Tuple[str, object], ...] = tuple(RECIPE_SCHEME.items())
    # The part of the merges that training adds beyond the size asked for and then gives
    # back: the least used merges go, above all those the greedy encoder never reaches
    # because a longer token always covers them.
    prune_share: float = PRUNE_SHARE

    def seeds(self, vocab_size: int) -> Tuple[str, ...]:
        """The ambiguous seeds of a run at this vocabulary size."""
        for limit, seeds in self.seed_tiers:
            if vocab_size <= limit:
                return seeds
        return ()

    def scheme_fields(self) -> Dict[str, object]:
        return dict(self.scheme)

    def akshara_limit(self, vocab_size: int) -> Optional[int]:
        """How many of the harvested aksharas (most frequent first) get base ids when
        Devanagari has every id (training's plan lowers it by the Latin share)."""
        if not self.scheme_fields().get("codepoint_fallback"):
            return None  # a missing akshara would cost its bytes: keep them all
        return max(1, int(AKSHARA_SHARE * vocab_size))

    def core_recipe(self, latin_share: Union[float, str]) -> Dict[str, object]:
        """The numbers the core's training plan reads (keywords of _engine.TrainingRequest)."""
        return {"seed_tiers": [(min(limit, 2**63 - 1), list(seeds)) for limit, seeds in self.seed_tiers],
                "punctuation": list(self.punctuation), "theta": self.theta, "word_min_freq": self.word_min_freq,
                "akshara_share": AKSHARA_SHARE, "ids_per_symbol": IDS_PER_SYMBOL, "symbol_min_freq": SYMBOL_MIN_FREQ,
                "symbol_limit": SYMBOL_LIMIT, "prune_share": self.prune_share,
                "latin_share": None if latin_share == "auto" else float(latin_share)}

    def settings(self, vocab_size: int) -> Dict[str, object]:
        seeds = list(self.seeds(vocab_size))
        return {"recipe": self.name, "seeds": seeds, "ambiguous": seeds, "strict": [],
                "punctuation": list(self.punctuation), "theta": self.theta,
                "akshara_limit": self.akshara_limit(vocab_size), "word_min_freq": self.word_min_freq,
                "use_paradigms": self.use_paradigms}


RECIPES: Dict[str, Recipe] = {
    "plain": Recipe(name="plain", use_paradigms=False),
    "morph": Recipe(name="morph", seed_tiers=PROTECTED_ENDINGS),
}


def recipe(name: str) -> Recipe:
    try:
        return RECIPES[name]
    except KeyError:
        raise ValueError(f"recipe must be one of {', '.join(sorted(RECIPES))}, not {name!r}") from None


def with_seeds(base: Recipe, seeds: List[str]) -> Recipe:
    """The recipe with the caller's own seed list (ambiguous seeds) in place of its own."""
    return Recipe(name=base.name, seed_tiers=((sys.maxsize, tuple(seeds)),), punctuation=base.punctuation,
                  theta=base.theta, use_paradigms=base.use_paradigms, word_min_freq=base.word_min_freq,
                  scheme=base.scheme, prune_share=base.prune_share)


def without_options(base: Recipe) -> Recipe:
    """The recipe with the exact scheme (every optional behaviour off) and no pruning: what
    the exact module's defaults give."""
    return Recipe(name=base.name, seed_tiers=base.seed_tiers, punctuation=base.punctuation,
                  theta=base.theta, use_paradigms=base.use_paradigms,
                  word_min_freq=base.word_min_freq, scheme=(), prune_share=0.0)
