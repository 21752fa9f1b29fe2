"""The commands that make and describe tokenizers and word counts: train, resume, inspect,
count-words."""

from __future__ import annotations

import argparse
import json
import os
from pathlib import Path
from typing import Any, Dict, List, Optional

from ._args import UsageError, add_ray_arguments, checkpoint_errors_arg, corpus_args, input_files, memory_args, normalization_args, nonnegative_int, positive_int, print_fields, progress_arg, share, superword_share

def _train_args(p: argparse.ArgumentParser) -> None:
    from .. import _recipes

    corpus_args(p)
    p.add_argument("-o", "--output", required=True, metavar="BUNDLE",
                   help="the bundle directory to write (created if missing)")
    p.add_argument("--vocab-size", required=True, type=positive_int, metavar="N",
                   help="every id: base tokens, byte tokens, merges and special tokens")
    normalization_args(p)
    p.add_argument("--recipe", default="morph", choices=sorted(_recipes.RECIPES),
                   help="morph protects common suffixes and postpositions; plain uses no seeds "
                        "(default morph)")
    p.add_argument("--latin-share", type=share, default=_recipes.LATIN_SHARE, metavar="X",
                   help="the part of the vocabulary the Latin pass gets, from 0 up to 1, or auto: "
                        "shared between the scripts as a plain BPE over both would share its merges "
                        f"(default {_recipes.LATIN_SHARE})")
    p.add_argument("--superwords", nargs="?", type=superword_share, const=True, default=False, metavar="SHARE",
                   help="add tokens of whole words that stand together (\"के लिए\", \"of the\"), up to "
                        f"{_recipes.SUPERWORD_WORDS} words each, taking SHARE of the vocabulary (default "
                        f"{_recipes.SUPERWORD_SHARE} when given alone)")
    p.add_argument("--special-tokens", action="append", metavar="LIST",
                   help="special tokens, comma-separated or repeated; an empty LIST means none "
                        "(default <pad>,<s>,</s>,<unk>)")
    p.add_argument("--seeds", metavar="FILE", help="a file of seeds, one per line, replacing the recipe's")
    p.add_argument("--paradigms", metavar="FILE", help="a JSON file of paradigms (recipe morph)")
    p.add_argument("--lexicon", metavar="FILE", help="a JSON file mapping surfaces to root ids (recipe morph)")
    p.add_argument("--checkpoint-dir", metavar="DIR",
                   help="write checkpoints here, so that `larkspur resume DIR` can finish a broken run")
    p.add_argument("--checkpoint-every", type=nonnegative_int, default=0, metavar="K",
                   help="merges between checkpoints (besides one at the end of each pass; needs "
                        "--checkpoint-dir)")
    checkpoint_errors_arg(p)
    memory_args(p)
    progress_arg(p)


def _special_tokens(values: Optional[List[str]]) -> Optional[List[str]]:
    if values is None:
        return None
    return [t for v in values for t in v.split(",") if t]


def _seed_file(path: str) -> List[str]:
    with open(input_files([path])[0], encoding="utf-8") as f:
        return [s for s in (line.rstrip("\r\n") for line in f) if s]


def run_train(args: argparse.Namespace) -> None:
    import larkspur

    if args.checkpoint_every and args.checkpoint_dir is None:
        raise UsageError("--checkpoint-every needs --checkpoint-dir")
    keywords: Dict[str, Any] = {}
    specials = _special_tokens(args.special_tokens)
    if specials is not None:
        keywords["special_tokens"] = specials
    if args.seeds is not None:
        keywords["seeds"] = _seed_file(args.seeds)
    for name in ("paradigms", "lexicon"):
        if getattr(args, name) is not None:
            keywords[name] = input_files([getattr(args, name)])[0]
    tok = larkspur.train(args.files, vocab_size=args.vocab_size, mode=args.mode,
                         jsonl_key=args.jsonl_key, errors="strict" if args.strict_utf8 else "skip",
                         recipe=args.recipe, latin_share=args.latin_share, superwords=args.superwords,
                         folding_rules=[tuple(r) for r in args.folding_rule],
                         checkpoint_dir=args.checkpoint_dir, checkpoint_every=args.checkpoint_every,
                         progress=args.progress, num_workers=args.workers, memory_limit=args.memory_limit,
                         tmp_dir=args.tmp_dir, checkpoint_errors=args.checkpoint_errors, **keywords)
    report = tok.training_report
    if report.get("left_out_types"):
        print(f"kept the word types seen at least {report['min_count']} times to stay within the memory limit: "
              f"{report['left_out_types']} types ({report['left_out_occurrences']} occurrences) left out")
    tok.save(args.output)
    print(f"wrote {args.output}: {tok.vocab_size} ids ({len(tok.special_tokens)} special)")


def _resume_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("checkpoint_dir", metavar="CHECKPOINT_DIR",
                   help="the --checkpoint-dir of a `larkspur train` run")
    p.add_argument("-o", "--output", required=True, metavar="BUNDLE", help="the bundle directory to write")
    checkpoint_errors_arg(p, None)
    progress_arg(p)


def run_resume(args: argparse.Namespace) -> None:
    import larkspur

    tok = larkspur.resume(args.checkpoint_dir, progress=args.progress, checkpoint_errors=args.checkpoint_errors)
    tok.save(args.output)
    print(f"wrote {args.output}: {tok.vocab_size} ids ({len(tok.special_tokens)} special)")


def _inspect_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("path", metavar="PATH", help="a bundle directory or a checkpoint directory")
    p.add_argument("--json", action="store_true", help="print one JSON object instead of lines")


def _describe_bundle(path: str) -> Dict[str, Any]:
    import larkspur

    tok = larkspur.load(path)
    settings = tok.settings
    training = settings.get("training", {})
    merges = None
    if "trained_size" in training and "base_size" in training:
        merges = training["trained_size"] - training["base_size"]
    return {
        "kind": "bundle", "path": path, "complete": True, "mode": tok.mode,
        "vocab_size": tok.vocab_size, "trained_size": tok.vocab_size - len(tok.special_tokens),
        "base_size": training.get("base_size"), "merges": merges,
        "special_tokens": tok.special_tokens,
        "roles": {"pad": tok.pad_id, "bos": tok.bos_id, "eos": tok.eos_id, "unk": tok.unk_id},
        "recipe": settings.get("recipe"), "seeds": len(settings.get("seeds", [])),
        "folding_rules": [list(r) for r in settings.get("folding_rules", [])],
        "options": settings.get("options", {}), "training": training,
    }


def _describe_checkpoint(path: str) -> Dict[str, Any]:
    from .._training import RUN_FILE, checkpoint_info

    run_path = Path(path) / RUN_FILE
    run: Dict[str, Any] = {}
    if run_path.is_file():
        try:
            run = json.loads(run_path.read_text(encoding="utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as e:
            raise ValueError(f"{run_path}: malformed ({e})") from None
    info = checkpoint_info(path)
    if info is None and not run:
        raise ValueError(f"{path}: neither a bundle nor a checkpoint directory")
    out: Dict[str, Any] = {
        "kind": "checkpoint", "path": path, "run_file": bool(run),
        "mode": run.get("mode", info and info["mode"]), "vocab_size": run.get("vocab_size"),
        "latin_share": run.get("latin_share"), "share": run.get("share"),
        "superwords": run.get("superwords"), "special_tokens": run.get("special_tokens"),
        "recipe": run.get("seeds", {}).get("recipe"), "folding_rules": run.get("folding_rules"),
        "checkpoint_every": run.get("checkpoint_every"), "latest": None,
    }
    if info is not None:
        out["latest"] = {k: info[k] for k in ("path", "phase", "merges_done", "vocab_len", "word_types",
                                              "dev_budget", "total_budget", "theta")}
        # Training runs the Devanagari pass up to dev_budget tokens, then the Latin pass up
        # to total_budget; a checkpoint of the Latin pass means the first one is done.
        out["dev_pass_complete"] = info["phase"] == "LAT"
        out["complete"] = info["phase"] == "LAT" and info["vocab_len"] >= info["total_budget"]
    else:
        out["dev_pass_complete"] = out["complete"] = False
    out["resumable"] = bool(run) and info is not None
    return out


def _inspect_lines(d: Dict[str, Any]) -> List[tuple]:
    if d["kind"] == "bundle":
        specials = ", ".join(f"{t}={i}" for t, i in d["special_tokens"].items()) or "none"
        roles = ", ".join(f"{r}={i}" for r, i in d["roles"].items() if i is not None) or "none"
        rules = ", ".join(f"{a}->{b}" for a, b in d["folding_rules"]) or "none"
        training = d["training"]
        return [
            ("bundle", d["path"]), ("mode", d["mode"]),
            ("vocab size", f"{d['vocab_size']} ids ({d['trained_size']} trained, "
                           f"{len(d['special_tokens'])} special)"),
            ("base tokens", d["base_size"] if d["base_size"] is not None else "not recorded"),
            ("merges", d["merges"] if d["merges"] is not None else "not recorded"),
            ("special tokens", specials), ("roles", roles),
            ("recipe", f"{d['recipe']} ({d['seeds']} seeds)"), ("folding rules", rules),
            ("options", json.dumps(d["options"], ensure_ascii=False)),
            ("latin share", _share_text(training.get("latin_share_from"), training)),
            ("superwords", _superword_text(training)),
            ("resumed from", training["resumed_from"]) if "resumed_from" in training else
            ("trained on", ", ".join(training.get("files", [])) or "texts given in Python"),
            ("complete", "yes (a bundle is a finished tokenizer)"),
        ]
    rows = [("checkpoint directory", d["path"]), ("mode", d["mode"] or "not recorded")]
    if d["run_file"]:
        specials = d["special_tokens"] or []
        stage = d["superwords"]
        rows += [("target vocab size", d["vocab_size"]), ("latin share", _share_text(d["latin_share"], d["share"])),
                 ("superwords", f"{stage['ids']} ids ({stage['share']:g} of the vocabulary)" if stage else "none"),
                 ("recipe", d["recipe"]), ("special tokens", ", ".join(specials) or "none"),
                 ("folding rules", ", ".join(f"{a}->{b}" for a, b in d["folding_rules"] or []) or "none"),
                 ("checkpoint every", f"{d['checkpoint_every']} merges")]
    else:
        rows.append(("run file", "missing: `larkspur resume` cannot rebuild this run"))
    latest = d["latest"]
    if latest is None:
        rows.append(("latest checkpoint", "none complete yet"))
    else:
        rows += [("latest checkpoint", latest["path"]), ("phase", latest["phase"]),
                 ("merges done", latest["merges_done"]),
                 ("vocabulary", f"{latest['vocab_len']} of {latest['total_budget']} trained tokens "
                                f"(Devanagari pass up to {latest['dev_budget']})"),
                 ("word types", latest["word_types"])]
    rows += [("devanagari pass", "complete" if d["dev_pass_complete"] else "not complete"),
             ("training", "complete" if d["complete"] else "not complete"),
             ("resumable", "yes" if d["resumable"] else "no")]
    return rows


def _share_text(asked: Any, share: Optional[Dict[str, Any]]) -> str:
    """The Latin share as asked for and as chosen (with the joint BPE's split and the other
    scripts, when recorded)."""
    from .._training import _share_line

    if not share or "latin_share" not in share:
        return "not recorded" if asked is None else str(asked)
    return _share_line(share).replace("latin share ", "", 1)


def _superword_text(training: Dict[str, Any]) -> str:
    if "superwords" not in training:
        return "none"
    return (f"{training['superwords']:,} of up to {training['superword_words']} words "
            f"(share {training['superword_share']:g}; {training['word_runs']:,} word runs)")


def run_inspect(args: argparse.Namespace) -> None:
    from .._bundle import TOKENIZER_FILE

    if not os.path.isdir(args.path):
        raise ValueError(f"{args.path}: no such directory")
    if (Path(args.path) / TOKENIZER_FILE).exists():
        d = _describe_bundle(args.path)
    else:
        d = _describe_checkpoint(args.path)
    if args.json:
        print(json.dumps(d, ensure_ascii=False, indent=1))
    else:
        print_fields(_inspect_lines(d))


def _count_words_args(p: argparse.ArgumentParser) -> None:
    corpus_args(p)
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="the word<TAB>count file to write (larkspur.train_from_word_counts reads it)")
    p.add_argument("--merge", action="store_true",
                   help="the FILEs are word<TAB>count files (counts made in pieces): add them up into OUT")
    normalization_args(p)
    memory_args(p)
    progress_arg(p)
    add_ray_arguments(p)


def run_count_words(args: argparse.Namespace) -> None:
    import larkspur

    if args.merge:
        if args.ray:
            raise UsageError("--merge does not go with --ray")
        return larkspur.merge_word_counts(input_files(args.files), args.output, memory_limit=args.memory_limit,
                                          tmp_dir=args.tmp_dir, progress=args.progress)
    if args.ray:
        return count_words_on_ray(args)
    counts = larkspur.count_words(args.files, mode=args.mode, jsonl_key=args.jsonl_key,
                                  errors="strict" if args.strict_utf8 else "skip",
                                  folding_rules=[tuple(r) for r in args.folding_rule],
                                  num_workers=args.workers, progress=args.progress,
                                  memory_limit=args.memory_limit, tmp_dir=args.tmp_dir)
    counts.save(args.output)


def count_words_on_ray(args: argparse.Namespace) -> None:
    from .. import ray as lray

    if args.strict_utf8:
        raise UsageError("--strict-utf8 does not go with --ray")
    lray.connect(args.ray_address)
    counts = lray.count_words(args.files, mode=args.mode, folding_rules=[tuple(r) for r in args.folding_rule],
                              jsonl_key=args.jsonl_key,
                              memory_limit=args.memory_limit, tmp_dir=args.tmp_dir)
    counts.save(args.output)
