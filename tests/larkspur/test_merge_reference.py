"""The merge loop under every scheme, against the naive reference of reference_merges.py.

Each case trains the core through the companion's engine on small random word counts (Devanagari words with
stems and endings, seeds, paradigms keyed on stems with and without the word marker,
punctuation inside words and at their edges, Latin words with full stops, commas and
opening punctuation,
symbols and bytes), then runs the reference over the same words cut into the same base
tokens, and the merges must agree one by one: surface, script and roots. The base tokens'
root sets are the reference's own tagging, so how the scheme reaches the paradigms is
checked too, not only the loop.
"""

import functools
import itertools
import random
from dataclasses import dataclass, replace

import pytest

import larkspur
from larkspur import _engine

from reference_merges import WORD_MARKER, Paradigms, RefToken, Rules, reference_merges, tag_roots

FIELDS = ("codepoint_fallback", "whitespace_tokens", "edge_joins", "marker_stems", "latin_joins")
PUNCTUATION = ["।", ",", '"', "-", ".", "(", "'"]

CONSONANTS = "कखगतनपमरलसह"
SIGNS = ["", "", "ा", "ि", "ी", "े", "ो"]
CONJUNCTS = ["क्ष", "स्त", "त्र", "न्द"]


def random_inputs(rng):
    """Word counts, seeds and paradigm registrations drawn around a few stems and endings."""

    def akshara():
        if rng.random() < 0.1:
            return rng.choice(CONJUNCTS)
        return rng.choice(CONSONANTS) + rng.choice(SIGNS)

    stems = ["".join(akshara() for _ in range(rng.choice([1, 1, 2]))) for _ in range(rng.randint(2, 4))]
    endings = [akshara() for _ in range(rng.randint(2, 4))]

    def dev_word():
        r = rng.random()
        if r < 0.6:
            return rng.choice(stems) + rng.choice(endings + [""])
        if r < 0.8:
            return rng.choice(stems) + rng.choice(stems)
        return "".join(akshara() for _ in range(rng.randint(1, 4)))

    def latin_word():
        letters = "".join(rng.choice("abcNK") for _ in range(rng.randint(1, 3)))
        r = rng.random()
        if r < 0.3:
            return ".".join(letters) + "."  # an abbreviation: N.K.
        if r < 0.5:
            return letters + rng.choice([",", ".", "-" + letters])
        if r < 0.7:
            # Punctuation before and inside a Latin word: (see, "it, it's, --help
            return rng.choice(["(", '"', "--", ""]) + letters + rng.choice(["", "'s", ","])
        return letters + rng.choice(["", "", "7"])

    def word():
        r = rng.random()
        if r < 0.2:
            return latin_word()
        w = dev_word()
        r = rng.random()
        if r < 0.2:
            w += "।"
        elif r < 0.3:
            w += ","
        elif r < 0.4:
            w = '"' + w + rng.choice(['"', "", '",', '"।'])
        elif r < 0.5:
            w = w + "-" + rng.choice([w, dev_word()])  # the halves of a pair, the same or not
        elif r < 0.55:
            w = rng.choice(["−", "元"]) + w  # a symbol token with code-point fallback
        elif r < 0.6:
            w += "?"  # no punctuation token: bytes
        elif r < 0.65:
            w += rng.choice("abN")  # Devanagari then Latin in one word
        return w

    counts = {}
    for _ in range(rng.randint(15, 40)):
        w = word()
        counts[w] = counts.get(w, 0) + rng.randint(1, 6)

    def key():
        s = rng.choice(stems)
        r = rng.random()
        if r < 0.35:
            return WORD_MARKER + s  # a marker-initial stem
        if r < 0.5:
            return s + rng.choice(endings)
        return s

    following = endings + stems + ["।", ","]
    paradigms = []
    for _ in range(rng.randint(1, 5)):
        transitions = {key(): rng.sample(following, rng.randint(1, 4)) for _ in range(rng.randint(1, 3))}
        paradigms.append((rng.randint(1, 4), sorted(transitions.items())))
    if rng.random() < 0.5:
        # A root registered again with other continuations: its latest paradigm answers,
        # while both registrations give it root sets.
        root, old = rng.choice(paradigms)
        paradigms.append((root, [(k, rng.sample(following, rng.randint(1, 4))) for k, _ in old]))
    # Seeds: a word-initial stem (which marker_stems tags with the roots of the stem) and
    # maybe a stem without its marker.
    seeds = sorted({WORD_MARKER + stems[0], *rng.sample(stems, rng.randint(0, 1))})
    return counts, seeds, paradigms


def request(size, scheme, seeds, paradigms, theta, akshara_share=0.0, latin_share=0.0, specials=()):
    return _engine.TrainingRequest("LM", [], scheme, size, list(specials), paradigms, [], seed_tiers=[(10**9, seeds)],
                                   punctuation=PUNCTUATION, theta=theta, akshara_share=akshara_share,
                                   ids_per_symbol=1, latin_share=latin_share)


@dataclass
class Case:
    """One training run of the core and what the reference needs to repeat it."""

    got: list  # (surface, script letter, roots) of every token after training
    base: int
    tokens: list  # the base tokens as the reference sees them, roots tagged by it
    words: list
    passes: list
    rules: Rules
    paradigms: Paradigms
    theta: int
    reserved: tuple  # the special tokens' texts, which no merge makes

    def reference(self, **changes):
        """The reference's rows for this run, or for a variant with some inputs changed."""
        c = replace(self, **changes)
        done = reference_merges(c.tokens, c.words, c.passes, c.rules, c.paradigms, c.theta, c.reserved)
        return [(t.surface, t.script, t.roots) for t in done]


@functools.lru_cache(maxsize=None)
def trained(seed, values):
    """The core trained on the random inputs of `seed` under the scheme of `values`."""
    scheme = dict(zip(FIELDS, values))
    rng = random.Random(seed)
    counts, seeds, paradigms = random_inputs(rng)
    theta = rng.randint(2, 8)
    table = larkspur.WordCounts(counts)._table
    full_base = _engine.plan_training(table, 0, request(10**6, scheme, seeds, paradigms, theta)).base_size
    size = full_base + rng.randint(20, 60)
    # With code-point fallback, part of the aksharas may be left to their code points.
    share = rng.choice([0.0, 3 / size, 8 / size]) if scheme["codepoint_fallback"] else 0.0
    # Some runs give the Latin pass ids of its own; the others reach it only when the
    # Devanagari pass runs out of pairs.
    latin = rng.choice([0.0, 10 / size])
    # Half the runs are trained again with a special token whose text is the first merge
    # the run made, which no merge may make then.
    specials = ()
    for again in (False, rng.random() < 0.5):
        if again:
            if len(surfaces) == plan.base_size:
                break
            specials = (surfaces[plan.base_size],)
        req = request(size, scheme, seeds, paradigms, theta, share, latin, specials)
        plan = _engine.plan_training(table, 0, req)
        assert plan.beyond == 0  # nothing is given back: every merge trained is in the table
        tok = _engine.train(req, plan, None, 0, 3, 0, None)
        surfaces, kinds, scripts, flags, root_sets = tok.export_tokens()
    roots = dict(root_sets)

    # The words cut as training cuts them: encoded with the base tokens alone.
    n = plan.base_size
    base = _engine.load(req, surfaces[:n], kinds[:n], scripts[:n], flags[:n], [(i, r) for i, r in root_sets if i < n],
                        tok.seed_max_len)
    rules = Rules(scheme["edge_joins"], scheme["marker_stems"], scheme["latin_joins"])
    registry = Paradigms((root, dict(t)) for root, t in paradigms)
    tokens = [RefToken(surfaces[i], scripts[i], bool(flags[i] & 1), bool(flags[i] & 2)) for i in range(n)]
    tag_roots(tokens, kinds[:n], registry, rules)
    return Case(got=[(s, scripts[i], roots.get(i, [])) for i, s in enumerate(surfaces)], base=n, tokens=tokens,
                words=[(base.encode(w, []), c) for w, c in counts.items()],
                passes=[("DEV", plan.dev_budget), ("LAT", plan.dev_budget + plan.lat_budget)], rules=rules,
                paradigms=registry, theta=theta, reserved=specials)


SEEDS = [100 * i + 7 for i in range(6)]
SCHEMES = list(itertools.product((False, True), repeat=len(FIELDS)))


def scheme_id(values):
    return "+".join(f for f, on in zip(FIELDS, values) if on) or "default"


class TestMergesAgainstReference:
    @pytest.mark.parametrize("values", SCHEMES, ids=scheme_id)
    @pytest.mark.parametrize("seed", SEEDS)
    def test_random_words_merge_for_merge(self, seed, values):
        case = trained(seed, values)
        want = case.reference()
        assert case.got[: case.base] == want[: case.base]  # the roots tagged before training
        assert case.got[case.base :] == want[case.base :]

    def test_each_rule_decides_some_of_the_merges(self):
        """The comparison above means something only if the inputs make every rule matter:
        for some of them, the reference without the rule (or with it flipped) merges
        differently; and code-point tokens take part in merges."""
        changed = set()
        for seed, values in itertools.product(SEEDS, SCHEMES):
            case = trained(seed, values)
            want = case.reference()
            # An akshara is never cut before a vowel sign or virama: a merged token that
            # starts with one was made from code-point tokens.
            if any("\u093e" <= s[0] <= "\u094d" for s, _, _ in case.got[case.base :]):
                changed.add("code points")
            r = case.rules
            variants = {
                ("edge_joins", r.edge_joins): dict(rules=replace(r, edge_joins=not r.edge_joins)),
                ("marker_stems", r.marker_stems): dict(rules=replace(r, marker_stems=not r.marker_stems)),
                ("latin_joins", r.latin_joins): dict(rules=replace(r, latin_joins=not r.latin_joins)),
                "paradigms": dict(paradigms=Paradigms()),
                "seeds": dict(tokens=[replace(t, ambiguous=False) for t in case.tokens]),
                "theta": dict(theta=0),
                "specials": dict(reserved=()),
            }
            for name, change in variants.items():
                if name not in changed and case.reference(**change) != want:
                    changed.add(name)
        rules = {(f, on) for f in ("edge_joins", "marker_stems", "latin_joins") for on in (False, True)}
        assert changed == rules | {"paradigms", "seeds", "theta", "specials", "code points"}
