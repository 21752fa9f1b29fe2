"""Module boundary: the module, the one class, its method table, argument
conversion, error reporting and borrow bookkeeping."""

import array
import ast
import contextlib
import errno
import gc
import importlib.util
import inspect
import os
import pickle
import re
import shutil
import subprocess
import sys
import threading
import time
import tracemalloc
import weakref
from pathlib import Path

import pytest

import LarkspurTokenization
from LarkspurTokenization import PyLarkspurTokenization as Tok

from conftest import (METHOD_NAMES, MISSING, SANITIZED, TABLE, _held, _refcounts, _traced_blocks, make_corpus, os_error,
                      params_of, quiet, seeded)

STUB = Path(__file__).resolve().parents[2] / "src" / "lib" / "LarkspurTokenization.pyi"
MODE_ERROR = "mode must be 'LM' or 'OCR'"


def runtime_params(name):
    sig = inspect.signature(getattr(Tok, name))
    params = list(sig.parameters.values())
    if name != "escape_tsv":
        assert params[0].kind is inspect.Parameter.POSITIONAL_ONLY
        params = params[1:]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    return [(p.name, MISSING if p.default is inspect.Parameter.empty else p.default)
            for p in params]


def names_argument(exc, name):
    return re.search(rf"(?<![\w]){re.escape(name)}(?![\w])", str(exc)) is not None


class TestModuleSurface:
    def test_only_public_name_is_the_class(self):
        public = [n for n in dir(LarkspurTokenization) if not n.startswith("_")]
        assert public == ["PyLarkspurTokenization"]
        assert isinstance(Tok, type)

    def test_module_docstring_is_empty(self):
        assert LarkspurTokenization.__doc__ == ""

    def test_class_text_signature(self):
        assert str(inspect.signature(Tok)) == (
            "(folding_rules=None, minimal_folding_rules=None, mode='LM')")

    def test_method_table_order(self):
        own = [n for n in Tok.__dict__ if not n.startswith("_")]
        assert own == METHOD_NAMES
        assert len(own) == 44

    @pytest.mark.parametrize("name,params", TABLE, ids=METHOD_NAMES)
    def test_method_signature(self, name, params):
        assert runtime_params(name) == params
        expected_prefix = "(s" if name == "escape_tsv" else "($self"
        assert getattr(Tok, name).__text_signature__.startswith(expected_prefix)

    def test_stub_matches_class(self):
        tree = ast.parse(STUB.read_text(encoding="utf-8"))
        cls = next(n for n in tree.body
                   if isinstance(n, ast.ClassDef) and n.name == "PyLarkspurTokenization")
        fns = [n for n in cls.body if isinstance(n, ast.FunctionDef)]
        init = next(f for f in fns if f.name == "__init__")
        assert [(n, d) for n, d in params_of(init, skip_self=True)] == [
            (p.name, p.default) for p in inspect.signature(Tok).parameters.values()]
        methods = [f for f in fns if f.name != "__init__"]
        assert [f.name for f in methods] == [n for n in Tok.__dict__ if not n.startswith("_")]
        for f in methods:
            static = any(isinstance(d, ast.Name) and d.id == "staticmethod"
                         for d in f.decorator_list)
            assert static == (f.name == "escape_tsv"), f.name
            assert params_of(f, skip_self=not static) == runtime_params(f.name), f.name

    def test_escape_tsv_is_static(self):
        assert isinstance(Tok.__dict__["escape_tsv"], staticmethod)
        assert Tok.escape_tsv("a\tb\n\\") == "a\\tb\\n\\\\"
        assert Tok().escape_tsv(s="x\ty") == "x\\ty"


class TestClassObject:
    """The class behaves as an extension type always has: named and documented from its
    table, closed to new or replaced attributes, not a base class, its instances neither
    pickled nor given attributes."""

    QUALIFIED = "LarkspurTokenization.PyLarkspurTokenization"

    def test_names_and_docs(self):
        assert (Tok.__module__, Tok.__name__, Tok.__qualname__) == (
            "LarkspurTokenization", "PyLarkspurTokenization", "PyLarkspurTokenization")
        assert Tok.__doc__ is None
        assert Tok.__text_signature__ == '(folding_rules=None, minimal_folding_rules=None, mode="LM")'
        for name in METHOD_NAMES:
            assert getattr(Tok, name).__qualname__ == "PyLarkspurTokenization." + name

    @pytest.mark.parametrize("change", ["add", "replace", "delete"])
    def test_class_attributes_cannot_change(self, change):
        with pytest.raises(TypeError, match="type"):
            if change == "add":
                Tok.extra = 1
            elif change == "replace":
                Tok.encode = lambda self, text: []
            else:
                del Tok.encode
        assert not hasattr(Tok, "extra")
        assert Tok().encode("ab") == [] and "encode" in Tok.__dict__

    def test_not_an_acceptable_base_type(self):
        with pytest.raises(TypeError, match=re.escape(f"type '{self.QUALIFIED}' is not an acceptable base type")):
            type("Derived", (Tok,), {})

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_instances_do_not_pickle(self, protocol):
        # Protocols 0 and 1 go through copyreg, which names the class by its short name.
        name = Tok.__name__ if protocol < 2 else self.QUALIFIED
        with pytest.raises(TypeError, match=re.escape(f"cannot pickle '{name}' object")):
            pickle.dumps(Tok(), protocol)

    def test_instances_take_no_attributes_or_weak_references(self):
        t = Tok()
        with pytest.raises(AttributeError):
            t.extra = 1
        with pytest.raises(TypeError, match=re.escape(f"cannot create weak reference to '{self.QUALIFIED}' object")):
            weakref.ref(t)


@pytest.mark.skipif(sys.version_info < (3, 10), reason="before 3.10 the class is one static type")
class TestModuleObjects:
    """Each module object made from the extension has a class of its own, which its
    instances keep alive and which goes with the last of them and its module."""

    @staticmethod
    def fresh_module():
        spec = importlib.util.find_spec("LarkspurTokenization")
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module

    def test_a_second_module_object_has_its_own_class(self):
        other = self.fresh_module().PyLarkspurTokenization
        assert other is not Tok and other.__qualname__ == Tok.__qualname__
        t = other(folding_rules=[("\u0970", ".")])
        assert t.normalize("a\u0970") == Tok(folding_rules=[("\u0970", ".")]).normalize("a\u0970") == "a."
        assert not isinstance(t, Tok)
        with pytest.raises(TypeError, match="doesn't apply"):
            Tok.encode(t, "x")

    def test_instances_hold_one_reference_to_their_class(self):
        before = sys.getrefcount(Tok)
        objs = [Tok() for _ in range(100)]
        assert sys.getrefcount(Tok) == before + 100
        del objs
        assert sys.getrefcount(Tok) == before

    def test_class_lives_as_long_as_its_instances_and_module(self):
        module = self.fresh_module()
        cls = weakref.ref(module.PyLarkspurTokenization)
        t = module.PyLarkspurTokenization()
        del module
        gc.collect()
        assert cls() is not None and t.encode("ab") == []
        del t
        gc.collect()
        assert cls() is None


DOCS = {
    "validate_folding_rules":
        "[EQ-8] Empty list => N is idempotent for the configured rule set.",
    "harvest_aksharas": (
        "[EQ-1] Stream a corpus and return the akshara inventory the DFA actually\n"
        "produces, most frequent first. Feed this to `initialize_vocab(aksharas=\u2026)`\n"
        "so BaseAksharas covers the corpus and unseen-akshara byte fallback stays\n"
        "near zero."),
    "set_token_weight": "[EQ-3] W(a), keyed by surface. Default 1 for anything unset.",
    "set_root_prior": (
        "[EQ-3] P(root): root-frequency prior, normally derived from FST analysis\n"
        "over the corpus (E5). Values need not sum to 1 \u2014 the posterior\n"
        "renormalizes over RootSet(a)."),
    "induce_ambiguous_seeds": (
        "Induced units enter as V_ambiguous ONLY, gated by c(u) >= c_lo. There is\n"
        "deliberately no path from here to V_strict."),
    "promote_to_strict": (
        "Promotion V_ambiguous -> V_strict. Requires `human_validated=True`;\n"
        "c(u) alone can never promote."),
    "enable_probabilistic_k":
        "[EQ-3] Toggle E1. OFF => K reduces exactly to v2's (ScriptRank, Freq).",
    "set_lexicon":
        "L : surface -> RootID. Required for suppletion (\u0917\u092f\u094b/"
        "\u091c\u093e\u0928\u0941 share nothing).",
    "paradigm_embedding_ids":
        "U(t) per token id, -1 for \u22a5. Feed straight into nn.Embedding.",
    "script_ids": "script(t) per token id: 0=DEV 1=LAT 2=PUN 3=FMT 4=MAL.",
    "train_from_text": (
        "[EQ-7] Splits on whitespace and trains over word TYPES, so `same_word` is\n"
        "enforced on this path too. The old version handed whole texts to the\n"
        "trainer, which let merges cross word boundaries in violation of Freq's\n"
        "side condition."),
    "checkpoint_info": (
        "Inspect the newest valid checkpoint without loading it. Useful for a\n"
        "launcher that decides between \"start fresh\" and \"resume\"."),
    "resume_from_checkpoint": "\n".join([
        "[EQ-10] Restore Sigma_n and continue.",
        "",
        "The source corpus is NOT re-read: C_n is loaded from the checkpoint,",
        "because re-encoding the corpus with V_n gives a different partition than",
        "applying merges 1..n in order. For the same reason `tag_roots()` is NOT",
        "called here \u2014 that would overwrite path-dependent narrowed root sets with",
        "un-narrowed registry ones and silently loosen `Morph`.",
        "",
        "Guards, all overridable but none silent:",
        "  - folding mode must match (ids mean different things per mode);",
        "  - paradigm fingerprint must match (P is a build input, re-supplied by",
        "    the driver via add_paradigm before resuming, not serialized).",
        "",
        "Phase handling: a checkpoint taken during the Devanagari pass resumes",
        "Phase 3 to `dev_budget` and then runs the Phase 4 Latin pass to",
        "`total_budget`; one taken during the Latin pass resumes Phase 4 only."]),
    "corpus_stats": "\n".join([
        "Intrinsic metrics computed by the SAME encode path the model will use,",
        "so eval can't silently drift from training.",
        "  fertility        = tokens / whitespace-word",
        "  tokens_per_char  = tokens / char of N(s)",
        "  byte_fallback_rate = MAL tokens / tokens",
        "  dev_budget_share = |{t : script(t)=DEV}| / |V|",
        "BPC is deliberately NOT here: it needs model log-probs. Compute it as",
        "(\u03a3 -log2 p(token)) / (bytes of N(s)) with the byte count this returns."]),
    "load_vocab_tsv": (
        "[EQ-5] Reads the `# tamsil-v4 mode=\u2026` header and REFUSES a vocabulary\n"
        "built under a different folding mode. This is the build-time fork made\n"
        "unbypassable: the ids of an N_LM vocab do not mean the same thing under\n"
        "N_OCR. Headerless (pre-v4) files are accepted with a warning."),
}

UNDOCUMENTED = [
    "verify_roundtrip", "initialize_vocab", "load_vocab", "clear_dfa",
    "add_dfa_transition", "dfa_has_transition", "dfa_get_transitions",
    "dfa_tokenize_debug", "save_vocab_tsv", "escape_tsv", "train_bpe",
    "train_from_file", "train_bilingual_from_file", "train_latin_from_file",
    "add_paradigm", "get_root_set", "assign_initial_roots", "build_paradigm_embedding",
]


class TestDocTexts:
    @pytest.mark.parametrize("name", sorted(DOCS))
    def test_doc_text(self, name):
        assert getattr(Tok, name).__doc__ == DOCS[name]

    @pytest.mark.parametrize("name", UNDOCUMENTED)
    def test_no_doc_text_beyond_signature(self, name):
        assert not getattr(Tok, name).__doc__


class TestConstructor:
    def test_defaults(self):
        t = Tok()
        assert t.fold_mode() == "LM"
        assert t.normalize("a\u200db") == "ab"
        assert t.vocab_size() == 0

    @pytest.mark.parametrize("mode,expected", [
        (" ocr ", "OCR"), ("Lm", "LM"), ("\u3000ocr\n", "OCR"), ("OCR", "OCR")])
    def test_mode_parsing(self, mode, expected):
        assert Tok(mode=mode).fold_mode() == expected

    @pytest.mark.parametrize("mode", ["", "   ", "LMX", "L M", "\uff2c\uff2d", "ocr."])
    def test_bad_mode(self, mode):
        with pytest.raises(ValueError, match=f"^{re.escape(MODE_ERROR)}$"):
            Tok(mode=mode)

    def test_mode_selects_rule_list(self):
        lm = Tok(folding_rules=[("a", "b")], minimal_folding_rules=(("c", "d"),))
        ocr = Tok([("a", "b")], [("c", "d")], "OCR")
        assert lm.normalize("ac") == "bc"
        assert ocr.normalize("ac") == "ad"

    def test_none_rules_mean_no_rules(self):
        t = Tok(None, None)
        assert t.normalize("abc") == "abc"
        assert t.validate_folding_rules() == []

    def test_objects_are_independent(self):
        a, b = Tok(), Tok()
        a.initialize_vocab([], [], [], [], [])
        assert a.vocab_size() > 0 and b.vocab_size() == 0


class TestArgumentConversion:
    def test_positional_and_keyword_agree(self, tmp_path):
        t = Tok()
        t.add_dfa_transition(state=0, ch="a", next_state=7, accepting=True)
        t.add_dfa_transition(7, "b", 8, accepting=False)
        assert t.dfa_has_transition(0, ch="a") and t.dfa_has_transition(state=7, ch="b")
        assert t.initialize_vocab(aksharas=[], seed_morphemes=[], punctuation=[],
                                  v_strict=[], v_ambiguous=[]) == t.vocab_size()
        assert t.encode(text="ab") == t.encode("ab")
        corpus = tmp_path / "c.txt"
        corpus.write_text("\u0915\n", encoding="utf-8")
        assert t.harvest_aksharas(path=str(corpus), min_freq=0) == ["\u0915"]

    @pytest.mark.parametrize("call", [
        lambda t: t.normalize(),
        lambda t: t.add_dfa_transition(0, "a", 1),
        lambda t: t.train_bpe([], 10),
        lambda t: t.normalize(s="x", bogus=1),
        lambda t: t.vocab_size(x=1),
        lambda t: t.harvest_aksharas("p", min_frequency=1),
        lambda t: t.normalize("a", "b"),
        lambda t: t.vocab_size(1),
        lambda t: t.encode("a", text="b"),
        lambda t: t.harvest_aksharas("p", 1, 2),
        lambda t: Tok.escape_tsv("a", "b"),
        lambda t: Tok(None, None, "LM", None),
        lambda t: Tok(colour="red"),
    ], ids=["missing", "missing-flag", "missing-theta", "unknown-kw", "kw-to-nullary",
            "unknown-kw-default", "too-many", "arg-to-nullary", "given-twice",
            "too-many-defaults", "static-too-many", "ctor-too-many", "ctor-unknown-kw"])
    def test_call_shape_errors(self, call):
        with pytest.raises(TypeError):
            call(Tok())

    @pytest.mark.parametrize("call,arg", [
        (lambda t: t.normalize(1), "s"),
        (lambda t: t.encode(None), "text"),
        (lambda t: t.verify_roundtrip(b"x"), "s"),
        (lambda t: t.vocab_contains(1), "surface"),
        (lambda t: t.harvest_aksharas(Path("x")), "path"),
        (lambda t: t.checkpoint_info(None), "dir"),
        (lambda t: t.vocab_get_surface("1"), "id"),
        (lambda t: t.get_token_surface(1.0), "id"),
        (lambda t: t.set_token_weight("a", "1"), "weight"),
        (lambda t: t.induce_ambiguous_seeds([], "x"), "c_lo"),
        (lambda t: t.add_dfa_transition("0", "a", 1, True), "state"),
        (lambda t: t.add_dfa_transition(0, 5, 1, True), "ch"),
        (lambda t: t.add_dfa_transition(0, "", 1, True), "ch"),
        (lambda t: t.dfa_has_transition(0, "ab"), "ch"),
        (lambda t: t.add_dfa_transition(0, "a", 1, 1), "accepting"),
        (lambda t: t.add_dfa_transition(0, "a", 1, ""), "accepting"),
        (lambda t: t.promote_to_strict("a", human_validated=1), "human_validated"),
        (lambda t: t.enable_probabilistic_k(0), "enabled"),
        (lambda t: t.enable_probabilistic_k(True, 1.5), "root_set_cap"),
        (lambda t: t.build_paradigm_embedding(""), "seed_ambiguous_by_prior"),
        (lambda t: t.load_vocab_tsv("x", allow_mode_mismatch=1), "allow_mode_mismatch"),
        (lambda t: t.resume_from_checkpoint("x", allow_paradigm_mismatch=None),
         "allow_paradigm_mismatch"),
        (lambda t: t.train_bpe([], 10, 1.0), "theta"),
        (lambda t: t.train_from_text([], 10, 2.5), "theta"),
        (lambda t: t.train_from_file("x", 10, 1, checkpoint_dir=1), "checkpoint_dir"),
        (lambda t: t.harvest_aksharas("x", min_freq=1.0), "min_freq"),
        (lambda t: t.decode("abc"), "ids"),
        (lambda t: t.decode([1, "a"]), "ids"),
        (lambda t: t.corpus_stats("abc"), "texts"),
        (lambda t: t.corpus_stats(["a", 1]), "texts"),
        (lambda t: t.train_from_text("abc", 10, 1), "texts"),
        (lambda t: t.load_vocab("ab"), "pairs"),
        (lambda t: t.load_vocab([(0,)]), "pairs"),
        (lambda t: t.load_vocab([("0", "a")]), "pairs"),
        (lambda t: t.induce_ambiguous_seeds("ab", 1.0), "candidates"),
        (lambda t: t.set_lexicon({"a": "x"}), "lexicon"),
        (lambda t: t.set_root_prior({"a": 1.0}), "prior"),
        (lambda t: t.train_bpe([[1, "x"]], 10, 1), "sequences"),
        (lambda t: t.add_paradigm(0, "x"), "transitions"),
        (lambda t: Tok("ab"), "folding_rules"),
        (lambda t: Tok(minimal_folding_rules="ab"), "minimal_folding_rules"),
        (lambda t: Tok(folding_rules=[("a",)]), "folding_rules"),
        (lambda t: Tok(folding_rules=[("a", 1)]), "folding_rules"),
        (lambda t: Tok(mode=None), "mode"),
        (lambda t: Tok(mode=1), "mode"),
    ])
    def test_wrong_type_names_argument(self, call, arg):
        with pytest.raises(TypeError) as info:
            call(Tok())
        assert names_argument(info.value, arg), str(info.value)

    @pytest.mark.parametrize("position", range(5))
    def test_str_for_seed_list_refused(self, position):
        names = ["aksharas", "seed_morphemes", "punctuation", "v_strict", "v_ambiguous"]
        args = [[] for _ in names]
        args[position] = "abc"
        t = Tok()
        with pytest.raises(TypeError) as info:
            t.initialize_vocab(*args)
        assert names_argument(info.value, names[position])
        assert t.vocab_size() == 0  # refused before anything was seeded

    @pytest.mark.parametrize("call,arg", [
        (lambda t: t.vocab_get_surface(-1), "id"),
        (lambda t: t.vocab_get_surface(2 ** 64), "id"),
        (lambda t: t.harvest_aksharas("x", min_freq=-1), "min_freq"),
        (lambda t: t.harvest_aksharas("x", 2 ** 64), "min_freq"),
        (lambda t: t.train_bpe([], 10, -1), "theta"),
        (lambda t: t.train_bpe([], 10, 2 ** 64), "theta"),
        (lambda t: t.train_bpe([], -1, 1), "vocab_budget"),
        (lambda t: t.add_dfa_transition(-1, "a", 0, True), "state"),
        (lambda t: t.add_dfa_transition(0, "a", -3, True), "next_state"),
        (lambda t: t.enable_probabilistic_k(True, -1), "root_set_cap"),
        (lambda t: t.decode([-1]), "ids"),
        (lambda t: t.add_paradigm(-1, {}), "root_id"),
        (lambda t: t.train_from_file("x", 10, 1, checkpoint_keep=-1), "checkpoint_keep"),
        (lambda t: t.resume_from_checkpoint("x", progress_merges=2 ** 64), "progress_merges"),
    ])
    def test_out_of_range_integer(self, call, arg):
        with pytest.raises(OverflowError) as info:
            call(Tok())
        assert names_argument(info.value, arg), str(info.value)

    def test_accepted_conversions(self):
        t = Tok()
        t.initialize_vocab((), (), (), (), ())  # tuples are sequences too
        assert t.set_token_weight("a", 2) is True  # an int is accepted for a float
        assert t.induce_ambiguous_seeds([("x", 3)], 2) == 1
        t.add_dfa_transition(0, "\U0001d538", 9, True)  # one character outside the BMP
        assert t.dfa_has_transition(0, "\U0001d538")
        assert t.decode((t.vocab_get_id("a"),)) == "a"

    @pytest.mark.parametrize("call", [
        lambda: Tok.vocab_size(object()),
        lambda: Tok.encode("not a tokenizer", "x"),
        lambda: Tok.normalize(None, "x"),
    ])
    def test_unbound_call_on_foreign_object(self, call):
        with pytest.raises(TypeError):
            call()

    def test_results_are_fresh_objects(self):
        t = Tok()
        t.initialize_vocab([], [], [], [], [])
        d = t.get_vocab_dict()
        d.clear()
        assert len(t.get_vocab_dict()) == t.vocab_size()
        ids = t.encode("ab")
        ids.append(10 ** 6)
        assert t.encode("ab") == ids[:-1]
        assert isinstance(t.script_ids(), bytes)


class TestErrorReporting:
    def test_harvest_open_failure(self, tmp_path):
        path = str(tmp_path / "missing.txt")
        with pytest.raises(OSError, match=f"^{re.escape(f'open {path}: ' + os_error(errno.ENOENT))}$") as info:
            Tok().harvest_aksharas(path)
        assert type(info.value) is OSError

    def test_load_open_failure(self, tmp_path):
        path = str(tmp_path / "missing.tsv")
        with pytest.raises(OSError, match=f"^{re.escape(f'open {path}: ' + os_error(errno.ENOENT))}$"):
            Tok().load_vocab_tsv(path)

    def test_train_open_failure(self, tmp_path):
        path = str(tmp_path / "missing.txt")
        with pytest.raises(OSError, match=f"^{re.escape(f'open {path}: ' + os_error(errno.ENOENT))}$"):
            Tok().train_from_file(path, 10, 1)

    @pytest.mark.parametrize("where,code", [("nodir/v.tsv", errno.ENOENT), ("", errno.EISDIR)])
    def test_save_create_failure(self, tmp_path, where, code):
        path = str(tmp_path / where) if where else str(tmp_path)
        with pytest.raises(OSError, match=f"^{re.escape(f'create {path}: ' + os_error(code))}$"):
            Tok().save_vocab_tsv(path)

    def test_missing_checkpoint(self, tmp_path):
        path = str(tmp_path / "ckpt") + "/"
        with pytest.raises(FileNotFoundError,
                           match=f"^{re.escape('no COMPLETE checkpoint under ' + path)}$"):
            Tok().resume_from_checkpoint(path)
        assert Tok().checkpoint_info(path) is None


class TestBorrowRelease:
    """A borrow must be given back on every exit path: after a failed call the
    object takes an exclusive borrow again."""

    @pytest.mark.parametrize("fail", [
        lambda t, d: t.vocab_get_surface(10 ** 6),
        lambda t, d: t.load_vocab_tsv(str(d / "missing.tsv")),
        lambda t, d: t.resume_from_checkpoint(str(d)),
        lambda t, d: t.harvest_aksharas(str(d / "missing.txt")),
        lambda t, d: t.train_from_file(str(d / "missing.txt"), 10, 1),
        lambda t, d: t.load_vocab_tsv(str(d / "ocr.tsv")),
        lambda t, d: t.initialize_vocab([], [], [], [], "x"),
    ], ids=["shared-value", "exclusive-io", "exclusive-notfound", "harvest-io",
            "train-io", "mode-mismatch", "conversion"])
    def test_usable_after_error(self, tmp_path, fail):
        (tmp_path / "ocr.tsv").write_text("# tamsil-v4 mode=OCR\n0\tq\n", encoding="utf-8")
        t = Tok()
        with pytest.raises(Exception) as info:
            fail(t, tmp_path)
        assert not isinstance(info.value, (RuntimeError, SystemError)), repr(info.value)
        assert t.initialize_vocab([], [], [], [], []) > 0
        assert t.vocab_size() > 0
        assert t.load_vocab([(0, "q")]) == 3

    def test_exclusive_call_refused_while_harvest_reads(self, tmp_path):
        # The harvest blocks on a pipe whose writer waits for our go-ahead, so
        # the shared borrow is certainly held while we probe the object.
        fifo = tmp_path / "corpus.fifo"
        os.mkfifo(fifo)
        writer_code = ("import select, sys\n"
                       "f = open(sys.argv[1], 'w', encoding='utf-8')\n"
                       "select.select([sys.stdin], [], [], 20)\n"
                       "f.write(sys.stdin.readline()); f.close()\n")
        writer = subprocess.Popen([sys.executable, "-c", writer_code, str(fifo)],
                                  stdin=subprocess.PIPE)
        t = Tok()
        result = []
        worker = threading.Thread(target=lambda: result.append(t.harvest_aksharas(str(fifo))))
        worker.start()
        refusal = None
        deadline = time.monotonic() + 30  # only a guard against a hang
        try:
            while refusal is None and time.monotonic() < deadline:
                try:
                    t.set_root_prior({})
                except RuntimeError as exc:
                    refusal = exc
                else:
                    time.sleep(0.002)
            shared_ok = t.vocab_size() == 0 and t.encode("") == []
        finally:
            writer.communicate("\u0915\u092e\u0932\n".encode("utf-8"), timeout=60)
            worker.join(60)
        assert refusal is not None and str(refusal) == "Already borrowed"
        assert shared_ok
        assert result == [["\u0915", "\u092e", "\u0932"]]
        t.set_root_prior({})


# --- references and memory ----------------------------------------------------------------------
#
# A call that keeps one reference too many to an object it returns or receives leaks it. The
# objects a call hands out are often shared (encode's ids come from the object's own list of
# ints, one-character Latin strings and small ints are the interpreter's singletons), so such a
# leak costs no memory at all; it shows as a reference count that grows with every call. A
# result built afresh and never freed shows as allocated blocks that grow with every call.
# Both are measured over many calls against a bound of a tenth of the calls: a leak of one
# reference or one object per call overshoots it tenfold, and nothing in a sound call comes near.
# Blocks are counted by tracemalloc, which sees every object allocation whatever the allocator,
# also when objects go through malloc as in the sanitizer run.

# Words of the vocabulary, Latin letters, a folded character, and characters spelled as byte
# tokens whose ids lie above the interpreter's small ints.
LEAK_TEXT = "कर करना ने model, data । é\tमकान\u0970 日本\u200c😀 " * 4
LEAK_RULES = [("\u0970", "."), ("\u0971", "\u0970")]  # the second re-triggers the first
LEAK_PARADIGMS = {1: {"कर": ["ना", "ता"]}, 300: {"कर": ["ने"]}}
RAISED = object()


def leak_subject():
    tok = seeded(rules=LEAK_RULES)
    for root, transitions in LEAK_PARADIGMS.items():
        tok.add_paradigm(root, transitions)
    tok.assign_initial_roots()
    tok.set_lexicon({"करना": 700})
    tok.build_paradigm_embedding()
    return tok


@pytest.fixture(scope="module")
def leak_files(tmp_path_factory):
    d = tmp_path_factory.mktemp("leaks")
    corpus = make_corpus(d / "corpus.txt", lines=30, seed=2)
    tok = leak_subject()
    tok.save_vocab_tsv(str(d / "vocab.tsv"))
    tok.train_from_file(corpus, tok.vocab_size() + 10, 2, **quiet(checkpoint_dir=str(d / "ck"), checkpoint_every=5))
    return {"corpus": corpus, "vocab": str(d / "vocab.tsv"), "ckpt": str(d / "ck"), "dir": d}


def call_args(*args, **kwargs):
    return args, kwargs


# (case, method name or callable, arguments from the object and the files, rounds, exception
# the call must raise or None). Calls that read files or train run fewer rounds.
FEW = 300
MANY = 2000
LEAK_CASES = [
    ("constructor", Tok, lambda t, f: call_args(LEAK_RULES, None, " lm "), FEW, None),
    ("new object encodes and goes", lambda text: seeded().encode(text), lambda t, f: call_args(LEAK_TEXT), FEW, None),
    ("fold_mode", "fold_mode", lambda t, f: call_args(), MANY, None),
    ("normalize", "normalize", lambda t, f: call_args(LEAK_TEXT), MANY, None),
    ("validate_folding_rules", "validate_folding_rules", lambda t, f: call_args(), MANY, None),
    ("encode", "encode", lambda t, f: call_args(LEAK_TEXT), MANY, None),
    ("decode", "decode", lambda t, f: call_args(t.encode(LEAK_TEXT) + [2**40]), MANY, None),
    ("verify_roundtrip", "verify_roundtrip", lambda t, f: call_args(LEAK_TEXT), MANY, None),
    ("initialize_vocab", "initialize_vocab",
     lambda t, f: call_args(["क", "कि", "र"], ["कर", "\u2581"], ["।"], ["कर"], ["र"]), FEW, None),
    ("harvest_aksharas", "harvest_aksharas", lambda t, f: call_args(f["corpus"], min_freq=2), FEW, None),
    ("clear_dfa", "clear_dfa", lambda t, f: call_args(), MANY, None),
    ("add_dfa_transition", "add_dfa_transition", lambda t, f: call_args(0, "ख", 300, True), MANY, None),
    ("dfa_has_transition", "dfa_has_transition", lambda t, f: call_args(0, "क"), MANY, None),
    ("dfa_get_transitions", "dfa_get_transitions", lambda t, f: call_args(0), MANY, None),
    ("dfa_tokenize_debug", "dfa_tokenize_debug", lambda t, f: call_args(LEAK_TEXT), MANY, None),
    ("vocab_contains", "vocab_contains", lambda t, f: call_args("कर"), MANY, None),
    ("vocab_get_id", "vocab_get_id", lambda t, f: call_args("\u200c"), MANY, None),
    ("vocab_get_id absent", "vocab_get_id", lambda t, f: call_args("absent"), MANY, None),
    ("vocab_get_surface", "vocab_get_surface", lambda t, f: call_args(t.vocab_size() - 1), MANY, None),
    ("vocab_size", "vocab_size", lambda t, f: call_args(), MANY, None),
    ("add_paradigm", "add_paradigm", lambda t, f: call_args(300, {"कर": ["ने", "ना"]}), MANY, None),
    ("set_root_prior", "set_root_prior", lambda t, f: call_args({1: 0.5, 300: 2.0, 2**40: 1.5}), MANY, None),
    ("set_token_weight", "set_token_weight", lambda t, f: call_args("कर", 1.5), MANY, None),
    ("enable_probabilistic_k", "enable_probabilistic_k", lambda t, f: call_args(True, root_set_cap=300), MANY, None),
    ("assign_initial_roots", "assign_initial_roots", lambda t, f: call_args(), MANY, None),
    ("get_root_set", "get_root_set", lambda t, f: call_args("कर"), MANY, None),
    ("induce_ambiguous_seeds", "induce_ambiguous_seeds", lambda t, f: call_args([("मा", 2.5), ("ला", 0.5)], 1.0),
     MANY, None),
    ("promote_to_strict", "promote_to_strict", lambda t, f: call_args("ने", human_validated=True), MANY, None),
    ("set_lexicon", "set_lexicon", lambda t, f: call_args({"करना": 700, "गया": 2**40}), MANY, None),
    ("build_paradigm_embedding", "build_paradigm_embedding", lambda t, f: call_args(True), MANY, None),
    ("paradigm_embedding_ids", "paradigm_embedding_ids", lambda t, f: call_args(), MANY, None),
    ("script_ids", "script_ids", lambda t, f: call_args(), MANY, None),
    ("train_bpe", "train_bpe", lambda t, f: call_args([t.encode(LEAK_TEXT), [300, 2**40]], t.vocab_size(), 1),
     FEW, None),
    ("train_from_text", "train_from_text", lambda t, f: call_args([LEAK_TEXT, "कर"], t.vocab_size(), 1), FEW, None),
    ("train_from_file", "train_from_file", lambda t, f: call_args(f["corpus"], t.vocab_size(), 2, **quiet()),
     FEW, None),
    ("train_bilingual_from_file", "train_bilingual_from_file",
     lambda t, f: call_args(f["corpus"], t.vocab_size(), 0, 2, **quiet()), FEW, None),
    ("train_latin_from_file", "train_latin_from_file", lambda t, f: call_args(f["corpus"], 0, **quiet()), FEW, None),
    ("checkpoint_info", "checkpoint_info", lambda t, f: call_args(f["ckpt"]), FEW, None),
    # Resuming saves the final step again, so it works on a copy of the checkpoint.
    ("resume_from_checkpoint", "resume_from_checkpoint",
     lambda t, f: call_args(shutil.copytree(f["ckpt"], f["dir"] / "resumed", dirs_exist_ok=True).as_posix(),
                            progress_merges=0), FEW, None),
    ("corpus_stats", "corpus_stats", lambda t, f: call_args([LEAK_TEXT, "कर"]), MANY, None),
    ("load_vocab", "load_vocab", lambda t, f: call_args(sorted((i, s) for s, i in t.get_vocab_dict().items())),
     FEW, None),
    ("escape_tsv", "escape_tsv", lambda t, f: call_args("a\tb\\c\n"), MANY, None),
    ("load_vocab_tsv", "load_vocab_tsv", lambda t, f: call_args(f["vocab"]), FEW, None),
    ("save_vocab_tsv", "save_vocab_tsv", lambda t, f: call_args(str(f["dir"] / "saved.tsv")), FEW, None),
    ("get_token_surface", "get_token_surface", lambda t, f: call_args(9), MANY, None),
    ("get_vocab_dict", "get_vocab_dict", lambda t, f: call_args(), MANY, None),
    ("tokenize_to_strings", "tokenize_to_strings", lambda t, f: call_args(LEAK_TEXT), MANY, None),
    # Failing calls give back what they took, too.
    ("bad mode", Tok, lambda t, f: call_args(LEAK_RULES, None, "LMX"), MANY, ValueError),
    ("bad rules", Tok, lambda t, f: call_args([("a", "b"), ("c", 1)]), MANY, TypeError),
    ("encode surrogate", "encode", lambda t, f: call_args(LEAK_TEXT + "\ud800"), MANY, UnicodeEncodeError),
    ("decode bad item", "decode", lambda t, f: call_args(t.encode(LEAK_TEXT) + ["x"]), MANY, TypeError),
    ("decode negative", "decode", lambda t, f: call_args([300, 2**40, -1]), MANY, OverflowError),
    ("vocab_get_surface out of range", "vocab_get_surface", lambda t, f: call_args(10**6), MANY, ValueError),
    ("corpus_stats bad item", "corpus_stats", lambda t, f: call_args([LEAK_TEXT, 1]), MANY, TypeError),
    ("set_lexicon bad value", "set_lexicon", lambda t, f: call_args({"करना": 700, "गया": "x"}), MANY, TypeError),
    ("add_paradigm bad transitions", "add_paradigm", lambda t, f: call_args(300, {"कर": ["ने", 1]}), MANY,
     TypeError),
    ("train_bpe too large", "train_bpe", lambda t, f: call_args([t.encode(LEAK_TEXT), [300, 2**64]], 10, 1), MANY,
     OverflowError),
    ("load_vocab bad pair", "load_vocab", lambda t, f: call_args([(0, "a"), (300, "b"), ("2", "c")]), MANY,
     TypeError),
    ("load_vocab_tsv missing", "load_vocab_tsv", lambda t, f: call_args(str(f["dir"] / "missing.tsv")), FEW, OSError),
    ("resume missing", "resume_from_checkpoint", lambda t, f: call_args(str(f["dir"] / "none")), FEW,
     FileNotFoundError),
]


RELEASES_LOCK = {"train_from_file", "train_bilingual_from_file", "train_latin_from_file", "resume_from_checkpoint",
                 "harvest_aksharas"}


class TestNoLeaks:
    def test_every_method_has_a_case(self):
        covered = {m for _, m, _, _, _ in LEAK_CASES if isinstance(m, str)}
        assert covered == set(METHOD_NAMES)

    @pytest.mark.parametrize("method,make_args,rounds,raises", [c[1:] for c in LEAK_CASES],
                             ids=[c[0] for c in LEAK_CASES])
    def test_repeated_calls_keep_no_references_or_memory(self, leak_files, method, make_args, rounds, raises):
        tok = leak_subject()
        args, kwargs = make_args(tok, leak_files)
        fn = getattr(tok, method) if isinstance(method, str) else method

        def once():
            try:
                return fn(*args, **kwargs)
            except raises or ():
                return RAISED

        result = once()
        assert (result is RAISED) == (raises is not None)
        # Caches and free lists settle (writing progress lines fills the interpreter's free
        # lists over the first few hundred calls).
        with open(os.devnull, "w") as devnull, contextlib.redirect_stderr(devnull):
            for _ in range(min(rounds, 300)):
                once()
        held = _held((tok, args, kwargs, result))
        before = _refcounts(held)
        # Progress lines go through sys.stderr, whose capture by pytest would grow.
        with open(os.devnull, "w") as devnull, contextlib.redirect_stderr(devnull):
            tracemalloc.start()
            try:
                # Two runs of calls, and the smaller growth of the two: a leak grows in
                # both, while a cache of the interpreter's that fills (or is purged) once
                # shows in one only.
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
        # Under the sanitizers (malloc for every object) the methods that release the lock
        # and take it back for each progress line settle only after thousands of calls;
        # their references are still counted.
        settles_late = SANITIZED and method in RELEASES_LOCK
        if blocks >= limit and not settles_late:
            leaks.append(f"{blocks} more allocated blocks after {rounds} calls")
        assert not leaks, "; ".join(leaks)
