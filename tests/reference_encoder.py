"""Test-only: a slow, obviously correct restatement of the encoder, kept to check the native
one on small random inputs. Never use it outside the tests.

It follows the text the way the encoder defines it, with plain strings, lists and a dict of
surfaces: the text is normalized and marked (a word marker at the start and in place of
every space: U+2582 before an ASCII letter or digit, or with latin_joins before punctuation
that stands before one, U+2581 otherwise), cut into runs of one
script class, and each run encoded by its class. Devanagari runs are cut into aksharas and
Latin runs into characters, and a run's units are joined greedily, from the left, into the
longest surfaces the vocabulary holds; punctuation and U+200C go one by one; whatever no
surface covers is spelled with byte tokens. Before each run an abbreviation step may take
a seeded surface that holds a full stop or a danda. Every candidate is looked up whole and
nothing is cached or reused.

The scheme's encoding options are keyword arguments, each off by default; with all of them
off this is the exact module's encoder. The scheme's fourth field, marker_stems, only changes
which roots training gives to merged tokens; encoding never reads it, so it has no argument
here.
"""

import string

WB, WL = "\u2581", "\u2582"  # word markers: before other words / before ASCII letters and digits
ZWNJ, DANDA = "\u200c", "\u0964"
ALNUM = set(string.ascii_letters + string.digits)
# The characters that whitespace_tokens makes tokens of their own.
LINE_BREAKS = ("\n", "\t")


def _byte_symbols():
    table, spare = [], 0x100
    for b in range(256):
        if 0x21 <= b <= 0x7E or 0xA1 <= b <= 0xAC or 0xAE <= b <= 0xFF:
            table.append(chr(b))
        else:
            table.append(chr(spare))
            spare += 1
    return table


# The surface of each byte's token, by byte value.
BYTE_SYMBOLS = _byte_symbols()

DEV, LAT, PUN, FMT, MAL = range(5)
PUNCT_CHARS = ({chr(c) for r in [(0x21, 0x2F), (0x3A, 0x40), (0x5B, 0x60), (0x7B, 0x7E),
                                 (0x2010, 0x2015), (0x2018, 0x201F)]
                for c in range(r[0], r[1] + 1)} | {DANDA, "\u0965", "\u2026"})


def ref_class(ch, is_marker):
    """The script class of a position of the marked text: a word marker belongs to the
    run it starts; a literal marker character in the text belongs to no script."""
    if is_marker:
        return DEV if ch == WB else LAT
    if ch in (WB, WL):
        return MAL
    if ch == ZWNJ:
        return FMT
    if ch in PUNCT_CHARS:
        return PUN
    if ch in ALNUM:
        return LAT
    if "\u0900" <= ch <= "\u097f":
        return DEV
    return MAL


def is_superword(surface, latin_joins=False):
    """A surface that joins whole words: it starts with a word marker and holds another,
    each marker followed by a word of at least one character (no marker, line feed or tab)
    whose first character takes that kind of marker (with latin_joins, whose first
    character after its opening punctuation)."""
    if not surface or surface[0] not in (WB, WL) or any(c in LINE_BREAKS for c in surface):
        return False
    words = 0
    for k, c in enumerate(surface):
        if c in (WB, WL):
            words += 1
            if k + 1 == len(surface) or surface[k + 1] in (WB, WL):
                return False
            rest = surface[k + 1:]
            if latin_joins:
                rest = rest.lstrip("".join(PUNCT_CHARS))
            if (c == WL) != (rest[:1] in ALNUM):
                return False
    return words >= 2


def ref_encode(tok, seed_max_len, text, *, codepoint_fallback=False, whitespace_tokens=False,
               edge_joins=False, superwords=False, latin_joins=False, byte_tokens=None):
    """The ids of `text`. `tok` answers vocab_size(), get_token_surface(id), normalize(text)
    and dfa_tokenize_debug(text) as the exact class does (see CompanionView for the
    companion). `byte_tokens`, when given, is the set of ids of byte tokens; without it the
    surface alone names each byte's token (the exact class does not say which tokens are
    bytes, and none of its vocabularies needs more).

    The options, each a field of the scheme:
      codepoint_fallback  an akshara that no surface covers is spelled with the longest
                          surfaces within its own code points, and a character outside the
                          script classes with its own token; bytes only for what is left.
      whitespace_tokens   a line feed or tab is a token of its own, and the word after it
                          starts with a word marker, as after a space.
      edge_joins          punctuation joins the Devanagari or Latin run it stands in, so the
                          matcher can join a word to the marks around and inside it.
      superwords          at every word marker, first the longest superword (is_superword)
                          whose characters and markers are the marked text's from there and
                          that ends where a word ends: before a marker, a line feed, a tab
                          or the end.
      latin_joins         a word whose punctuation opens it before an ASCII letter or digit
                          takes the Latin marker, and that punctuation opens its Latin run.
    """
    surfaces = [tok.get_token_surface(i) for i in range(tok.vocab_size())]
    lookup = {}
    for i, s in enumerate(surfaces):
        lookup[s] = i  # with duplicate surfaces the later id wins
    budget = max([1] + [len(s) for s in surfaces])
    out = []

    def is_byte_token(i):
        if byte_tokens is None:
            return surfaces[i] in BYTE_SYMBOLS
        return i in byte_tokens

    def byte_token(b):
        # A byte is spelled by the token whose surface is its symbol. When that surface
        # belongs to a token that decodes to something else (a letter such as "°" with a
        # token of its own) and a byte token of the byte exists too, the last such byte
        # token spells it instead.
        symbol = BYTE_SYMBOLS[b]
        if symbol not in lookup:
            return None
        i = lookup[symbol]
        if byte_tokens is None or i in byte_tokens or surfaces[i].encode("utf-8") == bytes([b]):
            return i
        same = [j for j in byte_tokens if surfaces[j] == symbol]
        return max(same) if same else i

    def fallback(s):
        for b in s.encode("utf-8"):
            i = byte_token(b)
            if i is not None:
                out.append(i)

    def spell(unit):
        # Code-point fallback: an akshara no surface covers is spelled, from its left, with
        # the longest surfaces made of its own code points; a code point that starts no
        # surface goes to bytes.
        i = 0
        while i < len(unit):
            ends = [j for j in range(i + 1, len(unit) + 1) if unit[i:j] in lookup]
            if ends:
                out.append(lookup[unit[i:ends[-1]]])
                i = ends[-1]
            else:
                fallback(unit[i])
                i += 1

    def longest(units, i):
        """The longest surface that is a concatenation of whole units from units[i], within
        the character budget: (id, index after its last unit), or None."""
        acc, chars, best, j = "", 0, None, i
        while True:
            chars += len(units[j])
            if chars > budget:
                break
            acc += units[j]
            j += 1
            if acc in lookup:
                best = (lookup[acc], j)
            if j == len(units):
                break
        return best

    def match_units(units, marked, devanagari):
        """Greedy longest match over one Devanagari or Latin run's units; `marked` when the
        first unit is the run's word marker."""
        if not lookup:
            return
        spelling = codepoint_fallback and devanagari
        i = 0
        while i < len(units):
            best = longest(units, i)
            if spelling and marked and i == 0 and best is not None and best[1] == 1 \
                    and len(units) > 1 and longest(units, 1) is None:
                # The marker would stand alone and the akshara after it will be spelled as
                # code points: the marker then takes the longest run of that akshara's
                # first code points that forms a surface with it, as it would take a whole
                # akshara, and the rest of the akshara is spelled.
                nxt = units[1]
                joined = [p for p in range(1, len(nxt)) if WB + nxt[:p] in lookup]
                if joined:
                    out.append(lookup[WB + nxt[:joined[-1]]])
                    spell(nxt[joined[-1]:])
                    i = 2
                    continue
            if best:
                out.append(best[0])
                i = best[1]
                continue
            if spelling and not (marked and i == 0):
                spell(units[i])
            else:
                fallback(units[i])
            i += 1

    def marker_before(chars):
        # The marker of a word that starts with `chars` (the rest of the text).
        if latin_joins:
            chars = chars.lstrip("".join(PUNCT_CHARS))
        return WL if chars[:1] and chars[0] in ALNUM else WB

    text = tok.normalize(text)
    n = len(text)
    marks = [(marker_before(text), True)]
    for k, c in enumerate(text):
        if c == " ":
            marks.append((marker_before(text[k + 1:]), True))
        else:
            marks.append((c, False))

    joined = [(s, i) for s, i in lookup.items() if superwords and is_superword(s, latin_joins)]

    def superword_at(w):
        best = None
        for s, i in joined:
            end = w + len(s)
            if end > len(marks) or any(marks[w + k] != (c, c in (WB, WL)) for k, c in enumerate(s)):
                continue
            if end < len(marks) and not marks[end][1] and marks[end][0] not in LINE_BREAKS:
                continue  # it ends inside a word
            if best is None or end > best[1]:
                best = (i, end)
        return best

    w = 0
    while w < len(marks):
        if joined and marks[w][1]:
            found = superword_at(w)
            if found:
                out.append(found[0])
                w = found[1]
                continue
        if seed_max_len > 0:
            after = abbreviation(marks, w, seed_max_len, lookup, out, whitespace_tokens)
            if after is not None:
                w = after
                continue
        c, is_marker = marks[w]
        if whitespace_tokens and not is_marker and c in LINE_BREAKS:
            # A line feed or tab is a token of its own (bytes when it has none), and what
            # follows starts the way a text does, with a word marker of its own, unless it
            # is the end or another line feed or tab. The marker joins the marks only now,
            # so that an abbreviation step that started before the line feed never saw it.
            if lookup.get(c) is not None:
                out.append(lookup[c])
            else:
                fallback(c)
            w += 1
            if w < len(marks) and not (not marks[w][1] and marks[w][0] in LINE_BREAKS):
                rest = ""
                for c, m in marks[w:]:
                    if m or c not in PUNCT_CHARS:
                        rest += "" if m else c
                        break
                    rest += c
                marks.insert(w, (marker_before(rest), True))
            continue
        kind = ref_class(c, is_marker)
        if edge_joins and kind == PUN:
            kind = DEV  # punctuation that starts a run is matched like a Devanagari run's
        # With edge joins, punctuation joins the Devanagari or Latin run it stands in, so
        # that a word can join the danda or quotation mark around it.
        joins = edge_joins and kind in (DEV, LAT)
        # After a Latin marker (Latin joins) the punctuation before the letters is the run's.
        leading = is_marker and kind == LAT
        h = w + 1
        while h < len(marks) and not marks[h][1]:
            k = ref_class(*marks[h])
            if whitespace_tokens and marks[h][0] in LINE_BREAKS:
                break
            if k != kind and not ((joins or leading) and k == PUN):
                break
            leading = leading and k == PUN
            h += 1
        run = marks[w:h]
        chars = "".join(c for c, _ in run)
        if kind == MAL:
            if codepoint_fallback:
                # Each character by its own token when it has one; a literal word marker or
                # a byte's token stays bytes, since its token would decode to a space or a
                # byte.
                for c in chars:
                    i = lookup.get(c)
                    if i is not None and c not in (WB, WL) and not is_byte_token(i):
                        out.append(i)
                    else:
                        fallback(c)
            else:
                fallback(chars)
        elif kind == PUN:
            for c in chars:
                if c in lookup:
                    out.append(lookup[c])
                else:
                    fallback(c)
        elif kind == FMT:
            if lookup and ZWNJ in lookup:
                out.extend(lookup[ZWNJ] for _ in chars)
        elif kind == DEV:
            units, rest = [], chars
            if run[0][1]:
                units, rest = [chars[0]], chars[1:]
            if edge_joins:
                # Each punctuation character is a unit; the Devanagari between two is cut
                # into aksharas on its own.
                stretch = ""
                for c in rest:
                    if c in PUNCT_CHARS:
                        if stretch:
                            units += tok.dfa_tokenize_debug(stretch)
                        units.append(c)
                        stretch = ""
                    else:
                        stretch += c
                if stretch:
                    units += tok.dfa_tokenize_debug(stretch)
            elif rest:
                units += tok.dfa_tokenize_debug(rest)
            match_units(units, run[0][1], True)
        else:
            match_units(list(chars), run[0][1], False)
        w = h
    return out


def abbreviation(marks, w, limit, lookup, out, whitespace_tokens=False):
    """The abbreviation step at position w: appends the ids and returns the position after
    the match, or None when the step does not apply. It applies when a full stop or danda
    lies within `limit` positions from w (a marker is a position); it then takes the
    longest surface of 2 to `limit` characters that starts at w (after its marker) and
    crosses no marker, nor a literal marker character of the text (which a surface's marker
    does not stand for). With whitespace_tokens a line feed or tab is a token of its own
    even here: the surface ends before one, as before a marker."""
    window = marks[w:w + min(len(marks) - w, limit)]
    if not any(not m and c in (".", DANDA) for c, m in window):
        return None
    marker = marks[w][0] if marks[w][1] else None
    g = w + 1 if marker is not None else w
    if g >= len(marks):
        return None
    length = 0
    while g + length < len(marks) and not marks[g + length][1] and length < limit:
        if whitespace_tokens and marks[g + length][0] in LINE_BREAKS:
            break
        if marks[g + length][0] in (WB, WL):
            break
        length += 1
    if length < 2 or not lookup:
        return None
    for l in range(length, 1, -1):
        s = "".join(c for c, _ in marks[g:g + l])
        if s in lookup:
            if marker is not None and marker in lookup:
                out.append(lookup[marker])
            out.append(lookup[s])
            return g + l
    return None


class CompanionView:
    """What the reference reads of a companion tokenizer (larkspur._engine.Tokenizer): its
    trained surfaces and which of them are byte tokens. The companion normalizes and cuts
    aksharas as the exact class does in its default mode with no folding rules, so those
    two come from a default exact tokenizer."""

    def __init__(self, engine):
        from LarkspurTokenization import PyLarkspurTokenization

        surfaces, kinds = engine.export_tokens()[:2]
        self.surfaces = surfaces
        self.byte_tokens = {i for i, k in enumerate(kinds) if k == "B"}
        self._exact = PyLarkspurTokenization()

    def vocab_size(self):
        return len(self.surfaces)

    def get_token_surface(self, i):
        return self.surfaces[i]

    def normalize(self, text):
        return self._exact.normalize(text)

    def dfa_tokenize_debug(self, text):
        return self._exact.dfa_tokenize_debug(text)
