"""Corpora as teams store them: compressed files, JSON Lines, pipes, standard input and
iterables count exactly as the same text in a plain file does; input that is not text,
lines that are not UTF-8 and missing files are said, never skipped in silence."""

import gzip
import json
import os
import subprocess
import sys
import threading
import warnings

import pytest
import zstandard

import larkspur
from conftest import SAMPLE, sample_texts, words_corpus

BAD_LINES = b"zqx line\nbad \xff byte\nanother \xc3 cut\n" + "गाँव\n".encode()


@pytest.fixture(scope="module")
def plain(tmp_path_factory):
    """A corpus big enough to go in several blocks, with CRLF lines and a last line without an end."""
    path = words_corpus(tmp_path_factory.mktemp("corpora") / "plain.txt", 30000, 11)
    path.write_bytes(path.read_bytes() + b"crlf line\r\n\nlast words without an end")
    return path


@pytest.fixture(scope="module")
def plain_counts(plain):
    return larkspur.count_words(plain, progress=False)


def _zstd(data: bytes, frames: int = 1) -> bytes:
    # Several frames, as a parallel compressor writes them.
    step = len(data) // frames + 1
    c = zstandard.ZstdCompressor()
    return b"".join(c.compress(data[i:i + step]) for i in range(0, len(data), step))


class TestStoredCorpora:
    def test_gzip_and_zstd_count_as_the_plain_text_whatever_their_names(self, plain, plain_counts, tmp_path):
        data = plain.read_bytes()
        gz, zst, disguised = tmp_path / "c.gz", tmp_path / "c.zst", tmp_path / "looks-plain.txt"
        gz.write_bytes(gzip.compress(data[: len(data) // 2]) + gzip.compress(data[len(data) // 2:]))
        zst.write_bytes(_zstd(data, frames=3))
        disguised.write_bytes(gzip.compress(data))
        for path in (gz, zst, disguised):
            assert larkspur.count_words(path, progress=False) == plain_counts, path
        # Mixed with plain files and texts, in bounded memory, on one or two workers.
        both = larkspur.count_words([plain, zst], texts=["ek do", "teen"], progress=False)
        for workers, limit in ((1, None), (2, "64KiB")):
            got = larkspur.count_words([plain, zst], texts=iter(["ek do", "teen"]), num_workers=workers,
                                       memory_limit=limit, progress=False)
            assert got == both
        assert both["ek"] == 1 and both.occurrences == 2 * plain_counts.occurrences + 3

    def test_json_lines_count_their_text_field(self, plain, plain_counts, tmp_path):
        lines = plain.read_bytes().decode().replace("\r\n", "\n").split("\n")
        records = [json.dumps({"id": i, "text": t}, ensure_ascii=i % 2 == 0) for i, t in enumerate(lines)]
        records.insert(5, "   ")  # blank lines are skipped
        jsonl = tmp_path / "c.jsonl"
        jsonl.write_text("\n".join(records) + "\n", encoding="utf-8")
        assert larkspur.count_words(jsonl, jsonl_key="text", progress=False) == plain_counts
        zst = tmp_path / "c.jsonl.zst"
        zst.write_bytes(_zstd(jsonl.read_bytes()))
        assert larkspur.count_words(zst, jsonl_key="text", progress=False) == plain_counts
        for bad, what in (('{"text": "a"}\n[1, 2]\n', "c2.jsonl:2: the line has no string field 'text'"),
                          ('{"text": "a"}\n{"text": 5}\n', "c2.jsonl:2: the line has no string field"),
                          ('{"text": "a"}\n{"text": \n', "c2.jsonl:2: the line is not JSON")):
            (tmp_path / "c2.jsonl").write_text(bad)
            with pytest.raises(ValueError, match=what):
                larkspur.count_words(tmp_path / "c2.jsonl", jsonl_key="text", progress=False)

    def test_a_pipe_counts_as_the_file(self, plain, plain_counts, tmp_path):
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        data = gzip.compress(plain.read_bytes())

        def feed():
            with open(fifo, "wb") as f:
                f.write(data)

        writer = threading.Thread(target=feed)
        writer.start()
        try:
            assert larkspur.count_words(fifo, progress=False) == plain_counts
        finally:
            writer.join(timeout=30)

    def test_texts_take_any_iterable_and_never_a_str(self, plain_counts):
        texts = sample_texts()
        want = larkspur.count_words(texts=texts, progress=False)
        assert larkspur.count_words(texts=(t for t in texts), progress=False) == want
        assert larkspur.count_words(texts=tuple(texts), memory_limit="16KiB", progress=False) == want
        big = (f"शब्द{i % 5000} word{i % 300}" for i in range(200_000))  # more than one block
        counts = larkspur.count_words(texts=big, progress=False)
        assert counts.occurrences == 400_000 and len(counts) == 5300
        with pytest.raises(TypeError, match="list or an iterable of str"):
            larkspur.count_words(texts="एक पाठ")
        with pytest.raises(TypeError, match="item 2 is a int"):
            larkspur.count_words(texts=["a", "b", 3])
        tok = larkspur.train(texts=(t for t in texts), vocab_size=800, progress=False)
        assert tok.training_report["texts"] == len(texts)
        assert tok.get_vocab() == larkspur.train(texts=texts, vocab_size=800, progress=False).get_vocab()

    def test_datasets_column_trains(self):
        datasets = pytest.importorskip("datasets")
        texts = sample_texts()
        ds = datasets.Dataset.from_dict({"text": texts})
        assert larkspur.count_words(texts=ds["text"], progress=False) == larkspur.count_words(texts=texts,
                                                                                             progress=False)


class TestNotText:
    @pytest.mark.parametrize("data, what", [
        ("एक\n".encode("utf-16"), "UTF-16"),
        ("एक\n".encode("utf-32"), "UTF-32"),
        (b"abc\x00def\n" * 10, "NUL bytes"),
        ("déjà vu, garçon\n".encode("latin-1") * 50, "not UTF-8"),
    ])
    def test_input_that_is_not_utf8_text_is_refused_by_name(self, tmp_path, data, what):
        for path, raw in ((tmp_path / "in.txt", data), (tmp_path / "in.gz", gzip.compress(data))):
            path.write_bytes(raw)
            with pytest.raises(ValueError, match=f"{path.name}: .*{what}"):
                larkspur.count_words(path, progress=False)
            with pytest.raises(ValueError, match=what):
                larkspur.train(path, vocab_size=800, progress=False)

    def test_input_without_words_does_not_train(self, tmp_path):
        for name, data in (("empty.txt", b""), ("blank.txt", b"\n  \n\t\n")):
            (tmp_path / name).write_bytes(data)
            with pytest.raises(ValueError, match="holds no words"):
                larkspur.train(tmp_path / name, vocab_size=800, progress=False)
        with pytest.raises(ValueError, match="holds no words"):
            larkspur.train_from_word_counts({}, vocab_size=800, progress=False)

    def test_lines_that_are_not_utf8_are_counted_said_and_strict_stops(self, tmp_path):
        plain = tmp_path / "bad.txt"
        plain.write_bytes(SAMPLE.read_bytes() + BAD_LINES)
        gz = tmp_path / "bad.gz"
        gz.write_bytes(gzip.compress(plain.read_bytes()))
        bad_line = SAMPLE.read_bytes().count(b"\n") + 2
        for path in (plain, gz):
            with pytest.warns(UnicodeWarning, match=f"{path.name}: 2 lines are not valid UTF-8"):
                counts = larkspur.count_words(path, progress=False)
            assert counts.invalid_lines == {str(path): 2} and counts["zqx"] == 1 and "cut" not in counts
            with pytest.raises(ValueError, match=f"{path.name}:{bad_line}: the line is not valid UTF-8"):
                larkspur.count_words(path, errors="strict", progress=False)
        with pytest.warns(UnicodeWarning):
            tok = larkspur.train([plain, SAMPLE], vocab_size=800, progress=False)
        assert tok.training_report["invalid_lines"] == {str(plain): 2}
        tok.save(tmp_path / "bundle")
        assert larkspur.load(tmp_path / "bundle").training_report["invalid_lines"] == {str(plain): 2}
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # clean input warns of nothing
            assert not larkspur.count_words(SAMPLE, progress=False).invalid_lines
        with pytest.raises(ValueError, match="errors must be 'skip' or 'strict'"):
            larkspur.count_words(SAMPLE, errors="ignore")

    def test_missing_files_and_directories_are_named_before_any_work(self, tmp_path):
        with pytest.raises(FileNotFoundError) as e:
            larkspur.train([SAMPLE, tmp_path / "missing.txt"], vocab_size=800, progress=False)
        assert e.value.filename == str(tmp_path / "missing.txt")
        with pytest.raises(IsADirectoryError) as e:
            larkspur.count_words([SAMPLE, tmp_path], progress=False)
        assert e.value.filename == str(tmp_path)


class TestCommands:
    def run(self, *args, stdin=None, status=0):
        done = subprocess.run([sys.executable, "-m", "larkspur", *map(str, args)], input=stdin,
                              capture_output=True, timeout=120)
        assert done.returncode == status, done.stderr
        assert b"Traceback" not in done.stderr
        return done

    def test_standard_input_json_lines_and_strictness(self, tmp_path):
        want = larkspur.count_words(SAMPLE, progress=False)
        self.run("count-words", "-", "-o", tmp_path / "a.tsv", "--no-progress",
                 stdin=gzip.compress(SAMPLE.read_bytes()))
        assert larkspur.WordCounts.load(tmp_path / "a.tsv") == want
        jsonl = tmp_path / "s.jsonl"
        jsonl.write_text("".join(json.dumps({"t": line}) + "\n" for line in SAMPLE.read_text().splitlines()))
        self.run("count-words", jsonl, "-o", tmp_path / "b.tsv", "--jsonl-key", "t", "--no-progress")
        assert larkspur.WordCounts.load(tmp_path / "b.tsv") == want
        bad = tmp_path / "bad.txt"
        bad.write_bytes(SAMPLE.read_bytes() + BAD_LINES)
        err = self.run("train", bad, "-o", tmp_path / "tok", "--vocab-size", 800, "--no-progress").stderr.decode()
        assert "warning: " in err and "bad.txt: 2 lines are not valid UTF-8" in err
        err = self.run("count-words", bad, "-o", tmp_path / "c.tsv", "--strict-utf8", status=1).stderr.decode()
        assert "the line is not valid UTF-8" in err and len(err.strip().splitlines()) == 1
        err = self.run("count-words", tmp_path / "nope.txt", "-o", tmp_path / "d.tsv", status=1).stderr.decode()
        assert "nope.txt" in err and "no such file" in err
