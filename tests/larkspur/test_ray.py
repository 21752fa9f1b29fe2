"""larkspur on Ray: counts equal to local counts, the same vocabulary from them, encoding in
an actor pool, token-array shards, and the command's --ray. One local cluster on the
loopback interface for the module, small enough for two cores."""

import gzip
import os
from pathlib import Path

import numpy as np

import pytest

if os.environ.get("LARKSPUR_SANITIZED"):
    pytest.skip("Ray's native processes are not run under the sanitizers", allow_module_level=True)
ray = pytest.importorskip("ray", reason="the ray extra is not installed (pip install 'LarkspurTokenization[ray]')")
pytest.importorskip("ray.data", reason="the ray extra is not installed (pip install 'LarkspurTokenization[ray]')")

import larkspur  # noqa: E402
import larkspur.ray as lray  # noqa: E402
from larkspur import _engine, cli  # noqa: E402
from megatron_reader import read_megatron  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "examples" / "sample.txt"


@pytest.fixture(scope="module", autouse=True)
def cluster():
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    ray.init(num_cpus=2, include_dashboard=False, _node_ip_address="127.0.0.1", log_to_driver=False,
             configure_logging=False)
    yield
    ray.shutdown()


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("ray")
    a, b = d / "a.txt", d / "b.txt"
    a.write_bytes(SAMPLE.read_bytes() * 2 + b"crlf end\r\n\nbad \xff byte line\nsurrogate \xed\xa0\x80 line\n")
    b.write_bytes("आख़िरी फ़ाइल New Delhi\nबिना अंत".encode())
    return [a, b]


@pytest.fixture(scope="module")
def tok(files):
    return larkspur.train(files, vocab_size=900, progress=False)


def test_counts_equal_local_counts_and_train_the_same_vocabulary(files, tok):
    counts = lray.count_words(files, chunk_bytes=1500)  # chunks cut lines in the middle
    assert counts == larkspur.count_words(files)
    assert larkspur.train_from_word_counts(counts, vocab_size=900, progress=False).get_vocab() == tok.get_vocab()
    folded = lray.count_words(files, mode="OCR", folding_rules=[("।", ".")])
    assert folded == larkspur.count_words(files, mode="OCR", folding_rules=[("।", ".")])
    gz = files[0].with_suffix(".gz")  # compressed files go one task each, streamed
    gz.write_bytes(gzip.compress(files[0].read_bytes()))
    assert lray.count_words([gz, files[1]]) == counts
    texts = SAMPLE.read_text(encoding="utf-8").splitlines()
    assert lray.count_words(ray.data.from_items([{"text": t} for t in texts])) == larkspur.count_words(
        texts=texts, progress=False)


def test_the_superword_flow_on_the_cluster_gives_the_single_machine_vocabulary(files):
    # Count words, train subwords, count runs with the subword tokenizer sent to the workers,
    # train superwords: each counting step on the cluster, the result as on one machine.
    alone = larkspur.train(files, vocab_size=1000, superwords=0.2, progress=False)
    counts = lray.count_words(files, chunk_bytes=1500)
    seen = []

    def runs(subwords):
        on_cluster = lray.count_word_runs(subwords, files, chunk_bytes=1500)
        seen.append(on_cluster == larkspur.count_word_runs(subwords, files, progress=False))
        return on_cluster

    clustered = larkspur.train_from_word_counts(counts, vocab_size=1000, superwords=0.2, word_runs=runs,
                                                progress=False)
    assert seen == [True] and alone.training_report["superwords"] > 0
    assert clustered.get_vocab() == alone.get_vocab()


def test_encoding_in_an_actor_pool_leaves_a_cpu_for_reading(tok):
    assert lray._actor_pool(None) == 1  # two CPUs: one actor, one CPU for the reads
    texts = SAMPLE.read_text(encoding="utf-8").splitlines() + ["", "<s> typed"]
    rows = lray.encode(ray.data.from_items([{"text": t, "n": i} for i, t in enumerate(texts)]), tok,
                       append_eos=True).take_all()
    got = {r["n"]: list(r["ids"]) for r in rows}
    assert [got[i] for i in range(len(texts))] == [tok.encode(t) + [tok.eos_id] for t in texts]


def test_shards_in_input_order_hold_every_document(tok, files, tmp_path):
    result = lray.pretokenize(tok, files, tmp_path / "out" / "c", chunk_bytes=2000, append_eos=True)
    assert len(result["shards"]) > 2
    seqs = [s for shard in result["shards"] for s in read_megatron(shard)[1]]
    assert seqs == [tok.encode(d) + [tok.eos_id] for d in _documents(files)]
    assert sorted(os.listdir(tmp_path / "out")) == sorted(f"c-{i:05d}.{e}" for i in range(len(result["shards"]))
                                                          for e in ("bin", "idx"))
    texts = SAMPLE.read_text(encoding="utf-8").splitlines()
    ds = ray.data.from_items([{"text": t} for t in texts], override_num_blocks=3)
    shards = lray.pretokenize(tok, ds, tmp_path / "ds" / "c", format="npy")["shards"]
    with pytest.warns(DeprecationWarning, match="pass \\(tok, source, prefix\\)"):
        old = lray.pretokenize(ds, tok, tmp_path / "old" / "c", format="npy")["shards"]  # the old order
    assert [np.load(a + ".npy").tolist() for a in old] == [np.load(a + ".npy").tolist() for a in shards]
    assert len(shards) == 3
    flat = np.concatenate([np.load(s + ".npy") for s in shards])
    assert flat.tolist() == [i for t in texts for i in tok.encode(t)]


def _documents(paths):
    docs = []
    for p in paths:
        raw = p.read_bytes()
        lines = raw.split(b"\n")
        if raw.endswith(b"\n"):
            lines.pop()
        docs += [(ln[:-1] if ln.endswith(b"\r") else ln).decode("utf-8", errors="replace") for ln in lines]
    return docs


def test_the_commands_run_on_ray(tok, files, tmp_path):
    out = tmp_path / "counts.tsv"
    assert cli.main(["count-words", *map(str, files), "-o", str(out), "--ray"]) == 0
    assert larkspur.WordCounts.load(out) == larkspur.count_words(files)
    tok.save(tmp_path / "tok")
    assert cli.main(["pretokenize", "-t", str(tmp_path / "tok"), *map(str, files), "-o", str(tmp_path / "p"),
                     "--format", "bin", "--ray"]) == 0
    shards = sorted(str(p)[:-4] for p in tmp_path.glob("p-*.bin"))
    flat = np.concatenate([np.fromfile(s + ".bin", dtype=np.uint16) for s in shards])
    assert flat.tolist() == [i for d in _documents(files) for i in tok.encode(d)]
