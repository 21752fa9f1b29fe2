"""The Tokenizer object that larkspur's functions return."""

from __future__ import annotations

import contextlib
import importlib
import os
from pathlib import Path
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from . import _bundle, _checks, _engine

AllowedSpecial = Union[str, Iterable[str]]
_ADAPTER = __name__.rpartition(".")[0] + ".hf"  # the transformers adapter's module

SCRIPTS = ("DEV", "LAT", "PUN", "FMT", "MAL")
ROLES = {"pad": "<pad>", "bos": "<s>", "eos": "</s>", "unk": "<unk>"}


def _byte_symbols() -> Dict[str, int]:
    """A byte token's surface -> its byte: the printable bytes stand for themselves, the
    others take the characters from U+0100 on in byte order (the core's table)."""
    table, spare = {}, 0x100
    for b in range(256):
        if 0x21 <= b <= 0x7E or 0xA1 <= b <= 0xAC or b >= 0xAE:
            table[chr(b)] = b
        else:
            table[chr(spare)] = b
            spare += 1
    return table


_BYTE_OF_SYMBOL = _byte_symbols()


def default_roles(specials: Sequence[str]) -> Dict[str, str]:
    return {role: text for role, text in ROLES.items() if text in specials}


def _read_lines(path: Union[str, os.PathLike]) -> List[str]:
    with open(path, encoding="utf-8", errors="replace", newline="") as f:
        return [line.rstrip("\r\n") for line in f]


class Tokenizer:
    """A trained tokenizer: encodes text to ids and decodes them back.

    Made by :func:`larkspur.train`, :func:`larkspur.load` and their relatives, and never
    changed afterwards but for special tokens added after its vocabulary, so one
    tokenizer may be shared by many threads. It pickles (as its bundle's bytes), so it can
    go to worker processes and ``datasets.map``.
    """

    def __init__(self, engine: "_engine.Tokenizer", config: Dict[str, Any]):
        self._engine = engine
        self._config = config
        self._specials = {t: engine.token_to_id(t) for t in engine.special_tokens}
        self._name_cache: Optional[Tuple[Dict[int, str], Dict[str, int]]] = None

    # ---- encoding ----------------------------------------------------------------------
    def _allowed(self, allowed_special: AllowedSpecial) -> List[int]:
        if allowed_special == "all":
            return list(self._specials.values())
        if isinstance(allowed_special, str):
            allowed_special = [allowed_special]
        ids = []
        for text in allowed_special:
            if text not in self._specials:
                raise ValueError(f"{text!r} is not a special token of this tokenizer "
                                 f"(they are {', '.join(self._specials) or 'none'})")
            ids.append(self._specials[text])
        return ids

    def encode(self, text: str, *, allowed_special: AllowedSpecial = ()) -> List[int]:
        """The ids of `text`. Special-token text is encoded as plain text unless
        `allowed_special` names it ("all" allows every special token)."""
        allowed = self._allowed(allowed_special)
        with _texts_refused("encode", [text]):
            return self._engine.encode(text, allowed)

    def encode_batch(self, texts: Sequence[str], *, num_threads: Optional[int] = None,
                     allowed_special: AllowedSpecial = ()) -> List[List[int]]:
        """The ids of each text, encoded on `num_threads` threads (default: every core)
        without the interpreter lock. The result does not depend on the thread count."""
        texts = _batch("encode_batch", texts)
        allowed, threads = self._allowed(allowed_special), _threads(num_threads)
        with _texts_refused("encode_batch", texts, batch=True):
            return self._engine.encode_batch(texts, allowed, threads)

    def encode_to_array(self, texts: Sequence[str], *, append_eos: bool = True,
                        num_threads: Optional[int] = None, allowed_special: AllowedSpecial = ()):
        """All texts' ids in one numpy array, and where each text starts in it.

        Returns (ids, offsets): ids is uint16 when every id fits (vocabularies up to 65,536
        ids), else uint32; offsets is int64 of length len(texts) + 1, text i being
        ids[offsets[i]:offsets[i + 1]]. With `append_eos`, each text ends with eos_id."""
        if append_eos and self.eos_id is None:
            raise ValueError("append_eos needs an end-of-text token, and this tokenizer has none")
        texts = _batch("encode_to_array", texts)
        allowed, threads = self._allowed(allowed_special), _threads(num_threads)
        with _texts_refused("encode_to_array", texts, batch=True):
            return self._engine.encode_to_array(texts, append_eos, self.eos_id, allowed, threads)

    def encode_with_offsets(self, text: str, *, allowed_special: AllowedSpecial = ()
                            ) -> Tuple[List[int], List[Tuple[int, int]]]:
        """(ids, spans): for each id, its (start, end) in characters of `text` as given.
        A token's span covers the space its word marker stands for; the bytes of a
        character spelled as byte tokens each get that character's span."""
        allowed = self._allowed(allowed_special)
        with _texts_refused("encode_with_offsets", [text]):
            return self._engine.encode_with_offsets(text, allowed)

    def tokenize(self, text: str, *, allowed_special: AllowedSpecial = ()) -> List[str]:
        """The surfaces of the tokens of `text` (word markers included)."""
        allowed = self._allowed(allowed_special)
        with _texts_refused("tokenize", [text]):
            return self._engine.tokenize(text, allowed)

    def decode(self, ids: Sequence[int], *, skip_special: bool = False) -> str:
        """The text of `ids`. Special tokens give their text, or nothing with
        `skip_special`. ValueError naming an id that is not in the vocabulary."""
        if isinstance(ids, (str, bytes)):
            raise TypeError(f"decode() takes a list of ids, not a {type(ids).__name__}")
        try:
            return self._engine.decode(ids, skip_special)
        except TypeError:
            return self._engine.decode(_ids(ids), skip_special)

    def decode_batch(self, batch: Sequence[Sequence[int]], *, skip_special: bool = False,
                     num_threads: Optional[int] = None) -> List[str]:
        """decode() of each id list, on several threads."""
        threads = _threads(num_threads)
        batch = _batch("decode_batch", batch, "lists of ids")
        for i, ids in enumerate(batch):
            if isinstance(ids, (str, bytes)):
                raise TypeError(f"decode_batch(): batch[{i}] must be a list of ids, not a {type(ids).__name__}")
        try:
            return self._engine.decode_batch(batch, skip_special, threads)
        except TypeError:
            return self._engine.decode_batch([_ids(ids) for ids in batch], skip_special, threads)

    # ---- the vocabulary ------------------------------------------------------------------
    @property
    def vocab_size(self) -> int:
        """Every id: base tokens, bytes, merges and special tokens."""
        return self._engine.size

    def get_vocab(self) -> Dict[str, int]:
        """Every token's name with its id: exactly vocab_size entries. A token's name is its
        surface (a special token's, its text), but for byte tokens, named by their byte
        ("<0xE0>"), since a byte's printable symbol can be a letter with a token of its own."""
        return dict(self._names()[1])

    def token_to_id(self, token: str) -> Optional[int]:
        """The id of a token's name (see get_vocab), or None."""
        return self._names()[1].get(token) if isinstance(token, str) else None

    def id_to_token(self, id: int) -> str:
        """The name of an id (see get_vocab). ValueError if out of range."""
        if not isinstance(id, int) or id < 0:
            raise ValueError(f"id {id!r} is not in the vocabulary")
        byte_name = self._names()[0].get(id)
        return byte_name if byte_name is not None else self._engine.id_to_token(id)

    def _names(self) -> Tuple[Dict[int, str], Dict[str, int]]:
        """(the names of the byte tokens by id, every name's id), made on first use."""
        names = self._name_cache
        if names is None:
            surfaces, kinds = self._engine.export_tokens()[:2]
            bytes_by_id = {i: f"<0x{_BYTE_OF_SYMBOL[s]:02X}>" for i, (s, k) in enumerate(zip(surfaces, kinds))
                           if k == "B" and s in _BYTE_OF_SYMBOL}
            by_name: Dict[str, int] = {}
            for i, s in enumerate(surfaces):
                by_name[bytes_by_id.get(i, s)] = i  # of two equal surfaces, the later id, as encoding
            by_name.update(self._specials)
            names = self._name_cache = (bytes_by_id, by_name)
        return names

    @property
    def special_tokens(self) -> Dict[str, int]:
        """Each special token's text with its id."""
        return dict(self._specials)

    def add_special_tokens(self, tokens: Iterable[str]) -> int:
        """Adds special tokens after the vocabulary (ids from vocab_size on), for chat
        templates and instruction tuning; those it has already are left as they are.
        They encode when allowed (see encode), decode, pickle and are saved with the
        bundle. Returns how many were added. The vocabulary itself never changes, so
        the ids of everything else stay as they were."""
        if isinstance(tokens, (str, bytes)):
            raise TypeError(f"add_special_tokens() takes a list of tokens, not a {type(tokens).__name__}: "
                            "pass [token] for one")
        new: List[str] = []
        for t in tokens:
            if not isinstance(t, str) or not t:
                raise ValueError(f"a special token must be a non-empty str, not {t!r}")
            if t not in self._specials and t not in new:
                new.append(t)
        if new:
            texts = list(self._engine.special_tokens) + new
            roles = dict(default_roles(texts), **self._config.get("special_roles", {}))
            # A new engine shares the trained one's tables; callers on other threads keep
            # the one they started with.
            engine = self._engine.with_special_tokens(new)
            self._config = dict(self._config, special_tokens=texts, special_roles=roles)
            self._engine, self._specials = engine, {t: engine.token_to_id(t) for t in engine.special_tokens}
            self._name_cache = None
        return len(new)

    def _role(self, role: str) -> Optional[int]:
        text = self._config.get("special_roles", {}).get(role)
        return self._specials.get(text) if text is not None else None

    @property
    def pad_id(self) -> Optional[int]:
        return self._role("pad")

    @property
    def bos_id(self) -> Optional[int]:
        return self._role("bos")

    @property
    def eos_id(self) -> Optional[int]:
        return self._role("eos")

    @property
    def unk_id(self) -> Optional[int]:
        return self._role("unk")

    @property
    def mode(self) -> str:
        return self._engine.mode

    @property
    def training_report(self) -> Dict[str, Any]:
        """What training did: word types and occurrences read, base size and budgets, the
        Latin share and where it came from (with the joint BPE's split when the words chose
        it), other scripts of the words, and within a memory limit the smallest count kept
        (min_count) with the word types and occurrences left out. Empty for a tokenizer
        loaded from a bundle of before."""
        return dict(self._config.get("training", {}))

    @property
    def settings(self) -> Dict[str, Any]:
        """What the tokenizer was built with: recipe, seeds, folding rules, training summary."""
        return {"mode": self.mode, "folding_rules": list(self._config.get("folding_rules", [])),
                "options": self._engine.scheme, **self._config.get("seeds", {}),
                "training": dict(self._config.get("training", {}))}

    # ---- measuring -----------------------------------------------------------------------
    def stats(self, files: Optional[Sequence[Union[str, os.PathLike]]] = None,
              texts: Optional[Sequence[str]] = None) -> Dict[str, Any]:
        """Figures over texts and the lines of files:

        - tokens_per_word: tokens per white-space separated word;
        - byte_fallback_share: the share of tokens that are byte tokens (text the
          vocabulary does not cover);
        - roundtrip_ok: the share of texts (lines) that decode back to their normalized form;
        - script_shares: the share of tokens of each script (DEV, LAT, PUN, FMT, MAL).
        """
        items: List[str] = list(texts or [])
        for path in files or []:
            items.extend(line for line in _read_lines(path))
        n_texts, words, _, n_tokens, byte_tokens, passes, by_script = self._engine.stats(items, 0)
        tokens = max(n_tokens, 1)
        return {
            "texts": n_texts, "words": words, "tokens": n_tokens,
            "tokens_per_word": n_tokens / max(words, 1),
            "byte_fallback_share": byte_tokens / tokens,
            "roundtrip_ok": passes / max(n_texts, 1),
            "script_shares": {s: n / tokens for s, n in zip(SCRIPTS, by_script)},
        }

    # ---- saving, pickling ----------------------------------------------------------------
    def save(self, path: Union[str, os.PathLike]) -> None:
        """Writes the tokenizer as a bundle directory (created if missing)."""
        _bundle.write(path, self._engine, self._config)

    def to_hf(self, **kwargs: Any) -> Any:
        """This tokenizer as a transformers tokenizer (larkspur.hf.LarkspurTokenizer; needs
        `pip install 'LarkspurTokenization[hf]'`)."""
        # The adapter depends on the tokenizer, not the other way round: this convenience
        # looks it up by name when called, and its module (with transformers) loads only then.
        return importlib.import_module(_ADAPTER).to_hf(self, **kwargs)

    def to_bytes(self) -> bytes:
        """The bundle as bytes (what pickling carries)."""
        return _bundle.to_bytes(self._engine, self._config)

    @classmethod
    def from_bytes(cls, data: bytes) -> "Tokenizer":
        return cls(*_bundle.from_bytes(data))

    def __reduce__(self):
        return (_from_bytes, (self.to_bytes(),))

    def __repr__(self) -> str:
        return (f"<larkspur.Tokenizer mode={self.mode} vocab_size={self.vocab_size} "
                f"recipe={self._config.get('seeds', {}).get('recipe', '?')}>")


def _from_bytes(data: bytes) -> Tokenizer:
    return Tokenizer.from_bytes(data)


_threads = _checks.threads


def _batch(method: str, items: Any, what: str = "texts") -> list:
    """The batch as a list. A str alone would be taken for a batch of its characters, so
    it is refused, as anything that is not iterable is."""
    if isinstance(items, (str, bytes)):
        one = "[text]" if what == "texts" else "[ids]"
        raise TypeError(f"{method}() takes a list of {what}, not a {type(items).__name__}: pass {one} for one")
    try:
        return items if isinstance(items, list) else list(items)
    except TypeError:
        raise TypeError(f"{method}() takes a list of {what}, not {type(items).__name__}") from None


@contextlib.contextmanager
def _texts_refused(method: str, texts: Sequence[Any], batch: bool = False):
    """Turns the engine's refusal of a text into Python's words: the parameter and the type
    it needs, or, for a lone surrogate, which UTF-8 cannot hold, its position. Other errors
    pass through unchanged."""
    try:
        yield
    except TypeError as refused:
        for i, text in enumerate(texts):
            name = f"texts[{i}]" if batch else "text"
            if not isinstance(text, str):
                raise TypeError(f"{method}(): {name} must be a str, not {type(text).__name__}") from None
            try:
                text.encode("utf-8")
            except UnicodeEncodeError as e:
                raise ValueError(f"{method}(): {name} holds a lone surrogate at position {e.start}, which is not "
                                 "text (it cannot be encoded as UTF-8)") from None
        raise refused


def _ids(ids: Sequence[int]) -> List[int]:
    """The ids as plain ints, for the engine; ValueError naming the first bad one."""
    if hasattr(ids, "tolist"):
        ids = ids.tolist()
    out = []
    for i in ids:
        if isinstance(i, bool) or not isinstance(i, int) and not hasattr(i, "__index__"):
            raise ValueError(f"id {i!r} is not an integer")
        v = int(i)
        if v < 0:
            raise ValueError(f"id {v} is not in the vocabulary")
        out.append(v)
    return out


def load(path: Union[str, os.PathLike]) -> Tokenizer:
    """The tokenizer saved as a bundle directory. ValueError naming the file for a bad bundle."""
    return Tokenizer(*_bundle.read(Path(path)))
