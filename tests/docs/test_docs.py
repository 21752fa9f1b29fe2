"""Users' documentation: the stub's docstrings and docs/reference.md stay in step with the
class, and both speak in users' words. (test_module.py compares the stub's signatures.)"""

import ast
import inspect
import re
from pathlib import Path

import pytest

from LarkspurTokenization import PyLarkspurTokenization as Tok

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "src" / "lib" / "LarkspurTokenization.pyi"
REFERENCE = ROOT / "docs" / "reference.md"
README = ROOT / "README.md"
CLASS = "PyLarkspurTokenization"
METHODS = [n for n in Tok.__dict__ if not n.startswith("_")]

# Design notation that belongs in neither users' page: equation tags and set names.
NOTATION = [r"\[EQ-", r"\bV_strict\b", r"\bV_ambiguous\b", r"\bRootSet\b", r"\bSigma_n\b",
            r"\bC_n\b", r"\bU\(t\)", r"\bW\(a\)", r"\bP\(root\)", r"\bE1\b", r"\bN\(s\)"]


def stub_class():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == CLASS)


def real_signature(name):
    """name(params) as the class reports it, without the instance parameter."""
    if name == CLASS:
        params = list(inspect.signature(Tok).parameters.values())
    else:
        params = list(inspect.signature(getattr(Tok, name)).parameters.values())
        if params and params[0].kind is inspect.Parameter.POSITIONAL_ONLY:
            params = params[1:]
    return f"{name}({', '.join(str(p) for p in params)})"


def reference_sections():
    """(signature, body) of every '### `signature`' section of the reference page."""
    parts = re.split(r"^### `([^`\n]*)`[ \t]*$", REFERENCE.read_text(encoding="utf-8"),
                     flags=re.M)
    return list(zip(parts[1::2], parts[2::2]))


def test_stub_class_and_every_method_have_a_docstring():
    cls = stub_class()
    assert (ast.get_docstring(cls) or "").strip()
    fns = [n for n in cls.body if isinstance(n, ast.FunctionDef)]
    assert [f.name for f in fns] == ["__init__"] + METHODS
    missing = [f.name for f in fns if not (ast.get_docstring(f) or "").strip()]
    assert missing == []


def test_reference_has_one_section_per_method_in_table_order():
    sections = reference_sections()
    assert [sig.split("(", 1)[0] for sig, _ in sections] == [CLASS] + METHODS


@pytest.mark.parametrize("name", [CLASS] + METHODS)
def test_reference_signature_is_the_real_one(name):
    found = [(sig, body) for sig, body in reference_sections() if sig.split("(", 1)[0] == name]
    assert len(found) == 1
    sig, body = found[0]
    assert sig == real_signature(name)
    assert re.sub(r"^#.*$", "", body, flags=re.M).strip(), "section has no text"


@pytest.mark.parametrize("path", [STUB, REFERENCE, README], ids=lambda p: p.name)
def test_users_docs_use_no_design_notation(path):
    text = path.read_text(encoding="utf-8")
    assert [p for p in NOTATION if re.search(p, text)] == []


def test_the_companions_type_stub_names_what_the_binding_has():
    import ast

    from larkspur import _engine

    stub = ast.parse((ROOT / "python" / "larkspur" / "_engine.pyi").read_text(encoding="utf-8"))
    top = {n.name: n for n in stub.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    assert set(top) == {n for n in dir(_engine) if not n.startswith("_")}
    for name, node in top.items():
        if isinstance(node, ast.ClassDef):
            members = {m.name for m in node.body if isinstance(m, ast.FunctionDef)}
            members |= {m.target.id for m in node.body if isinstance(m, ast.AnnAssign)}
            real = {m for m in dir(getattr(_engine, name)) if not m.startswith("_")}
            assert members - {"__init__", "__len__", "__eq__"} == real, name


def test_the_paradigm_and_lexicon_examples_train(tmp_path):
    import json

    import larkspur

    text = (ROOT / "docs" / "reference.md").read_text(encoding="utf-8")
    blocks = {title: json.loads(re.search(r"### " + re.escape(title) + r".*?```json\n(.*?)```", text, re.S).group(1))
              for title in ("Paradigm files", "Lexicon files")}
    (tmp_path / "p.json").write_text(json.dumps(blocks["Paradigm files"]), encoding="utf-8")
    tok = larkspur.train(texts=["खेलना खेलते खेलती करना करते"] * 5, vocab_size=700, paradigms=tmp_path / "p.json",
                         lexicon=blocks["Lexicon files"], progress=False)
    tok.save(tmp_path / "b")
    saved = json.loads((tmp_path / "b" / "morphology.json").read_text(encoding="utf-8"))
    assert [p[0] for p in saved["paradigms"]] == [1, 2] and saved["lexicon"] == blocks["Lexicon files"]
