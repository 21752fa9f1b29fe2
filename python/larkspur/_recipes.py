"""Training recipes: which seeds, punctuation and thresholds a training run uses.

``plain`` trains without seeds or paradigms: the smallest token count the vocabulary size
allows. ``morph`` (the default) protects the common suffixes and postpositions of Hindi,
Marathi and Nepali as ambiguous seeds, so that merges keep stems and endings apart, and
uses the paradigms and lexicon the caller passes.

The seed lists below are written from the grammar of the three languages (case markers,
postpositions, plural and oblique endings, verb endings); they are not taken from any
corpus.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict, List, Tuple

WORD = "\u2581"  # the word marker the encoder puts before every word

# Postpositions and particles that stand as words of their own: seeded with the word
# marker, so that each is one token wherever it stands alone.
HINDI_WORDS = ["का", "की", "के", "को", "में", "से", "ने", "पर", "तक", "लिए", "भी", "ही", "और",
               "है", "हैं", "था", "थी", "थे", "नहीं", "यह", "वह", "कि", "एक"]
MARATHI_WORDS = ["आणि", "आहे", "आहेत", "होता", "होती", "होते", "नाही", "हे", "ही", "तो", "ती",
                 "ते", "या", "व", "की", "पण", "एक"]
NEPALI_WORDS = ["र", "छ", "छन्", "थियो", "हो", "पनि", "यो", "त्यो", "को", "का", "की", "मा",
                "लाई", "ले", "बाट", "सँग", "भन्दा", "एक"]

# Endings that attach to a stem: case and number endings, verb endings. Seeded bare, as
# ambiguous seeds: never absorbed as the right part of a merge, extended only by pairs
# seen often enough.
HINDI_SUFFIXES = ["ों", "ें", "ियों", "ियाँ", "ाएँ", "ता", "ती", "ते", "ना", "नी", "ने", "कर",
                  "वाला", "वाली", "वाले", "गा", "गी", "गे", "ाओं"]
MARATHI_SUFFIXES = ["चा", "ची", "चे", "च्या", "ला", "ना", "ने", "त", "ात", "मध्ये", "साठी", "ून",
                    "ांना", "ांचा", "ांची", "ांचे", "णार", "ले", "ली", "लेल्या"]
NEPALI_SUFFIXES = ["हरू", "हरूको", "हरूलाई", "मा", "ले", "लाई", "को", "का", "की", "बाट", "न्",
                   "ने", "दै", "एको", "एका"]

# Marks that get tokens of their own (beyond the typographic marks every vocabulary has):
# the dandas and every ASCII punctuation mark and symbol. Each one left out would cost a
# byte token wherever it occurs (braces, brackets and the like do occur in web text).
PUNCTUATION = ["।", "॥"] + [chr(c) for c in range(0x21, 0x7F) if not chr(c).isalnum()]

# Characters outside every script class (other than the 256 byte symbols, which are the
# byte tokens' own) become tokens of their own when the training words hold them at least
# this often, so that a minus sign or an ideograph costs one token instead of its bytes.
SYMBOL_MIN_FREQ = 3


def _is_symbol(c: str) -> bool:
    o = ord(c)
    if o < 0x144 or 0x0900 <= o <= 0x097F or o in (0x200C, 0x200D, 0x2581, 0x2582, 0x2026):
        return False
    if 0x2010 <= o <= 0x2015 or 0x2018 <= o <= 0x201F:
        return False
    return not c.isspace()


def symbols(words, counts, min_freq: int = SYMBOL_MIN_FREQ, limit: int = 1000) -> List[str]:
    """The symbol characters of the training words seen at least `min_freq` times, most
    frequent first (then by code point), at most `limit` of them."""
    seen: Dict[str, int] = {}
    for w, n in zip(words, counts):
        if w.isascii():
            continue
        for c in w:
            if ord(c) >= 0x144 and _is_symbol(c):
                seen[c] = seen.get(c, 0) + n
    ranked = sorted((c for c, n in seen.items() if n >= min_freq), key=lambda c: (-seen[c], c))
    return ranked[:limit]


# The core's options that both recipes switch on (the exact module keeps all of them off):
# - codepoint_fallback: every code point of the Devanagari block is a base token and an
#   akshara missing from the vocabulary is spelled with them instead of 6 to 15 bytes, so
#   rare aksharas can go without a base id of their own;
# - whitespace_tokens: line feed and tab are tokens, and the word after
#   one keeps its word marker, so that it encodes as it was trained (training sees words
#   cut at white space, each with its marker);
# - edge_joins: a word may join the danda or punctuation that ends it, and a word marker
#   the quotation mark or bracket after it ("है।" is one token);
# - marker_stems: paradigms and the lexicon see word-initial tokens without their marker,
#   so that they constrain the merges of stems at the start of words.
RECIPE_OPTIONS: Dict[str, bool] = {"codepoint_fallback": True, "whitespace_tokens": True, "edge_joins": True,
                                   "marker_stems": True}

# With code-point fallback, how often an akshara must occur in the training words to get a
# base id, by vocabulary size: a small vocabulary spends its ids on merges of common
# aksharas rather than on rare aksharas that code points spell nearly as well.
AKSHARA_MIN_FREQ = ((12_000, 3), (24_000, 2))


@dataclass(frozen=True)
class Recipe:
    name: str
    seeds: Tuple[str, ...] = ()
    ambiguous: Tuple[str, ...] = ()
    strict: Tuple[str, ...] = ()
    punctuation: Tuple[str, ...] = tuple(PUNCTUATION)
    theta: int = 100
    use_paradigms: bool = True
    word_min_freq: int = 1
    options: Tuple[Tuple[str, bool], ...] = tuple(RECIPE_OPTIONS.items())

    def option_values(self) -> Dict[str, bool]:
        return dict(self.options)

    def akshara_min_freq(self, vocab_size: int) -> int:
        """Aksharas seen fewer times than this in the training words get no base id."""
        if not self.option_values().get("codepoint_fallback"):
            return 1  # a missing akshara would cost its bytes
        for limit, freq in AKSHARA_MIN_FREQ:
            if vocab_size <= limit:
                return freq
        return 1

    def settings(self, vocab_size: int) -> Dict[str, object]:
        return {"recipe": self.name, "seeds": list(self.seeds), "ambiguous": list(self.ambiguous),
                "strict": list(self.strict), "punctuation": list(self.punctuation), "theta": self.theta,
                "akshara_min_freq": self.akshara_min_freq(vocab_size), "word_min_freq": self.word_min_freq,
                "use_paradigms": self.use_paradigms}


def _morph() -> Recipe:
    words = [WORD + w for w in dict.fromkeys(HINDI_WORDS + MARATHI_WORDS + NEPALI_WORDS)]
    suffixes = list(dict.fromkeys(HINDI_SUFFIXES + MARATHI_SUFFIXES + NEPALI_SUFFIXES))
    return Recipe(name="morph", seeds=tuple(words + suffixes), ambiguous=tuple(suffixes))


RECIPES: Dict[str, Recipe] = {
    "plain": Recipe(name="plain", use_paradigms=False),
    "morph": _morph(),
}


def recipe(name: str) -> Recipe:
    try:
        return RECIPES[name]
    except KeyError:
        raise ValueError(f"recipe must be one of {', '.join(sorted(RECIPES))}, not {name!r}") from None


def with_seeds(base: Recipe, seeds: List[str]) -> Recipe:
    """The recipe with the caller's own seed list (ambiguous seeds) in place of its own."""
    return Recipe(name=base.name, seeds=tuple(seeds), ambiguous=tuple(seeds), strict=(),
                  punctuation=base.punctuation, theta=base.theta, use_paradigms=base.use_paradigms,
                  word_min_freq=base.word_min_freq, options=base.options)


def without_options(base: Recipe) -> Recipe:
    """The recipe with every core option off: what the exact module's defaults give."""
    return Recipe(name=base.name, seeds=base.seeds, ambiguous=base.ambiguous, strict=base.strict,
                  punctuation=base.punctuation, theta=base.theta, use_paradigms=base.use_paradigms,
                  word_min_freq=base.word_min_freq, options=tuple((k, False) for k in RECIPE_OPTIONS))
