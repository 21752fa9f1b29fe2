"""transformers' own tokenizer test suite run on larkspur's adapter: the TokenizerTesterMixin
of the installed transformers version, as it comes and with bos/eos added around each text.

The mixin lives in transformers' source distribution (tests/test_tokenization_common.py), not
in the installed package, so it is fetched with pip into a cache outside the project
(LARKSPUR_TEST_CACHE, else ~/.cache/larkspur-tests), the test files it needs are extracted
there, and it is imported from there; nothing of it is kept in this repository. Where it
cannot be had (no network, no source distribution for the version, pip failing), the module
is skipped with the reason. Nothing reaches a model hub: the tokenizers come from a directory
that each class writes from a tokenizer trained on examples/sample.txt.

The mixin's tests whose assumption does not hold for a tokenizer on transformers' Python
backend over larkspur are skipped, each with its reason (README's transformers section lists
them too):
- those that need the `tokenizers` library's (Rust) backend: sequence_ids and char_to_token
  read its encodings, and the extractor rebuilds a tokenizer from its tokenizer.json;
- the one that assumes GPT-2's leading space for pre-split words: it compares words given one
  by one with the same words after a leading space, which larkspur encodes as a token.
Two of the mixin's tests check overflowing tokens as it does for fast tokenizers, since the
adapter gives them as those do (a row for each piece); and where torch is not installed, the
three that ask for PyTorch tensors make the same calls and checks with numpy arrays.
The mixin needs `parameterized` and, for its chat-template tests, `jinja2`.
"""

import ast
import contextlib
import functools
import importlib
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import types
import unittest
import warnings
from pathlib import Path

import pytest

if os.environ.get("LARKSPUR_SANITIZED"):
    pytest.skip("transformers' native dependencies are not run under the sanitizers", allow_module_level=True)
transformers = pytest.importorskip("transformers", reason="the hf extra is not installed "
                                   "(pip install 'LarkspurTokenization[hf]')")

import huggingface_hub.constants  # noqa: E402

import larkspur  # noqa: E402
import larkspur.hf  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "examples" / "sample.txt"
COMMON = "test_tokenization_common.py"


def _cache_dir() -> Path:
    base = os.environ.get("LARKSPUR_TEST_CACHE")
    return Path(base) if base else Path.home() / ".cache" / "larkspur-tests"


def _relative_imports(source: str) -> set:
    """The sibling modules that a test file imports with `from .name import ...`."""
    names = set()
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            if node.module:
                names.add(node.module.split(".")[0])
            else:
                names.update(alias.name for alias in node.names)
    return names


@contextlib.contextmanager
def _locked(path: Path):
    """One process at a time fetches into the cache (the suite may run on several workers)."""
    import fcntl

    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(f, fcntl.LOCK_UN)


def _fetch_tests(version: str) -> Path:
    """The directory holding the mixin's test files of this transformers version, fetched
    and extracted on first use. Raises RuntimeError saying why it cannot be had."""
    home = _cache_dir() / f"transformers-{version}"
    tests = home / "tests"
    if (tests / COMMON).is_file():
        return tests
    with _locked(home / ".lock"):
        if (tests / COMMON).is_file():
            return tests
        sdist = home / "sdist"
        archives = sorted(sdist.glob("transformers-*.tar.gz")) if sdist.is_dir() else []
        if not archives:
            try:
                run = subprocess.run(
                    [sys.executable, "-m", "pip", "download", "--no-deps", "--no-binary", ":all:",
                     "--disable-pip-version-check", "--quiet", f"transformers=={version}", "-d", str(sdist)],
                    capture_output=True, text=True, timeout=600, stdin=subprocess.DEVNULL)
            except (OSError, subprocess.TimeoutExpired) as e:
                raise RuntimeError(f"pip download of transformers {version}'s source failed: {e}") from None
            archives = sorted(sdist.glob("transformers-*.tar.gz")) if sdist.is_dir() else []
            if run.returncode or not archives:
                said = (run.stderr or run.stdout).strip().splitlines()
                raise RuntimeError(f"transformers {version}'s source distribution could not be downloaded "
                                   f"({said[-1] if said else f'pip exited {run.returncode}'})")
        staging = Path(tempfile.mkdtemp(dir=home, prefix=".tests-"))
        try:
            with tarfile.open(archives[0]) as tar:
                members = {}
                for m in tar.getmembers():
                    parts = m.name.split("/")
                    if len(parts) == 3 and parts[1] == "tests" and m.isfile() and parts[2].endswith(".py"):
                        members[parts[2]] = m
                wanted, todo = set(), [COMMON]
                while todo:  # the common file and what it imports from beside it, transitively
                    name = todo.pop()
                    if name in wanted:
                        continue
                    if name not in members:
                        raise RuntimeError(f"transformers {version}'s source distribution has no tests/{name}")
                    wanted.add(name)
                    source = tar.extractfile(members[name]).read()
                    (staging / name).write_bytes(source)
                    todo += [f"{n}.py" for n in _relative_imports(source.decode("utf-8"))]
            staging.chmod(0o755)  # mkdtemp made it private
            os.replace(staging, tests)
        except (tarfile.TarError, EOFError, OSError) as e:
            shutil.rmtree(sdist, ignore_errors=True)  # fetched anew next time
            raise RuntimeError(f"transformers {version}'s source distribution could not be read: {e}") from None
        finally:
            shutil.rmtree(staging, ignore_errors=True)
    return tests


def _load_mixin():
    """transformers' TokenizerTesterMixin, imported from the cache as a package of its own
    (its files import each other relatively), or the reason it cannot be had."""
    version = transformers.__version__
    try:
        tests = _fetch_tests(version)
    except RuntimeError as e:
        return None, str(e)
    package = f"_transformers_tests_{re.sub(r'[^0-9a-zA-Z]', '_', version)}"
    if package not in sys.modules:
        module = types.ModuleType(package)
        module.__path__ = [str(tests)]
        sys.modules[package] = module
    try:
        with warnings.catch_warnings():
            # transformers marks its slow tests with a pytest mark that this project does not register.
            warnings.simplefilter("ignore", pytest.PytestUnknownMarkWarning)
            common = importlib.import_module(f"{package}.{COMMON[:-3]}")
    except (ImportError, SyntaxError) as e:
        return None, f"transformers {version}'s tokenizer tests cannot be imported here: {e}"
    return common, None


common, why = _load_mixin()
if common is None:
    pytest.skip(why, allow_module_level=True)
TokenizerTesterMixin = common.TokenizerTesterMixin


TORCH = importlib.util.find_spec("torch") is not None

# The reasons the mixin's tests that do not apply here are skipped (README lists them too).
TOKENIZERS_BACKEND = ("needs the tokenizers library's (Rust) backend: {}; this tokenizer is on transformers' "
                      "Python backend")
LEADING_SPACE = ("assumes GPT-2's leading space for pre-split words: it compares words given one by one with the "
                 "same words after a leading space, which larkspur encodes as a token of its own")


@pytest.fixture(scope="module", autouse=True)
def offline():
    """Nothing may reach a model hub while these run."""
    saved = {k: os.environ.get(k) for k in ("HF_HUB_OFFLINE", "TRANSFORMERS_OFFLINE", "HF_HUB_DISABLE_TELEMETRY")}
    flag = huggingface_hub.constants.HF_HUB_OFFLINE
    os.environ.update(dict.fromkeys(saved, "1"))
    huggingface_hub.constants.HF_HUB_OFFLINE = True  # read when huggingface_hub was first imported
    yield
    huggingface_hub.constants.HF_HUB_OFFLINE = flag
    for k, v in saved.items():
        if v is None:
            os.environ.pop(k, None)
        else:
            os.environ[k] = v


@functools.lru_cache(maxsize=None)
def _trained() -> bytes:
    return larkspur.train([SAMPLE], vocab_size=900, progress=False).to_bytes()


def _unskipped(test):
    """The mixin's test itself, without the decorator that skips it unless slow tests are
    asked for: with this vocabulary of 900 ids it takes no time."""
    return getattr(test, "__wrapped__", test)


def _overflow_as_fast_tokenizers_give_it(test):
    """The mixin's test, checking the overflowing tokens as it does for transformers' fast
    tokenizers: like them, the adapter gives each piece as a row of its own (with
    overflow_to_sample_mapping) rather than an overflowing_tokens list, which the mixin
    expects of any tokenizer not on the tokenizers library's backend."""

    @functools.wraps(test)
    def run(self):
        backend = common.TokenizersBackend
        common.TokenizersBackend = (backend, larkspur.hf.LarkspurTokenizer)  # what isinstance() checks against
        try:
            test(self)
        finally:
            common.TokenizersBackend = backend

    return run


class LarkspurCommonTest(TokenizerTesterMixin, unittest.TestCase):
    """The mixin on the adapter as it comes: nothing added around a text."""

    tokenizer_class = larkspur.hf.LarkspurTokenizer
    settings = {}
    test_tokenizer_from_extractor = False  # (see test_integration_from_extractor)

    @classmethod
    def setUpClass(cls):
        cls.tmpdirname = tempfile.mkdtemp()
        tok = larkspur.Tokenizer.from_bytes(_trained())
        tok.to_hf(**cls.settings).save_pretrained(cls.tmpdirname)
        # The saved directory stands for the hub model that the mixin would load.
        cls.from_pretrained_id = [cls.tmpdirname]
        cls.from_pretrained_kwargs = {}
        cls.tokenizers_list = [(cls.tokenizer_class, cls.tmpdirname, {})]
        # The integration check compares the adapter with larkspur itself.
        text = cls.integration_test_input_string
        cls.integration_expected_token_ids = tok.encode(text)
        cls.integration_expected_tokens = [tok.id_to_token(i) for i in cls.integration_expected_token_ids]
        cls.integration_expected_decoded_text = tok.decode(cls.integration_expected_token_ids)

    def get_clean_sequence(self, tokenizer, with_prefix_space=False, max_length=20, min_length=5):
        """A text of Latin words and its ids. (The mixin's own picks single-token words, and
        larkspur begins every Latin word with a marker token.)"""
        text = "Python programming par bhi"
        if with_prefix_space:
            text = " " + text
        return text, tokenizer.encode(text, add_special_tokens=False)

    test_conversion_reversible = _unskipped(TokenizerTesterMixin.test_conversion_reversible)
    test_maximum_encoding_length_single_input = _overflow_as_fast_tokenizers_give_it(
        TokenizerTesterMixin.test_maximum_encoding_length_single_input)
    test_maximum_encoding_length_pair_input = _overflow_as_fast_tokenizers_give_it(
        TokenizerTesterMixin.test_maximum_encoding_length_pair_input)

    @unittest.skip(TOKENIZERS_BACKEND.format("BatchEncoding.sequence_ids() reads its encodings"))
    def test_sequence_ids(self):
        pass

    @unittest.skip(TOKENIZERS_BACKEND.format("the extractor rebuilds the tokenizer from the vocabulary and "
                                             "merges of its tokenizer.json"))
    def test_integration_from_extractor(self):
        pass

    @unittest.skip(TOKENIZERS_BACKEND.format("the assistant mask is found with char_to_token(), which reads its "
                                             "encodings"))
    def test_chat_template_return_assistant_tokens_mask(self):
        pass

    @unittest.skip(TOKENIZERS_BACKEND.format("the assistant mask is found with char_to_token(), which reads its "
                                             "encodings"))
    def test_chat_template_return_assistant_tokens_mask_truncated(self):
        pass

    @unittest.skip(LEADING_SPACE)
    def test_pretokenized_inputs(self):
        pass

    if not TORCH:
        # Three of the mixin's tests ask for PyTorch tensors and skip without torch (which
        # is large, and not among the development requirements). Where it is missing they
        # make the same calls and checks with numpy arrays; where it is installed the
        # mixin's own run.

        def test_empty_input_string(self):
            import numpy as np

            output = self.get_tokenizer()("", return_tensors="np")
            self.assertEqual(output.input_ids.dtype, np.int64)

        def test_prepare_seq2seq_batch(self):
            tokenizer = self.get_tokenizer()
            src_text = [" UN Chief Says There Is No Military Solution in Syria",
                        " Secretary-General Ban Ki-moon says his response to Russia's stepped up military support "
                        "for Syria is that 'there is no military solution' to the nearly five-year conflict"]
            tgt_text = ["Şeful ONU declară că nu există o soluţie militară în Siria",
                        "Secretarul General Ban Ki-moon declară că răspunsul său la intensificarea sprijinului "
                        "militar al Rusiei pentru Siria este că \"nu există o soluţie militară\""]
            batch = tokenizer(src_text, text_target=tgt_text, max_length=3, max_target_length=10,
                              return_tensors="np", src_lang="en_XX")
            self.assertEqual(batch.input_ids.shape[1], 3)
            self.assertEqual(batch.labels.shape[1], 10)
            batch = tokenizer(src_text, text_target=tgt_text, max_length=3, return_tensors="np")
            self.assertEqual(batch.input_ids.shape[1], 3)
            self.assertEqual(batch.labels.shape[1], 3)
            batch = tokenizer(src_text, max_length=3, max_target_length=10, return_tensors="np")
            self.assertEqual(batch.input_ids.shape[1], 3)
            self.assertEqual(batch.attention_mask.shape[1], 3)
            self.assertNotIn("decoder_input_ids", batch)

        def test_batch_encode_dynamic_overflowing(self):
            tokenizer = self.get_tokenizer()
            text = "HuggingFace is solving NLP one commit at a time"
            for texts, truncation in ((text, True), ([text], "only_first"), ([text, "Very tiny input"], "only_first")):
                tokens = tokenizer(texts, max_length=6, padding=True, truncation=truncation, return_tensors="np",
                                   return_overflowing_tokens=True)
                for key in (k for k in tokens if "overflow_to_sample_mapping" not in k):
                    self.assertEqual(len(tokens[key].shape), 2)
                    if truncation == "only_first":
                        self.assertEqual(tokens[key].shape[-1], 6)


class LarkspurBosEosCommonTest(LarkspurCommonTest):
    """The mixin on the adapter with <s> and </s> around each text."""

    settings = {"add_bos_token": True, "add_eos_token": True}
