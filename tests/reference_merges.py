"""Test-only: a slow, obviously correct restatement of the constrained merge loop.

The real loop keeps pair counts up to date incrementally, indexes the words of each pair
and pops candidates from a heap with stale entries; this one recounts every pair of every
word after every merge and takes the best admissible pair by a plain maximum. It knows
the rules that decide which pairs may merge (scripts, seeds, paradigms, and the optional
merge rules: joins at word edges and stems without their word marker) and the order
among them, and nothing about how the real loop finds the best pair quickly. It covers
runs without a root prior, token weights or the probabilistic priority, where a
candidate's key is its count.

It exists only to check the real loop, merge by merge, on small random inputs.
"""

from collections import Counter
from dataclasses import dataclass, field, replace

# Script letters, as token tables export them.
DEV, LAT, PUN, FMT, MAL = "D", "L", "P", "F", "M"
# Kind letters of the tokens that root tagging looks at (base aksharas, seeds, merges and
# other characters' tokens); punctuation, format, byte and Latin tokens never get roots.
ROOTED_KINDS = "ASMO"
WORD_MARKER, LATIN_MARKER = "\u2581", "\u2582"


@dataclass
class RefToken:
    surface: str
    script: str
    strict: bool = False
    ambiguous: bool = False
    roots: list = field(default_factory=list)


@dataclass(frozen=True)
class Rules:
    """The merge rules beyond the default ones (both off by default)."""

    edge_joins: bool = False
    marker_stems: bool = False
    latin_joins: bool = False


class Paradigms:
    """Registrations of (root, {surface: surfaces that may follow it}), in order. A root's
    latest registration alone says what may follow what; every registration counts when
    the roots of a surface are looked up."""

    def __init__(self, registrations=()):
        self.registrations = [(root, {k: set(v) for k, v in t.items()}) for root, t in registrations]

    def allows(self, root, surface, following):
        latest = [t for r, t in self.registrations if r == root]
        return bool(latest) and following in latest[-1].get(surface, ())

    def roots_with_key(self, surface):
        # Without a root prior roots are ordered by id; the sort is stable, so a root
        # registered twice for the surface appears twice.
        return sorted(r for r, t in self.registrations if surface in t)


def without_marker(surface):
    return surface[1:] if surface[:1] in (WORD_MARKER, LATIN_MARKER) else surface


def paradigm_surface(token, rules):
    """What the paradigms are asked about a token: with marker_stems, its surface without the
    leading word marker, so that a word-initial stem is the stem."""
    return without_marker(token.surface) if rules.marker_stems else token.surface


def tag_roots(tokens, kinds, paradigms, rules):
    """Gives each token of a rooted kind the roots of the paradigms that have its surface (its
    paradigm surface) as a key; a token no paradigm knows keeps what it had."""
    for token, kind in zip(tokens, kinds):
        if kind in ROOTED_KINDS:
            roots = paradigms.roots_with_key(paradigm_surface(token, rules))
            if roots:
                token.roots = roots


def may_merge(left, right, count, phase, rules, paradigms, theta, reserved=()):
    """Whether the adjacent tokens `left`, `right` (None for an id no vocabulary holds), seen
    `count` times, may merge in the pass `phase` ("DEV" or "LAT"). No merge makes a
    `reserved` surface (a special token's text)."""
    if left is None or right is None:
        return False
    if left.surface + right.surface in reserved:
        return False
    if phase == "LAT":
        # The Latin pass joins Latin letters, and with edge joins the punctuation after
        # them ("N."); with Latin joins Latin and punctuation in any order, marks with marks
        # too. No seed or paradigm applies there.
        if rules.latin_joins:
            return {left.script, right.script} <= {LAT, PUN}
        return left.script == LAT and (right.script == LAT or (rules.edge_joins and right.script == PUN))
    if rules.edge_joins:
        # Devanagari and punctuation join in any combination.
        if left.script not in (DEV, PUN) or right.script not in (DEV, PUN):
            return False
    elif not (left.script == right.script and left.script in (DEV, PUN)):
        return False
    # Seeds: nothing absorbs a seed from the right, a strict seed is never extended, an
    # ambiguous one only by a pair seen at least theta times.
    if right.strict or right.ambiguous or left.strict:
        return False
    if left.ambiguous and count < theta:
        return False
    if rules.edge_joins and right.script == PUN:
        return True  # punctuation is no morpheme: no paradigm is asked
    if not left.roots:
        return True
    stem = paradigm_surface(left, rules)
    return any(paradigms.allows(r, stem, right.surface) for r in left.roots)


def priority(left, count, a, b, phase):
    """The order among admissible pairs: in the Devanagari pass a Devanagari left part
    before punctuation before anything else, then the count, then the larger left id, then
    the larger right id."""
    rank = {DEV: 2, PUN: 1}.get(left.script, 0) if phase == "DEV" else 0
    return (rank, count, a, b)


def merged_token(left, right, phase, rules, paradigms):
    """The token a merge of left and right makes when its surface is new: the left part's
    script (Latin, whatever leads, in the Latin pass), and in the Devanagari pass the roots of the left part that allow the right one;
    with marker_stems, a Devanagari left part without roots gives the merged token the
    roots of its own paradigm surface instead."""
    surface = left.surface + right.surface
    roots = []
    if phase == "DEV":
        if left.roots:
            stem = paradigm_surface(left, rules)
            roots = [r for r in left.roots if paradigms.allows(r, stem, right.surface)]
        elif rules.marker_stems and left.script == DEV:
            roots = paradigms.roots_with_key(without_marker(surface))
    return RefToken(surface, LAT if phase == "LAT" else left.script, roots=roots)


def reference_merges(tokens, words, passes, rules=Rules(), paradigms=Paradigms(), theta=100, reserved=()):
    """Runs the passes, each a (phase, budget) pair, over `words`, a list of (ids, count);
    each pass merges until the table holds `budget` tokens or no pair may merge. Returns the
    token table at the end (the given tokens are not changed)."""
    tokens = [replace(t, roots=list(t.roots)) for t in tokens]
    words = [(list(ids), count) for ids, count in words]
    index = {}
    for i, t in enumerate(tokens):
        index[t.surface] = i  # a later equal surface wins, as in the vocabulary's surface map

    def token(i):
        return tokens[i] if 0 <= i < len(tokens) else None

    for phase, budget in passes:
        while len(tokens) < budget:
            counts = Counter()
            for ids, count in words:
                for pair in zip(ids, ids[1:]):
                    counts[pair] += count
            admissible = [priority(token(a), c, a, b, phase) for (a, b), c in counts.items()
                          if may_merge(token(a), token(b), c, phase, rules, paradigms, theta, reserved)]
            if not admissible:
                break
            _, _, a, b = max(admissible)
            merged = tokens[a].surface + tokens[b].surface
            t = index.get(merged)
            if t is None:
                # A surface that exists already keeps its own script, seeds and roots.
                t = len(tokens)
                tokens.append(merged_token(tokens[a], tokens[b], phase, rules, paradigms))
                index[merged] = t
            for ids, _ in words:
                i = 0
                while i + 1 < len(ids):
                    if ids[i] == a and ids[i + 1] == b:
                        ids[i : i + 2] = [t]
                    else:
                        i += 1
    return tokens


def reference_bpe(initial_surfaces, sequences, budget):
    """The plain case: every token an unprotected Devanagari one without roots, each
    sequence a word of count 1, one Devanagari pass; returns the surfaces."""
    tokens = [RefToken(s, DEV) for s in initial_surfaces]
    done = reference_merges(tokens, [(s, 1) for s in sequences], [("DEV", budget)])
    return [t.surface for t in done]
