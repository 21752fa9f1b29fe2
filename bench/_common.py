"""Shared helpers for the benchmark scripts: environment header, corpus lookup, timing,
tables, fresh-subprocess runs with peak RSS, temporary corpora and the folding rules.

Nothing here is imported by the module or the tests; the scripts put bench/ on sys.path
simply by being run from it (python bench/bench_x.py).
"""

from __future__ import annotations

import datetime
import importlib
import json
import os
import platform
import random
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Iterable, List, Optional, Sequence

BENCH_DIR = Path(__file__).resolve().parent
PROJECT = BENCH_DIR.parent
# The development corpus lives beside the project, never inside it.
CORPUS_DIR = (PROJECT / ".." / "shared" / "corpus").resolve()

TEXT_FILES = ("hi-dev.txt", "mr-dev.txt", "ne-dev.txt")


# --------------------------------------------------------------------------- environment

def _sh(cmd: str) -> str:
    try:
        out = subprocess.run(cmd, shell=True, cwd=PROJECT, capture_output=True, text=True, timeout=30)
        return out.stdout.strip() or out.stderr.strip() or "?"
    except Exception as e:  # noqa: BLE001 - the header must never stop a benchmark
        return f"? ({e})"


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def header_lines(title: str) -> List[str]:
    commit = _sh("git rev-parse --short HEAD")
    dirty = _sh("git status --porcelain --untracked-files=no")
    if dirty and dirty != "?":
        commit += " (+ uncommitted changes)"
    lines = [
        f"== {title}",
        f"commit    {commit}",
        f"compiler  {_sh('g++ --version | head -1')}",
        f"python    {platform.python_implementation()} {platform.python_version()} ({sys.executable})",
        f"machine   {platform.machine()} | {cpu_model()} | {os.cpu_count()} cores",
        f"date      {datetime.datetime.now().isoformat(timespec='seconds')}",
    ]
    return lines


def print_header(title: str, extra: Iterable[str] = ()) -> None:
    for line in header_lines(title):
        print(line)
    for line in extra:
        print(line)
    print(flush=True)


def module_note(mod) -> str:
    path = Path(mod.__file__)
    stamp = datetime.datetime.fromtimestamp(path.stat().st_mtime).isoformat(timespec="seconds")
    return f"module    {path.name} (built {stamp})"


def import_larkspur(retries: int = 20, delay: float = 3.0):
    """Imports the module, retrying for a while: it may be mid-reinstall."""
    last = None
    for _ in range(retries):
        try:
            return importlib.import_module("LarkspurTokenization")
        except ImportError as e:
            last = e
            importlib.invalidate_caches()
            time.sleep(delay)
    sys.exit(f"cannot import LarkspurTokenization: {last}\n(build and install it first: make install)")


# --------------------------------------------------------------------------- corpus

def corpus_path(name: str) -> Path:
    p = CORPUS_DIR / name
    if not p.is_file():
        sys.exit(
            f"corpus file missing: {p}\n"
            f"The benchmarks read the development corpus from {CORPUS_DIR} "
            f"(../shared/corpus relative to the project); it is not part of the repository."
        )
    return p


def require_corpus(*names: str) -> List[Path]:
    return [corpus_path(n) for n in names]


def read_lines(path: Path) -> List[str]:
    with open(path, encoding="utf-8") as f:
        return f.read().splitlines()


def scratch_dir(prefix: str) -> tempfile.TemporaryDirectory:
    """A temporary directory outside the project for derived corpora and models."""
    return tempfile.TemporaryDirectory(prefix=f"larkspur-bench-{prefix}-")


def write_concat(dest: Path, sources: Sequence[Path]) -> Path:
    with open(dest, "wb") as out:
        for s in sources:
            data = s.read_bytes()
            out.write(data)
            if data and not data.endswith(b"\n"):
                out.write(b"\n")
    return dest


def write_repeated(dest: Path, sources: Sequence[Path], times: int, shuffle_seed: Optional[int]) -> Path:
    """`times` copies of the lines of `sources`; shuffled with a fixed seed when given."""
    lines: List[bytes] = []
    for s in sources:
        lines.extend(s.read_bytes().splitlines())
    if shuffle_seed is None:
        with open(dest, "wb") as out:
            block = b"\n".join(lines) + b"\n"
            for _ in range(times):
                out.write(block)
        return dest
    allv = lines * times
    random.Random(shuffle_seed).shuffle(allv)
    with open(dest, "wb") as out:
        out.write(b"\n".join(allv))
        out.write(b"\n")
    return dest


# --------------------------------------------------------------------------- timing

def best_of(fn: Callable[[], object], reps: int, min_reps: int = 1, budget_s: Optional[float] = None) -> float:
    """Smallest wall time of `reps` calls (fewer if `budget_s` runs out after `min_reps`)."""
    best = float("inf")
    start = time.perf_counter()
    for i in range(reps):
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        best = min(best, dt)
        if budget_s is not None and i + 1 >= min_reps and time.perf_counter() - start > budget_s:
            break
    return best


def mb(nbytes: float) -> float:
    return nbytes / 1e6


def mib(kib: float) -> float:
    return kib / 1024.0


class captured_stderr:
    """Sends file descriptor 2 to a temporary file for the duration (the core writes its
    progress lines there from C++); .text holds what was written."""

    def __enter__(self):
        sys.stderr.flush()
        self._tmp = tempfile.TemporaryFile(mode="w+b")
        self._saved = os.dup(2)
        os.dup2(self._tmp.fileno(), 2)
        self.text = ""
        return self

    def __exit__(self, *exc):
        sys.stderr.flush()
        os.dup2(self._saved, 2)
        os.close(self._saved)
        self._tmp.seek(0)
        self.text = self._tmp.read().decode("utf-8", "replace")
        self._tmp.close()
        return False


# Punctuation given to initialize_vocab wherever the benchmarks seed a vocabulary.
PUNCTUATION = ["।", "॥", ",", ".", "?", "!", ";", ":", "-", "(", ")", "[", "]", '"', "'", "/", "%"]


# --------------------------------------------------------------------------- tables

def print_table(headers: Sequence[str], rows: Sequence[Sequence[object]], title: str = "") -> None:
    cells = [[_fmt(c) for c in r] for r in rows]
    widths = [len(h) for h in headers]
    for r in cells:
        for i, c in enumerate(r):
            widths[i] = max(widths[i], len(c))
    if title:
        print(title)
    line = "  ".join(h.ljust(widths[i]) if i == 0 else h.rjust(widths[i]) for i, h in enumerate(headers))
    print(line)
    print("-" * len(line))
    for r in cells:
        print("  ".join(c.ljust(widths[i]) if i == 0 else c.rjust(widths[i]) for i, c in enumerate(r)))
    print(flush=True)


def _fmt(c: object) -> str:
    if c is None:
        return "-"
    if isinstance(c, float):
        if c != c:  # NaN
            return "-"
        a = abs(c)
        if a >= 1000:
            return f"{c:,.0f}"
        if a >= 100:
            return f"{c:.1f}"
        if a >= 1:
            return f"{c:.2f}"
        return f"{c:.3f}"
    if isinstance(c, int):
        return f"{c:,}"
    return str(c)


def verdict(ok: Optional[bool]) -> str:
    return "n/a" if ok is None else ("MET" if ok else "MISSED")


def print_targets(items: Sequence[tuple]) -> None:
    """items: (description, measured text, ok-or-None)."""
    print("Targets")
    w = max(len(d) for d, _, _ in items)
    for d, measured, ok in items:
        print(f"  [{verdict(ok):6}] {d.ljust(w)}  {measured}")
    print(flush=True)


# --------------------------------------------------------------------------- subprocesses

class ChildResult:
    def __init__(self, ok: bool, rc: int, wall: float, peak_kib: int, result: dict, lines: List[tuple]):
        self.ok = ok
        self.rc = rc
        self.wall = wall
        self.peak_kib = peak_kib
        self.result = result
        self.lines = lines  # (seconds since start, text) for every stdout/stderr line

    @property
    def peak_mib(self) -> float:
        return mib(self.peak_kib)

    def tail(self, n: int = 15) -> str:
        return "\n".join(f"    {t:8.2f}s  {s}" for t, s in self.lines[-n:])


# A small launcher sits between this process and the measured child. A child's ru_maxrss
# starts from the high-water mark of the address space it was forked from (Linux carries
# it across exec), so a child spawned straight from a benchmark that holds a corpus in
# memory would report at least that. The launcher is a bare interpreter of a few MiB; it
# spawns the child, waits for it and writes getrusage(RUSAGE_CHILDREN).ru_maxrss, which
# then covers that one child alone.
LAUNCHER = r"""
import os, resource, sys
out = sys.argv[1]
pid = os.posix_spawn(sys.argv[2], sys.argv[2:], os.environ)
_, status = os.waitpid(pid, 0)
with open(out, "w") as f:
    f.write(str(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss))
sys.exit(os.waitstatus_to_exitcode(status) & 255)
"""


def run_child(code: str, args: Sequence[str] = (), env: Optional[dict] = None,
              timeout: Optional[float] = None) -> ChildResult:
    """Runs `code` in a fresh interpreter. The child gets the path of a JSON result file as
    sys.argv[1] (then `args`); it writes its figures there. Every output line is stamped
    with its arrival time; the peak RSS is that of the child alone (see LAUNCHER)."""
    with tempfile.NamedTemporaryFile(prefix="larkspur-bench-res-", suffix=".json", delete=False) as rf:
        res_path = rf.name
    rss_path = res_path + ".rss"
    child_env = dict(os.environ)
    child_env["PYTHONUNBUFFERED"] = "1"
    if env:
        child_env.update(env)
    cmd = [sys.executable, "-S", "-c", LAUNCHER, rss_path, sys.executable, "-c", code, res_path, *args]
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=child_env,
                         cwd=str(BENCH_DIR), bufsize=1, text=True, errors="replace",
                         start_new_session=True)
    lines: List[tuple] = []
    killed = False
    assert p.stdout is not None
    timer = None
    if timeout is not None:
        import threading

        def _kill():
            nonlocal killed
            if p.poll() is None:
                killed = True
                # The launcher leads its own process group (start_new_session), which holds
                # the launcher and the measured child and nothing else.
                try:
                    os.killpg(p.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

        timer = threading.Timer(timeout, _kill)
        timer.start()
    for raw in p.stdout:
        lines.append((time.perf_counter() - t0, raw.rstrip("\n")))
    p.wait()
    wall = time.perf_counter() - t0
    if timer is not None:
        timer.cancel()
    result: dict = {}
    peak = 0
    try:
        with open(res_path, encoding="utf-8") as f:
            txt = f.read()
        if txt.strip():
            result = json.loads(txt)
    except (OSError, ValueError):
        pass
    try:
        with open(rss_path, encoding="utf-8") as f:
            peak = int(f.read().strip() or 0)
    except (OSError, ValueError):
        pass
    for path in (res_path, rss_path):
        try:
            os.unlink(path)
        except OSError:
            pass
    if killed:
        lines.append((wall, f"[bench] killed after the {timeout:.0f}s time limit"))
    return ChildResult(p.returncode == 0 and not killed, p.returncode, wall, peak, result, lines)


# Prologue for child code: result writer and a retrying import of the module.
CHILD_PROLOGUE = r'''
import json, os, resource, sys, time
sys.path.insert(0, %r)
RES = sys.argv[1]
ARGS = sys.argv[2:]
def emit(**kw):
    with open(RES, "w", encoding="utf-8") as f:
        json.dump(kw, f)
def self_peak_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
def import_larkspur():
    import importlib
    for _ in range(20):
        try:
            return importlib.import_module("LarkspurTokenization")
        except ImportError:
            importlib.invalidate_caches(); time.sleep(3)
    raise SystemExit("cannot import LarkspurTokenization")
''' % str(BENCH_DIR)


# --------------------------------------------------------------------------- folding rules

DEV_CONSONANTS = [chr(c) for c in range(0x0915, 0x0939 + 1)]  # क .. ह (37 letters)


def folding_rules_200() -> List[tuple]:
    """200 folding rules of the kind a real deployment carries, built so that most text
    does not match. bench_normalizer.cpp builds the same list in the same order.

    - 37 + 37: a consonant with a rare South-Indian vowel sign (short E U+0946, short O
      U+094A) folded to the Hindi sign (U+0947, U+094B);
    - 37 + 37: a consonant with a Vedic accent (udatta U+0951, anudatta U+0952) folded to
      the bare consonant;
    - 26: Cyrillic and Greek letters that look like Latin ones, folded to Latin;
    - 26: punctuation and space variants (full-width forms, typographic quotes and dashes,
      no-break and thin spaces) folded to ASCII (the quotes do occur now and then).
    """
    rules: List[tuple] = []
    for vs, to in (("\u0946", "\u0947"), ("\u094A", "\u094B")):
        for c in DEV_CONSONANTS:
            rules.append((c + vs, c + to))
    for accent in ("\u0951", "\u0952"):
        for c in DEV_CONSONANTS:
            rules.append((c + accent, c))
    # Cyrillic а е о р с у х, А В Е К М Н О Р С Т Х and Greek Α Β Ε Κ Μ Ν Ο Ρ.
    lookalikes = "аaеeоoрpсcуyхxАAВBЕEКKМMНHОOРPСCТTХXΑAΒBΕEΚKΜMΝNΟOΡP"
    for i in range(0, 52, 2):
        rules.append((lookalikes[i], lookalikes[i + 1]))
    punct = [
        ("\uFF08", "("), ("\uFF09", ")"), ("\uFF0C", ","), ("\uFF0E", "."), ("\uFF1A", ":"),
        ("\uFF1B", ";"), ("\uFF01", "!"), ("\uFF1F", "?"), ("\uFF02", '"'), ("\uFF07", "'"),
        ("\uFF3B", "["), ("\uFF3D", "]"), ("\uFF0D", "-"), ("\uFF0F", "/"), ("\u2018", "'"),
        ("\u2019", "'"), ("\u201C", '"'), ("\u201D", '"'), ("\u2032", "'"), ("\u2033", '"'),
        ("\u00A0", " "), ("\u2009", " "), ("\u202F", " "), ("\u2212", "-"), ("\u2013\u2013", "\u2014"),
        ("..", "."),
    ]
    rules.extend(punct)
    assert len(rules) == 200, len(rules)
    return rules
