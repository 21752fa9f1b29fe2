"""The built tokenizer: special tokens, pickling into worker processes, batches and arrays on
several threads, and character offsets."""

import multiprocessing
import pickle
import threading
import time
import unicodedata

import numpy as np
import pytest

import larkspur

from conftest import MIXED, sample_texts


class TestSpecialTokens:
    def test_special_text_is_plain_text_unless_allowed(self, tok):
        text = "<s>कर</s> <pad>"
        plain = tok.encode(text)
        assert not set(plain) & set(tok.special_tokens.values())
        assert tok.decode(plain) == text
        bos, eos, pad = tok.bos_id, tok.eos_id, tok.pad_id
        some = tok.encode(text, allowed_special=["<s>"])
        assert some[0] == bos and eos not in some
        everything = tok.encode(text, allowed_special="all")
        assert [i for i in everything if i in (bos, eos, pad)] == [bos, eos, pad]
        assert tok.decode(everything) == text
        assert tok.decode(everything, skip_special=True) == "कर "
        with pytest.raises(ValueError, match="'<x>' is not a special token"):
            tok.encode(text, allowed_special=["<x>"])

    def test_added_special_tokens_follow_the_vocabulary_and_travel(self, tok, tmp_path):
        t = larkspur.Tokenizer.from_bytes(tok.to_bytes())  # a copy: the fixture is shared
        n, texts = t.vocab_size, sample_texts()
        before = t.encode_batch(texts)
        assert t.add_special_tokens(["<|user|>", "<s>", "<|user|>", "<|bot|>"]) == 2
        assert t.special_tokens["<|user|>"] == n and t.special_tokens["<|bot|>"] == n + 1
        assert t.vocab_size == n + 2 and len(t.get_vocab()) == n + 2 and t.bos_id == tok.bos_id
        assert t.encode_batch(texts) == before and tok.vocab_size == n
        chat = "<|user|>कमल<|bot|>"
        ids = t.encode(chat, allowed_special="all")
        assert ids[0] == n and ids[-1] == n + 1 and t.decode(ids) == chat
        assert n not in t.encode(chat) and t.decode(ids, skip_special=True) == t.decode(t.encode("कमल"))
        t.save(tmp_path / "b")
        for back in (larkspur.load(tmp_path / "b"), pickle.loads(pickle.dumps(t))):
            assert back.special_tokens == t.special_tokens and back.encode(chat, allowed_special="all") == ids
        with pytest.raises(TypeError, match="pass \\[token\\]"):
            t.add_special_tokens("<x>")
        with pytest.raises(ValueError, match="non-empty str"):
            t.add_special_tokens(["<x>", ""])
        assert "<x>" not in t.special_tokens  # nothing added from a refused list

    def test_every_id_has_a_name_of_its_own(self):
        # Letters outside the script classes get tokens of their own, and some of them are
        # also the printable symbols of bytes ("Ā" stands for the byte 0x80).
        texts = ["कमल é ß Ā ñ ĀĀ ÿ Ő 元 kal"] * 20 + sample_texts()
        t = larkspur.train(texts=texts, vocab_size=700, progress=False)
        vocab = t.get_vocab()
        assert len(vocab) == t.vocab_size == 700
        assert all(t.token_to_id(t.id_to_token(i)) == i for i in range(t.vocab_size))
        assert vocab["Ā"] != vocab["<0x80>"]
        text = "Łódź 😀 कमल Ā"
        ids = t.encode(text)
        names = [t.id_to_token(i) for i in ids]
        # A character without a token is spelled by the names of its bytes.
        assert "".join(n for n in names if n.startswith("<0x")).count("<0x") >= 4 + 2
        spelled = bytes(int(n[3:5], 16) for n in names if n.startswith("<0x") and len(n) == 6)
        assert "😀".encode() in spelled
        assert t.decode([vocab[n] for n in names]) == t.decode(ids)

    def test_ids_outside_the_vocabulary_are_named(self, tok):
        n = tok.vocab_size
        assert tok.id_to_token(n - 1) == "<unk>"
        for bad in (n, n + 5, 2 ** 40):
            with pytest.raises(ValueError, match=f"id {bad} is not in the vocabulary"):
                tok.decode([tok.bos_id, bad])
        with pytest.raises(ValueError, match="id -1 is not in the vocabulary"):
            tok.decode([-1])
        with pytest.raises(ValueError, match=f"id {n}"):
            tok.id_to_token(n)


def _encode_in_worker(args):
    tok, texts = args
    return [tok.encode(t) for t in texts]


class TestPickling:
    def test_a_pickled_tokenizer_is_independent_and_equal(self, tok):
        back = pickle.loads(pickle.dumps(tok))
        assert back is not tok and back.get_vocab() == tok.get_vocab()
        assert back.encode(MIXED, allowed_special="all") == tok.encode(MIXED, allowed_special="all")

    def test_the_bytes_depend_only_on_the_tokenizer(self, tok):
        first = tok.to_bytes()
        time.sleep(1.1)  # a file time in the bytes would differ now
        assert tok.to_bytes() == first == pickle.loads(pickle.dumps(tok)).to_bytes()

    def test_workers_leave_no_scratch_directory_behind(self, tok, tmp_path, monkeypatch):
        # Pool workers end without running exit handlers: nothing of a bundle's round trip
        # through files may wait for one.
        import tempfile

        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
        with multiprocessing.get_context("fork").Pool(2) as pool:
            assert pool.map(_encode_in_worker, [(tok, [MIXED])] * 4) == [[tok.encode(MIXED)]] * 4
        pickle.loads(pickle.dumps(tok))
        assert list(tmp_path.iterdir()) == []

    @pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
    def test_it_travels_to_worker_processes(self, tok, method):
        texts = sample_texts()
        with multiprocessing.get_context(method).Pool(2) as pool:
            got = pool.map(_encode_in_worker, [(tok, texts[:20]), (tok, texts[20:])])
        assert got[0] + got[1] == [tok.encode(t) for t in texts]


class TestBatches:
    def test_batches_equal_one_by_one_for_any_thread_count(self, tok):
        texts = sample_texts() * 7
        expect = [tok.encode(t) for t in texts]
        for threads in (1, 2, 3, None):
            assert tok.encode_batch(texts, num_threads=threads) == expect
        assert tok.decode_batch(expect, num_threads=2) == [tok.decode(ids) for ids in expect]

    def test_batches_leave_the_garbage_collector_as_they_found_it(self, tok):
        # The collector is held off while the lists are built, and only then.
        import gc
        texts = sample_texts() * 7
        try:
            gc.disable()
            tok.encode_batch(texts, num_threads=2)
            assert not gc.isenabled()
            gc.enable()
            tok.encode_batch(texts, num_threads=2)
            assert gc.isenabled()
        finally:
            gc.enable()

    def test_arrays_hold_every_text_with_its_end(self, tok):
        texts = sample_texts()
        ids, offsets = tok.encode_to_array(texts)
        assert ids.dtype == np.uint16 and offsets.dtype == np.int64 and len(offsets) == len(texts) + 1
        for i, t in enumerate(texts):
            assert ids[offsets[i]:offsets[i + 1]].tolist() == tok.encode(t) + [tok.eos_id]
        bare, bare_offsets = tok.encode_to_array(texts, append_eos=False, num_threads=2)
        assert len(bare) == len(ids) - len(texts) and bare_offsets[-1] == len(bare)
        no_eos = larkspur.train(texts=["कमल"], vocab_size=600, special_tokens=(), progress=False)
        with pytest.raises(ValueError, match="needs an end-of-text token"):
            no_eos.encode_to_array(["x"])

    def test_one_tokenizer_from_many_threads(self, tok):
        texts = sample_texts()
        expect = [tok.encode(t) for t in texts]
        results, errors = [], []

        def work():
            try:
                for _ in range(20):
                    results.append([tok.encode(t) for t in texts] == expect and
                                   tok.encode_batch(texts, num_threads=2) == expect)
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors and all(results) and len(results) == 80


class TestArgumentEdges:
    """What a caller gets wrong is said in Python's words: the method, the parameter and
    the type it needs; a str where a batch belongs is never taken for its characters."""

    @pytest.mark.parametrize("call, message", [
        (lambda t: t.encode_batch("कमल"), r"encode_batch\(\) takes a list of texts, not a str: pass \[text\]"),
        (lambda t: t.encode_to_array("कमल"), r"encode_to_array\(\) takes a list of texts, not a str"),
        (lambda t: t.encode_batch(b"abc"), r"encode_batch\(\) takes a list of texts, not a bytes"),
        (lambda t: t.encode_batch(7), r"encode_batch\(\) takes a list of texts, not int"),
        (lambda t: t.decode_batch("12"), r"decode_batch\(\) takes a list of lists of ids, not a str"),
        (lambda t: t.decode_batch([[1], "12"]), r"decode_batch\(\): batch\[1\] must be a list of ids, not a str"),
        (lambda t: t.decode("12"), r"decode\(\) takes a list of ids, not a str"),
        (lambda t: t.encode(3), r"encode\(\): text must be a str, not int"),
        (lambda t: t.tokenize(b"x"), r"tokenize\(\): text must be a str, not bytes"),
        (lambda t: t.encode_with_offsets(None), r"encode_with_offsets\(\): text must be a str, not NoneType"),
        (lambda t: t.encode_batch(["x", None]), r"encode_batch\(\): texts\[1\] must be a str, not NoneType"),
    ])
    def test_wrong_types_name_the_parameter(self, tok, call, message):
        with pytest.raises(TypeError, match=message) as err:
            call(tok)
        assert "incompatible function arguments" not in str(err.value)

    @pytest.mark.parametrize("call, where", [
        (lambda t: t.encode("ab\ud800c"), "encode(): text holds a lone surrogate at position 2"),
        (lambda t: t.tokenize("\udfff"), "tokenize(): text holds a lone surrogate at position 0"),
        (lambda t: t.encode_batch(["x", "कम\ud800"]), "texts[1] holds a lone surrogate at position 2"),
    ])
    def test_a_lone_surrogate_names_its_position(self, tok, call, where):
        with pytest.raises(ValueError) as err:
            call(tok)
        assert where in str(err.value)

    def test_any_iterable_of_texts_is_a_batch(self, tok):
        texts = ["कमल", "x y"]
        expect = [tok.encode(t) for t in texts]
        assert tok.encode_batch(tuple(texts)) == tok.encode_batch(iter(texts)) == expect
        assert tok.decode_batch(np.array([expect[0]])) == [tok.decode(expect[0])]


class TestOffsets:
    @pytest.mark.parametrize("text", [MIXED, "  दो  spaces ", "कमल", "", "a\u200db क\u200dष", "emoji 🙂 है।"])
    def test_each_token_covers_its_text(self, tok, text):
        assert unicodedata.is_normalized("NFC", text)
        ids, spans = tok.encode_with_offsets(text)
        assert ids == tok.encode(text) and len(spans) == len(ids)
        assert all(0 <= s <= e <= len(text) for s, e in spans)
        assert [s for s, _ in spans] == sorted(s for s, _ in spans)
        kinds = tok._engine.export_tokens()[1]
        by_char = {}
        for (s, e), i in zip(spans, ids):
            piece = tok.decode([i])
            if kinds[i] == "B":  # spelled as bytes: the character's span
                assert e - s == 1
                by_char.setdefault(s, []).append(i)
            else:
                assert text[s:e].strip() == piece.strip().replace("\u200d", ""), (text, s, e, piece)
        for s, group in by_char.items():
            assert tok.decode(group) == text[s]

    def test_specials_have_their_own_spans(self, tok):
        text = "<s>कमल</s>"
        ids, spans = tok.encode_with_offsets(text, allowed_special="all")
        assert ids[0] == tok.bos_id and spans[0] == (0, 3) and spans[-1] == (len(text) - 4, len(text))
