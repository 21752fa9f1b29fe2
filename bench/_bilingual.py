"""The bilingual table of quality.py: a Devanagari language of the development corpus mixed
with English prose, larkspur trained with its default arguments (or --latin-share) against the tokenizers
package's BPE trained on the same file at the same size, measured on held-out text of each
language.

The English text: the paragraphs of the Python documentation (the HTML of Debian's
python3.X-doc package, fetched at run time with `apt-get download` into the scratch
directory; the Python Software Foundation License), code blocks left out. `--english FILE`
takes any other text instead, one paragraph per line. Both languages are split as the
rest of quality.py splits a file (runs of 200 lines, every 10th held out); the training
file is the language's training part and as many English training lines as make the mix
by UTF-8 bytes (about half and half, and about one part English to nine), the lines
shuffled with a fixed seed.
"""

from __future__ import annotations

import glob
import html.parser
import random
import re
import subprocess
import sys
from pathlib import Path
from typing import List, Optional, Sequence

import _common as C
import _quality as Q

# English bytes per byte of the Devanagari training part.
MIXES = ((1.0, "1:1"), (1 / 9, "1:9"))
SIZES = (16000, 32000)
EN_LIMIT, DEV_LIMIT = 1.03, 1.00


class _Paragraphs(html.parser.HTMLParser):
    """The text of each <p> element outside code blocks."""

    def __init__(self) -> None:
        super().__init__()
        self.out: List[str] = []
        self._buf: Optional[List[str]] = None
        self._code = 0

    def handle_starttag(self, tag, attrs):
        if tag in ("pre", "script", "style"):
            self._code += 1
        elif tag == "p" and not self._code:
            self._buf = []

    def handle_endtag(self, tag):
        if tag in ("pre", "script", "style"):
            self._code = max(0, self._code - 1)
        elif tag == "p" and self._buf is not None:
            text = " ".join("".join(self._buf).split())
            if len(text) >= 40:
                self.out.append(text)
            self._buf = None

    def handle_data(self, data):
        if self._buf is not None and not self._code:
            self._buf.append(data)


def fetch_english(scratch: Path) -> tuple:
    """(paragraphs, where they came from), or ([], why not)."""
    version = f"{sys.version_info.major}.{sys.version_info.minor}"
    dest = scratch / "english"
    dest.mkdir()
    for package in (f"python{version}-doc", "python3-doc"):
        got = subprocess.run(["apt-get", "download", package], cwd=dest, capture_output=True, text=True)
        debs = glob.glob(str(dest / "*.deb"))
        if got.returncode == 0 and debs:
            break
    else:
        return [], f"apt-get download python{version}-doc failed: {got.stderr.strip()[-200:]}"
    subprocess.run(["dpkg-deb", "-x", debs[0], str(dest / "root")], check=True)
    seen, out = set(), []
    for page in sorted((dest / "root").rglob("*.html")):
        p = _Paragraphs()
        p.feed(page.read_text(encoding="utf-8", errors="replace"))
        for t in p.out:
            if t not in seen:
                seen.add(t)
                out.append(t)
    return out, f"{Path(debs[0]).name} (paragraphs of the Python documentation, PSF License)"


def _has_dev(text: str) -> bool:
    return re.search("[\u0900-\u097f]", text) is not None


class Row:
    def __init__(self, lang, mix, size):
        self.lang, self.mix, self.size = lang, mix, size
        self.share = self.en = self.dev = self.en_bpe = self.dev_bpe = None
        self.split = self.split_bpe = None
        self.renyi = self.renyi_bpe = self.bpt = self.bpt_bpe = None  # over both held-out texts
        self.note = ""


def run(langs: Sequence[str], args, exact, scratch: Path, quality) -> List[Row]:
    """quality: the quality module (its training children, loaders and measures)."""
    if args.english:
        english = [line for line in C.read_lines(Path(args.english)) if line.strip()]
        source = args.english
    else:
        english, source = fetch_english(scratch)
    if not english:
        print(f"bilingual table skipped: no English text ({source})", flush=True)
        return []
    en_train, en_held = Q.split_blocks(english, quality.BLOCK, quality.EVERY, quality.HELD)
    cap = args.heldout_lines or 3000
    en_held = en_held[:cap]
    print(f"bilingual: English from {source}: {len(english):,} paragraphs, "
          f"{sum(len(s.encode()) for s in en_train) / 1e6:.1f} MB for training", flush=True)
    rows: List[Row] = []
    for lang in langs:
        dev_train, dev_held = Q.split_blocks(C.read_lines(C.corpus_path(f"{lang}-dev.txt")), quality.BLOCK,
                                             quality.EVERY, quality.HELD)
        held_dev = quality.Heldout(dev_held[:cap], exact)
        held_en = quality.Heldout(en_held, exact)
        dev_bytes = sum(len(s.encode()) + 1 for s in dev_train)
        for ratio, mix in MIXES:
            take, got = [], 0
            for s in en_train:
                if got >= ratio * dev_bytes:
                    break
                take.append(s)
                got += len(s.encode()) + 1
            if got < 0.9 * ratio * dev_bytes:
                print(f"  {lang} {mix}: only {got / 1e6:.1f} MB of English for {ratio * dev_bytes / 1e6:.1f} MB",
                      flush=True)
            lines = dev_train + take
            random.Random(7).shuffle(lines)
            dest = scratch / f"bi-{lang}-{mix.replace(':', '-')}"
            dest.mkdir()
            path = dest / "train.txt"
            path.write_text("\n".join(lines) + "\n", encoding="utf-8")
            for size in SIZES:
                row = Row(lang, mix, size)
                extra = {} if args.latin_share is None else {"latin_share": args.latin_share}
                ours = quality.train_larkspur(["larkspur default"], path, size, "morph", [extra], dest, 1,
                                              args.threads, args.timeout)[0]
                bpe = quality.train_hf(path, size, dest, 1, args.threads, args.timeout)
                if not (ours.ok and bpe.ok):
                    row.note = "training failed"
                    rows.append(row)
                    continue
                pieces, tok = quality.loader(ours.system)(ours.model)
                row.share = tok.settings["training"].get("latin_share")
                m_en, m_dev = quality.measure(pieces, held_en, ()), quality.measure(pieces, held_dev, ())
                pieces, _ = quality.loader(bpe.system)(bpe.model)
                b_en, b_dev = quality.measure(pieces, held_en, ()), quality.measure(pieces, held_dev, ())
                row.en, row.dev, row.en_bpe, row.dev_bpe = m_en.tpw, m_dev.tpw, b_en.tpw, b_dev.tpw
                row.split = 100 * m_dev.share(m_dev.splitting)
                row.split_bpe = 100 * b_dev.share(b_dev.splitting)
                both, both_bpe = m_en + m_dev, b_en + b_dev
                row.renyi, row.bpt = both.renyi(ours.ids), both.bytes_per_token
                row.renyi_bpe, row.bpt_bpe = both_bpe.renyi(bpe.ids), both_bpe.bytes_per_token
                rows.append(row)
                print(f"  {lang} {mix} {size // 1000}k: share {row.share}, English {row.en / row.en_bpe:.3f}x, "
                      f"{lang} {row.dev / row.dev_bpe:.3f}x", flush=True)
    return rows


def print_table(rows: List[Row], latin_share: Optional[float] = None) -> None:
    table = []
    for r in rows:
        if r.en is None:
            table.append([r.lang, r.mix, f"{r.size // 1000}k"] + [None] * 13 + [r.note])
            continue
        table.append([r.lang, r.mix, f"{r.size // 1000}k", f"{r.share:.3f}", r.en, r.en_bpe,
                      f"{r.en / r.en_bpe:.3f}x", r.dev, r.dev_bpe, f"{r.dev / r.dev_bpe:.3f}x",
                      f"{r.split:.2f}", f"{r.split_bpe:.2f}", r.renyi, r.renyi_bpe, r.bpt, r.bpt_bpe, r.note])
    C.print_table(["lang", "en:dev", "size", "latin share", "en t/w", "BPE", "vs BPE", "dev t/w", "BPE",
                   "vs BPE", "split %", "BPE split %", f"Renyi {Q.RENYI_ALPHA}", "BPE Renyi", "bytes/tok",
                   "BPE bytes/tok", "note"], table,
                  title="Bilingual: larkspur.train with default arguments ("
                        + ("the Latin share chosen from the words" if latin_share is None
                           else f"but latin_share={latin_share}") + ") against the tokenizers BPE on the same mixed file; held-out tokens per white-space word "
                        "of each language, akshara-splitting tokens as % of the Devanagari text's tokens; "
                        f"Renyi efficiency (alpha {Q.RENYI_ALPHA}) of the ids and UTF-8 bytes per token over the "
                        "held-out text of both languages taken together")


def targets(rows: List[Row]) -> List[tuple]:
    done = [r for r in rows if r.en is not None]
    if not done:
        return [("bilingual: English <= 1.03x, Devanagari <= 1.00x the BPE's", "n/a: no rows", None)]
    items = []
    for r in done:
        en, dev = r.en / r.en_bpe, r.dev / r.dev_bpe
        items.append((f"bilingual {r.lang} {r.mix} {r.size // 1000}k: English <= {EN_LIMIT:.2f}x, "
                      f"{r.lang} <= {DEV_LIMIT:.2f}x, splits below the BPE's",
                      f"share {r.share:.3f}: {en:.3f}x, {dev:.3f}x, {r.split:.2f} % vs {r.split_bpe:.2f} %",
                      en <= EN_LIMIT + 1e-12 and dev <= DEV_LIMIT + 1e-12 and r.split < r.split_bpe))
    return items
