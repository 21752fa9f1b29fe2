"""Token arrays on disk: Megatron .bin/.idx read back by a reader written from the format's
description, flat .bin and .npy, worker processes, broken and repeated runs, the command."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import larkspur
from larkspur import cli, data
from megatron_reader import read_megatron

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "examples" / "sample.txt"


@pytest.fixture(scope="module")
def tok(sample_tok):
    return sample_tok


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """Two files with the awkward cases: CRLF ends, empty lines, bytes that are not UTF-8,
    literal special-token text, and a last line without a line end."""
    d = tmp_path_factory.mktemp("pt")
    a, b = d / "a.txt", d / "b.txt"
    a.write_bytes(SAMPLE.read_bytes() * 3 + b"crlf line\r\n\r\n\n<s> typed </s>\nbad \xff\xfe byte\n")
    b.write_bytes("दूसरी फ़ाइल की पहली पंक्ति\nबिना अंत की पंक्ति".encode())
    return [a, b]


def _documents(paths):
    docs = []
    for p in paths:
        raw = Path(p).read_bytes()
        lines = raw.split(b"\n")
        if raw.endswith(b"\n"):
            lines.pop()
        docs += [(ln[:-1] if ln.endswith(b"\r") else ln).decode("utf-8", errors="replace") for ln in lines]
    return docs


def _files(prefix, fmt):
    return {f: Path(f).read_bytes() for f in data.output_files(prefix, fmt)}


@pytest.mark.parametrize("append_eos", [False, True])
def test_megatron_files_read_back_to_each_document(tok, inputs, tmp_path, append_eos):
    prefix = tmp_path / "out" / "corpus"
    result = data.pretokenize(tok, inputs, prefix, workers=1, chunk_bytes=1000, append_eos=append_eos)
    docs = _documents(inputs)
    dtype, seqs, doc_idx = read_megatron(prefix)
    assert dtype == np.uint16
    assert seqs == [tok.encode(d) + ([tok.eos_id] if append_eos else []) for d in docs]
    assert doc_idx == list(range(len(docs) + 1))
    assert result["documents"] == len(docs) and result["tokens"] == sum(map(len, seqs))
    assert tok.special_tokens["<s>"] not in seqs[docs.index("<s> typed </s>")]
    assert sorted(os.listdir(prefix.parent)) == ["corpus.bin", "corpus.idx"]  # no temporaries left


def test_the_files_do_not_depend_on_the_number_of_workers(tok, inputs, tmp_path):
    for fmt in data.FORMATS:
        one = data.pretokenize(tok, inputs, tmp_path / f"w1-{fmt}", format=fmt, workers=1, chunk_bytes=700,
                               append_eos=True)
        two = data.pretokenize(tok, inputs, tmp_path / f"w2-{fmt}", format=fmt, workers=2, chunk_bytes=700,
                               append_eos=True)
        assert one["tokens"] == two["tokens"]
        assert list(_files(tmp_path / f"w1-{fmt}", fmt).values()) == list(_files(tmp_path / f"w2-{fmt}", fmt).values())


def test_flat_formats_hold_the_ids_back_to_back(tok, inputs, tmp_path):
    expected = np.concatenate([tok.encode(d) + [tok.eos_id] for d in _documents(inputs)])
    data.pretokenize(tok, inputs, tmp_path / "flat", format="bin", workers=1, append_eos=True)
    meta = json.loads((tmp_path / "flat.bin.json").read_text())
    assert meta["dtype"] == "uint16" and meta["tokens"] == expected.size
    assert np.array_equal(np.memmap(tmp_path / "flat.bin", dtype=meta["dtype"], mode="r"), expected)
    data.pretokenize(tok, inputs, tmp_path / "arr", format="npy", workers=1, append_eos=True)
    arr = np.load(tmp_path / "arr.npy", mmap_mode="r")
    assert arr.dtype == np.uint16 and np.array_equal(arr, expected)


def test_documents_as_files_and_as_json_lines(tok, inputs, tmp_path):
    data.pretokenize(tok, inputs, tmp_path / "files", doc_per_file=True, workers=1, chunk_bytes=10)
    texts = [p.read_bytes().decode("utf-8", errors="replace") for p in inputs]
    assert read_megatron(tmp_path / "files")[1] == [tok.encode(t) for t in texts]

    jl = tmp_path / "docs.jsonl"
    records = [{"text": "पहला\nदस्तावेज़", "id": 1}, {"text": "second one"}, {"text": ""}]
    jl.write_text("\n".join(json.dumps(r, ensure_ascii=False) for r in records) + "\n\n", encoding="utf-8")
    data.pretokenize(tok, [jl], tmp_path / "jl", jsonl_key="text", workers=1)
    assert read_megatron(tmp_path / "jl")[1] == [tok.encode(r["text"]) for r in records]
    jl.write_text('{"text": "ok"}\n{"body": "no text"}\n', encoding="utf-8")
    with pytest.raises(ValueError, match=r"docs.jsonl: the line at byte 15 has no string field 'text'"):
        data.pretokenize(tok, [jl], tmp_path / "bad", jsonl_key="text", workers=1)


def test_id_types_follow_the_vocabulary_size(tmp_path):
    assert data.megatron_dtype(65499) == np.uint16 and data.megatron_dtype(65500) == np.int32
    assert data.flat_dtype(65536) == np.uint16 and data.flat_dtype(65537) == np.uint32
    ids = np.array([70000, 1, 65535, 2, 3], dtype=np.int32)
    data.write_arrays(tmp_path / "wide", "megatron", ids, np.array([2, 0, 3]), 70001)
    dtype, seqs, _ = read_megatron(tmp_path / "wide")
    assert dtype == np.int32 and seqs == [[70000, 1], [], [65535, 2, 3]]


def test_a_broken_run_leaves_no_finished_file_and_a_rerun_finishes_it(tok, inputs, tmp_path, monkeypatch):
    prefix = tmp_path / "run"
    (tmp_path / "run.bin").write_bytes(b"an older run")  # a finished file of an earlier job
    (tmp_path / "run.idx").write_bytes(b"an older run")
    encoded = []
    real = data._writer._encode_part

    def breaks_at_the_fourth(tok_, chunk, index, *rest):
        if len(encoded) == 3:
            raise KeyboardInterrupt
        encoded.append(index)
        return real(tok_, chunk, index, *rest)

    monkeypatch.setattr(data._writer, "_encode_part", breaks_at_the_fourth)
    with pytest.raises(KeyboardInterrupt):
        data.pretokenize(tok, inputs, prefix, workers=1, chunk_bytes=1000)
    assert (tmp_path / "run.bin").read_bytes() == b"an older run"  # untouched: not replaced by a partial one
    assert (tmp_path / "run.parts.tmp").is_dir()

    encoded.clear()
    monkeypatch.setattr(data._writer, "_encode_part", lambda *a: (encoded.append(a[2]), real(*a))[1])
    data.pretokenize(tok, inputs, prefix, workers=1, chunk_bytes=1000)
    assert 0 not in encoded and encoded[0] == 3  # the three complete parts were kept
    data.pretokenize(tok, inputs, tmp_path / "clean", workers=1, chunk_bytes=1000)
    assert list(_files(prefix, "megatron").values()) == list(_files(tmp_path / "clean", "megatron").values())
    assert not (tmp_path / "run.parts.tmp").exists()


def test_bad_requests_are_named(tok, inputs, tmp_path):
    with pytest.raises(ValueError, match="format must be one of megatron, bin, npy"):
        data.pretokenize(tok, inputs, tmp_path / "x", format="parquet")
    with pytest.raises(ValueError, match="nothing.txt: no such file"):
        data.pretokenize(tok, [tmp_path / "nothing.txt"], tmp_path / "x")
    with pytest.raises(ValueError, match="workers must be a positive integer"):
        data.pretokenize(tok, inputs, tmp_path / "x", workers=0)
    plain = larkspur.train([SAMPLE], vocab_size=900, special_tokens=(), progress=False)
    with pytest.raises(ValueError, match="append_eos needs an end-of-text token"):
        data.pretokenize(plain, inputs, tmp_path / "x", append_eos=True)


def test_the_command_writes_what_the_function_writes(tok, inputs, tmp_path, capsys):
    tok.save(tmp_path / "tok")
    args = ["pretokenize", "-t", str(tmp_path / "tok"), *map(str, inputs), "-o", str(tmp_path / "cli"),
            "--format", "megatron", "--workers", "2", "--append-eos", "--no-progress"]
    assert cli.main(args) == 0
    assert "documents" in capsys.readouterr().out
    data.pretokenize(tok, inputs, tmp_path / "lib", workers=1, append_eos=True)
    assert list(_files(tmp_path / "cli", "megatron").values()) == list(_files(tmp_path / "lib", "megatron").values())
    assert cli.main(args[:-6] + ["--format", "csv"]) == 2
    assert cli.main(["pretokenize", "-t", str(tmp_path / "none"), str(inputs[0]), "-o", "x", "--format", "bin"]) == 1
    assert capsys.readouterr().err.count("\n") == 2


def test_importing_larkspur_loads_neither_transformers_nor_ray():
    code = "import sys, larkspur, larkspur.data; print(sorted({'transformers', 'ray', 'datasets'} & set(sys.modules)))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[]"



STOPPED = r"""
import sys, larkspur
tok = larkspur.train([sys.argv[1]], vocab_size=700, progress=False)
try:
    # The same file eight times: seconds of encoding on two workers, read from the page cache.
    larkspur.data.pretokenize(tok, [sys.argv[2]] * 8, sys.argv[3], workers=2, chunk_bytes=1 << 20, progress=False)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@pytest.mark.serial
@pytest.mark.parametrize("how", ["Ctrl-C", "kill"])
def test_workers_end_quietly_with_the_main_process(tmp_path, how):
    import random
    import signal
    import time

    from conftest import SAMPLE

    rng = random.Random(7)
    aksharas = [c + v for c in "कखगचजटडतदनपबमयरलवसह" for v in ("", "ा", "ि", "ु")]
    words = ["".join(rng.choices(aksharas, k=rng.randint(4, 12))) for _ in range(50000)]
    big = tmp_path / "big.txt"  # about 20 MB of words too many for the encoder's caches
    big.write_text("\n".join(" ".join(rng.choices(words, k=12)) for _ in range(40000)) + "\n", encoding="utf-8")
    parts = tmp_path / ("out" + data._writer.PARTS_SUFFIX)
    proc = subprocess.Popen([sys.executable, "-c", STOPPED, str(SAMPLE), str(big), str(tmp_path / "out")],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    deadline = time.monotonic() + 60
    while not (parts.is_dir() and any(p.suffix == ".len" for p in parts.iterdir())):  # the workers are at work
        assert time.monotonic() < deadline and proc.poll() is None, proc.communicate()
        time.sleep(0.02)
    # Ctrl-C in a terminal reaches the whole process group; a kill only the main process.
    if how == "Ctrl-C":
        os.killpg(proc.pid, signal.SIGINT)
    else:
        proc.kill()
    # Standard error is shared with the workers: it ends when the last of them has ended.
    out, err = proc.communicate(timeout=60)
    assert err == ""
    assert out.strip() == ("interrupted" if how == "Ctrl-C" else "")
