#!/usr/bin/env python3
"""normalize() at the Python level, against unicodedata in the same run.

Over the lines of hi-dev.txt as they are in the file (2,687 of them not in NFC): one
call per line of `tok.normalize(line)` beside `unicodedata.normalize("NFC", line)`, and
the same with the 200 folding rules of _common.folding_rules_200() against none. The
whole text in one call is shown as well. Each figure is the best of several passes.

Targets: ours (no rules) at least as fast as unicodedata per line; 200 rules cost at most
1.5x the time of none.
"""

from __future__ import annotations

import argparse
import sys
import time
import unicodedata

import _common as C


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reps", type=int, default=9, help="passes per measurement (best is kept)")
    args = ap.parse_args()

    (hi,) = C.require_corpus("hi-dev.txt")
    L = C.import_larkspur()
    C.print_header("bench_normalize: normalize() vs unicodedata (Python level)", [C.module_note(L)])

    lines = C.read_lines(hi)
    whole = "\n".join(lines) + "\n"
    nbytes = sum(len(s.encode("utf-8")) for s in lines)
    wbytes = len(whole.encode("utf-8"))
    not_nfc = sum(1 for s in lines if not unicodedata.is_normalized("NFC", s))

    rules = C.folding_rules_200()
    plain = L.PyLarkspurTokenization()
    ruled = L.PyLarkspurTokenization(folding_rules=rules)
    problems = ruled.validate_folding_rules()

    # Sanity: with no rules N is NFC with U+200D removed (LM mode).
    mismatches = sum(1 for s in lines if plain.normalize(s) != unicodedata.normalize("NFC", s).replace("\u200d", ""))
    changed_by_rules = sum(1 for s in lines if ruled.normalize(s) != plain.normalize(s))

    print(f"text      hi-dev.txt: {C.mb(wbytes):.2f} MB, {len(lines):,} lines, {not_nfc:,} not in NFC")
    print(f"rules     {len(rules)} folding rules (validate_folding_rules: {len(problems)} messages); "
          f"they change {changed_by_rules:,} lines ({100.0 * changed_by_rules / len(lines):.2f}%)")
    print(f"check     lines where normalize() != NFC minus U+200D: {mismatches}")
    print()

    def per_line(fn):
        def run():
            for s in lines:
                fn(s)
        return run

    nfc = unicodedata.normalize
    is_norm = unicodedata.is_normalized
    cases = [
        ("unicodedata.normalize('NFC')", per_line(lambda s: nfc("NFC", s)), lambda: nfc("NFC", whole)),
        # On the whole text is_normalized stops at the first non-NFC character: no figure.
        ("unicodedata.is_normalized('NFC')", per_line(lambda s: is_norm("NFC", s)), None),
        ("ours: normalize(), no rules", per_line(plain.normalize), lambda: plain.normalize(whole)),
        ("ours: normalize(), 200 rules", per_line(ruled.normalize), lambda: ruled.normalize(whole)),
    ]
    # The lambda wrappers cost one extra Python call per line; the bound methods do not.
    # Measure that overhead so the unicodedata figure can be read without it too.
    noop = lambda s: s  # noqa: E731
    overhead = C.best_of(per_line(lambda s: noop(s)), args.reps)

    res = {}
    rows = []
    for name, pl, wh in cases:
        t_line = C.best_of(pl, args.reps)
        t_whole = C.best_of(wh, args.reps) if wh else None
        res[name] = (t_line, t_whole)
        rows.append([name, t_line * 1e3, C.mb(nbytes) / t_line, 1e9 * t_line / len(lines),
                     t_whole * 1e3 if t_whole else None, C.mb(wbytes) / t_whole if t_whole else None])
    C.print_table(["operation", "per line ms", "MB/s", "ns/line", "whole ms", "whole MB/s"], rows,
                  title=f"Throughput (best of {args.reps} passes; per line = one call per line)")

    ud_line, ud_whole = res["unicodedata.normalize('NFC')"]
    ud_line_bare = max(ud_line - overhead, 1e-9)
    ours_line, ours_whole = res["ours: normalize(), no rules"]
    r_line, r_whole = res["ours: normalize(), 200 rules"]
    rows = [
        ["ours (no rules) vs unicodedata NFC", ud_line / ours_line, ud_whole / ours_whole],
        ["  same, unicodedata without the lambda call", ud_line_bare / ours_line, None],
        ["200 rules / no rules (time)", r_line / ours_line, r_whole / ours_whole],
    ]
    C.print_table(["comparison (>1 = ours faster; rules: time ratio)", "per line", "whole"], rows)
    print(f"(the extra Python call of the lambda wrapper costs {1e9 * overhead / len(lines):.0f} ns/line)\n")

    C.print_targets([
        ("normalize() per line at least as fast as unicodedata NFC",
         f"{ud_line / ours_line:.2f}x (bare: {ud_line_bare / ours_line:.2f}x)", ours_line <= ud_line_bare),
        ("200 rules cost at most 1.5x the time of none (per line)", f"{r_line / ours_line:.2f}x", r_line / ours_line <= 1.5),
        ("200 rules cost at most 1.5x the time of none (whole text)", f"{r_whole / ours_whole:.2f}x", r_whole / ours_whole <= 1.5),
    ])


if __name__ == "__main__":
    main()
