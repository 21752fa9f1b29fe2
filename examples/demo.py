"""A walk through the tokenizer on the bundled sample.

Normalization under both fold modes, the akshara inventory of the sample, a trained
vocabulary (a Devanagari pass, then a Latin pass) with its statistics, the encoding and
decoding of a mixed sentence, and an interrupted training run resumed from its checkpoint
ending exactly where the uninterrupted run ends.
"""

import os
import signal
import subprocess
import sys
import tempfile
import time

from LarkspurTokenization import PyLarkspurTokenization

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, "sample.txt")

# Folding rules of the kind a project supplies: the Devanagari abbreviation sign read as a
# full stop, and the sacred syllable spelled out. The last rule's replacement contains its
# own pattern, which validate_folding_rules reports: N would not be idempotent with it.
RULES = [("\u0970", "."), ("ॐ", "ओम्"), ("ओम", "ओम्")]
SEEDS = ["ने", "को", "में", "से", "की", "का", "के", "डॉ."]
PUNCTUATION = ["।", ",", ".", "?", "-"]
# Two small paradigms written for this demo: root 1 (खेल, to play) and root 2 (पढ़, to read).
PARADIGMS = {
    1: {"खे": ["ल", "लते", "लना"], "खेल": ["ते", "ना", "ता", "ती"]},
    2: {"पढ़": ["ते", "ना", "ता", "ती", "कर"]},
}
SENTENCE = "डॉ. शर्मा ने कहा कि Python में नया model train करना आसान है।"


def section(title):
    print()
    print("== " + title, flush=True)


def build(mode="LM"):
    tok = PyLarkspurTokenization(folding_rules=RULES, minimal_folding_rules=RULES[:1], mode=mode)
    aksharas = tok.harvest_aksharas(SAMPLE)
    tok.initialize_vocab(aksharas, SEEDS, PUNCTUATION, v_strict=SEEDS[:4], v_ambiguous=[])
    for root, transitions in PARADIGMS.items():
        tok.add_paradigm(root, transitions)
    tok.set_root_prior({1: 2.0, 2: 1.0})
    tok.enable_probabilistic_k(True, root_set_cap=2)
    return tok, aksharas


def train(tok, ckpt_dir=None, progress=0, every=20):
    base = tok.vocab_size()
    return tok.train_bilingual_from_file(
        SAMPLE, dev_budget=base + 150, lat_budget=30, theta=2, progress_lines=0,
        progress_merges=progress, checkpoint_dir=ckpt_dir, checkpoint_every=every, checkpoint_keep=2)


def latest_step(ckpt_dir):
    try:
        with open(os.path.join(ckpt_dir, "LATEST"), encoding="utf-8") as f:
            return int(f.read().strip()[len("step_"):])
    except (OSError, ValueError):
        return -1


def interrupted_child(ckpt_dir):
    """Runs in a child process: trains slowly enough to be killed mid-run."""
    tok, _ = build()
    train(tok, ckpt_dir, every=2)


def main():
    section("normalization")
    text = "ज़रूरी\u200dकाम ॰ क़लम ॐ"
    for mode in ("LM", "OCR"):
        tok = PyLarkspurTokenization(folding_rules=RULES, minimal_folding_rules=RULES[:1], mode=mode)
        print(f"  {mode:3} {tok.normalize(text)!r}")
    print("  rule check:", PyLarkspurTokenization(folding_rules=RULES).validate_folding_rules())

    section("akshara inventory of the sample")
    tok, aksharas = build()
    print(f"  {len(aksharas)} distinct aksharas; most frequent:", " ".join(aksharas[:15]))
    print("  segmentation of 'क्षत्रिय':", tok.dfa_tokenize_debug("क्षत्रिय"))

    section("training (Devanagari pass, then Latin pass)")
    base = tok.vocab_size()
    with tempfile.TemporaryDirectory() as tmp:
        size = train(tok, os.path.join(tmp, "ckpt"), progress=100)
        print(f"  vocabulary {base} -> {size} tokens; newest merges:",
              " ".join(tok.get_token_surface(i) for i in range(size - 8, size)))
        reference = os.path.join(tmp, "reference.tsv")
        tok.save_vocab_tsv(reference)

        section("statistics on the sample")
        with open(SAMPLE, encoding="utf-8") as f:
            lines = [line.rstrip("\n") for line in f]
        for key, value in tok.corpus_stats(lines).items():
            print(f"  {key:20} {value:.4f}" if isinstance(value, float) else f"  {key:20} {value}")

        section("encode and decode")
        ids = tok.encode(SENTENCE)
        print("  text:   ", SENTENCE)
        print("  tokens: ", " | ".join(tok.tokenize_to_strings(SENTENCE)))
        print("  ids:    ", ids)
        print("  decoded:", tok.decode(ids))
        print("  round trip:", tok.verify_roundtrip(SENTENCE))

        section("an interrupted run, resumed")
        ckpt = os.path.join(tmp, "interrupted")
        # The child checkpoints after every other merge and is killed with SIGKILL once it
        # has passed 60 merges, somewhere in the middle of its run.
        child = subprocess.Popen([sys.executable, __file__, "--child", ckpt], stderr=subprocess.DEVNULL)
        deadline = time.time() + 60
        while time.time() < deadline and child.poll() is None and latest_step(ckpt) < 60:
            time.sleep(0.0005)
        child.send_signal(signal.SIGKILL)
        child.wait()
        fresh, _ = build()
        info = fresh.checkpoint_info(ckpt)
        if info is None:
            print("  the child was killed before its first checkpoint; nothing to resume")
            return
        print(f"  killed after {info['merges_done']} merges (phase {info['phase']}); resuming")
        size = fresh.resume_from_checkpoint(ckpt, progress_merges=0, checkpoint_every=25, checkpoint_keep=2)
        resumed = os.path.join(tmp, "resumed.tsv")
        fresh.save_vocab_tsv(resumed)
        same = open(resumed, "rb").read() == open(reference, "rb").read()
        print(f"  resumed vocabulary: {size} tokens; identical to the uninterrupted run: {same}")


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        interrupted_child(sys.argv[2])
    else:
        main()
