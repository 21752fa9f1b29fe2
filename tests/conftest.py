"""What more than one test file uses: the published method table, the seeded tokenizer, the
small synthetic corpus, the training worker process, checkpoint helpers,, the quiet progress
arguments, and the development corpus, which lives beside the repository rather than in it."""

import ast
import tracemalloc
import threading
import gc
import array
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from LarkspurTokenization import PyLarkspurTokenization as Tok

TESTS = Path(__file__).resolve().parent
# The suite run against the sanitizer build sets this; some measures and budgets differ there.
SANITIZED = bool(os.environ.get("LARKSPUR_SANITIZED"))
MISSING = object()

# The class's method table, in table order, with the published parameters.
METHOD_TABLE = """
fold_mode()
normalize(s)
validate_folding_rules()
encode(text)
decode(ids)
verify_roundtrip(s)
initialize_vocab(aksharas, seed_morphemes, punctuation, v_strict, v_ambiguous)
harvest_aksharas(path, min_freq=1)
clear_dfa()
add_dfa_transition(state, ch, next_state, accepting)
dfa_has_transition(state, ch)
dfa_get_transitions(state)
dfa_tokenize_debug(text)
vocab_contains(surface)
vocab_get_id(surface)
vocab_get_surface(id)
vocab_size()
add_paradigm(root_id, transitions)
set_root_prior(prior)
set_token_weight(surface, weight)
enable_probabilistic_k(enabled, root_set_cap=0)
assign_initial_roots()
get_root_set(surface)
induce_ambiguous_seeds(candidates, c_lo)
promote_to_strict(surface, human_validated=False)
set_lexicon(lexicon)
build_paradigm_embedding(seed_ambiguous_by_prior=False)
paradigm_embedding_ids()
script_ids()
train_bpe(sequences, vocab_budget, theta)
train_from_text(texts, vocab_budget, theta)
train_from_file(path, vocab_budget, theta, min_word_freq=1, progress_lines=500000, progress_merges=1000, checkpoint_dir=None, checkpoint_every=0, checkpoint_keep=3)
train_bilingual_from_file(path, dev_budget, lat_budget, theta, min_word_freq=1, progress_lines=500000, progress_merges=1000, checkpoint_dir=None, checkpoint_every=0, checkpoint_keep=3)
train_latin_from_file(path, lat_budget, min_word_freq=1, progress_lines=500000, progress_merges=1000, checkpoint_dir=None, checkpoint_every=0, checkpoint_keep=3)
checkpoint_info(dir)
resume_from_checkpoint(dir, progress_merges=1000, checkpoint_every=0, checkpoint_keep=3, allow_mode_mismatch=False, allow_paradigm_mismatch=False)
corpus_stats(texts)
load_vocab(pairs)
escape_tsv(s)
load_vocab_tsv(path, allow_mode_mismatch=False)
save_vocab_tsv(path)
get_token_surface(id)
get_vocab_dict()
tokenize_to_strings(text)
"""


def params_of(fn: ast.FunctionDef, skip_self: bool):
    """(name, default) of a parsed definition's parameters; MISSING where there is no default."""
    args = fn.args.args[1:] if skip_self else fn.args.args
    defaults = [MISSING] * (len(args) - len(fn.args.defaults)) + [
        ast.literal_eval(d) for d in fn.args.defaults]
    return [(a.arg, d) for a, d in zip(args, defaults)]


def _table():
    table = []
    for line in METHOD_TABLE.strip().splitlines():
        fn = ast.parse(f"def {line}: pass").body[0]
        table.append((fn.name, params_of(fn, skip_self=False)))
    return table


# [(method name, [(parameter, default or MISSING)])] in table order.
TABLE = _table()
METHOD_NAMES = [name for name, _ in TABLE]


def quiet(**extra):
    """Keyword arguments that silence a training method's progress lines."""
    return dict(progress_lines=0, progress_merges=0, **extra)


def os_error(code):
    """An operating-system error as the module words it."""
    return f"{os.strerror(code)} (os error {code})"


def seeded(mode="LM", rules=(("\u0970", "."),)):
    """A small seeded tokenizer with folding rules (one by default), Devanagari aksharas and seeds."""
    tok = Tok(folding_rules=list(rules), mode=mode)
    tok.initialize_vocab(["क", "कि", "र", "ना", "म", "ल", "ता"], ["कर", "ने", "\u2581"], ["।", ","], ["ने"], [])
    return tok


def make_corpus(path, lines=150, seed=5):
    """A seeded synthetic corpus of Devanagari stems with endings, Latin words and dandas."""
    rng = random.Random(seed)
    stems = ["कर", "पढ़", "चल", "मा", "ला", "गा", "सो"]
    endings = ["ना", "ता", "ते", "नी", "", "के", "ने"]
    latin = ["model", "data", "train", "python", "code", "token", "mode", "dart"]
    out = []
    for _ in range(lines):
        words = []
        for _ in range(rng.randint(3, 9)):
            r = rng.random()
            if r < 0.65:
                words.append(rng.choice(stems) + rng.choice(endings))
            elif r < 0.85:
                words.append(rng.choice(latin) + rng.choice(["", "s", "ing"]))
            elif r < 0.92:
                words.append(rng.choice(["गया", "गई", "ने"]))
            else:
                words.append("।")
        out.append(" ".join(words))
    path.write_text("\n".join(out) + "\n", encoding="utf-8")
    return str(path)


def steps(ckpt):
    """The step directories of a checkpoint directory, oldest first."""
    return sorted(n for n in os.listdir(ckpt) if n.startswith("step_"))


# --- training in a process of its own ----------------------------------------------------------

WORKER = str(TESTS / "train_worker.py")


def start(action, driver, corpus, ckpt, every, out):
    return subprocess.Popen([sys.executable, WORKER, action, driver, corpus, ckpt, str(every), out],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def finish(proc):
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err
    return err


# --- the companion's tokenizers, trained once per session ------------------------------------

ROOT = TESTS.parent
SAMPLE = ROOT / "examples" / "sample.txt"
MIXED = "भारत की राजधानी New Delhi है। उसने 3 किताबें पढ़ीं, और\u200d चाय पी!"


def sample_texts():
    """The sample's lines and some awkward texts (empty, spaces, an emoji)."""
    return SAMPLE.read_text(encoding="utf-8").splitlines() + [MIXED, "", "  दो  spaces ", "emoji 🙂 है"]


def words_corpus(path, lines, seed):
    """Text of Hindi-like words made of a few stems and endings, with some Latin words."""
    rng = random.Random(seed)
    stems = ["कर", "पढ़", "लिख", "चल", "बोल", "सुन", "देख", "खेल", "काम", "घर", "पान", "नदी"]
    ends = ["", "ना", "ता", "ती", "ते", "ों", "ें", "ने", "कर", "गा"]
    latin = ["data", "model", "token", "GPU", "2024", "Delhi"]
    with open(path, "w", encoding="utf-8") as f:
        for _ in range(lines):
            words = [rng.choice(stems) + rng.choice(ends) if rng.random() < 0.85 else rng.choice(latin)
                     for _ in range(rng.randint(3, 12))]
            f.write(" ".join(words) + rng.choice(["।", "", ",", "?"]) + "\n")
    return path


def keep_first_checkpoint(ck):
    """Drops all but the oldest checkpoint of a run's directory, as if the run had been
    killed right after writing it; returns how many steps there were."""
    steps = sorted(p for p in ck.iterdir() if p.name.startswith("step_"))
    for p in steps[1:]:
        shutil.rmtree(p)
    (ck / "LATEST").unlink()
    return len(steps)


def write_lines(path, lines):
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


@pytest.fixture(scope="session")
def corpus(tmp_path_factory):
    """A corpus of 3,000 lines of words_corpus."""
    return words_corpus(tmp_path_factory.mktemp("lk") / "corpus.txt", 3000, 5)


@pytest.fixture(scope="session")
def tok(corpus):
    """The default recipe at 1,200 ids on the corpus and the sample. Read it, never change it."""
    import larkspur

    return larkspur.train([corpus, SAMPLE], vocab_size=1200, progress=False)


@pytest.fixture(scope="session")
def sample_tok():
    """The default recipe at 900 ids on the sample. Read it, never change it."""
    import larkspur

    return larkspur.train([SAMPLE], vocab_size=900, progress=False)


# --- the development corpus --------------------------------------------------------------------

# Human-written text kept beside the project, not in it: next to the checkout (or worktree),
# or at the machine's shared location.
SHARED_CORPUS_DIRS = [TESTS.parent.parent / "shared" / "corpus", Path("/work/shared/corpus")]


@pytest.fixture(scope="session")
def shared_corpus():
    """The directory of the development corpus; the test is skipped where it is absent."""
    for d in SHARED_CORPUS_DIRS:
        if (d / "hi-dev.txt").is_file():
            return d
    pytest.skip("development corpus not found in " + " or ".join(str(d) for d in SHARED_CORPUS_DIRS))


# --- leak checks -----------------------------------------------------------------------------------
# Shared by the exact module's and the companion's leak tests: what a call's arguments and
# result hold (their reference counts must not grow), and the Python blocks allocated.

def _held(value, depth=4):
    """value and the objects it holds, depth levels down through lists, tuples and dicts."""
    found = [value]
    if depth:
        inner = (list(value) + list(value.values()) if isinstance(value, dict)
                 else value if isinstance(value, (list, tuple)) else ())
        for item in inner:
            found += _held(item, depth - 1)
    return list({id(o): o for o in found}.values())


def _refcounts(objects):
    # Kept as machine integers: a list of int objects would itself hold references to the
    # small ints being counted.
    return array.array("q", map(sys.getrefcount, objects))


# Blocks that other libraries allocate meanwhile (a progress bar's monitor thread, a worker
# pool left by an earlier test, the standard library's caches) are not ours. Ours are traced
# to the package's Python files, to the calling test, or to no frame at all from the native
# threads. Nor are the snapshots that tracemalloc takes to count them.
_OURS = [tracemalloc.Filter(True, "*/larkspur/*"), tracemalloc.Filter(True, "*/tests/*"),
         tracemalloc.Filter(True, "<unknown>"), tracemalloc.Filter(False, tracemalloc.__file__)]


def _traced_blocks():
    gc.collect()
    return len(tracemalloc.take_snapshot().filter_traces(_OURS).traces)


def grows(once, held, rounds):
    """Leaks of `rounds` calls of once(): references that `held` objects gained, and the
    allocated blocks grown (the smaller growth of two runs of calls: a leak grows in both,
    while a cache of the interpreter's that fills or is purged once shows in one only).
    Returns a list of what leaked (empty when nothing did)."""
    for _ in range(min(rounds, 300)):
        once()
    held = _held(held)
    before = _refcounts(held)
    tracemalloc.start()
    try:
        counts = [_traced_blocks()]
        for _ in range(2):
            for _ in range(rounds):
                once()
            counts.append(_traced_blocks())
        blocks = min(counts[1] - counts[0], counts[2] - counts[1])
    finally:
        tracemalloc.stop()
    after = _refcounts(held)
    limit = rounds // 10
    grown = [f"{o!r:.40} +{a - b}" for o, b, a in zip(held, before, after) if a - b >= limit]
    leaks = [f"references kept over {rounds} calls: " + ", ".join(grown)] if grown else []
    if blocks >= limit:
        leaks.append(f"{blocks} more allocated blocks after {rounds} calls")
    return leaks
