"""Where the module's output goes and what the built extension shows the system:
progress and warning lines through the interpreter's sys.stderr, the one exported
symbol, and the message of a build without ICU."""

import io
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import LarkspurTokenization
from LarkspurTokenization import PyLarkspurTokenization as Tok

ROOT = Path(__file__).resolve().parents[2]


def _trained_setup(tmp_path):
    corpus = tmp_path / "c.txt"
    corpus.write_text("कमल कमल नमक\nकलम कमल\n" * 20, encoding="utf-8")
    tok = Tok()
    tok.initialize_vocab(tok.harvest_aksharas(str(corpus)), [], [], [], [])
    return tok, corpus


class TestLinesThroughSysStderr:
    def test_a_replaced_stderr_gets_every_line_and_the_descriptor_none(self, tmp_path, capfd, monkeypatch):
        tok, corpus = _trained_setup(tmp_path)
        caught = io.StringIO()
        monkeypatch.setattr(sys, "stderr", caught)
        base = tok.vocab_size()
        assert tok.train_from_file(str(corpus), base + 3, 1, progress_lines=1, progress_merges=1,
                                   checkpoint_dir=str(tmp_path / "ck"), checkpoint_every=1) == base + 3
        headless = tmp_path / "v.tsv"
        headless.write_text("0\tक\n", encoding="utf-8")
        tok.load_vocab_tsv(str(headless))  # a warning written with the lock held
        monkeypatch.undo()
        lines = caught.getvalue().splitlines()
        assert lines[0] == "[build] 1 lines | 3 word-occ | 2 unique | " + lines[0].rsplit(" | ", 1)[1]
        assert any(l.startswith("[build] done: 40 lines, 100 word-occ, 3 unique types kept") for l in lines)
        assert any(l.startswith("[train:DEV] heap seeded with ") for l in lines)
        assert sum(l.startswith("[ckpt:DEV] wrote ") for l in lines) == 3
        assert any(l.startswith("[ckpt:DEV] final ") for l in lines)
        assert lines[-1] == f"[load] warning: {headless} has no mode header; assuming mode=LM"
        assert capfd.readouterr().err == ""

    @pytest.mark.parametrize("how", ["none", "missing", "raising"])
    def test_no_usable_stderr_drops_the_lines_without_an_error(self, tmp_path, monkeypatch, how):
        tok, corpus = _trained_setup(tmp_path)
        base = tok.vocab_size()

        class Raising:
            def write(self, text):
                raise OSError("stream closed")

            def flush(self):
                raise OSError("stream closed")

        if how == "missing":
            monkeypatch.delattr(sys, "stderr")
        else:
            monkeypatch.setattr(sys, "stderr", None if how == "none" else Raising())
        assert tok.train_from_file(str(corpus), base + 2, 1, progress_lines=1, progress_merges=1) == base + 2
        assert tok.checkpoint_info(str(tmp_path)) is None  # the object still answers
        monkeypatch.undo()

    def test_lines_written_while_other_threads_run(self, tmp_path, monkeypatch):
        # Training releases the lock; each line takes it back just to write.
        import threading
        tok, corpus = _trained_setup(tmp_path)
        caught = io.StringIO()
        monkeypatch.setattr(sys, "stderr", caught)
        stop = threading.Event()
        spinner = threading.Thread(target=lambda: [None for _ in iter(stop.is_set, True)])
        spinner.start()
        try:
            tok.train_from_file(str(corpus), tok.vocab_size() + 3, 1, progress_lines=1, progress_merges=1)
        finally:
            stop.set()
            spinner.join()
        monkeypatch.undo()
        assert "[train:DEV] done: " in caught.getvalue()


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) is not installed")
def test_the_extension_exports_only_its_init_function():
    out = subprocess.run(["nm", "-D", "--defined-only", LarkspurTokenization.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_LarkspurTokenization"]


def test_a_build_without_icu_says_what_to_install(tmp_path):
    cmake = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed")
    # Not under the sanitizer runtimes this suite may run with: the compiler checks would fail.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS")}
    run = subprocess.run([cmake, "-S", str(ROOT), "-B", str(tmp_path / "b"), "-DLARKSPUR_MODULE=OFF",
                          "-DCMAKE_DISABLE_FIND_PACKAGE_ICU=ON"], capture_output=True, text=True, env=env)
    assert run.returncode != 0
    assert "apt-get install libicu-dev" in run.stderr and "dnf install libicu-devel" in run.stderr
    assert "Could NOT find" not in run.stderr + run.stdout
