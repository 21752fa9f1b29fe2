"""larkspur as a transformers tokenizer.

    import larkspur, larkspur.hf
    hf_tok = larkspur.load("tok").to_hf()            # or LarkspurTokenizer.from_pretrained(dir)
    hf_tok.save_pretrained("hf-tok")
    from transformers import AutoTokenizer
    hf_tok = AutoTokenizer.from_pretrained("hf-tok")   # after `import larkspur.hf`
    batch = hf_tok(["पहला वाक्य", "second"], padding=True, return_tensors="np")

`LarkspurTokenizer` is a tokenizer on transformers' Python backend whose encoding calls
larkspur's batch encoder (in C++, on every core), so `tok(texts)` gives exactly the ids of
`Tokenizer.encode_batch(texts)`. Padding (left or right), truncation, attention masks,
`return_tensors` and `return_offsets_mapping` (character spans from larkspur's offsets;
(0, 0) for added special tokens and padding) work as for any transformers tokenizer. The
tokenizer's bos, eos, unk and pad tokens are larkspur's <s>, </s>, <unk> and <pad> (the
special tokens that play those roles).

Nothing is added around a text by default (`add_bos_token=False, add_eos_token=False`), so
that the ids equal larkspur's; set either when the model expects it.

Literal special-token text in the input ("<s>" typed by a user, or found in scraped text)
is encoded as plain text: `split_special_tokens` defaults to True. Text from outside should
never be able to produce a control token that the model treats as the end of a document
or a turn; pass `split_special_tokens=False` for text that is known to hold real markers
(a chat template's output, say).

`save_pretrained(dir)` writes larkspur's bundle into `dir/larkspur/` (a directory that
`larkspur.load` reads) beside transformers' tokenizer_config.json. Importing this module
registers the class with `AutoTokenizer`, so `AutoTokenizer.from_pretrained(dir)` gives it
back; nothing is downloaded.

`add_tokens` and `add_special_tokens` add tokens after the vocabulary, through
`Tokenizer.add_special_tokens`: the trained vocabulary never changes, so every other id
stays as it was. Tokens added either way are matched wherever their text occurs, as
transformers does for added tokens; `split_special_tokens` guards only the special tokens
the tokenizer was trained with. The added tokens, and the adapter's own
settings (`add_bos_token`, `add_eos_token`), are saved with the bundle in
`dir/larkspur/adapter.json`, since transformers' tokenizer_config.json does not keep them all.

Needs transformers: `pip install 'LarkspurTokenization[hf]'`.
"""

from __future__ import annotations

import contextlib
import inspect
import json
import os
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

try:
    import transformers
    from transformers import AutoConfig, AutoTokenizer, PretrainedConfig, PreTrainedTokenizer
    from transformers.tokenization_utils_base import AddedToken, BatchEncoding, PaddingStrategy, TruncationStrategy
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError(f"larkspur.hf needs transformers ({e}); install it with "
                      f"pip install 'LarkspurTokenization[hf]'") from e

from ._tokenizer import Tokenizer, load
from ._extension._resize import resize_for_extension as _resize

# transformers before 4.45 has no padding_side argument in its padding and encoding calls;
# there the tokenizer's own padding_side is set for the call instead.
_PAD_TAKES_SIDE = "padding_side" in inspect.signature(PreTrainedTokenizer.pad).parameters
_ENCODE_TAKES_SIDE = "padding_side" in inspect.signature(PreTrainedTokenizer._encode_plus).parameters

BUNDLE_DIR = "larkspur"
ADAPTER_FILE = "adapter.json"  # the adapter's settings, beside the bundle's files
# The module that tokenizer_config.json's auto_map names, written beside it, so that
# AutoTokenizer.from_pretrained(dir, trust_remote_code=True) finds the class in a process
# that never imported this one (evaluation harnesses and serving engines load that way).
REMOTE_MODULE = "tokenization_larkspur"
REMOTE_CODE = '''"""The tokenizer of this directory: larkspur's transformers adapter, from the installed
larkspur package (pip install 'LarkspurTokenization[hf]')."""

from larkspur.hf import LarkspurTokenizer

__all__ = ["LarkspurTokenizer"]
'''


class LarkspurConfig(PretrainedConfig):
    """The configuration that larkspur's tokenizer is registered under (model type "larkspur")."""

    model_type = "larkspur"


class LarkspurTokenizer(PreTrainedTokenizer):
    """A transformers tokenizer over a larkspur Tokenizer (see the module's description)."""

    vocab_files_names = {"bundle_file": f"{BUNDLE_DIR}/tokenizer.json"}
    model_input_names = ["input_ids", "attention_mask"]
    padding_side = "right"

    def __init__(self, bundle_file: Optional[str] = None, *, tokenizer: Optional[Tokenizer] = None,
                 add_bos_token: Optional[bool] = None, add_eos_token: Optional[bool] = None, **kwargs: Any):
        saved: Dict[str, Any] = {}
        if tokenizer is None:
            if bundle_file is None:
                raise ValueError("LarkspurTokenizer needs a larkspur tokenizer or its bundle_file")
            bundle = os.path.dirname(os.fspath(bundle_file))
            tokenizer = load(bundle)
            saved = _read_settings(os.path.join(bundle, ADAPTER_FILE))
        # Settings given here win over the saved ones.
        add_bos_token = bool(saved.get("add_bos_token", False) if add_bos_token is None else add_bos_token)
        add_eos_token = bool(saved.get("add_eos_token", False) if add_eos_token is None else add_eos_token)
        self.larkspur = tokenizer
        self._plain = [t for t in saved.get("plain_added_tokens", []) if t in tokenizer.special_tokens]
        self._added = [t for t in saved.get("added_tokens", self._plain) if t in tokenizer.special_tokens]
        self._refresh()
        for role in ("bos", "eos", "unk", "pad"):
            i = getattr(tokenizer, f"{role}_id")
            if i is not None:
                kwargs.setdefault(f"{role}_token", tokenizer.id_to_token(i))
        kwargs.setdefault("split_special_tokens", True)
        kwargs.setdefault("clean_up_tokenization_spaces", False)
        self.add_bos_token, self.add_eos_token = bool(add_bos_token), bool(add_eos_token)
        super().__init__(add_bos_token=add_bos_token, add_eos_token=add_eos_token, **kwargs)
        # What from_pretrained rebuilds this tokenizer from: the bundle, which save_pretrained
        # writes (transformers drops the file argument from the saved configuration and finds
        # the file again), never the Tokenizer object, which the saved bundle stands for.
        self.init_kwargs.update(bundle_file=None if bundle_file is None else os.fspath(bundle_file), tokenizer=None)
        # A configuration's added_tokens_decoder is only a record of what the bundle holds.
        self._refresh()
        self._auto_map = {"AutoTokenizer": [f"{REMOTE_MODULE}.{type(self).__name__}", None]}
        self.add_bos_token, self.add_eos_token = bool(add_bos_token), bool(add_eos_token)

    # ---- the vocabulary ------------------------------------------------------------------
    @property
    def vocab_size(self) -> int:
        return self.larkspur.vocab_size

    def get_vocab(self) -> Dict[str, int]:
        return dict(self._vocab)

    def __len__(self) -> int:
        return self.larkspur.vocab_size

    def _refresh(self) -> None:
        self._vocab = self.larkspur.get_vocab()
        specials = self.larkspur.special_tokens
        # Tokens added with add_tokens are ordinary tokens to transformers: never skipped
        # or masked as special, and matched in any text.
        self._special_ids = set(specials.values()) - {self._vocab[t] for t in self._plain}
        # transformers' record of the tokens outside the trained vocabulary proper (the
        # special tokens and the added ones), by id; an entry it already has for the same
        # token keeps its settings.
        known = getattr(self, "_added_tokens_decoder", {})
        decoder = {}
        for text, i in sorted(specials.items(), key=lambda item: item[1]):
            had = known.get(i)
            if had is not None and str(had) == text:
                decoder[i] = had
            else:
                special = i in self._special_ids
                decoder[i] = AddedToken(text, special=special, normalized=not special, lstrip=False, rstrip=False)
        self._added_tokens_decoder = decoder
        self._added_tokens_encoder = {str(t): i for i, t in decoder.items()}

    def _add_tokens(self, new_tokens, special_tokens: bool = False) -> int:
        named = set(self.all_special_tokens)
        new, marked = [], []
        for t in new_tokens:
            text = str(getattr(t, "content", t))
            if text and text not in self._vocab and text not in new:
                new.append(text)
                # As transformers has it: a token is special if added as special, if it is
                # one of the special tokens' values, or if its AddedToken says so.
                marked.append(special_tokens or bool(getattr(t, "special", False)) or text in named)
        added = self.larkspur.add_special_tokens(new)
        self._plain += [t for t, special in zip(new, marked) if not special]
        self._added += new
        self._refresh()
        # A new special token that is none of the named ones joins the extra special
        # tokens, as with transformers' own tokenizers.
        extra = getattr(self, "_extra_special_tokens", None)
        if extra is None:
            extra = getattr(self, "_additional_special_tokens", None)  # transformers 4
        if extra is not None:
            extra.extend(self._added_tokens_decoder[self._vocab[t]]
                         for t, special in zip(new, marked) if special and t not in named)
        return added

    def _allowed(self, split_special_tokens: bool) -> Any:
        # Tokens added to this adapter are matched in any text, as transformers matches
        # them; split_special_tokens (true by default) keeps the trained special tokens,
        # the control tokens a model was trained with, as plain text.
        return list(self._added) if split_special_tokens else "all"

    def _names(self, text: str, split: bool) -> List[str]:
        # The tokens' names, as get_vocab has them: byte tokens as "<0xE0>".
        to_name = self.larkspur.id_to_token
        return [to_name(i) for i in self.larkspur.encode(text, allowed_special=self._allowed(split))]

    def _tokenize(self, text: str, **kwargs: Any) -> List[str]:
        return self._names(text, True)

    def tokenize(self, text: str, **kwargs: Any) -> List[str]:
        return self._names(text, kwargs.pop("split_special_tokens", self.split_special_tokens))

    def _convert_token_to_id(self, token: str) -> int:
        i = self._vocab.get(token)
        return i if i is not None else self.unk_token_id

    def _convert_id_to_token(self, index: int) -> str:
        return self.larkspur.id_to_token(int(index))

    def convert_tokens_to_string(self, tokens: List[str]) -> str:
        return self.larkspur.decode([self._convert_token_to_id(t) for t in tokens])

    def _decode(self, token_ids, skip_special_tokens: bool = False, clean_up_tokenization_spaces=None,
                **kwargs: Any) -> str:
        ids = [token_ids] if isinstance(token_ids, int) else token_ids
        if skip_special_tokens and self._plain:
            return self.larkspur.decode([i for i in _plain_ids(ids) if i not in self._special_ids])
        return self.larkspur.decode(ids, skip_special=skip_special_tokens)

    def batch_decode(self, sequences, skip_special_tokens: bool = False, clean_up_tokenization_spaces=None,
                     **kwargs: Any) -> List[str]:
        if hasattr(sequences, "tolist"):
            sequences = sequences.tolist()
        if skip_special_tokens and self._plain:
            return [self._decode(list(s), skip_special_tokens=True) for s in sequences]
        return self.larkspur.decode_batch([list(s) for s in sequences], skip_special=skip_special_tokens)

    # ---- special tokens around a text ----------------------------------------------------
    def _around(self) -> Tuple[List[int], List[int]]:
        prefix = [self.bos_token_id] if self.add_bos_token and self.bos_token_id is not None else []
        suffix = [self.eos_token_id] if self.add_eos_token and self.eos_token_id is not None else []
        return prefix, suffix

    def build_inputs_with_special_tokens(self, token_ids_0: List[int], token_ids_1: Optional[List[int]] = None
                                         ) -> List[int]:
        prefix, suffix = self._around()
        out = prefix + list(token_ids_0) + suffix
        if token_ids_1 is not None:
            out += prefix + list(token_ids_1) + suffix
        return out

    def get_special_tokens_mask(self, token_ids_0: List[int], token_ids_1: Optional[List[int]] = None,
                                already_has_special_tokens: bool = False) -> List[int]:
        if already_has_special_tokens:
            return [1 if i in self._special_ids else 0 for i in token_ids_0]
        prefix, suffix = self._around()
        mask = [1] * len(prefix) + [0] * len(token_ids_0) + [1] * len(suffix)
        if token_ids_1 is not None:
            mask += [1] * len(prefix) + [0] * len(token_ids_1) + [1] * len(suffix)
        return mask

    def create_token_type_ids_from_sequences(self, token_ids_0: List[int],
                                             token_ids_1: Optional[List[int]] = None) -> List[int]:
        prefix, suffix = self._around()
        first = [0] * (len(prefix) + len(token_ids_0) + len(suffix))
        if token_ids_1 is None:
            return first
        return first + [1] * (len(prefix) + len(token_ids_1) + len(suffix))

    # ---- encoding through larkspur's batch encoder ----------------------------------------
    def _ids(self, texts: Sequence[str], allowed: Any, with_spans: bool):
        if with_spans:
            pairs = [self.larkspur.encode_with_offsets(t, allowed_special=allowed) for t in texts]
            return [p[0] for p in pairs], [p[1] for p in pairs]
        return self.larkspur.encode_batch(texts, allowed_special=allowed), None

    def _encode_plus(self, text, text_pair=None, add_special_tokens: bool = True,
                     padding_strategy=PaddingStrategy.DO_NOT_PAD, truncation_strategy=TruncationStrategy.DO_NOT_TRUNCATE,
                     max_length: Optional[int] = None, stride: int = 0, is_split_into_words: bool = False,
                     pad_to_multiple_of: Optional[int] = None, padding_side: Optional[str] = None,
                     return_tensors=None, return_token_type_ids: Optional[bool] = None,
                     return_attention_mask: Optional[bool] = None, return_overflowing_tokens: bool = False,
                     return_special_tokens_mask: bool = False, return_offsets_mapping: bool = False,
                     return_length: bool = False, verbose: bool = True, split_special_tokens: Optional[bool] = None,
                     **kwargs: Any) -> BatchEncoding:
        single = isinstance(text, str)
        texts = [text] if single else text
        pairs = None if text_pair is None else ([text_pair] if isinstance(text_pair, str) else text_pair)
        plain = (not is_split_into_words and isinstance(texts, (list, tuple)) and all(isinstance(t, str) for t in texts)
                 and (pairs is None or (isinstance(pairs, (list, tuple)) and len(pairs) == len(texts)
                                        and all(isinstance(t, str) for t in pairs))))
        if split_special_tokens is None:
            split_special_tokens = self.split_special_tokens
        common = dict(add_special_tokens=add_special_tokens, padding_strategy=padding_strategy,
                      truncation_strategy=truncation_strategy, max_length=max_length, stride=stride,
                      is_split_into_words=is_split_into_words, pad_to_multiple_of=pad_to_multiple_of,
                      return_tensors=return_tensors,
                      return_token_type_ids=return_token_type_ids, return_attention_mask=return_attention_mask,
                      return_overflowing_tokens=return_overflowing_tokens,
                      return_special_tokens_mask=return_special_tokens_mask, return_length=return_length,
                      verbose=verbose)
        if not plain:
            # Words, ids or pairs given as tuples: transformers' own path, which comes back
            # here with each string.
            if return_offsets_mapping:
                raise NotImplementedError("return_offsets_mapping needs the texts as strings")
            base = super()
            if _ENCODE_TAKES_SIDE:
                common["padding_side"] = padding_side
            with self._padding_on(padding_side):
                if not single and hasattr(base, "_batch_encode_plus"):  # transformers 4
                    return base._batch_encode_plus(text, split_special_tokens=split_special_tokens, **common,
                                                   **kwargs)
                return base._encode_plus(text, text_pair, split_special_tokens=split_special_tokens, **common,
                                         **kwargs)

        allowed = self._allowed(split_special_tokens)
        first, first_spans = self._ids(texts, allowed, return_offsets_mapping)
        second, second_spans = self._ids(pairs, allowed, return_offsets_mapping) if pairs is not None else (None, None)
        outputs: Dict[str, List[Any]] = {}
        windows = (return_overflowing_tokens and max_length is not None
                   and TruncationStrategy(truncation_strategy) != TruncationStrategy.DO_NOT_TRUNCATE)
        if windows:
            self._windows(outputs, first, first_spans, second, second_spans, add_special_tokens,
                          TruncationStrategy(truncation_strategy), max_length, stride,
                          return_token_type_ids, return_special_tokens_mask, return_length)
            single = False  # every piece is a row, as transformers' fast tokenizers give them
        for i in range(len(texts) if not windows else 0):
            pair = second[i] if second is not None else None
            item = self.prepare_for_model(
                first[i], pair_ids=pair, add_special_tokens=add_special_tokens, padding=PaddingStrategy.DO_NOT_PAD,
                truncation=truncation_strategy, max_length=max_length, stride=stride,
                return_token_type_ids=return_token_type_ids, return_attention_mask=False,
                return_overflowing_tokens=return_overflowing_tokens,
                return_special_tokens_mask=return_special_tokens_mask, return_length=return_length,
                verbose=verbose)
            if return_offsets_mapping:
                item["offset_mapping"] = self._offsets(first[i], pair, first_spans[i],
                                                       second_spans[i] if second_spans else None,
                                                       add_special_tokens, truncation_strategy, max_length, stride)
            for key, value in item.items():
                outputs.setdefault(key, []).append(value)
        if return_tensors and return_overflowing_tokens:
            outputs.pop("overflowing_tokens", None)
            outputs.pop("num_truncated_tokens", None)
        if not texts:
            return BatchEncoding({"input_ids": []}, tensor_type=return_tensors)
        side = {"padding_side": padding_side} if _PAD_TAKES_SIDE else {}
        with self._padding_on(padding_side):
            padded = self.pad(outputs, padding=padding_strategy, max_length=max_length,
                              pad_to_multiple_of=pad_to_multiple_of, return_attention_mask=return_attention_mask,
                              **side)
        if single:
            return BatchEncoding({k: v[0] for k, v in padded.items()}, tensor_type=return_tensors,
                                 prepend_batch_axis=return_tensors is not None)
        return BatchEncoding(dict(padded), tensor_type=return_tensors)

    def _windows(self, outputs: Dict[str, List[Any]], first, first_spans, second, second_spans,
                 add_special_tokens: bool, strategy: TruncationStrategy, max_length: int, stride: int,
                 return_token_type_ids, return_special_tokens_mask, return_length) -> None:
        """Each text (or pair of texts) cut into pieces of at most max_length ids, special
        tokens included, every piece a row of its own, the pieces of a text overlapping by
        `stride` ids, and overflow_to_sample_mapping naming the text of each row: what
        transformers' fast tokenizers give. Of a pair, only_first and only_second cut that
        text and keep the other whole in each row; longest_first gives the longer text the
        room that the shorter one leaves (half each when both are too long) and pairs
        every piece of one text with every piece of the other."""
        specials = self.num_special_tokens_to_add(pair=second is not None) if add_special_tokens else 0
        budget = max_length - specials
        if budget <= 0:
            raise ValueError(f"max_length {max_length} leaves no room for ids besides the {specials} special tokens")
        keep = TruncationStrategy.DO_NOT_TRUNCATE
        for i, ids in enumerate(first):
            pair = second[i] if second is not None else None
            rooms = _rooms(len(ids), None if pair is None else len(pair), budget, strategy)
            side = self.truncation_side
            a = _pieces(len(ids), rooms[0], stride, side, max_length, "the text" if pair is None else "the first text")
            b = [None] if pair is None else _pieces(len(pair), rooms[1], stride, side, max_length, "the second text")
            # The order of the tokenizers library: both first pieces, then each later piece
            # of the first text with every piece of the second, then the first piece of the
            # first text with the later pieces of the second.
            for x, y in [(a[0], b[0])] + [(x, y) for x in a[1:] for y in b] + [(a[0], y) for y in b[1:]]:
                piece = ids[slice(*x)]
                pair_piece = pair[slice(*y)] if y is not None else None
                item = self.prepare_for_model(
                    piece, pair_ids=pair_piece, add_special_tokens=add_special_tokens,
                    padding=PaddingStrategy.DO_NOT_PAD, truncation=keep, return_token_type_ids=return_token_type_ids,
                    return_attention_mask=False, return_special_tokens_mask=return_special_tokens_mask,
                    return_length=return_length, verbose=False)
                if first_spans is not None:
                    item["offset_mapping"] = self._offsets(
                        piece, pair_piece, first_spans[i][slice(*x)],
                        second_spans[i][slice(*y)] if y is not None else None, add_special_tokens, keep, None, 0)
                item["overflow_to_sample_mapping"] = i
                for key, value in item.items():
                    outputs.setdefault(key, []).append(value)

    def _batch_encode_plus(self, batch_text_or_text_pairs, **kwargs: Any) -> BatchEncoding:  # transformers 4
        items = list(batch_text_or_text_pairs)
        if items and not kwargs.get("is_split_into_words") and all(
                isinstance(x, (list, tuple)) and len(x) == 2 and all(isinstance(y, str) for y in x) for x in items):
            return self._encode_plus([a for a, _ in items], [b for _, b in items], **kwargs)
        return self._encode_plus(items, None, **kwargs)

    def _offsets(self, ids, pair_ids, spans, pair_spans, add_special_tokens, truncation, max_length, stride):
        """The character span of each position of prepare_for_model's output: the same
        call on token positions instead of ids shows which tokens are kept where."""
        n = len(ids)
        every = list(spans) + list(pair_spans or [])
        placed = self.prepare_for_model(
            list(range(n)), pair_ids=list(range(n, n + len(pair_ids))) if pair_ids is not None else None,
            add_special_tokens=add_special_tokens, padding=PaddingStrategy.DO_NOT_PAD, truncation=truncation,
            max_length=max_length, stride=stride, return_attention_mask=False, return_special_tokens_mask=True,
            verbose=False)
        mask = placed.get("special_tokens_mask", [0] * len(placed["input_ids"]))
        return [(0, 0) if m else tuple(every[p]) for p, m in zip(placed["input_ids"], mask)]

    @contextlib.contextmanager
    def _padding_on(self, side: Optional[str]) -> Iterator[None]:
        """Pads on `side` for the calls within (where transformers takes no padding_side)."""
        if side is None or _PAD_TAKES_SIDE:
            yield
            return
        saved, self.padding_side = self.padding_side, side
        try:
            yield
        finally:
            self.padding_side = saved

    def _pad(self, encoded_inputs, max_length=None, padding_strategy=PaddingStrategy.DO_NOT_PAD,
             pad_to_multiple_of=None, padding_side=None, return_attention_mask=None, **kwargs: Any) -> dict:
        offsets = encoded_inputs.pop("offset_mapping", None)
        if _PAD_TAKES_SIDE:
            kwargs["padding_side"] = padding_side
        out = super()._pad(encoded_inputs, max_length=max_length, padding_strategy=padding_strategy,
                           pad_to_multiple_of=pad_to_multiple_of, return_attention_mask=return_attention_mask,
                           **kwargs)
        if offsets is not None:
            missing = [(0, 0)] * (len(out[self.model_input_names[0]]) - len(offsets))
            side = padding_side if padding_side is not None else self.padding_side
            out["offset_mapping"] = list(offsets) + missing if side == "right" else missing + list(offsets)
        return out

    # ---- saving ---------------------------------------------------------------------------
    def save_vocabulary(self, save_directory: str, filename_prefix: Optional[str] = None) -> Tuple[str, ...]:
        """Writes larkspur's bundle into `save_directory`/larkspur (filename_prefix is not used:
        from_pretrained looks for the bundle there)."""
        bundle = os.path.join(save_directory, BUNDLE_DIR)
        self.larkspur.save(bundle)
        settings = {"add_bos_token": self.add_bos_token, "add_eos_token": self.add_eos_token,
                    "plain_added_tokens": list(self._plain), "added_tokens": list(self._added)}
        with open(os.path.join(bundle, ADAPTER_FILE), "w", encoding="utf-8") as f:
            json.dump(settings, f, ensure_ascii=False, indent=1)
            f.write("\n")
        with open(os.path.join(save_directory, REMOTE_MODULE + ".py"), "w", encoding="utf-8") as f:
            f.write(REMOTE_CODE)
        return tuple(os.path.join(bundle, name) for name in sorted(os.listdir(bundle)))


def _read_settings(path: str) -> Dict[str, Any]:
    """The adapter's saved settings; none for a directory saved before they were kept."""
    try:
        with open(path, encoding="utf-8") as f:
            settings = json.load(f)
    except FileNotFoundError:
        return {}
    except (OSError, ValueError) as e:
        raise ValueError(f"{path}: cannot be read ({e})") from None
    if not isinstance(settings, dict) or not all(isinstance(t, str) for key in ("plain_added_tokens", "added_tokens")
                                                 for t in settings.get(key, [])):
        raise ValueError(f"{path}: must hold an object of the adapter's settings")
    return settings


def _rooms(n1: int, n2: Optional[int], budget: int, strategy: TruncationStrategy) -> Tuple[int, Optional[int]]:
    """How many ids of each text of a pair (n2 None for a text alone) the first row keeps
    under `budget`, as the tokenizers library decides it."""
    if n2 is None:
        return min(n1, budget), None
    if n1 + n2 <= budget:
        return n1, n2
    if strategy == TruncationStrategy.ONLY_FIRST:
        return budget - n2, n2
    if strategy == TruncationStrategy.ONLY_SECOND:
        return n1, budget - n1
    # longest_first: the shorter text whole if the longer one can take the rest, else half each.
    short, long_ = min(n1, n2), max(n1, n2)
    long_ = max(short, budget - short) if short <= budget else short
    if short + long_ > budget:
        short, long_ = budget // 2, budget // 2 + budget % 2
    return (short, long_) if n1 <= n2 else (long_, short)


def _pieces(n: int, room: int, stride: int, side: str, max_length: int, which: str) -> List[Tuple[int, int]]:
    """The (start, stop) of each piece of a text of n ids cut to at most `room` ids each,
    every piece starting `stride` ids before the end of the one before; from the end of
    the text when transformers truncates on the left."""
    if n <= room:
        return [(0, n)]
    if room <= 0 or not 0 <= stride < room:
        raise ValueError(f"max_length {max_length} leaves room for {max(room, 0)} ids of {which}: the stride "
                         f"({stride}) must be at least 0 and smaller than that")
    pieces, step = [], room - stride
    if side == "left":
        stop = n
        while True:
            pieces.append((max(stop - room, 0), stop))
            if stop <= room:
                return pieces
            stop -= step
    start = 0
    while True:
        pieces.append((start, min(start + room, n)))
        if start + room >= n:
            return pieces
        start += step


def _plain_ids(ids: Any) -> List[int]:
    return ids.tolist() if hasattr(ids, "tolist") else list(ids)


def to_hf(tokenizer: Tokenizer, **kwargs: Any) -> LarkspurTokenizer:
    """The transformers tokenizer over `tokenizer` (keywords as for LarkspurTokenizer)."""
    return LarkspurTokenizer(tokenizer=tokenizer, **kwargs)


AutoConfig.register(LarkspurConfig.model_type, LarkspurConfig, exist_ok=True)
AutoTokenizer.register(LarkspurConfig, slow_tokenizer_class=LarkspurTokenizer, exist_ok=True)

__all__ = ["LarkspurConfig", "LarkspurTokenizer", "to_hf", "transformers"]


def resize_for_extension(model: Any, base_tokenizer: Any, extended_tokenizer: Any) -> int:
    """Makes a model ready for an extended tokenizer (see larkspur.extend): its embeddings,
    and an output layer not tied to them, get a row for each new id, set to the mean of the
    rows of the base tokens that spell the new token. Rows of base ids do not change. The
    tokenizers are tokenizers-library Tokenizers, transformers fast tokenizers or paths to
    tokenizer.json files (or directories). Returns the number of ids added. ValueError when
    the extended tokenizer does not keep every base id; ImportError without torch."""
    return _resize(model, base_tokenizer, extended_tokenizer)
