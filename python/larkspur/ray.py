"""larkspur on a Ray cluster: word counts, encoding and token arrays as Ray Data jobs.

    import ray, larkspur, larkspur.ray
    ray.init()                                   # or ray.init(address="auto") on a cluster
    counts = larkspur.ray.count_words(["shard-0.txt", "shard-1.txt"])
    tok = larkspur.train_from_word_counts(counts, vocab_size=32000)
    ds = larkspur.ray.encode(ray.data.read_parquet("docs/"), tok, column="text")
    larkspur.ray.pretokenize(tok, ["shard-0.txt"], "out/corpus", format="megatron")

Training depends only on the word counts, so counts made here equal `larkspur.count_words`
on the same files exactly, and `larkspur.train_from_word_counts` on them gives the vocabulary
that `larkspur.train` gives on those files.

Files are read by the cluster's workers, so their paths must name the same files on every
node (a shared or network file system). Each file is cut into chunks of about `chunk_bytes`
at line boundaries, exactly as the local counter cuts it.

Encoding runs in a pool of actors, each holding one tokenizer (sent once, as its bundle's
bytes). The pool is smaller than the cluster's CPUs by one, so that the tasks reading the
input always have a CPU: with every CPU held by an actor, the reads wait for ever.

To use a real cluster, start it (`ray start --head` on one machine, `ray start
--address=HEAD:6379` on the others), then call `ray.init(address="auto")` on a machine of
the cluster, or `ray.init(address="ray://HEAD:10001")` from outside it, before these
functions; the command line takes `--ray-address`. Without an address (and without
RAY_ADDRESS), `connect` starts a local cluster.

Needs Ray Data: `pip install 'LarkspurTokenization[ray]'`.
"""

from __future__ import annotations

import functools
import os
import shutil
import uuid
import warnings
from pathlib import Path
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _checks, _engine, _progress, data as _data
from .data import _corpus
from ._counts import WordCounts
from ._tokenizer import Tokenizer
from ._training import _paths, _rules

PathLike = Union[str, os.PathLike]

try:
    import ray as _ray
    import ray.data as _ray_data
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError(f"larkspur.ray needs Ray Data ({e}); install it with "
                      f"pip install 'LarkspurTokenization[ray]'") from e


def connect(address: Optional[str] = None, **init_keywords: Any) -> None:
    """Joins the Ray cluster at `address` ("auto", "ray://head:10001", ...), or starts a
    local one when there is no address and RAY_ADDRESS is unset; nothing when Ray is
    already initialized."""
    if not _ray.is_initialized():
        _ray.init(address=address, **init_keywords)


def _actor_pool(concurrency: Optional[int]) -> int:
    if concurrency is not None:
        return _checks.positive_int("concurrency", concurrency)
    cpus = int(_ray.cluster_resources().get("CPU", 1))
    return max(1, cpus - 1)


def _is_dataset(source: Any) -> bool:
    return hasattr(source, "map_batches") and hasattr(source, "iter_batches")


def _chunk_items(paths: Sequence[str], chunk_bytes: int) -> List[Dict[str, Any]]:
    chunks = _data.plan_chunks([os.path.abspath(p) for p in paths], chunk_bytes, False)
    return [{"index": i, "path": c.files[0], "begin": c.begin, "end": c.end} for i, c in enumerate(chunks)]


def _from_chunks(items: List[Dict[str, Any]]):
    return _ray_data.from_items(items, override_num_blocks=max(1, len(items)))


# ---- word counts ----------------------------------------------------------------------------------

def _table_batch(table: "_engine.WordTable") -> Dict[str, np.ndarray]:
    # A task's counts travel as the table's bytes: one object per task, never a row per word.
    column = np.empty(1, dtype=object)
    column[0] = table.to_bytes()
    return {"counts": column}


@functools.lru_cache(maxsize=2)
def _subwords(bundle: Optional[bytes]) -> Any:
    """The native tokenizer whose word runs a task counts (None: words), made once per worker."""
    return None if bundle is None else Tokenizer.from_bytes(bundle)._engine


def _count_stream(path: str, mode: str, rules: List[Tuple[str, str]], jsonl_key: Optional[str],
                  runs: Optional[bytes] = None) -> "_engine.WordTable":
    """The counts of a whole compressed or JSON Lines file (or standard input), streamed."""
    off = _progress.Bar(False, "", None, "")
    table, _ = _corpus.count([path], None, mode=mode, rules=rules, workers=1, memory_limit=0, tmp_dir="",
                             jsonl_key=jsonl_key, strict=False, bar=off, merging=off, runs_of=_subwords(runs))
    return table


def _count_chunks(batch: Dict[str, np.ndarray], mode: str, rules: List[Tuple[str, str]],
                  jsonl_key: Optional[str] = None, runs: Optional[bytes] = None) -> Dict[str, np.ndarray]:
    if int(batch["begin"][0]) < 0:  # a whole file that is streamed
        return _table_batch(_count_stream(str(batch["path"][0]), mode, rules, jsonl_key, runs))
    texts: List[str] = []
    invalid = 0
    for path, begin, end in zip(batch["path"], batch["begin"], batch["end"]):
        for _, raw in _data.chunk_lines(str(path), int(begin), int(end)):
            try:
                texts.append(raw.decode("utf-8"))
            except UnicodeDecodeError:
                invalid += 1  # as the local counter does, lines that are not UTF-8 are skipped
    return _table_batch(_corpus.count_texts(texts, mode, rules, _subwords(runs)))


def _count_texts(batch: Dict[str, np.ndarray], column: str, mode: str,
                 rules: List[Tuple[str, str]], runs: Optional[bytes] = None) -> Dict[str, np.ndarray]:
    return _table_batch(_corpus.count_texts([str(t) for t in batch[column]], mode, rules, _subwords(runs)))


def count_words(source: Union[PathLike, Sequence[PathLike], Any], *, mode: str = "LM",
                folding_rules: Iterable[Sequence[str]] = (), column: str = "text",
                chunk_bytes: int = _data.DEFAULT_CHUNK_BYTES, memory_limit: Union[int, str, None] = None,
                tmp_dir: Optional[PathLike] = None, jsonl_key: Optional[str] = None) -> WordCounts:
    """Word counts of corpus files or of the `column` of a Ray Dataset (one text per row),
    counted by Ray tasks and summed: for files, exactly `larkspur.count_words(files, ...)`.
    Plain text files are counted in chunks of `chunk_bytes`; gzip and zstd files and JSON
    Lines (`jsonl_key`) one task per file, streamed; "-" (standard input) here. The tasks'
    counts are added up here within `memory_limit` (see larkspur.count_words)."""
    rules = _rules(folding_rules)
    _corpus.count_texts([], mode, rules)  # a bad mode or rule fails here, before any task starts
    return _count_on_cluster(source, mode, rules, column, chunk_bytes, memory_limit, tmp_dir, jsonl_key, None)


def count_word_runs(subwords: Tokenizer, source: Union[PathLike, Sequence[PathLike], Any], *,
                    column: str = "text", chunk_bytes: int = _data.DEFAULT_CHUNK_BYTES,
                    memory_limit: Union[int, str, None] = None, tmp_dir: Optional[PathLike] = None,
                    jsonl_key: Optional[str] = None) -> WordCounts:
    """The word runs of corpus files or of a Ray Dataset's `column`, for the superword stage,
    counted by Ray tasks with the subword tokenizer sent to the workers (as its bundle's
    bytes) and summed: for files, exactly `larkspur.count_word_runs(subwords, files)`.
    Chunks, streams and `memory_limit` as in count_words. Pass it to training as
    `word_runs=lambda subwords: larkspur.ray.count_word_runs(subwords, files)`."""
    if not isinstance(subwords, Tokenizer):
        raise TypeError(f"subwords must be a larkspur.Tokenizer, not {type(subwords).__name__}")
    rules = _rules(subwords._config.get("folding_rules", []))
    return _count_on_cluster(source, subwords.mode, rules, column, chunk_bytes, memory_limit, tmp_dir, jsonl_key,
                             subwords.to_bytes())


def _count_on_cluster(source: Any, mode: str, rules: List[Tuple[str, str]], column: str, chunk_bytes: int,
                      memory_limit: Union[int, str, None], tmp_dir: Optional[PathLike], jsonl_key: Optional[str],
                      runs: Optional[bytes]) -> WordCounts:
    limit, tmp = _checks.memory_limit(memory_limit), _checks.directory(tmp_dir)
    local = _engine.WordTable()
    if _is_dataset(source):
        ds = source.map_batches(_count_texts, fn_kwargs={"column": column, "mode": mode, "rules": rules,
                                                         "runs": runs}, batch_format="numpy")
    else:
        paths = _paths(source)
        _corpus.check_paths(paths)
        plain = [p for p in paths if jsonl_key is None and _corpus.is_plain_file(p)]
        streamed = [os.path.abspath(p) for p in paths if p not in plain and p != "-"]
        items = _chunk_items(plain, chunk_bytes)
        items += [{"index": len(items) + i, "path": p, "begin": -1, "end": -1} for i, p in enumerate(streamed)]
        if "-" in paths:
            local = _count_stream("-", mode, rules, jsonl_key, runs)
        if not items:
            return WordCounts(local)
        ds = _from_chunks(items).map_batches(_count_chunks, batch_size=1, batch_format="numpy",
                                             fn_kwargs={"mode": mode, "rules": rules, "jsonl_key": jsonl_key,
                                                        "runs": runs})
    total = local
    for batch in ds.iter_batches(batch_format="numpy", batch_size=None):
        for data in batch["counts"].tolist():
            total = total.sum(_engine.WordTable.from_bytes(data), limit, tmp)
    return WordCounts(total)


# ---- encoding ---------------------------------------------------------------------------------------

class _Encoder:
    """One tokenizer per actor; adds a column of id lists to each batch."""

    def __init__(self, bundle: bytes, column: str, output_column: str, append_eos: bool):
        self.tok = Tokenizer.from_bytes(bundle)
        self.column, self.output_column, self.append_eos = column, output_column, append_eos

    def __call__(self, table):
        import pyarrow as pa

        texts = table.column(self.column).to_pylist()
        ids, offsets = self.tok.encode_to_array(texts, append_eos=self.append_eos)
        lists = pa.LargeListArray.from_arrays(pa.array(offsets), pa.array(ids.astype(np.uint32)))
        if self.output_column in table.column_names:
            table = table.drop_columns([self.output_column])
        return table.append_column(self.output_column, lists)


def encode(dataset: Any, tok: Tokenizer, column: str = "text", *, output_column: str = "ids",
           append_eos: bool = False, concurrency: Optional[int] = None, batch_size: int = 1024):
    """The dataset with `output_column` added: the ids of each row's `column`, as
    `tok.encode` gives them (with the end-of-text id after each with `append_eos`). Runs
    in a pool of `concurrency` actors (default: one fewer than the cluster's CPUs, at
    least one), each holding one tokenizer. Lazy, like every Ray Data transformation."""
    if append_eos and tok.eos_id is None:
        raise ValueError("append_eos needs an end-of-text token, and this tokenizer has none")
    return dataset.map_batches(
        _Encoder, fn_constructor_kwargs={"bundle": tok.to_bytes(), "column": column,
                                         "output_column": output_column, "append_eos": append_eos},
        batch_format="pyarrow", batch_size=batch_size, compute=_ray_data.ActorPoolStrategy(size=_actor_pool(concurrency)), num_cpus=1)


# ---- token arrays, one shard per block ------------------------------------------------------------

class _ShardWriter:
    """Encodes a block of documents into one shard, written inside the job's temporary
    directory; the driver moves the shards into place when all are done."""

    def __init__(self, bundle: bytes, work: str, format: str, append_eos: bool, column: str,
                 jsonl_key: Optional[str]):
        self.tok = Tokenizer.from_bytes(bundle)
        self.work, self.format, self.append_eos = Path(work), format, append_eos
        self.column, self.jsonl_key = column, jsonl_key
        self.dtype = (_data.megatron_dtype(self.tok.vocab_size) if format == "megatron"
                      else _data.flat_dtype(self.tok.vocab_size))

    def _documents(self, batch: Dict[str, np.ndarray]) -> Tuple[List[str], int]:
        if "path" in batch and "begin" in batch and self.column not in batch:
            docs: List[str] = []
            for path, begin, end in zip(batch["path"], batch["begin"], batch["end"]):
                chunk = _data.Chunk((str(path),), int(begin), int(end))
                docs.extend(_data.chunk_documents(chunk, False, self.jsonl_key))
            return docs, int(batch["index"][0])
        return [str(t) for t in batch[self.column]], -1

    def __call__(self, batch: Dict[str, np.ndarray]) -> Dict[str, np.ndarray]:
        docs, index = self._documents(batch)
        ids, lengths = _data.encode_documents(self.tok, docs, self.dtype, self.append_eos, num_threads=1)
        name = uuid.uuid4().hex
        result = _data.write_arrays(self.work / name, self.format, ids, lengths, self.tok.vocab_size,
                                    self.append_eos)
        return {"name": np.array([name], dtype=object), "index": np.array([index], dtype=np.int64),
                "documents": np.array([result["documents"]], dtype=np.int64),
                "tokens": np.array([result["tokens"]], dtype=np.int64)}


def shard_prefix(prefix: PathLike, index: int) -> str:
    """The prefix of shard `index` of a `pretokenize` job at `prefix`."""
    return f"{os.fspath(prefix)}-{index:05d}"


def pretokenize(tok: Tokenizer, source: Union[PathLike, Sequence[PathLike], Any], prefix: PathLike, *,
                format: str = "megatron", append_eos: bool = False, column: str = "text",
                jsonl_key: Optional[str] = None, chunk_bytes: int = _data.DEFAULT_CHUNK_BYTES,
                concurrency: Optional[int] = None) -> Dict[str, Any]:
    """Token arrays of the documents of files (one per line, or a JSON Lines field with
    `jsonl_key`) or of the `column` of a Ray Dataset, one shard per block: shard i is at
    ``PREFIX-0000i`` in `format` (see larkspur.data), the shards in input order. Each shard
    is written by an actor inside ``PREFIX.parts.tmp/`` and moved into place when every
    shard is done. Returns {"shards", "documents", "tokens", "dtype"}. The arguments come
    in larkspur.data.pretokenize's order; (source, tok, prefix), the old order, still works
    with a DeprecationWarning."""
    if isinstance(source, Tokenizer) and not isinstance(tok, Tokenizer):
        warnings.warn("larkspur.ray.pretokenize(source, tok, prefix) is deprecated: pass (tok, source, prefix), "
                      "the order of larkspur.data.pretokenize", DeprecationWarning, stacklevel=2)
        tok, source = source, tok
    if format not in _data.FORMATS:
        raise ValueError(f"format must be one of {', '.join(_data.FORMATS)}, not {format!r}")
    if append_eos and tok.eos_id is None:
        raise ValueError("append_eos needs an end-of-text token, and this tokenizer has none")
    prefix = os.path.abspath(os.fspath(prefix))
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    work = Path(prefix + _data.PARTS_SUFFIX)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    ctx = _ray_data.DataContext.get_current()
    kept_order = ctx.execution_options.preserve_order
    if _is_dataset(source):
        ds, batch_size = source, None  # a whole block is one batch
    else:
        paths = _data.check_paths(source)
        ds, batch_size = _from_chunks(_chunk_items(paths, chunk_bytes)), 1
    try:
        ctx.execution_options.preserve_order = True
        rows = ds.map_batches(
            _ShardWriter, fn_constructor_kwargs={"bundle": tok.to_bytes(), "work": os.fspath(work), "format": format,
                                                 "append_eos": append_eos, "column": column, "jsonl_key": jsonl_key},
            batch_format="numpy", batch_size=batch_size,
            compute=_ray_data.ActorPoolStrategy(size=_actor_pool(concurrency)), num_cpus=1).take_all()
    finally:
        ctx.execution_options.preserve_order = kept_order
    if rows and rows[0]["index"] >= 0:
        rows.sort(key=lambda r: r["index"])
    shards = []
    for i, row in enumerate(rows):
        final = shard_prefix(prefix, i)
        names = _data.output_files(final, format)
        for f in reversed(names):
            if os.path.exists(f):
                os.unlink(f)
        for src, dst in zip(_data.output_files(work / row["name"], format), names):
            os.replace(src, dst)
        shards.append(final)
    shutil.rmtree(work, ignore_errors=True)
    dtype = _data.megatron_dtype(tok.vocab_size) if format == "megatron" else _data.flat_dtype(tok.vocab_size)
    return {"shards": shards, "documents": int(sum(r["documents"] for r in rows)),
            "tokens": int(sum(r["tokens"] for r in rows)), "dtype": dtype.name}
