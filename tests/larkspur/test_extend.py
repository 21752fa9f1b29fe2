"""Extending other tokenizers (larkspur.extend): tiny bases of both kinds made here with the
tokenizers package, the base ids and the ids of text without Devanagari kept, round trips,
aksharas kept whole, loading without larkspur, and the embedding resize helper."""

import gzip
import json
import os
import random
import subprocess
import sys
import unicodedata

import pytest

if os.environ.get("LARKSPUR_SANITIZED"):
    pytest.skip("the tokenizers library's native code is not ours to check: the leak checker reports the type "
                "objects it keeps for the life of the process", allow_module_level=True)
tokenizers = pytest.importorskip("tokenizers")
from tokenizers import Regex, Tokenizer, decoders, models, pre_tokenizers, trainers  # noqa: E402

import larkspur  # noqa: E402
from larkspur._extension._base import widen_pattern  # noqa: E402

LLAMA3_PATTERN = (r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*"
                  r"|\s*[\r\n]+|\s+(?!\S)|\s+")
HINDI = ("भारत देश किया गया है में की के लिए और यह एक बहुत सरकार लोगों पानी विद्यालय क्षेत्र प्रदेश "
         "स्वास्थ्य विज्ञान कार्यक्रम दिल्ली किताब पढ़ाई बच्चों शिक्षा सड़क ज़िंदगी हिंदी मराठी नेपाली "
         "ज्ञान श्रीमान कृषि हृदय त्योहार उन्होंने करेंगे").split()
ENGLISH = ("the quick brown fox jumps over a lazy dog while we write tests for tokenizers and their "
           "vocabularies in plain English prose").split()


def _sentences(words, n, seed, end=""):
    rnd = random.Random(seed)
    weights = [1 / (k + 1) for k in range(len(words))]  # a few words common, most rare, as in text
    return [" ".join(rnd.choices(words, weights, k=rnd.randint(3, 12))) + end for _ in range(n)]


def _made_up_words(n, seed):
    """Words of made-up syllables (consonant, optional conjunct, vowel sign), so that the text
    holds many aksharas and pairs of them."""
    rnd = random.Random(seed)
    consonants = "कखगचजटडतदनपबमयरलवसह"
    signs = ["", "ा", "ि", "ी", "ु", "े", "ो", "ं", "्र", "्य"]
    return ["".join(rnd.choice(consonants) + rnd.choice(signs) for _ in range(rnd.randint(2, 4))) for _ in range(n)]


HINDI_TEXT = _sentences(HINDI + _made_up_words(400, 5), 1500, 1, "।")
ENGLISH_TEXT = _sentences(ENGLISH, 300, 2, ".")


def _byte_level_base(path):
    t = Tokenizer(models.BPE(ignore_merges=True))
    t.pre_tokenizer = pre_tokenizers.Sequence([pre_tokenizers.Split(Regex(LLAMA3_PATTERN), "isolated"),
                                               pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)])
    t.decoder = decoders.ByteLevel()
    t.train_from_iterator(ENGLISH_TEXT + HINDI_TEXT[:20], trainers.BpeTrainer(
        vocab_size=600, initial_alphabet=pre_tokenizers.ByteLevel.alphabet(), show_progress=False,
        special_tokens=["<|begin|>", "<|end|>"]))
    # a special token outside the model's vocabulary, as Llama-3's are
    t.add_special_tokens(["<|eot|>"])
    t.save(str(path))
    return path


def _byte_fallback_base(path):
    """Llama-2's form: trained with words kept apart, saved with a normalizer that marks
    spaces and no pre-tokenizer at all (so merges see whole lines)."""
    t = Tokenizer(models.BPE(byte_fallback=True, unk_token="<unk>", fuse_unk=True))
    t.pre_tokenizer = pre_tokenizers.Metaspace(replacement="\u2581", prepend_scheme="first", split=True)
    specials = ["<unk>", "<s>", "</s>"] + [f"<0x{b:02X}>" for b in range(256)]
    t.train_from_iterator(ENGLISH_TEXT + HINDI_TEXT[:20], trainers.BpeTrainer(
        vocab_size=700, special_tokens=specials, show_progress=False))
    doc = json.loads(t.to_str())
    doc["pre_tokenizer"] = None
    # byte tokens are ordinary tokens of the vocabulary (decoded, never skipped as special)
    doc["added_tokens"] = [a for a in doc["added_tokens"] if not a["content"].startswith("<0x")]
    doc["normalizer"] = {"type": "Sequence", "normalizers": [{"type": "Prepend", "prepend": "\u2581"},
                                                            {"type": "Replace", "pattern": {"String": " "},
                                                             "content": "\u2581"}]}
    t = Tokenizer.from_str(json.dumps(doc))
    t.decoder = decoders.Sequence([decoders.Replace("\u2581", " "), decoders.ByteFallback(), decoders.Fuse(),
                                   decoders.Strip(" ", 1, 0)])
    t.save(str(path))
    return path


@pytest.fixture(scope="module")
def bases(tmp_path_factory):
    d = tmp_path_factory.mktemp("bases")
    return {"byte-level": _byte_level_base(d / "bl.json"), "byte-fallback": _byte_fallback_base(d / "bf.json")}


@pytest.fixture(scope="module")
def extended(bases, tmp_path_factory):
    d = tmp_path_factory.mktemp("extended")
    out = {}
    for kind, path in bases.items():
        report = larkspur.extend(path, texts=HINDI_TEXT + ENGLISH_TEXT, new_tokens=600, output=d / f"{kind}.json",
                                 progress=False)
        out[kind] = (report, Tokenizer.from_file(str(path)), Tokenizer.from_file(report["output"]))
    return out


def _random_text(rnd, alphabet, n):
    return "".join(rnd.choice(alphabet) for _ in range(n))


# Characters that a split pattern or a byte fallback treats specially: marks of other
# scripts, joiners, digits, spaces and line ends, letters of several scripts.
NON_DEVANAGARI = (list("abcXYZ019 ,.'!?-\n\t") + ["é", "e\u0301", "ß", "\u200d", "\u200c", "ক", "\u09bf", "த",
                  "\u0bcd", "ж", "中", "😀", "\u00a0", "١"])


@pytest.mark.parametrize("kind", ["byte-level", "byte-fallback"])
def test_base_ids_and_text_without_devanagari_are_kept(extended, kind):
    report, base, ext = extended[kind]
    base_vocab, ext_vocab = base.get_vocab(), ext.get_vocab()
    assert all(ext_vocab[t] == i for t, i in base_vocab.items())
    size = base.get_vocab_size()
    added = sorted(i for t, i in ext_vocab.items() if t not in base_vocab)
    assert added == list(range(size, size + report["tokens_added"])) and report["tokens_added"] == 600
    assert {i: t.content for i, t in base.get_added_tokens_decoder().items()} == \
           {i: t.content for i, t in ext.get_added_tokens_decoder().items()}
    rnd = random.Random(7)
    texts = [_random_text(rnd, NON_DEVANAGARI, rnd.randint(1, 40)) for _ in range(400)] + ENGLISH_TEXT[:50]
    for text in texts:
        assert ext.encode(text).ids == base.encode(text).ids, text


@pytest.mark.parametrize("kind", ["byte-level", "byte-fallback"])
def test_round_trips_and_whole_aksharas(extended, kind):
    report, base, ext = extended[kind]
    rnd = random.Random(11)
    alphabet = NON_DEVANAGARI + [chr(c) for c in range(0x0900, 0x0980)] + list("क्षि ")
    texts = [_random_text(rnd, alphabet, rnd.randint(1, 30)) for _ in range(300)] + HINDI_TEXT[:50]
    for text in texts:
        # the decoders themselves drop a leading space (byte fallback): compare with the base
        assert ext.decode(ext.encode(text).ids) == base.decode(base.encode(text).ids), text
    if kind == "byte-level":
        assert all(ext.decode(ext.encode(t).ids) == t for t in texts)
    # Every akshara of the new text is built before any base merge can cut it: no token of
    # the text learned from ends inside one, where the base cut many.
    assert report["akshara_split_share_after"] == 0.0
    assert report["akshara_split_share_before"] > 0.05
    assert report["tokens_per_word_after"] < report["tokens_per_word_before"]
    # a token is what the words made: no new token mixes Devanagari with other letters
    for token, i in ext.get_vocab().items():
        if i >= base.get_vocab_size():
            assert ext.decode([i]) == "" or all(ord(c) >= 0x900 or c in " \u200c\u200d" or unicodedata.category(c)
                                                 [0] != "L" for c in ext.decode([i])), token


def test_widened_pattern_keeps_words_whole_and_nothing_else():
    wide = widen_pattern(LLAMA3_PATTERN)

    def pieces(pattern, text):
        pre = pre_tokenizers.Split(Regex(pattern), "isolated")
        return [p for p, _ in pre.pre_tokenize_str(text)]

    assert pieces(wide, "मैं उसे किया। ok") == ["मैं", " उसे", " किया", "।", " ok"]
    assert pieces(LLAMA3_PATTERN, "मैं")[:2] == ["म", "ैं"]  # why it is widened
    rnd = random.Random(3)
    for _ in range(300):
        text = _random_text(rnd, NON_DEVANAGARI, rnd.randint(1, 30))
        assert pieces(wide, text) == pieces(LLAMA3_PATTERN, text), text
    marks = r"[^\s\p{L}\p{M}\p{N}]+|[\p{L}\p{M}]+"
    assert widen_pattern(marks) == marks


def test_kept_punctuation_changes_only_devanagari_pieces(bases, extended, tmp_path):
    base = Tokenizer.from_file(str(bases["byte-level"]))
    report = larkspur.extend(bases["byte-level"], texts=HINDI_TEXT, new_tokens=600, output=tmp_path / "p.json",
                             progress=False, keep_punctuation=True)
    ext = Tokenizer.from_file(report["output"])
    assert report["punctuation_kept"]
    pieces = [p for p, _ in ext.pre_tokenizer.pre_tokenize_str("यह किया गया है, क्‍ष। १२३४ ok, done!")]
    assert [ext.decoder.decode([p]) for p in pieces] == ["यह", " किया", " गया", " है,", " क्\u200dष।", " ",
                                                          "१२३", "४", " ok", ",", " done", "!"]
    rnd = random.Random(5)
    for _ in range(300):
        text = _random_text(rnd, NON_DEVANAGARI, rnd.randint(1, 40))
        assert ext.encode(text).ids == base.encode(text).ids, text
    # every sentence's danda joins its last word: fewer tokens than the same extension without
    without = extended["byte-level"][2]
    assert sum(len(e.ids) for e in ext.encode_batch(HINDI_TEXT[:200])) < \
           sum(len(e.ids) for e in without.encode_batch(HINDI_TEXT[:200]))
    with pytest.raises(TypeError, match="keep_punctuation"):
        larkspur.extend(bases["byte-level"], texts=HINDI_TEXT, new_tokens=5, output=tmp_path / "x.json",
                        keep_punctuation="yes")


def test_byte_level_without_a_split_gets_its_pattern(tmp_path):
    t = Tokenizer(models.BPE())
    t.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    t.decoder = decoders.ByteLevel()
    t.train_from_iterator(ENGLISH_TEXT, trainers.BpeTrainer(vocab_size=400, show_progress=False,
                                                            initial_alphabet=pre_tokenizers.ByteLevel.alphabet()))
    t.save(str(tmp_path / "gpt2.json"))
    report = larkspur.extend(tmp_path / "gpt2.json", texts=HINDI_TEXT, new_tokens=50, output=tmp_path / "o.json",
                             progress=False)
    ext = Tokenizer.from_file(report["output"])
    assert report["pattern_widened"] and ext.encode(" किया").tokens == [t for t in ext.encode(" किया").tokens]
    assert len(ext.encode(" किया गया").ids) < len(t.encode(" किया गया").ids)
    assert ext.encode("Hello world, it's 2024!").ids == t.encode("Hello world, it's 2024!").ids


def test_metaspace_base_and_a_prefix_space_that_cannot_be_kept(tmp_path):
    t = Tokenizer(models.BPE(byte_fallback=True, unk_token="<unk>", fuse_unk=True))
    t.pre_tokenizer = pre_tokenizers.Metaspace(replacement="\u2581", prepend_scheme="first", split=False)
    t.decoder = decoders.Metaspace(replacement="\u2581", prepend_scheme="first", split=False)
    t.train_from_iterator(ENGLISH_TEXT + HINDI_TEXT[:20], trainers.BpeTrainer(
        vocab_size=700, special_tokens=["<unk>"] + [f"<0x{b:02X}>" for b in range(256)], show_progress=False))
    t.save(str(tmp_path / "meta.json"))
    report = larkspur.extend(tmp_path / "meta.json", texts=HINDI_TEXT, new_tokens=300, output=tmp_path / "o.json",
                             progress=False)
    ext = Tokenizer.from_file(report["output"])
    assert report["kind"] == "byte-fallback" and ext.encode("किया गया है").tokens == ["▁किया", "▁गया", "▁है"]
    assert ext.encode("hello world, ok").ids == t.encode("hello world, ok").ids
    g = Tokenizer(models.BPE())
    g.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=True)
    g.train_from_iterator(ENGLISH_TEXT, trainers.BpeTrainer(vocab_size=300, show_progress=False,
                                                            initial_alphabet=pre_tokenizers.ByteLevel.alphabet()))
    g.save(str(tmp_path / "g.json"))
    with pytest.raises(ValueError, match="after adding a prefix space"):
        larkspur.extend(tmp_path / "g.json", texts=HINDI_TEXT, new_tokens=10, output=tmp_path / "g-out.json")
    assert not (tmp_path / "g-out.json").exists()


def test_other_models_are_refused(tmp_path):
    for model, trainer in ((models.Unigram(), trainers.UnigramTrainer(vocab_size=60, show_progress=False)),
                           (models.WordPiece(unk_token="[UNK]"),
                            trainers.WordPieceTrainer(vocab_size=60, special_tokens=["[UNK]"], show_progress=False))):
        t = Tokenizer(model)
        t.pre_tokenizer = pre_tokenizers.Whitespace()
        t.train_from_iterator(ENGLISH_TEXT, trainer)
        t.save(str(tmp_path / "m.json"))
        with pytest.raises(ValueError, match=f"the model is {type(model).__name__}"):
            larkspur.extend(tmp_path / "m.json", texts=HINDI_TEXT, new_tokens=10, output=tmp_path / "o.json")
    t = Tokenizer(models.BPE())
    t.pre_tokenizer = pre_tokenizers.Whitespace()
    t.train_from_iterator(ENGLISH_TEXT, trainers.BpeTrainer(vocab_size=60, show_progress=False))
    t.save(str(tmp_path / "plain.json"))
    with pytest.raises(ValueError, match="neither a ByteLevel pre-tokenizer nor byte fallback"):
        larkspur.extend(tmp_path / "plain.json", texts=HINDI_TEXT, new_tokens=10, output=tmp_path / "o.json")
    (tmp_path / "bad.json").write_text("[1, 2]")
    with pytest.raises(ValueError, match="not a tokenizers-library"):
        larkspur.extend(tmp_path / "bad.json", texts=HINDI_TEXT, new_tokens=10, output=tmp_path / "o.json")


def test_inputs_as_training_reads_them(bases, tmp_path):
    base = bases["byte-level"]
    (tmp_path / "a.txt").write_text("\n".join(HINDI_TEXT) + "\n", encoding="utf-8")
    with gzip.open(tmp_path / "a.gz", "wt", encoding="utf-8") as f:
        f.write("\n".join(HINDI_TEXT) + "\n")
    with open(tmp_path / "a.jsonl", "w", encoding="utf-8") as f:
        for line in HINDI_TEXT:
            f.write(json.dumps({"text": line}, ensure_ascii=False) + "\n")
    runs = [dict(files=[tmp_path / "a.txt"]), dict(files=tmp_path / "a.gz"),
            dict(files=[tmp_path / "a.jsonl"], jsonl_key="text"), dict(texts=iter(HINDI_TEXT))]
    outputs = []
    for i, kw in enumerate(runs):
        report = larkspur.extend(base, new_tokens=60, output=tmp_path / f"o{i}.json", progress=False, **kw)
        outputs.append(json.loads(open(report["output"], encoding="utf-8").read())["model"])
    assert all(o == outputs[0] for o in outputs)
    # a tokenizer in memory, as from its path
    from_memory = larkspur.extend(Tokenizer.from_file(str(base)), texts=HINDI_TEXT, new_tokens=60,
                                  output=tmp_path / "mem.json", progress=False)
    assert json.loads(open(from_memory["output"], encoding="utf-8").read())["model"] == outputs[0]
    with pytest.raises(TypeError, match="base must be a path"):
        larkspur.extend(42, texts=HINDI_TEXT, new_tokens=5, output=tmp_path / "x.json")
    with pytest.raises(TypeError, match="pass \\[text\\]"):
        larkspur.extend(base, texts="भारत", new_tokens=5, output=tmp_path / "x.json")
    with pytest.raises(FileNotFoundError, match="missing.txt"):
        larkspur.extend(base, [tmp_path / "missing.txt"], new_tokens=5, output=tmp_path / "x.json")
    with pytest.raises(ValueError, match="no Devanagari words"):
        larkspur.extend(base, texts=ENGLISH_TEXT, new_tokens=5, output=tmp_path / "x.json")
    with pytest.raises(ValueError, match="new_tokens"):
        larkspur.extend(base, texts=HINDI_TEXT, new_tokens=0, output=tmp_path / "x.json")
    with pytest.raises(ValueError, match="is the base tokenizer itself"):
        larkspur.extend(base, texts=HINDI_TEXT, new_tokens=5, output=base)
    (tmp_path / "bad.txt").write_bytes("भारत देश\n".encode() + b"\xff\xfe bad\n" + "किया गया\n".encode())
    with pytest.warns(UnicodeWarning, match="1 line is not valid UTF-8"):
        larkspur.extend(base, [tmp_path / "bad.txt"], new_tokens=5, output=tmp_path / "x.json", progress=False)
    with pytest.raises(ValueError, match="bad.txt:2: the line is not valid UTF-8"):
        larkspur.extend(base, [tmp_path / "bad.txt"], new_tokens=5, output=tmp_path / "x.json", errors="strict")
    # within a memory limit the rarest words are left out, and the result still loads
    report = larkspur.extend(base, texts=HINDI_TEXT, new_tokens=20, output=tmp_path / "m.json", progress=False,
                             memory_limit=4000)
    assert report["words_left_out"] > 0
    Tokenizer.from_file(report["output"])


def test_directory_loads_without_larkspur(bases, tmp_path):
    transformers = pytest.importorskip("transformers")
    base_dir = tmp_path / "base"
    hf = transformers.PreTrainedTokenizerFast(tokenizer_file=str(bases["byte-level"]), bos_token="<|begin|>",
                                              eos_token="<|end|>")
    hf.save_pretrained(base_dir)
    (base_dir / "vocab.json").write_text("{}")  # a slow tokenizer's file, which would now disagree
    larkspur.extend(base_dir, texts=HINDI_TEXT, new_tokens=80, output=tmp_path / "out", progress=False)
    assert not (tmp_path / "out" / "vocab.json").exists()
    code = ("import sys; from transformers import AutoTokenizer; t = AutoTokenizer.from_pretrained(sys.argv[1]); "
            "ids = t('किया गया है', add_special_tokens=False)['input_ids']; assert 'larkspur' not in sys.modules; "
            "print(len(t), max(ids), t.decode(ids))")
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path / "out")], capture_output=True, text=True,
                         env=dict(os.environ, HF_HUB_OFFLINE="1"), cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    size, top, text = out.stdout.split(" ", 2)
    assert int(size) == len(hf) + 80 and int(top) >= len(hf) and text.strip() == "किया गया है"


def test_command_line(bases, tmp_path):
    (tmp_path / "hi.txt").write_text("\n".join(HINDI_TEXT) + "\n", encoding="utf-8")
    run = [sys.executable, "-m", "larkspur", "extend", "--base", str(bases["byte-fallback"]), "--new-tokens", "40",
           "-o", str(tmp_path / "out.json"), "--no-progress", str(tmp_path / "hi.txt")]
    out = subprocess.run(run, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert "tokens_added" in out.stdout and Tokenizer.from_file(str(tmp_path / "out.json")).get_vocab_size() > 700
    out = subprocess.run(run[:-1] + [str(tmp_path / "missing.txt")], capture_output=True, text=True)
    assert out.returncode == 1 and out.stderr.count("\n") == 1 and "missing.txt" in out.stderr


def test_resize_for_extension(extended, bases, tmp_path, monkeypatch):
    torch = pytest.importorskip("torch")
    transformers = pytest.importorskip("transformers")
    import larkspur.hf as lhf

    report, base, ext = extended["byte-level"]
    config = transformers.LlamaConfig(vocab_size=base.get_vocab_size(), hidden_size=16, intermediate_size=32,
                                      num_hidden_layers=1, num_attention_heads=2, num_key_value_heads=2,
                                      tie_word_embeddings=False)
    torch.manual_seed(0)
    model = transformers.LlamaForCausalLM(config)
    before_in = model.get_input_embeddings().weight.detach().clone()
    before_out = model.get_output_embeddings().weight.detach().clone()
    assert lhf.resize_for_extension(model, base, report["output"]) == 600
    after_in = model.get_input_embeddings().weight.detach()
    after_out = model.get_output_embeddings().weight.detach()
    old = base.get_vocab_size()
    assert after_in.shape[0] == ext.get_vocab_size() and torch.equal(after_in[:old], before_in)
    for i in (old, old + 300, ext.get_vocab_size() - 1):
        ids = [t.id for t in base.model.tokenize(ext.id_to_token(i))]
        assert torch.allclose(after_in[i], before_in[ids].mean(0)) and torch.allclose(after_out[i],
                                                                                      before_out[ids].mean(0))
    with pytest.raises(ValueError, match="does not extend"):
        lhf.resize_for_extension(model, Tokenizer.from_file(str(bases["byte-fallback"])), ext)
    monkeypatch.setitem(sys.modules, "torch", None)
    with pytest.raises(ImportError, match="needs torch"):
        lhf.resize_for_extension(model, base, ext)
