"""Word counts: the native mapping, adding counts made in pieces, counts files, and counting
and training within a memory limit (spilling to disk, merging, keeping the most frequent
word types) with nothing left behind."""

import os
import pickle
import signal
import subprocess
import sys
import threading

import pytest

import larkspur
from larkspur import cli

from conftest import SAMPLE, words_corpus


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """About 2 MB of text with many rare word types, so that tiny limits spill."""
    d = tmp_path_factory.mktemp("counts")
    path = words_corpus(d / "big.txt", 20000, 11)
    with open(path, "a", encoding="utf-8") as f:
        for i in range(30000):
            f.write(f"नाम{i} शब्द{i % 977} x{i}\n")
    return path


@pytest.fixture(scope="module")
def exact(big):
    return larkspur.count_words([big], progress=False)


def _leftovers(tmp):
    return sorted(p.name for p in tmp.iterdir())


class TestTheMapping:
    def test_it_reads_like_a_dict_and_equals_one(self):
        counts = larkspur.WordCounts({"ख": 2, "क": 3, "a": 1})
        assert len(counts) == 3 and counts["क"] == 3 and "ख" in counts and "ग" not in counts and 5 not in counts
        assert list(counts) == ["a", "क", "ख"]  # byte order
        assert dict(counts.items()) == counts.to_dict() == {"ख": 2, "क": 3, "a": 1} == counts
        assert counts != {"ख": 2} and counts.get("ग", 7) == 7 and counts.occurrences == 6
        with pytest.raises(KeyError):
            counts["ग"]
        with pytest.raises(ValueError, match="must map a non-empty word"):
            larkspur.WordCounts({"": 1})
        with pytest.raises(ValueError, match="must map a non-empty word"):
            larkspur.WordCounts({"a": -1})

    def test_counts_add_up_and_travel(self):
        a, b = larkspur.WordCounts({"क": 1, "x": 2}), larkspur.WordCounts({"x": 3, "y": 1})
        assert a + b == {"क": 1, "x": 5, "y": 1} == sum([a, b]) == a + {"x": 3, "y": 1}
        a.update(b)
        assert a == {"क": 1, "x": 5, "y": 1}
        assert pickle.loads(pickle.dumps(a)) == a
        with pytest.raises(TypeError):
            a + 3

    def test_counts_made_in_pieces_equal_the_whole(self, big, exact, tmp_path):
        lines = big.read_text(encoding="utf-8").splitlines(keepends=True)
        pieces = []
        for i in range(3):
            part = tmp_path / f"part{i}.txt"
            part.write_text("".join(lines[i::3]), encoding="utf-8")
            pieces.append(larkspur.count_words([part], progress=False))
        assert sum(pieces) == exact
        for i, p in enumerate(pieces):
            p.save(tmp_path / f"c{i}.tsv")
        larkspur.merge_word_counts([tmp_path / f"c{i}.tsv" for i in range(3)], tmp_path / "all.tsv",
                                   memory_limit="64KiB", tmp_dir=tmp_path)
        assert larkspur.WordCounts.load(tmp_path / "all.tsv") == exact
        words = [line.split("\t")[0] for line in (tmp_path / "all.tsv").read_text(encoding="utf-8").splitlines()]
        assert words == sorted(words, key=lambda w: w.encode())


class TestCountsFiles:
    @pytest.mark.parametrize("line", ["word", "word\t", "\t3", "word\t-2", "word\t3.5", "word\t1e9"])
    def test_a_bad_line_names_the_file_and_line(self, tmp_path, line):
        path = tmp_path / "c.tsv"
        path.write_text(f"ok\t1\n{line}\n", encoding="utf-8")
        with pytest.raises(ValueError, match=f"{path}:2: expected word<TAB>count"):
            larkspur.WordCounts.load(path)
        with pytest.raises(ValueError, match=f"{path}:2: expected word<TAB>count"):
            larkspur.merge_word_counts([path], tmp_path / "out.tsv", memory_limit="1MB")
        assert not (tmp_path / "out.tsv").exists()

    def test_a_missing_file_or_a_directory(self, tmp_path):
        with pytest.raises(FileNotFoundError) as e:
            larkspur.WordCounts.load(tmp_path / "none.tsv")
        assert e.value.filename == str(tmp_path / "none.tsv")
        with pytest.raises(IsADirectoryError):
            larkspur.WordCounts.load(tmp_path)


class TestMemoryLimits:
    @pytest.mark.parametrize("limit", ["32KiB", 200_000, "1MB", "2G"])
    @pytest.mark.parametrize("workers", [1, 2])
    def test_limited_counts_are_exact_and_leave_nothing(self, big, exact, tmp_path, limit, workers):
        counts = larkspur.count_words([big], num_workers=workers, memory_limit=limit, tmp_dir=tmp_path,
                                      progress=False)
        assert counts == exact and counts.source == exact.source
        assert counts.on_disk == (limit != "2G")  # the table (61,000 types) needs about 2 MB
        assert len(_leftovers(tmp_path)) == (1 if counts.on_disk else 0)  # the store's own folder
        assert counts["शब्द5"] == exact["शब्द5"] and list(counts)[:50] == list(exact)[:50]
        assert pickle.loads(pickle.dumps(counts)) == exact
        del counts
        assert _leftovers(tmp_path) == []

    @pytest.mark.parametrize("limit", [1_000_000, 8_000_000])
    @pytest.mark.parametrize("workers", [1, 2])
    def test_a_run_is_spilled_once_per_budget_of_words(self, tmp_path, limit, workers):
        # The runs on disk are counted when their merge starts. A worker spills when its
        # table passes its budget: half the limit, shared by the workers, and never less
        # than four times an empty table (2 MiB). A spill that left the table's capacity
        # behind, or a budget below the empty table's size, spilled at every check.
        from larkspur import _engine

        text = tmp_path / "many.txt"  # 300,000 word types: the merge reports every 65,536 words
        text.write_text("".join(f"नाम{i} शब्द{i} x{i}\n" for i in range(100_000)), encoding="utf-8")
        runs = tmp_path / "runs"
        runs.mkdir()
        seen = []

        def merged(*_):
            if not seen:
                seen.append(sum(len(files) for _, _, files in os.walk(runs)))

        _engine.count_words([str(text)], "LM", [], workers, None, limit, str(runs), merged)
        # A counting table holds a word's text and less than 64 bytes beside it; a run holds
        # at least a third of a worker's budget of words.
        table = sum(len(w.encode()) + 64 for w in larkspur.count_words([text], progress=False))
        budget = max(limit // 2 // workers, 2 << 20)
        assert seen and 2 <= seen[0] <= 3 * table // budget + workers, (seen, table)

    @pytest.mark.parametrize("value", ["", "2XB", "-1", 0, -5, 1.5, "GB", True])
    def test_a_bad_limit_is_named(self, big, value):
        with pytest.raises(ValueError, match="memory_limit must be"):
            larkspur.count_words([big], memory_limit=value)

    def test_a_missing_tmp_dir_is_named(self, big, tmp_path):
        with pytest.raises(FileNotFoundError, match="tmp_dir"):
            larkspur.count_words([big], memory_limit="1MB", tmp_dir=tmp_path / "none")

    def test_training_within_a_limit_keeps_the_most_frequent_words(self, big, exact, tmp_path):
        free = larkspur.train_from_word_counts(exact, vocab_size=1500, progress=False)
        roomy = larkspur.train_from_word_counts(exact, vocab_size=1500, progress=False, memory_limit="1GB")
        assert roomy.get_vocab() == free.get_vocab()  # everything fits: nothing left out
        assert roomy.training_report["left_out_types"] == 0 and roomy.training_report["min_count"] == 1
        tight = larkspur.train_from_word_counts(exact, vocab_size=1500, progress=False, memory_limit="40MB")
        report = tight.training_report
        assert report["min_count"] > 1 and report["left_out_types"] > 0
        kept = {w: n for w, n in exact.items() if n >= report["min_count"]}
        assert report["left_out_types"] == len(exact) - len(kept)
        assert report["left_out_occurrences"] == exact.occurrences - sum(kept.values())
        assert tight.get_vocab() == larkspur.train_from_word_counts(kept, vocab_size=1500,
                                                                    progress=False).get_vocab()
        tight.save(tmp_path / "b")
        assert larkspur.load(tmp_path / "b").training_report["min_count"] == report["min_count"]

    @pytest.mark.skipif(os.geteuid() != 0, reason="needs to mount a small file system")
    def test_a_full_disk_is_an_error_naming_the_directory(self, big, tmp_path):
        small = tmp_path / "small"
        small.mkdir()
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(small)]).returncode != 0:
            pytest.skip("cannot mount a tmpfs here")
        try:
            with pytest.raises(OSError) as e:
                larkspur.count_words([big], memory_limit="32KiB", tmp_dir=small, progress=False)
            assert str(small) in str(e.value) and "No space left" in str(e.value)
            assert _leftovers(small) == []
        finally:
            subprocess.run(["umount", str(small)])


INTERRUPTED = r"""
import os, signal, sys, threading, time, larkspur
sent = []
threading.Timer(0.5, lambda: (sent.append(time.monotonic()), os.kill(os.getpid(), signal.SIGINT))).start()
try:
    larkspur.count_words([sys.argv[1]] * 200, memory_limit="32KiB", tmp_dir=sys.argv[2], progress=False)
    print("finished")
except KeyboardInterrupt:
    print("interrupted", sorted(os.listdir(sys.argv[2])), "late" if time.monotonic() - sent[0] > 1.5 else "soon")
"""


@pytest.mark.serial
def test_an_interrupt_stops_counting_soon_and_removes_the_spilled_runs(big, tmp_path):
    # 200 copies of the file take tens of seconds to count: the interrupt comes well before.
    out = subprocess.run([sys.executable, "-c", INTERRUPTED, str(big), str(tmp_path)], capture_output=True,
                         text=True, timeout=300)
    assert out.stdout.strip() == "interrupted [] soon", out.stderr


def test_the_command_line_counts_merges_and_trains_within_a_limit(tmp_path, big, exact):
    assert cli.main(["count-words", str(big), "-o", str(tmp_path / "a.tsv"), "--memory-limit", "64KiB",
                     "--tmp-dir", str(tmp_path), "--no-progress"]) == 0
    assert larkspur.WordCounts.load(tmp_path / "a.tsv") == exact
    assert cli.main(["count-words", "--merge", str(tmp_path / "a.tsv"), str(tmp_path / "a.tsv"), "-o",
                     str(tmp_path / "b.tsv"), "--memory-limit", "64KiB"]) == 0
    assert larkspur.WordCounts.load(tmp_path / "b.tsv") == exact + exact
    assert cli.main(["train", str(SAMPLE), "-o", str(tmp_path / "tok"), "--vocab-size", "900",
                     "--memory-limit", "1GB", "--no-progress"]) == 0
    assert cli.main(["count-words", str(big), "-o", str(tmp_path / "c.tsv"), "--memory-limit", "lots"]) == 1
