"""The model side of an extension: embeddings resized, and each new token's row set to the
mean of the rows of the base tokens that spell it (the usual start for continued
pretraining: a new token begins where the model already puts its pieces)."""

from __future__ import annotations

import os
from typing import Any, List


def backend(tokenizer: Any, name: str) -> Any:
    """A tokenizers-library Tokenizer from one, from a transformers fast tokenizer, or from a
    tokenizer.json path (or a directory holding one)."""
    import tokenizers

    if isinstance(tokenizer, tokenizers.Tokenizer):
        return tokenizer
    inner = getattr(tokenizer, "backend_tokenizer", None)
    if isinstance(inner, tokenizers.Tokenizer):
        return inner
    if isinstance(tokenizer, (str, os.PathLike)):
        path = os.fspath(tokenizer)
        return tokenizers.Tokenizer.from_file(os.path.join(path, "tokenizer.json") if os.path.isdir(path) else path)
    raise TypeError(f"{name} must be a tokenizers Tokenizer, a transformers fast tokenizer or a path to a "
                    f"tokenizer.json, not {type(tokenizer).__name__}")


def spelling(base: Any, token: str) -> List[int]:
    """The base ids that spell a token of the extended vocabulary (its text in the same
    alphabet, so the base's own BPE, byte fallback included, spells it)."""
    return [t.id for t in base.model.tokenize(token)]


def resize_for_extension(model: Any, base_tokenizer: Any, extended_tokenizer: Any) -> int:
    try:
        import torch
    except ImportError:
        raise ImportError("resize_for_extension needs torch: pip install torch "
                          "'LarkspurTokenization[hf]'") from None
    base = backend(base_tokenizer, "base_tokenizer")
    extended = backend(extended_tokenizer, "extended_tokenizer")
    old = base.get_vocab_size(with_added_tokens=True)
    new = extended.get_vocab_size(with_added_tokens=True)
    for i in range(old):
        if base.id_to_token(i) != extended.id_to_token(i):
            raise ValueError(f"extended_tokenizer does not extend base_tokenizer: id {i} is "
                             f"{extended.id_to_token(i)!r} there and {base.id_to_token(i)!r} in the base")
    rows = model.get_input_embeddings().weight.shape[0]
    if rows < old:
        raise ValueError(f"the model has {rows:,} embedding rows, fewer than the base tokenizer's {old:,} ids: "
                         f"is it the base's model?")
    if new > rows:
        model.resize_token_embeddings(new)
    inputs = model.get_input_embeddings().weight
    outputs = model.get_output_embeddings()
    untied = outputs is not None and outputs.weight.data_ptr() != inputs.data_ptr()
    with torch.no_grad():
        for i in range(old, new):
            ids = torch.tensor(spelling(base, extended.id_to_token(i)), dtype=torch.long)
            inputs[i] = inputs[ids].mean(dim=0)
            if untied:
                outputs.weight[i] = outputs.weight[ids].mean(dim=0)
    return new - old
