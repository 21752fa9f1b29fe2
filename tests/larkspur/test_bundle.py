"""Bundles: saving, loading, what a bundle records, and bundles that are damaged."""

import json

import pytest

import larkspur
from LarkspurTokenization import PyLarkspurTokenization

from conftest import SAMPLE, sample_texts
from reference_encoder import BYTE_SYMBOLS


class TestBundles:
    def test_a_saved_bundle_restores_the_same_tokenizer(self, tok, tmp_path):
        tok.save(tmp_path / "b")
        back = larkspur.load(tmp_path / "b")
        texts = sample_texts()
        assert [back.encode(t) for t in texts] == [tok.encode(t) for t in texts]
        assert back.stats(texts=texts) == tok.stats(texts=texts)
        assert back.get_vocab() == tok.get_vocab() and back.special_tokens == tok.special_tokens
        doc = json.loads((tmp_path / "b" / "tokenizer.json").read_text(encoding="utf-8"))
        assert doc["format"] == "larkspur-bundle" and doc["version"] == 1
        assert doc["special_tokens"] == tok.special_tokens
        # The exact module reads the same vocabulary file: the same surfaces under the same
        # ids (it encodes with its own defaults, so only a tokenizer trained without the
        # core options encodes as it does).
        exact = PyLarkspurTokenization()
        exact.load_vocab_tsv(str(tmp_path / "b" / "vocab.tsv"))
        assert exact.vocab_size() == tok.vocab_size - len(tok.special_tokens)
        for i in range(exact.vocab_size()):
            surface, name = exact.vocab_get_surface(i), tok.id_to_token(i)  # byte tokens are named "<0xE0>"
            assert name == surface or name == f"<0x{BYTE_SYMBOLS.index(surface):02X}>"

    def test_a_bundle_written_before_the_vocab_digest_loads_alike(self, tok, tmp_path):
        tok.save(tmp_path / "b")
        j = tmp_path / "b" / "tokenizer.json"
        doc = json.loads(j.read_text(encoding="utf-8"))
        assert doc.pop("vocab_digest").startswith("sha256:")
        j.write_text(json.dumps(doc), encoding="utf-8")
        back = larkspur.load(tmp_path / "b")
        assert back.encode_batch(sample_texts()) == tok.encode_batch(sample_texts())

    def test_without_the_core_options_the_exact_module_encodes_alike(self, corpus, tmp_path):
        counts = larkspur.count_words([corpus, SAMPLE])
        tok = larkspur.train_from_word_counts(counts, vocab_size=900, progress=False, _core_options=False)
        assert not any(tok.settings["options"].values())
        tok.save(tmp_path / "b")
        exact = PyLarkspurTokenization()
        exact.load_vocab_tsv(str(tmp_path / "b" / "vocab.tsv"))
        for text in filter(None, sample_texts()):  # larkspur gives an empty text no tokens at all
            assert exact.encode(text) == tok.encode(text)

    def _damage(self, path, what):
        j = path / "tokenizer.json"
        doc = json.loads(j.read_text(encoding="utf-8"))
        if what == "no json":
            j.unlink()
        elif what == "no vocab":
            (path / "vocab.tsv").unlink()
        elif what == "malformed":
            j.write_text("{\"format\": ", encoding="utf-8")
        elif what == "version":
            doc["version"] = 99
        elif what == "format":
            doc["format"] = "other"
        elif what == "special id":
            doc["special_tokens"]["<s>"] = 10 ** 6
        elif what == "escape":
            doc["vocab_file"] = "../vocab.tsv"
        elif what == "root set":
            doc["tokens"]["root_sets"] = {str(10 ** 6): [1]}
        elif what == "kinds":
            doc["tokens"]["kinds"] = doc["tokens"]["kinds"][:-1]
        elif what == "vocab lines":
            with open(path / "vocab.tsv", "a", encoding="utf-8") as f:
                f.write("999999\tzz\n")
        elif what == "edited vocab":
            # Two surfaces swapped: the same number of tokens, each line still well formed.
            rows = (path / "vocab.tsv").read_text(encoding="utf-8").split("\n")
            (i, a), (k, b) = (r.split("\t", 1) for r in (rows[300], rows[301]))
            rows[300], rows[301] = f"{i}\t{b}", f"{k}\t{a}"
            (path / "vocab.tsv").write_text("\n".join(rows), encoding="utf-8")
        if what in ("version", "format", "special id", "escape", "root set", "kinds"):
            j.write_text(json.dumps(doc), encoding="utf-8")

    @pytest.mark.parametrize("what,file,message", [
        ("no json", "tokenizer.json", "missing"),
        ("no vocab", "vocab.tsv", "missing"),
        ("malformed", "tokenizer.json", "malformed JSON"),
        ("version", "tokenizer.json", "unknown version 99"),
        ("format", "tokenizer.json", "format must be 'larkspur-bundle'"),
        ("special id", "tokenizer.json", "special token '<s>' has id 1000000, out of range"),
        ("escape", "tokenizer.json", "leaves the bundle directory"),
        ("root set", "tokenizer.json", "beyond the vocabulary"),
        ("kinds", "tokenizer.json", "each of the"),
        ("vocab lines", "vocab.tsv", "without gaps"),
        ("edited vocab", "vocab.tsv", "tokenizer.json was written with (edited by hand?)"),
    ])
    def test_a_bad_bundle_names_the_file_and_the_problem(self, tok, tmp_path, what, file, message):
        """A bad bundle is a ValueError naming the file at fault; a vocab.tsv edited by hand
        names tokenizer.json beside it."""
        tok.save(tmp_path / "b")
        self._damage(tmp_path / "b", what)
        with pytest.raises(ValueError) as e:
            larkspur.load(tmp_path / "b")
        assert str(tmp_path / "b" / file) in str(e.value) and message in str(e.value)
