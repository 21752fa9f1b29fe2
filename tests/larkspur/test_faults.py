"""Faults said out loud: checkpoints that cannot be written (a warning naming the directory,
or the error with checkpoint_errors="raise"), writes that fail naming their path and
leaving nothing half-written, and Ctrl-C stopping long calls soon."""

import os
import random
import shutil
import subprocess
import sys
import warnings

import pytest

import larkspur
from larkspur import cli

from conftest import SAMPLE, SANITIZED, words_corpus


@pytest.fixture
def small_fs(tmp_path):
    """A file system of 1 MiB of its own (a tmpfs), where the test may mount one."""
    d = tmp_path / "small"
    d.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(d)],
                                           capture_output=True).returncode != 0:
        pytest.skip("cannot mount a small file system here")
    yield d
    subprocess.run(["umount", "-l", str(d)])


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    return words_corpus(tmp_path_factory.mktemp("faults") / "c.txt", 6000, 3)


def _fill(directory, leave=64 << 10):
    """Fills a file system but for `leave` bytes."""
    st = os.statvfs(directory)
    with open(directory / "filler", "wb") as f:
        f.write(b"\0" * max(0, st.f_bavail * st.f_frsize - leave))


class TestCheckpoints:
    def test_a_checkpoint_that_cannot_be_written_is_a_warning_and_leaves_nothing(self, corpus, small_fs):
        _fill(small_fs)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            tok = larkspur.train(corpus, vocab_size=1500, checkpoint_dir=small_fs / "ck", checkpoint_every=20,
                                 progress=False)
        said = [w for w in caught if issubclass(w.category, RuntimeWarning)]
        assert len(said) == 1 and str(small_fs / "ck") in str(said[0].message)
        assert "No space left" in str(said[0].message)
        assert tok.training_report["checkpoint_failures"] > 1  # once warned, still counted
        assert not [p for p in (small_fs / "ck").iterdir() if p.name.startswith(".partial-")]
        # Training went on to the end, as without checkpoints.
        assert tok.get_vocab() == larkspur.train(corpus, vocab_size=1500, progress=False).get_vocab()

    def test_with_raise_the_run_stops_with_the_error(self, corpus, small_fs):
        _fill(small_fs)
        with pytest.raises(OSError, match="cannot write a checkpoint in .*No space left"):
            larkspur.train(corpus, vocab_size=1500, checkpoint_dir=small_fs / "ck", checkpoint_every=20,
                           progress=False, checkpoint_errors="raise")
        with pytest.raises(ValueError, match="checkpoint_errors must be 'warn' or 'raise'"):
            larkspur.train(corpus, vocab_size=1500, checkpoint_errors="ignore")

    def test_the_command_line_says_it_and_exits_by_the_policy(self, corpus, small_fs, capsys):
        _fill(small_fs)
        args = ["train", str(corpus), "-o", str(small_fs.parent / "tok"), "--vocab-size", "1500", "--no-progress",
                "--checkpoint-dir", str(small_fs / "ck"), "--checkpoint-every", "20"]
        assert cli.main(args) == 0
        err = capsys.readouterr().err
        assert err.count("larkspur: warning: a checkpoint could not be written in") == 1
        shutil.rmtree(small_fs / "ck")
        assert cli.main(args + ["--checkpoint-errors", "raise"]) == 1
        assert "larkspur: error: cannot write a checkpoint" in capsys.readouterr().err


class TestWrites:
    def test_a_bundle_or_counts_that_do_not_fit_name_their_path(self, small_fs, sample_tok):
        _fill(small_fs, leave=4 << 10)
        with pytest.raises(OSError) as e:
            sample_tok.save(small_fs / "b")
        assert str(small_fs / "b") in str(e.value)
        counts = larkspur.count_words([SAMPLE], progress=False)
        big = counts + {f"शब्द{i}": i + 1 for i in range(20000)}
        with pytest.raises(OSError) as e:
            big.save(small_fs / "c.tsv")
        assert e.value.filename == str(small_fs / "c.tsv") and e.value.errno == 28
        assert not [p.name for p in small_fs.rglob("*") if ".tmp" in p.name]

    def test_token_arrays_that_do_not_fit_name_their_path(self, small_fs, sample_tok, tmp_path):
        from larkspur import data

        big = tmp_path / "big.txt"
        big.write_text(SAMPLE.read_text(encoding="utf-8") * 600, encoding="utf-8")
        with pytest.raises(OSError) as e:
            data.pretokenize(sample_tok, [big], small_fs / "out", workers=1, progress=False)
        assert e.value.errno == 28 and str(small_fs / "out") in e.value.filename


INTERRUPT = r"""
import os, signal, sys, threading, time, larkspur
counts = larkspur.WordCounts.load(sys.argv[1])
sent = []
def interrupt():
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
threading.Timer(float(sys.argv[2]), interrupt).start()
try:
    larkspur.train_from_word_counts(counts, vocab_size=200000, progress=False)
    print("finished")
except KeyboardInterrupt:
    print("interrupted", "soon" if time.monotonic() - sent[0] < 1.5 else "late")
"""


@pytest.mark.serial
def test_an_interrupt_stops_training_soon(tmp_path):
    # 800,000 random words of 40 aksharas: training to 200,000 ids takes about four seconds
    # here, most of them in the merge loop, where the interrupt comes.
    rng = random.Random(5)
    aksharas = [c + v for c in "कखगचजटडतदनपबमयरलवसह" for v in ("", "ा")]
    counts = larkspur.WordCounts({"".join(rng.choices(aksharas, k=rng.randint(3, 9))): rng.randint(1, 50)
                                  for _ in range(800000)})
    counts.save(tmp_path / "c.tsv")
    out = subprocess.run([sys.executable, "-c", INTERRUPT, str(tmp_path / "c.tsv"), "2.0"], capture_output=True,
                         text=True, timeout=120)
    assert out.stdout.strip() == "interrupted soon", out.stderr


CALLS = r"""
import itertools, os, random, signal, sys, threading, time, larkspur
tok = larkspur.train(sys.argv[2], vocab_size=800, progress=False)
rng = random.Random(1)
# Words longer than the encoder caches, so that every text is encoded anew.
word = "".join(rng.choices([c + v for c in "कखगचजटडतदनपबमयरलवसह" for v in ("", "ा", "ि")], k=1500))
calls = {
    "encode_to_array": lambda: tok.encode_to_array([word] * 100000),  # about 4 s on two cores
    "count_words of an endless stream": lambda: larkspur.count_words(texts=itertools.repeat(word), progress=False),
}
sent = []
def interrupt():
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
threading.Timer(1.0, interrupt).start()
try:
    calls[sys.argv[1]]()
    print("finished")
except KeyboardInterrupt:
    print("interrupted", "soon" if time.monotonic() - sent[0] < 1.5 else "late")
"""


@pytest.mark.serial
@pytest.mark.parametrize("call", ["encode_to_array", "count_words of an endless stream"])
def test_an_interrupt_stops_long_calls_soon(call):
    out = subprocess.run([sys.executable, "-c", CALLS, call, str(SAMPLE)], capture_output=True, text=True, timeout=120)
    assert out.stdout.strip() == "interrupted soon", out.stderr


def test_nothing_is_printed_when_the_interpreter_ends_with_objects_still_held():
    # A thread that still holds a tokenizer when the interpreter ends (Ray's workers do)
    # keeps it alive past the binding's end; that is no leak to report on standard error.
    code = ("import sys, threading, time, larkspur\n"
            "tok = larkspur.train([sys.argv[1]], vocab_size=600, progress=False)\n"
            "counts = larkspur.count_words([sys.argv[1]], progress=False)\n"
            "threading.Thread(target=lambda held=(tok, counts): time.sleep(60), daemon=True).start()\n")
    # The interpreter itself never frees a daemon thread that is still running as it ends;
    # under the leak checker that is its report, not ours, so the checker sits this one out.
    env = dict(os.environ)
    if SANITIZED:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    out = subprocess.run([sys.executable, "-c", code, str(SAMPLE)], capture_output=True, text=True, timeout=120,
                         env=env)
    assert out.returncode == 0 and out.stdout == "" and out.stderr == ""
