"""Checkpoints: the directory format, writing during training, inspection and resuming.

The property that matters most is at the end: a run killed with SIGKILL at a checkpoint
(mid-pass, between passes, during a save) and resumed in a new process ends with exactly
the vocabulary, scripts, root sets and corpus of the same run left alone.
"""

import os
import re
import signal
import time
from pathlib import Path

import pytest

from LarkspurTokenization import PyLarkspurTokenization

from conftest import finish, make_corpus, quiet, start, steps

META_KEYS = ["version", "mode", "phase", "theta", "dev_budget", "total_budget", "merges_done", "vocab_len",
             "word_types", "seed_max_len", "use_probabilistic_k", "root_set_cap", "corpus_fingerprint",
             "paradigm_fingerprint"]
STEP_FILES = {"vocab.tsv", "corpus.tsv", "weights.tsv", "prior.tsv", "lexicon.tsv", "meta.tsv", "COMPLETE"}


def meta(step_dir):
    lines = Path(step_dir, "meta.tsv").read_text(encoding="utf-8").splitlines()
    return [tuple(line.split("\t", 1)) for line in lines]


def seeded(corpus, mode="LM"):
    tok = PyLarkspurTokenization(mode=mode)
    tok.initialize_vocab(tok.harvest_aksharas(corpus), ["ने"], ["।"], [], [])
    return tok


@pytest.fixture
def corpus(tmp_path):
    return make_corpus(tmp_path / "corpus.txt")


class TestCheckpointFiles:
    def test_layout_and_meta(self, tmp_path, corpus, capfd):
        tok = seeded(corpus)
        tok.add_paradigm(7, {"a": ["b"]})
        tok.enable_probabilistic_k(True, root_set_cap=4)
        base = tok.vocab_size()
        ckpt = str(tmp_path / "ck")
        tok.train_bilingual_from_file(corpus, base + 12, 5, 7,
                                      **quiet(checkpoint_dir=ckpt, checkpoint_every=5, checkpoint_keep=0))
        names = steps(ckpt)
        assert names == ["step_000000000005", "step_000000000010", "step_000000000012",
                         "step_000000000015", "step_000000000017"]
        assert Path(ckpt, "LATEST").read_text() == "step_000000000017\n"
        assert sorted(os.listdir(ckpt)) == ["LATEST"] + names  # no temporary directory left behind
        fingerprints = set()
        for name in names:
            d = os.path.join(ckpt, name)
            assert set(os.listdir(d)) == STEP_FILES
            assert Path(d, "COMPLETE").read_bytes() == b"\n"
            m = meta(d)
            assert [k for k, _ in m] == META_KEYS
            m = dict(m)
            n = int(name[5:])
            assert (m["version"], m["mode"], m["theta"], m["merges_done"]) == ("4.1", "LM", "7", str(n))
            assert m["phase"] == ("DEV" if n <= 12 else "LAT")
            assert (m["dev_budget"], m["total_budget"]) == (str(base + 12), str(base + 17))
            assert m["vocab_len"] == str(len(Path(d, "vocab.tsv").read_text(encoding="utf-8").splitlines()))
            assert m["vocab_len"] == str(base + n)
            assert m["word_types"] == str(len(Path(d, "corpus.tsv").read_text(encoding="utf-8").splitlines()))
            assert (m["use_probabilistic_k"], m["root_set_cap"], m["seed_max_len"]) == ("1", "4", "0")
            assert m["paradigm_fingerprint"] == "14601805495398755167"
            fingerprints.add(m["corpus_fingerprint"])
        # The corpus fingerprint identifies the source corpus, not its segmentation.
        assert len(fingerprints) == 1
        err = capfd.readouterr().err
        assert err.count("[ckpt:DEV] final " + os.path.join(ckpt, "step_000000000012")) == 1
        assert err.count("[ckpt:LAT] final " + os.path.join(ckpt, "step_000000000017")) == 1
        assert "wrote" not in err  # periodic saves are reported only with progress on

    def test_rows_tables_and_number_formats(self, tmp_path, corpus):
        tok = seeded(corpus)
        tok.induce_ambiguous_seeds([("क.ख", 3.5)], 1.0)
        weights = {"।": 0.25, "ने": 1e20, "a": 1e-7, "b": float("nan"), "c": float("inf"), "d": -2.0, "e": 1.0}
        for s, w in weights.items():
            assert tok.set_token_weight(s, w)
        tok.set_root_prior({3: 0.1, 4: float("-inf")})
        tok.set_lexicon({"x\ty\\z\r": 5, "गया": 12})
        ckpt = str(tmp_path / "ck")
        tok.train_from_file(corpus, tok.vocab_size() + 8, 100, **quiet(checkpoint_dir=ckpt))
        d = os.path.join(ckpt, steps(ckpt)[-1])
        read = lambda f: Path(d, f).read_text(encoding="utf-8")
        wid = {s: tok.vocab_get_id(s) for s in weights}
        expected = {"।": "0.25", "ने": "100000000000000000000", "a": "0.0000001", "b": "NaN", "c": "inf",
                    "d": "-2", "e": "1"}
        assert sorted(read("weights.tsv").splitlines()) == sorted(f"{wid[s]}\t{v}" for s, v in expected.items())
        assert sorted(read("prior.tsv").splitlines()) == ["3\t0.1", "4\t-inf"]
        assert sorted(read("lexicon.tsv").splitlines()) == sorted(["x\\ty\\\\z\\r\t5", "गया\t12"])
        rows = [line.split("\t") for line in read("vocab.tsv").splitlines()]
        assert all(len(r) == 8 for r in rows)
        assert [int(r[0]) for r in rows] == list(range(tok.vocab_size()))
        by_surface = {r[7]: r for r in rows}
        assert by_surface["क.ख"][1:] == ["S", "D", "2", "-", "-", "3.5", "क.ख"]
        assert by_surface["a"][1:4] == ["T", "L", "0"]
        assert by_surface["\u0100"][1:5] == ["B", "M", "0", "0"]  # the byte token of 0x00
        assert by_surface["।"][1:3] == ["P", "P"]
        merges = [r for r in rows if r[1] == "M"]
        assert len(merges) == 8
        for r in merges:
            left, right = (int(x) for x in r[4].split(","))
            assert r[7] == rows[left][7] + rows[right][7]
            assert r[2] == rows[left][2]  # script of the left part
        corpus_lines = read("corpus.tsv").splitlines()
        assert all(re.fullmatch(r"\d+\t\d+(,\d+)*", line) for line in corpus_lines)


class TestSaving:
    def run(self, tok, corpus, ckpt, merges, every, keep, progress=0):
        return tok.train_from_file(corpus, tok.vocab_size() + merges, 100, progress_lines=0,
                                   progress_merges=progress, checkpoint_dir=ckpt, checkpoint_every=every,
                                   checkpoint_keep=keep)

    def test_periodic_saves_pruning_and_messages(self, tmp_path, corpus, capfd):
        ckpt = str(tmp_path / "ck")
        self.run(seeded(corpus), corpus, ckpt, 25, 10, 3, progress=1000)
        assert steps(ckpt) == ["step_000000000010", "step_000000000020", "step_000000000025"]
        assert Path(ckpt, "LATEST").read_text() == "step_000000000025\n"
        err = capfd.readouterr().err
        assert re.findall(r"^\[ckpt:DEV\] wrote (.*)$", err, re.M) == [
            os.path.join(ckpt, "step_000000000010"), os.path.join(ckpt, "step_000000000020")]
        assert re.findall(r"^\[ckpt:DEV\] final (.*)$", err, re.M) == [os.path.join(ckpt, "step_000000000025")]

    def test_final_save_rewrites_a_periodic_one_of_the_same_count(self, tmp_path, corpus, capfd):
        ckpt = str(tmp_path / "ck")
        self.run(seeded(corpus), corpus, ckpt, 30, 10, 2)
        assert steps(ckpt) == ["step_000000000020", "step_000000000030"]
        assert capfd.readouterr().err.count("final " + os.path.join(ckpt, "step_000000000030")) == 1
        ckpt0 = str(tmp_path / "ck0")
        self.run(seeded(corpus), corpus, ckpt0, 30, 10, 0)
        assert steps(ckpt0) == ["step_000000000010", "step_000000000020", "step_000000000030"]

    def test_pruning_never_removes_the_directory_just_written(self, tmp_path, corpus):
        ckpt = tmp_path / "ck"
        for n in (900000000001, 900000000002):
            (ckpt / f"step_{n}").mkdir(parents=True)
        self.run(seeded(corpus), corpus, str(ckpt), 4, 0, 2)
        assert steps(str(ckpt)) == ["step_000000000004", "step_900000000002"]

    def test_a_file_in_the_way_fails_that_save_only(self, tmp_path, corpus, capfd):
        ckpt = tmp_path / "ck"
        ckpt.mkdir()
        (ckpt / "step_000000000010").write_text("not a directory")
        tok = seeded(corpus)
        base = tok.vocab_size()
        assert self.run(tok, corpus, str(ckpt), 25, 10, 0) == base + 25
        err = capfd.readouterr().err
        assert "[ckpt:DEV] WARNING save failed: Not a directory (os error 20)" in err
        assert steps(str(ckpt)) == ["step_000000000010", "step_000000000020", "step_000000000025"]
        assert (ckpt / "step_000000000010").is_file()
        assert (ckpt / "LATEST").read_text() == "step_000000000025\n"

    def test_an_impossible_directory_warns_on_every_save(self, tmp_path, corpus, capfd):
        blocker = tmp_path / "file"
        blocker.write_text("x")
        tok = seeded(corpus)
        base = tok.vocab_size()
        assert self.run(tok, corpus, str(blocker / "ck"), 12, 5, 3) == base + 12
        err = capfd.readouterr().err
        assert err.count("[ckpt:DEV] WARNING save failed: Not a directory (os error 20)") == 2
        assert err.count("[ckpt:DEV] WARNING final save failed: Not a directory (os error 20)") == 1

    def test_leftovers_of_an_interrupted_save_are_cleaned(self, tmp_path, corpus):
        ckpt = tmp_path / "ck"
        (ckpt / ".partial-step_000000000003").mkdir(parents=True)
        (ckpt / ".partial-step_000000000003" / "vocab.tsv").write_text("junk")
        (ckpt / "step_000000000002").mkdir()  # incomplete: no COMPLETE
        self.run(seeded(corpus), corpus, str(ckpt), 3, 0, 0)
        assert sorted(os.listdir(ckpt)) == ["LATEST", "step_000000000002", "step_000000000003"]


class TestInspection:
    def train(self, tmp_path, corpus, **kw):
        ckpt = str(tmp_path / "ck")
        tok = seeded(corpus)
        args = quiet(checkpoint_dir=ckpt, checkpoint_every=10, checkpoint_keep=0)
        args.update(kw)
        tok.train_from_file(corpus, tok.vocab_size() + 20, 100, **args)
        return tok, ckpt

    def test_missing_or_empty_directory(self, tmp_path):
        tok = PyLarkspurTokenization()
        for d in (str(tmp_path / "nope"), str(tmp_path)):
            assert tok.checkpoint_info(d) is None
            with pytest.raises(FileNotFoundError, match="^" + re.escape(f"no COMPLETE checkpoint under {d}") + "$"):
                tok.resume_from_checkpoint(d)

    def test_info_keys_and_values(self, tmp_path, corpus):
        tok, ckpt = self.train(tmp_path, corpus)
        info = tok.checkpoint_info(ckpt)
        assert list(info) == ["path", "version", "mode", "phase", "merges_done", "vocab_len", "word_types",
                              "theta", "dev_budget", "total_budget", "corpus_fingerprint", "paradigm_fingerprint"]
        m = dict(meta(info["path"]))
        assert info["path"] == os.path.join(ckpt, "step_000000000020")
        assert info["merges_done"] == 20 and info["theta"] == 100 and info["phase"] == "DEV"
        assert info["corpus_fingerprint"] == int(m["corpus_fingerprint"])

    def test_latest_names_an_older_complete_directory(self, tmp_path, corpus):
        tok, ckpt = self.train(tmp_path, corpus)
        Path(ckpt, "LATEST").write_text("  step_000000000010 \n")
        assert tok.checkpoint_info(ckpt)["merges_done"] == 10
        Path(ckpt, "step_000000000020", "COMPLETE").unlink()
        Path(ckpt, "LATEST").write_text("")
        assert tok.checkpoint_info(ckpt)["merges_done"] == 10

    @pytest.mark.parametrize("latest", ["../elsewhere/step_000000000001", "/abs/step_000000000001"])
    def test_latest_cannot_point_outside(self, tmp_path, corpus, latest):
        tok, ckpt = self.train(tmp_path, corpus)
        outside = tmp_path / "elsewhere" / "step_000000000001"
        outside.mkdir(parents=True)
        (outside / "COMPLETE").write_text("\n")
        (outside / "meta.tsv").write_text("merges_done\t1\n")
        if latest.startswith("/"):
            latest = str(outside)
        Path(ckpt, "LATEST").write_text(latest + "\n")
        assert tok.checkpoint_info(ckpt)["merges_done"] == 20

    def test_meta_defaults_and_unreadable_meta(self, tmp_path, corpus):
        tok, ckpt = self.train(tmp_path, corpus)
        d = Path(ckpt, "step_000000000020")
        lines = [line for line in (d / "meta.tsv").read_text().splitlines() if not line.startswith("theta\t")]
        (d / "meta.tsv").write_text("\n".join(lines + ["phase\tlat", "use_probabilistic_k\t2"]) + "\n")
        info = tok.checkpoint_info(ckpt)
        assert info["theta"] == 0 and info["phase"] == "DEV"
        (d / "meta.tsv").unlink()
        with pytest.raises(OSError, match="^" + re.escape("read meta: No such file or directory (os error 2)")):
            tok.checkpoint_info(ckpt)
        before = tok.vocab_size()
        with pytest.raises(OSError, match="^" + re.escape("No such file or directory (os error 2)") + "$"):
            tok.resume_from_checkpoint(ckpt)
        assert tok.vocab_size() == before


class TestResumeGuards:
    def checkpoint(self, tmp_path, corpus, mode="LM", paradigms=True):
        tok = seeded(corpus, mode)
        if paradigms:
            tok.add_paradigm(1, {"कर": ["ना"]})
        ckpt = str(tmp_path / "ck")
        tok.train_from_file(corpus, tok.vocab_size() + 10, 100,
                            **quiet(checkpoint_dir=ckpt, checkpoint_every=5, checkpoint_keep=0))
        return tok, ckpt

    def test_fold_mode_guard_and_override(self, tmp_path, corpus):
        _, ckpt = self.checkpoint(tmp_path, corpus)
        ocr = PyLarkspurTokenization(mode="OCR")
        ocr.add_paradigm(1, {"कर": ["ना"]})
        msg = ("checkpoint was built with mode=LM but this tokenizer is mode=OCR. Folding mode is a build-time "
               "fork; resuming across it produces a vocabulary whose ids do not mean what the checkpoint thinks.")
        with pytest.raises(ValueError, match="^" + re.escape(msg) + "$"):
            ocr.resume_from_checkpoint(ckpt)
        assert ocr.vocab_size() == 0
        ocr.resume_from_checkpoint(ckpt, progress_merges=0, allow_mode_mismatch=True)
        assert dict(meta(os.path.join(ckpt, "step_000000000010")))["mode"] == "OCR"

    def test_paradigm_guard_and_override(self, tmp_path, corpus, capfd):
        trained, ckpt = self.checkpoint(tmp_path, corpus)
        stored = dict(meta(os.path.join(ckpt, "step_000000000010")))["paradigm_fingerprint"]
        tok = PyLarkspurTokenization()
        msg = (f"paradigm registry fingerprint 0 does not match the checkpoint's {stored}. P is a build input and "
               "is not serialized \u2014 re-register the SAME paradigms with add_paradigm before resuming, or the "
               "Morph constraint changes mid-run.")
        with pytest.raises(ValueError, match="^" + re.escape(msg) + "$"):
            tok.resume_from_checkpoint(ckpt)
        capfd.readouterr()
        assert tok.resume_from_checkpoint(ckpt, progress_merges=0, allow_paradigm_mismatch=True) == \
            trained.vocab_size()
        err = capfd.readouterr().err
        assert "fingerprint" not in err and "WARNING" not in err  # an overridden guard is silent
        assert re.search(r"^\[resume\] " + re.escape(os.path.join(ckpt, "step_000000000010")) +
                         r" \| phase=DEV merges=10 vocab=\d+ word_types=\d+$", err, re.M)

    def test_failed_resume_leaves_the_object_unchanged(self, tmp_path, corpus):
        _, ckpt = self.checkpoint(tmp_path, corpus)
        Path(ckpt, "step_000000000010", "corpus.tsv").unlink()
        tok = PyLarkspurTokenization()
        tok.add_paradigm(1, {"कर": ["ना"]})
        tok.initialize_vocab(["क"], [], [], [], [])
        tok.set_token_weight("क", 3.0)
        tok.enable_probabilistic_k(True, 5)
        with pytest.raises(OSError, match="^No such file or directory \\(os error 2\\)$"):
            tok.resume_from_checkpoint(ckpt)
        assert tok.vocab_size() == 275
        other = tmp_path / "v.tsv"
        tok.save_vocab_tsv(str(other))
        assert len(other.read_text().splitlines()) == 276

    def test_resume_continues_the_step_numbers(self, tmp_path, corpus):
        tok, ckpt = self.checkpoint(tmp_path, corpus)
        total = tok.vocab_size()
        Path(ckpt, "step_000000000010", "meta.tsv").write_text(
            Path(ckpt, "step_000000000010", "meta.tsv").read_text().replace(
                f"total_budget\t{total}", f"total_budget\t{total + 7}").replace(
                f"dev_budget\t{total}", f"dev_budget\t{total + 7}"))
        fresh = PyLarkspurTokenization()
        fresh.add_paradigm(1, {"कर": ["ना"]})
        assert fresh.resume_from_checkpoint(ckpt, progress_merges=0, checkpoint_every=5, checkpoint_keep=0) == \
            total + 7
        assert steps(ckpt)[-2:] == ["step_000000000015", "step_000000000017"]

    def test_latin_checkpoint_already_at_its_budget(self, tmp_path, corpus, capfd):
        tok = seeded(corpus)
        ckpt = str(tmp_path / "ck")
        tok.train_latin_from_file(corpus, 6, **quiet(checkpoint_dir=ckpt))
        size = tok.vocab_size()
        before = os.stat(os.path.join(ckpt, "step_000000000006")).st_ino
        capfd.readouterr()
        fresh = PyLarkspurTokenization()
        assert fresh.resume_from_checkpoint(ckpt, progress_merges=0) == size
        err = capfd.readouterr().err
        assert "phase=LAT merges=6" in err
        assert err.count("[ckpt:LAT] final ") == 1 and "[ckpt:DEV]" not in err
        assert os.stat(os.path.join(ckpt, "step_000000000006")).st_ino != before  # rewritten


# --- interrupted runs ------------------------------------------------------------------------

def complete_dirs(ckpt):
    """(name, inode) of every complete step directory: a rewrite gets a new inode."""
    found = set()
    for name in steps(ckpt):
        d = os.path.join(ckpt, name)
        if os.path.exists(os.path.join(d, "COMPLETE")):
            found.add((name, os.stat(d).st_ino))
    return found


def blocked_on_fifo(pid):
    try:
        with open(f"/proc/{pid}/wchan", encoding="ascii") as f:
            return f.read().strip() == "wait_for_partner"
    except OSError:
        return False


def run_and_kill(driver, corpus, ckpt, every, out, should_kill):
    """Runs a worker whose LATEST is a symbolic link to a FIFO: each save blocks on opening
    LATEST, after its step directory is complete, until this process opens that FIFO, so
    saves can be taken one at a time. Before releasing a save, LATEST is pointed at a fresh
    FIFO, so the worker's next save blocks again however fast it comes. The worker is killed
    with SIGKILL at the first save for which should_kill(meta) holds: during that save, after
    COMPLETE and before LATEST names it."""
    os.makedirs(ckpt)
    pipes = ckpt + "-pipes"
    os.makedirs(pipes)
    latest = os.path.join(ckpt, "LATEST")

    def arm(n):
        fifo = os.path.join(pipes, f"latest{n}")
        os.mkfifo(fifo)
        link = os.path.join(ckpt, ".latest-link")
        os.symlink(fifo, link)
        os.replace(link, latest)
        return fifo

    armed, fifo = 0, arm(0)
    proc = start("train", driver, corpus, ckpt, every, out)
    seen = set()
    deadline = time.time() + 120
    while True:
        assert time.time() < deadline, "worker did not reach the kill point"
        assert proc.poll() is None, "worker ended before the kill point: " + proc.stderr.read()
        fresh = complete_dirs(ckpt) - seen
        # A new complete directory and the worker waiting on LATEST: it is inside that save.
        if not fresh or not blocked_on_fifo(proc.pid):
            time.sleep(0.001)
            continue
        assert len(fresh) == 1
        seen |= fresh
        name = next(iter(fresh))[0]
        if should_kill(dict(meta(os.path.join(ckpt, name)))):
            proc.send_signal(signal.SIGKILL)
            proc.wait()
            proc.stderr.close()
            os.unlink(latest)  # the killed run never wrote LATEST for this save
            return name
        armed += 1
        waiting, fifo = fifo, arm(armed)
        with open(waiting, encoding="utf-8") as f:
            f.read()


def final_state(ckpt):
    d = os.path.join(ckpt, steps(ckpt)[-1])
    files = {f: Path(d, f).read_text(encoding="utf-8") for f in ("vocab.tsv", "corpus.tsv", "meta.tsv")}
    # Table files follow hash-map order; compare their lines as sets.
    for f in ("weights.tsv", "prior.tsv", "lexicon.tsv"):
        files[f] = sorted(Path(d, f).read_text(encoding="utf-8").splitlines())
    return steps(ckpt)[-1], files


@pytest.fixture(scope="module")
def mixed_corpus(tmp_path_factory):
    return make_corpus(tmp_path_factory.mktemp("corpus") / "mixed.txt", lines=220, seed=11)


@pytest.fixture(scope="module")
def uninterrupted(tmp_path_factory, mixed_corpus):
    """The reference run of each driver, left alone."""
    results = {}
    for driver in ("file", "bilingual", "latin"):
        d = tmp_path_factory.mktemp(f"ref-{driver}")
        ckpt, out = str(d / "ck"), str(d / "vocab.tsv")
        err = finish(start("train", driver, mixed_corpus, ckpt, 7, out))
        dev_final = re.search(r"^\[ckpt:DEV\] final .*step_(\d+)$", err, re.M)
        results[driver] = (Path(out).read_bytes(), final_state(ckpt), int(dev_final.group(1)) if dev_final else None)
    return results


KILL_POINTS = [
    ("file", "mid-pass", lambda m, dev_end: int(m["merges_done"]) == 21),
    ("bilingual", "mid Devanagari pass", lambda m, dev_end: int(m["merges_done"]) == 14),
    ("bilingual", "between passes", lambda m, dev_end: m["phase"] == "DEV" and int(m["merges_done"]) == dev_end),
    ("bilingual", "mid Latin pass", lambda m, dev_end: m["phase"] == "LAT" and int(m["merges_done"]) > dev_end + 7),
    ("latin", "mid-pass", lambda m, dev_end: int(m["merges_done"]) == 14),
]


class TestInterruptedRuns:
    @pytest.mark.parametrize("driver, moment, when", KILL_POINTS, ids=[f"{d}-{m}" for d, m, _ in KILL_POINTS])
    def test_killed_and_resumed_equals_uninterrupted(self, tmp_path, mixed_corpus, uninterrupted, driver, moment,
                                                     when):
        ref_vocab, ref_state, dev_end = uninterrupted[driver]
        ckpt, out = str(tmp_path / "ck"), str(tmp_path / "vocab.tsv")
        killed_in = run_and_kill(driver, mixed_corpus, ckpt, 7, str(tmp_path / "unused.tsv"),
                                 lambda m: when(m, dev_end))
        assert not os.path.exists(tmp_path / "unused.tsv")
        err = finish(start("resume", "-", mixed_corpus, ckpt, 7, out))
        assert err.startswith(f"[resume] {os.path.join(ckpt, killed_in)} | ")
        assert Path(out).read_bytes() == ref_vocab
        assert final_state(ckpt) == ref_state
