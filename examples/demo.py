"""A walk through larkspur on the bundled sample.

Trains a tokenizer on examples/sample.txt, shows the tokens of a mixed Hindi and English
sentence, the statistics over the sample (with what each figure means), a batch encoded
into one numpy array, saving and loading the bundle, the same sentence under a plain BPE
trained on the same sample by the `tokenizers` package, and a training process killed
with SIGKILL and resumed from its checkpoint, ending with the same vocabulary as the run
left alone.
"""

import os
import signal
import subprocess
import sys
import tempfile
import time

import larkspur

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, "sample.txt")
VOCAB_SIZE = 800  # every id: base tokens (aksharas, letters, digits, punctuation, bytes), merges, specials
SENTENCE = "डॉ. शर्मा ने कहा कि Python में नया model train करना आसान है।"

MEANING = {
    "texts": "lines of the sample",
    "words": "white-space separated words in them",
    "tokens": "tokens they encode to",
    "tokens_per_word": "tokens per word: lower means longer, more reusable tokens",
    "byte_fallback_share": "share of tokens that are byte tokens (text the vocabulary does not cover)",
    "roundtrip_ok": "share of lines that decode back to their normalized text (should be 1)",
}


def section(title):
    print()
    print("== " + title, flush=True)


def sample_lines():
    with open(SAMPLE, encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f if line.strip()]


def show_stats(tok):
    stats = tok.stats(files=[SAMPLE])
    for key, meaning in MEANING.items():
        value = stats[key]
        shown = f"{value:.3f}" if isinstance(value, float) else f"{value}"
        print(f"  {key:20} {shown:>8}   {meaning}")
    shares = "  ".join(f"{s} {v:.3f}" for s, v in stats["script_shares"].items())
    print(f"  {'script_shares':20}   {shares}")
    print(f"  {'':20}   share of tokens by class: Devanagari, Latin, punctuation, U+200C, byte tokens")


def plain_bpe(lines):
    """A plain BPE from the tokenizers package, shaped like ours: NFC, U+2581 word marker,
    byte fallback, the same vocabulary size. None when tokenizers is not installed."""
    try:
        from tokenizers import Tokenizer, decoders, models, normalizers, pre_tokenizers, trainers
    except ImportError:
        return None
    tok = Tokenizer(models.BPE(unk_token="<unk>", byte_fallback=True))
    tok.normalizer = normalizers.NFC()
    tok.pre_tokenizer = pre_tokenizers.Metaspace(replacement="\u2581", prepend_scheme="always")
    tok.decoder = decoders.Sequence([decoders.ByteFallback(), decoders.Metaspace(replacement="\u2581")])
    specials = ["<unk>"] + [f"<0x{b:02X}>" for b in range(256)]
    trainer = trainers.BpeTrainer(vocab_size=VOCAB_SIZE, special_tokens=specials, show_progress=False)
    tok.train_from_iterator(lines, trainer)
    return tok


def latest_step(ckpt_dir):
    try:
        with open(os.path.join(ckpt_dir, "LATEST"), encoding="utf-8") as f:
            return int(f.read().strip()[len("step_"):])
    except (OSError, ValueError):
        return -1


def interrupted_child(ckpt_dir):
    """Runs in a child process: checkpoints after every other merge, which makes the run
    slow enough to be killed in the middle."""
    larkspur.train(SAMPLE, vocab_size=VOCAB_SIZE, checkpoint_dir=ckpt_dir, checkpoint_every=2, progress=False)


def main():
    lines = sample_lines()

    section(f"training on {os.path.basename(SAMPLE)} ({len(lines)} lines)")
    started = time.perf_counter()
    tok = larkspur.train(SAMPLE, vocab_size=VOCAB_SIZE, progress=False)
    summary = tok.settings["training"]
    print(f"  {tok!r} in {time.perf_counter() - started:.2f} s")
    print(f"  {summary['word_types']} word types; {summary['base_size']} base tokens, then merges up to "
          f"{summary['trained_size']}, then the special tokens {', '.join(tok.special_tokens)}")

    section("a mixed Hindi and English sentence")
    ids = tok.encode(SENTENCE)
    print("  text:   ", SENTENCE)
    print("  tokens: ", " | ".join(tok.tokenize(SENTENCE)))
    print("  ids:    ", ids)
    print("  decoded:", tok.decode(ids))
    print(f"  {len(ids)} tokens for {len(SENTENCE.split())} words; ▁ stands for the start of the text or a "
          "space, ▂ for one before an ASCII letter or digit")

    section("statistics on the sample")
    show_stats(tok)

    section("a batch, as lists and as one array")
    batch = lines[:3]
    print("  encode_batch:", [len(x) for x in tok.encode_batch(batch)], "tokens per line")
    arr, offsets = tok.encode_to_array(batch)
    print(f"  encode_to_array: {arr.dtype} array of {len(arr)} ids (each line ends with </s> = {tok.eos_id}), "
          f"offsets {offsets.tolist()}")
    print("  decode_batch gives the lines back:", tok.decode_batch(tok.encode_batch(batch)) == batch)

    with tempfile.TemporaryDirectory() as tmp:
        section("save and load")
        bundle = os.path.join(tmp, "sample-tok")
        tok.save(bundle)
        print(f"  saved to a bundle directory: {', '.join(sorted(os.listdir(bundle)))}")
        again = larkspur.load(bundle)
        print("  loaded:", repr(again), "| same ids for the sentence:", again.encode(SENTENCE) == ids)

        section("the same sentence under a plain BPE (tokenizers, same sample, same vocabulary size)")
        peer = plain_bpe(lines)
        if peer is None:
            print("  the tokenizers package is not installed; comparison skipped")
        else:
            enc = peer.encode(SENTENCE)
            print("  tokens: ", " | ".join(enc.tokens))
            peer_tokens = sum(len(peer.encode(s).ids) for s in lines)
            ours_tokens = sum(len(x) for x in tok.encode_batch(lines))
            words = sum(len(s.split()) for s in lines)
            print(f"  {len(enc.ids)} tokens for the sentence (larkspur {len(ids)}); over the sample "
                  f"{peer_tokens / words:.2f} tokens per word (larkspur {ours_tokens / words:.2f})")
            print("  larkspur's tokens are made of whole aksharas, and its default recipe keeps common verb endings\n"
                  "  apart from their stems; a plain BPE merges whatever pairs are frequent, across akshara\n"
                  "  boundaries too. bench/quality.py compares them on held-out text, where recipe=\"plain\"\n"
                  "  needs as few tokens per word as such a BPE (fewer at small vocabularies)")

        section("a training process killed with SIGKILL, then resumed")
        ckpt = os.path.join(tmp, "interrupted")
        child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--child", ckpt],
                                 stderr=subprocess.DEVNULL)
        deadline = time.time() + 30
        while time.time() < deadline and child.poll() is None and latest_step(ckpt) < 60:
            time.sleep(0.0005)
        finished_alone = child.poll() is not None
        child.send_signal(signal.SIGKILL)
        child.wait()
        if latest_step(ckpt) < 0:
            print("  the child was killed before its first checkpoint; nothing to resume")
            return
        if finished_alone:
            print(f"  the child finished before it could be killed (checkpoint step {latest_step(ckpt)}); "
                  "resuming anyway")
        else:
            print(f"  killed at checkpoint step {latest_step(ckpt)}; larkspur.resume() continues the run")
        resumed = larkspur.resume(ckpt, progress=False)
        same = resumed.get_vocab() == tok.get_vocab() and resumed.encode(SENTENCE) == ids
        print(f"  resumed: {resumed!r}; identical to the run left alone: {same}")


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        interrupted_child(sys.argv[2])
    else:
        main()
