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

# Marks that get tokens of their own (beyond the typographic marks every vocabulary has).
PUNCTUATION = ["।", "॥", ",", ".", "?", "!", ":", ";", "-", "(", ")", "\"", "'", "/", "%"]


@dataclass(frozen=True)
class Recipe:
    name: str
    seeds: Tuple[str, ...] = ()
    ambiguous: Tuple[str, ...] = ()
    strict: Tuple[str, ...] = ()
    punctuation: Tuple[str, ...] = tuple(PUNCTUATION)
    theta: int = 100
    use_paradigms: bool = True
    # Aksharas seen fewer times than this in the training corpus get no base id.
    akshara_min_freq: int = 1
    word_min_freq: int = 1

    def settings(self) -> Dict[str, object]:
        return {"recipe": self.name, "seeds": list(self.seeds), "ambiguous": list(self.ambiguous),
                "strict": list(self.strict), "punctuation": list(self.punctuation), "theta": self.theta,
                "akshara_min_freq": self.akshara_min_freq, "word_min_freq": self.word_min_freq,
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
                  akshara_min_freq=base.akshara_min_freq, word_min_freq=base.word_min_freq)
