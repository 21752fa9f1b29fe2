"""larkspur as a transformers tokenizer: the round trip through AutoTokenizer, batches,
padding, truncation, masks, tensors, offsets, special tokens, and datasets.map."""

import importlib.util
import os
from pathlib import Path

import pytest

if os.environ.get("LARKSPUR_SANITIZED"):
    pytest.skip("transformers' native dependencies are not run under the sanitizers", allow_module_level=True)
transformers = pytest.importorskip("transformers", reason="the hf extra is not installed "
                                   "(pip install 'LarkspurTokenization[hf]')")

import larkspur  # noqa: E402
import larkspur.hf  # noqa: E402
from transformers import AutoTokenizer  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "examples" / "sample.txt"
TEXTS = SAMPLE.read_text(encoding="utf-8").splitlines()[:12] + ["", "उसने <s> लिखा</s>", "New Delhi में 3 बजे"]


@pytest.fixture(scope="module")
def tok(sample_tok):
    return sample_tok


@pytest.fixture(scope="module")
def saved(tok, tmp_path_factory):
    d = tmp_path_factory.mktemp("hf")
    tok.to_hf().save_pretrained(d)
    return d


def test_auto_tokenizer_gives_back_our_tokenizer_and_ids(tok, saved):
    hf = AutoTokenizer.from_pretrained(saved)
    assert type(hf) is larkspur.hf.LarkspurTokenizer
    assert larkspur.load(saved / "larkspur").get_vocab() == tok.get_vocab()  # the bundle, readable as is
    assert hf(TEXTS)["input_ids"] == tok.encode_batch(TEXTS)
    assert hf(TEXTS[0])["input_ids"] == tok.encode(TEXTS[0])
    assert hf.encode(TEXTS[1]) == tok.encode(TEXTS[1])
    roles = (hf.pad_token_id, hf.bos_token_id, hf.eos_token_id, hf.unk_token_id)
    assert roles == (tok.pad_id, tok.bos_id, tok.eos_id, tok.unk_id)
    assert (hf.pad_token, hf.bos_token, hf.eos_token, hf.unk_token) == ("<pad>", "<s>", "</s>", "<unk>")
    assert hf.vocab_size == len(hf) == tok.vocab_size and hf.get_vocab() == tok.get_vocab()
    assert hf.convert_tokens_to_ids(hf.tokenize(TEXTS[2])) == tok.encode(TEXTS[2])
    assert hf.batch_decode(hf(TEXTS)["input_ids"]) == tok.decode_batch(tok.encode_batch(TEXTS))


def test_special_text_stays_text_unless_asked(tok, saved):
    hf = AutoTokenizer.from_pretrained(saved)
    text = "उसने <s> लिखा</s>"
    assert hf(text)["input_ids"] == tok.encode(text)
    assert tok.bos_id not in hf(text)["input_ids"]
    assert hf(text, split_special_tokens=False)["input_ids"] == tok.encode(text, allowed_special="all")
    marked = hf(text, split_special_tokens=False)["input_ids"]
    assert hf.decode(marked, skip_special_tokens=True) == tok.decode(marked, skip_special=True)


def test_added_tokens_and_settings_survive_save_and_auto_tokenizer(tok, tmp_path):
    hf = larkspur.hf.to_hf(larkspur.Tokenizer.from_bytes(tok.to_bytes()), add_bos_token=True, add_eos_token=True)
    before = hf(TEXTS)["input_ids"]
    assert hf.add_tokens(["<mask>", "<mask>", "</s>"]) == 1  # once, and never a token it has
    assert hf.add_special_tokens({"additional_special_tokens": ["<|user|>"]}) == 1
    mask, user = hf.convert_tokens_to_ids(["<mask>", "<|user|>"])
    assert (mask, user) == (tok.vocab_size, tok.vocab_size + 1) and len(hf) == tok.vocab_size + 2
    assert hf(TEXTS)["input_ids"] == before  # nothing else moves
    text = "कल <mask> आना <|user|>"
    ids = hf(text)["input_ids"]
    # Tokens added to the adapter are matched in any text, as transformers matches them;
    # the trained special tokens stay text unless asked.
    assert mask in ids and user in ids and ids[0] == hf.bos_token_id and ids[-1] == hf.eos_token_id
    assert hf.eos_token_id not in hf(text + "</s>")["input_ids"][:-1]
    assert hf.eos_token_id in hf(text + "</s>", split_special_tokens=False)["input_ids"][:-1]
    assert hf.decode(ids, skip_special_tokens=True).count("<mask>") == 1 and "<|user|>" not in hf.decode(
        ids, skip_special_tokens=True)
    assert "<mask>" in hf.decode(ids, skip_special_tokens=True)
    hf.save_pretrained(tmp_path)
    back = AutoTokenizer.from_pretrained(tmp_path)
    assert (back.add_bos_token, back.add_eos_token) == (True, True)
    assert back(TEXTS + [text])["input_ids"] == hf(TEXTS + [text])["input_ids"]
    assert back(text, split_special_tokens=False)["input_ids"] == hf(text, split_special_tokens=False)["input_ids"]
    assert back.decode(ids, skip_special_tokens=True) == hf.decode(ids, skip_special_tokens=True)
    # Settings given when loading win over the saved ones.
    assert AutoTokenizer.from_pretrained(tmp_path, add_bos_token=False)(text)["input_ids"][0] != hf.bos_token_id


@pytest.mark.parametrize("side", ["right", "left"])
def test_padding_truncation_masks_and_arrays(tok, saved, side):
    hf = AutoTokenizer.from_pretrained(saved, padding_side=side)
    ours = tok.encode_batch(TEXTS)
    out = hf(TEXTS, padding=True, truncation=True, max_length=12, return_tensors="np")
    assert out["input_ids"].shape == (len(TEXTS), 12) and set(out) == {"input_ids", "attention_mask"}
    for ids, mask, want in zip(out["input_ids"].tolist(), out["attention_mask"].tolist(), ours):
        want = want[:12]
        pad = [tok.pad_id] * (12 - len(want))
        assert ids == (want + pad if side == "right" else pad + want)
        assert mask == ([1] * len(want) + [0] * len(pad) if side == "right" else [0] * len(pad) + [1] * len(want))
    longest = hf(TEXTS, padding="longest")["input_ids"]
    assert {len(x) for x in longest} == {max(map(len, ours))}


def test_offsets_come_from_our_spans(tok, saved):
    hf = AutoTokenizer.from_pretrained(saved, add_bos_token=True, add_eos_token=True)
    out = hf(TEXTS, return_offsets_mapping=True, padding=True)
    for text, ids, spans, mask in zip(TEXTS, out["input_ids"], out["offset_mapping"], out["attention_mask"]):
        want_ids, want_spans = tok.encode_with_offsets(text)
        n = len(want_ids)
        assert ids[:n + 2] == [tok.bos_id] + want_ids + [tok.eos_id]
        assert spans[:n + 2] == [(0, 0)] + [tuple(s) for s in want_spans] + [(0, 0)]
        assert set(spans[n + 2:]) <= {(0, 0)} and sum(mask) == n + 2
    cut = hf(TEXTS[0], return_offsets_mapping=True, truncation=True, max_length=5)
    ids, spans = tok.encode_with_offsets(TEXTS[0])
    assert cut["input_ids"] == [tok.bos_id] + ids[:3] + [tok.eos_id]
    assert cut["offset_mapping"] == [(0, 0)] + [tuple(s) for s in spans[:3]] + [(0, 0)]


@pytest.mark.skipif(importlib.util.find_spec("torch") is None, reason="torch is not installed")
def test_torch_tensors(tok, saved):
    hf = AutoTokenizer.from_pretrained(saved)
    out = hf(TEXTS[:3], padding=True, return_tensors="pt")
    assert out["input_ids"].tolist() == hf(TEXTS[:3], padding=True)["input_ids"]


def test_datasets_map_in_two_processes(tok, saved, tmp_path):
    datasets = pytest.importorskip("datasets", reason="the hf extra is not installed "
                                   "(pip install 'LarkspurTokenization[hf]')")
    hf = AutoTokenizer.from_pretrained(saved)
    ds = datasets.Dataset.from_dict({"text": TEXTS * 4})
    mapped = ds.map(lambda batch: hf(batch["text"]), batched=True, batch_size=8, num_proc=2,
                    cache_file_name=str(tmp_path / "cache.arrow"))
    assert mapped["input_ids"] == tok.encode_batch(TEXTS * 4)


@pytest.mark.parametrize("add", [False, True])
def test_overflowing_pieces_cover_each_text_with_their_stride(tok, add):
    hf = larkspur.hf.to_hf(tok, add_bos_token=add, add_eos_token=add)
    texts = TEXTS[:6]
    out = hf(texts, truncation=True, max_length=9, stride=3, return_overflowing_tokens=True,
             return_offsets_mapping=True, padding=True, return_tensors="np")
    rows, owner = out["input_ids"].tolist(), out["overflow_to_sample_mapping"].tolist()
    assert sorted(set(owner)) == list(range(len(texts))) and owner == sorted(owner)
    room = 9 - 2 * add
    for i, text in enumerate(texts):
        pieces = [[x for x, m in zip(r, mask) if m] for r, mask, o in zip(rows, out["attention_mask"].tolist(), owner)
                  if o == i]
        if add:
            assert all(p[0] == hf.bos_token_id and p[-1] == hf.eos_token_id for p in pieces)
            pieces = [p[1:-1] for p in pieces]
        # Each piece repeats the last `stride` ids of the one before; together they are the text.
        assert all(len(p) <= room for p in pieces)
        assert all(a[-3:] == b[:3] for a, b in zip(pieces, pieces[1:]))
        assert pieces[0] + [x for p in pieces[1:] for x in p[3:]] == tok.encode(text)
    with pytest.raises(ValueError, match="stride"):
        hf(texts, truncation=True, max_length=4, stride=room, return_overflowing_tokens=True)


@pytest.mark.parametrize("add", [False, True])
@pytest.mark.parametrize("side", ["right", "left"])
def test_overflowing_pieces_and_pairs_come_in_the_rows_of_the_tokenizers_library(tok, side, add):
    # The reference: the tokenizers library cutting the same ids (each token given as a
    # pre-split word of a word-level model over our vocabulary), with the same special
    # tokens around each text.
    tokenizers = pytest.importorskip("tokenizers", reason="the tokenizers library is not installed")
    vocab = tok.get_vocab()
    ref = tokenizers.Tokenizer(tokenizers.models.WordLevel(vocab=vocab, unk_token="<unk>"))
    if add:
        ref.post_processor = tokenizers.processors.TemplateProcessing(
            single="<s> $A </s>", pair="<s> $A </s> <s> $B </s>",
            special_tokens=[("<s>", tok.bos_id), ("</s>", tok.eos_id)])
    hf = larkspur.hf.to_hf(tok, add_bos_token=add, add_eos_token=add)
    hf.truncation_side = side
    long_ = [t for t in TEXTS if len(tok.encode(t)) > 20]
    short = [t.split()[0] for t in long_]  # a word: a few ids
    cases = [("longest_first", long_ + short, long_[::-1] + long_),  # both texts cut, and the longer one
             ("only_first", long_, short), ("only_second", short, long_), ("longest_first", long_, None)]
    for strategy, first, second in cases:
        out = hf(first, second, truncation=strategy, max_length=17, stride=2, return_overflowing_tokens=True)
        ref.enable_truncation(17, stride=2, strategy=strategy, direction=side)
        want = []
        for i, texts in enumerate(zip(first, second) if second else ([t] for t in first)):
            names = [[tok.id_to_token(x) for x in tok.encode(t)] for t in texts]
            enc = ref.encode(*names, is_pretokenized=True, add_special_tokens=add)
            want += [(i, e.ids) for e in [enc] + enc.overflowing]
        assert list(zip(out["overflow_to_sample_mapping"], out["input_ids"])) == want, (strategy, second is None)


REMOTE = r"""
import json, sys
from transformers import AutoTokenizer
kwargs = {"trust_remote_code": True} if sys.argv[2] == "trust" else {}
try:
    t = AutoTokenizer.from_pretrained(sys.argv[1], **kwargs)
except ValueError as e:
    print("RESULT", json.dumps({"error": str(e)}))
else:
    print("RESULT", json.dumps({"class": type(t).__name__, "ids": t(sys.argv[3])["input_ids"], "bos": t.add_bos_token}))
"""


def test_auto_tokenizer_with_remote_code_in_a_process_that_never_imported_the_adapter(tok, tmp_path):
    import json
    import subprocess
    import sys

    hf = larkspur.hf.to_hf(tok, add_bos_token=True)
    hf.save_pretrained(tmp_path / "tok")
    env = dict(os.environ, HF_HOME=str(tmp_path / "hf-home"), HF_HUB_OFFLINE="1")

    def load(how):
        # Without trust_remote_code transformers asks on the terminal; there is none here.
        out = subprocess.run([sys.executable, "-c", REMOTE, str(tmp_path / "tok"), how, TEXTS[1]], env=env,
                             stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
        return json.loads(out.stdout.rpartition("RESULT ")[2])

    got = load("trust")
    assert got == {"class": "LarkspurTokenizer", "ids": hf(TEXTS[1])["input_ids"], "bos": True}
    assert "trust_remote_code=True" in load("no")["error"]  # what transformers says without it
