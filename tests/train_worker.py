"""A training run in a process of its own, for the tests that kill and resume runs.

usage: train_worker.py train DRIVER CORPUS CKPT_DIR EVERY OUT_TSV
       train_worker.py resume - CORPUS CKPT_DIR EVERY OUT_TSV

The tokenizer is built the same way every time (mode, folding rules, paradigms), as a
launcher would before training or resuming; seeding, weights, prior, lexicon and the
probabilistic priority are set only before a fresh run, since a resume restores them.
"""

import sys

from LarkspurTokenization import PyLarkspurTokenization

PARADIGMS = {
    1: {"कर": ["ना", "ता", "ते", "नी"], "करन": ["ा", "े"]},
    2: {"कर": ["ना"], "पढ़": ["ना", "ता"]},
    3: {"पढ़": ["ते", "ना"], "चल": ["ना", "ता"]},
    4: {"चल": ["ते"]},
}
DEV_EXTRA, LAT_EXTRA = 60, 25


def build():
    tok = PyLarkspurTokenization(folding_rules=[("\u0970", ".")], mode="LM")
    for root, transitions in PARADIGMS.items():
        tok.add_paradigm(root, transitions)
    return tok


def seed(tok, corpus):
    aksharas = tok.harvest_aksharas(corpus)
    tok.initialize_vocab(aksharas, ["कर", "पढ़", "चल", "ने", "\u2581"], ["।", ","], ["ने"], ["पढ़"])
    tok.induce_ambiguous_seeds([("मा", 2.5), ("ला", 0.5)], 1.0)
    tok.set_root_prior({1: 2.0, 2: 0.5, 3: 1.0})
    tok.set_token_weight("कर", 1.5)
    tok.set_token_weight("पढ़", 0.75)
    tok.set_lexicon({"गया": 9, "गई": 9})
    tok.enable_probabilistic_k(True, root_set_cap=2)
    return tok.vocab_size()


def main(argv):
    action, driver, corpus, ckpt, every, out = argv
    every = int(every)
    tok = build()
    common = dict(progress_lines=0, progress_merges=0, checkpoint_dir=ckpt, checkpoint_every=every,
                  checkpoint_keep=0)
    if action == "train":
        base = seed(tok, corpus)
        if driver == "file":
            tok.train_from_file(corpus, base + DEV_EXTRA, 2, **common)
        elif driver == "bilingual":
            tok.train_bilingual_from_file(corpus, base + DEV_EXTRA, LAT_EXTRA, 2, **common)
        elif driver == "latin":
            tok.train_latin_from_file(corpus, LAT_EXTRA, **common)
        else:
            raise SystemExit(f"unknown driver {driver}")
    else:
        tok.resume_from_checkpoint(ckpt, progress_merges=0, checkpoint_every=every, checkpoint_keep=0)
    tok.save_vocab_tsv(out)


if __name__ == "__main__":
    main(sys.argv[1:])
