"""The `larkspur` command line, run as a subprocess on real files.

What it keeps: one line in, one line out for encode and decode; what the commands write
is what the package's functions give for the same input; every failure is one line on
standard error with status 1 (2 for a usage error) and never a traceback.
"""

import argparse
import json
import subprocess
import sys
from pathlib import Path

import pytest

import larkspur
from larkspur.cli import COMMANDS, build_parser

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "sample.txt"
VOCAB = 800  # a little above the sample's smallest possible size


def run(*args, stdin=None, status=0):
    done = subprocess.run([sys.executable, "-m", "larkspur", *map(str, args)], input=stdin,
                          capture_output=True, text=True, encoding="utf-8", timeout=60)
    assert done.returncode == status, done.stderr
    assert "Traceback" not in done.stderr
    return done


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    root = tmp_path_factory.mktemp("cli")
    bundle, ckpt = root / "tok", root / "ckpt"
    out = run("train", SAMPLE, "-o", bundle, "--vocab-size", VOCAB, "--no-progress",
              "--checkpoint-dir", ckpt, "--checkpoint-every", 50).stdout
    assert f"{VOCAB} ids" in out
    return bundle, ckpt, larkspur.load(bundle)


@pytest.fixture
def lines(tmp_path):
    """The sample with an empty line and uneven spacing, which must survive line for line."""
    text = SAMPLE.read_text(encoding="utf-8").splitlines()[:10] + ["", "  दो  spaces here ", "x"]
    path = tmp_path / "in.txt"
    path.write_text("\n".join(text) + "\n", encoding="utf-8")
    return path, text


class TestTrainResumeInspect:
    def test_bundle_and_inspect(self, trained):
        bundle, _, tok = trained
        assert tok.vocab_size == VOCAB
        d = json.loads(run("inspect", bundle, "--json").stdout)
        assert d["kind"] == "bundle" and d["vocab_size"] == VOCAB and d["mode"] == "LM"
        assert d["special_tokens"] == tok.special_tokens
        assert d["merges"] == VOCAB - len(tok.special_tokens) - d["base_size"] > 0
        text = run("inspect", bundle).stdout
        assert f"{VOCAB} ids ({VOCAB - 4} trained, 4 special)" in text and f"merges          {d['merges']}" in text

    def test_checkpoint_inspect_and_resume(self, trained, tmp_path):
        bundle, ckpt, tok = trained
        d = json.loads(run("inspect", ckpt, "--json").stdout)
        b = json.loads(run("inspect", bundle, "--json").stdout)
        assert d["kind"] == "checkpoint" and d["vocab_size"] == VOCAB
        # Training runs past the size and gives the least used merges back after the last
        # checkpoint; and two merges may spell the same surface (the second adds no token).
        assert d["latest"]["vocab_len"] > b["base_size"] + b["merges"] and d["latest"]["merges_done"] >= b["merges"]
        assert d["latest"]["phase"] == "LAT"
        assert d["complete"] and d["dev_pass_complete"] and d["resumable"]
        assert "training              complete" in run("inspect", ckpt).stdout
        run("resume", ckpt, "-o", tmp_path / "again", "--no-progress")
        assert larkspur.load(tmp_path / "again").get_vocab() == tok.get_vocab()

    def test_train_options_reach_the_tokenizer(self, tmp_path):
        seeds = tmp_path / "seeds.txt"
        seeds.write_text("ने\n\nमें\n", encoding="utf-8")
        run("train", SAMPLE, "-o", tmp_path / "b", "--vocab-size", VOCAB, "--mode", "OCR", "--no-progress",
            "--special-tokens", "<s>,</s>", "--special-tokens", "<sep>", "--seeds", seeds,
            "--folding-rule", "ज़", "ज", "--latin-share", "0.1", "--workers", 1)
        tok = larkspur.load(tmp_path / "b")
        assert list(tok.special_tokens) == ["<s>", "</s>", "<sep>"] and tok.mode == "OCR"
        assert tok.settings["seeds"] == ["ने", "में"] and tok.settings["folding_rules"] == [("ज़", "ज")]


class TestEncodeDecode:
    def test_file_to_file_line_for_line(self, trained, lines, tmp_path):
        bundle, _, tok = trained
        path, text = lines
        run("encode", "-t", bundle, path, "-o", tmp_path / "ids")
        ids = (tmp_path / "ids").read_text(encoding="utf-8").split("\n")[:-1]
        # encode_batch, not encode: for an empty text the two disagree ([▁] against []).
        assert ids == [" ".join(map(str, line_ids)) for line_ids in tok.encode_batch(text)]
        run("decode", "-t", bundle, tmp_path / "ids", "-o", tmp_path / "back")
        back = (tmp_path / "back").read_text(encoding="utf-8").split("\n")[:-1]
        assert back == [tok.decode(tok.encode(line)) for line in text]

    def test_stdin_to_stdout_and_tokens(self, trained, lines):
        bundle, _, tok = trained
        _, text = lines
        stdin = "\n".join(text) + "\n"
        ids = run("encode", "-t", bundle, stdin=stdin).stdout
        assert run("decode", "-t", bundle, stdin=ids).stdout.split("\n")[:-1] == [
            tok.decode(tok.encode(line)) for line in text]
        surfaces = run("encode", "-t", bundle, "--tokens", stdin=stdin).stdout.split("\n")[:-1]
        assert surfaces == [" ".join(tok.tokenize(line)) for line in text]


def test_count_words_trains_like_the_files(trained, tmp_path):
    out = tmp_path / "counts.tsv"
    run("count-words", SAMPLE, "-o", out, "--workers", 2, "--no-progress")
    assert larkspur.WordCounts.load(out) == larkspur.count_words([SAMPLE], progress=False)
    from_counts = larkspur.train_from_word_counts(out, vocab_size=VOCAB, progress=False)
    assert from_counts.get_vocab() == trained[2].get_vocab()


def test_stats_lines_and_json(trained):
    bundle, _, tok = trained
    figures = tok.stats(files=[SAMPLE])
    rows = run("stats", "-t", bundle, SAMPLE).stdout.splitlines()
    names = [r.split()[0] for r in rows]
    assert names == [k for k in figures if k != "script_shares"] + [f"script_shares.{s}" for s in figures["script_shares"]]
    assert all(len(r.split()) > 2 for r in rows)  # each figure says what it means
    assert json.loads(run("stats", "-t", bundle, SAMPLE, "--json").stdout) == figures


class TestHelp:
    @pytest.mark.parametrize("name", [c.name for c in COMMANDS])
    def test_every_command_has_help(self, name):
        out = run(name, "--help").stdout
        assert out.startswith(f"usage: larkspur {name}")
        sub = build_parser()._subparsers._group_actions[0].choices[name]
        for action in sub._actions:
            if action.help != argparse.SUPPRESS:  # options for tests and benchmarks only
                assert all(flag in out for flag in action.option_strings)

    def test_installed_script_lists_every_command(self):
        script = Path(sys.executable).parent / "larkspur"
        out = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
        assert out.returncode == 0 and all(c.name in out.stdout for c in COMMANDS)


@pytest.mark.parametrize("args, status, message", [
    (["encode", "-t", "{tmp}/missing"], 1, "missing: not a bundle directory"),
    (["train", SAMPLE, "-o", "{tmp}/b", "--vocab-size", "abc"], 2, "--vocab-size: expected a positive integer"),
    (["train", SAMPLE, "-o", "{tmp}/b", "--vocab-size", "10", "--no-progress"], 1, "below the smallest"),
    (["train", SAMPLE, "-o", "{tmp}/b", "--vocab-size", "900", "--checkpoint-every", "5"], 2, "needs --checkpoint-dir"),
    (["train", "{tmp}/nothing.txt", "-o", "{tmp}/b", "--vocab-size", "900"], 1, "nothing.txt: no such file"),
    (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    (["inspect", "{tmp}"], 1, "neither a bundle nor a checkpoint directory"),
    (["decode", "-t", "{bundle}", "-o", "{tmp}/out", "{tmp}/bad"], 1, "bad:2: 'x' is not an id"),
])
def test_errors_are_one_line(trained, tmp_path, args, status, message):
    (tmp_path / "bad").write_text("1 2\n3 x\n", encoding="utf-8")
    args = [str(a).format(tmp=tmp_path, bundle=trained[0]) for a in args]
    err = run(*args, status=status).stderr
    assert err.count("\n") == 1 and err.startswith("larkspur: error: ") and message in err
    assert not (tmp_path / "out").exists() and not (tmp_path / "out.tmp").exists()
