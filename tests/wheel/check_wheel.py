"""The published wheel, checked as a user gets it: installed alone into a fresh virtual
environment and used there with the system's ICU libraries out of the loader's reach.

Run by `make wheel-test` with the development environment's interpreter; not a pytest
module. It
- checks the repaired wheel's metadata against pyproject.toml (version, licence,
  classifiers, project URLs, extras, the `larkspur` console script) and its contents (the
  ICU libraries and ICU's licence in larkspurtokenization.libs);
- installs the wheel into a new virtual environment and runs this file there (`--inner`)
  inside a private mount namespace in which every system libicu* file reads as empty, so
  that loading one fails; the inner run trains, saves, loads, encodes and decodes with
  both LarkspurTokenization and larkspur, runs the console script, and checks that every
  ICU library mapped into the process lies inside the wheel's own libs folder;
- does the same with the wheel as built, before repair, which links the system's ICU: that
  run must fail to import, or the hiding proves nothing.
Where mount namespaces are refused, the inner run still checks the mapped libraries, and
the wheel before repair still fails that check; the output says which way it ran.
"""

import argparse
import glob
import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

LIBS_DIR = "larkspurtokenization.libs"
# The loader's default directories and the multiarch ones, besides its cache.
LIB_DIRS = ["/lib", "/lib64", "/usr/lib", "/usr/lib64", "/usr/local/lib",
            "/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/usr/local/lib/x86_64-linux-gnu"]
HIDE = 'set -e; while [ "$1" != "--" ]; do mount --bind /dev/null "$1"; shift; done; shift; exec "$@"'


def fail(message):
    sys.exit(f"check_wheel: FAILED: {message}")


# ---- outer run: metadata, environments, the two inner runs ------------------------------------

def system_icu_files():
    """Every real file of a system ICU library that the loader could find."""
    names = set()
    try:
        cache = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True, check=True).stdout
        names.update(line.split("=>")[-1].strip() for line in cache.splitlines() if "libicu" in line and "=>" in line)
    except (OSError, subprocess.CalledProcessError):
        pass
    for d in LIB_DIRS:
        names.update(glob.glob(os.path.join(d, "libicu*.so*")))
    return sorted({os.path.realpath(n) for n in names if os.path.exists(n)})


def namespaces_allowed():
    try:
        return subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode == 0
    except OSError:
        return False


def expected_metadata(pyproject):
    import tomllib

    project = tomllib.loads(pyproject.read_text(encoding="utf-8"))["project"]
    return project


def check_metadata(wheel, project):
    from packaging.requirements import Requirement

    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        info = next(n for n in names if n.endswith(".dist-info/METADATA"))
        meta = z.read(info).decode()
        entry_points = z.read(info.replace("METADATA", "entry_points.txt")).decode()
        wheel_info = z.read(info.replace("METADATA", "WHEEL")).decode()
    fields = {}
    for line in meta.split("\n\n", 1)[0].splitlines():
        key, _, value = line.partition(": ")
        fields.setdefault(key, []).append(value)
    problems = []

    def want(key, values):
        if sorted(fields.get(key, [])) != sorted(values):
            problems.append(f"{key}: {fields.get(key)} instead of {values}")

    want("Name", [project["name"]])
    want("Version", [project["version"]])
    want("Requires-Python", [project["requires-python"]])
    want("Classifier", project["classifiers"])
    want("Project-URL", [f"{k}, {v}" for k, v in project["urls"].items()])
    want("Provides-Extra", list(project["optional-dependencies"]))
    licence = fields.get("License-Expression", fields.get("License", []))
    if licence != [project["license"]["text"]]:
        problems.append(f"licence {licence} instead of {project['license']['text']}")
    requires = fields.get("Requires-Dist", [])
    # Metadata spells a requirement in its normal form (markers quoted with double quotes).
    normal = {str(Requirement(r)) for r in requires}
    for dep in project["dependencies"]:
        if str(Requirement(dep)) not in normal:
            problems.append(f"Requires-Dist lacks {dep}")
    for extra, deps in project["optional-dependencies"].items():
        for dep in deps:
            if not any(r.startswith(dep) and f"extra == \"{extra}\"" in r for r in requires):
                problems.append(f"Requires-Dist lacks {dep} for the extra {extra}")
    for script, target in project["scripts"].items():
        if f"{script} = {target}" not in entry_points:
            problems.append(f"entry_points.txt lacks the console script {script} = {target}")
    if "Tag: " not in wheel_info or "manylinux" not in wheel.name:
        problems.append(f"not a manylinux wheel: {wheel.name}")
    libs = [n for n in names if n.startswith(LIBS_DIR + "/") and not n.endswith("/")]
    for want_lib in ("libicuuc", "libicudata", "ICU-LICENSE"):
        if not any(Path(n).name.startswith(want_lib) for n in libs):
            problems.append(f"{LIBS_DIR} lacks {want_lib}: {libs}")
    if problems:
        fail(f"{wheel.name}: " + "; ".join(problems))
    tag = wheel.name[:-4].split("-", 2)[2]
    print(f"ok: {wheel.name} ({wheel.stat().st_size / 1e6:.2f} MB, {tag}): metadata as in pyproject.toml, "
          f"carries {', '.join(sorted(Path(n).name for n in libs))}")


def fresh_venv(python, where, wheel):
    subprocess.run([python, "-m", "venv", "--clear", str(where)], check=True)
    vpy = where / "bin" / "python"
    subprocess.run([str(vpy), "-m", "pip", "install", "-q", "--disable-pip-version-check", str(wheel)], check=True)
    return vpy


def run_inner(vpy, hidden, workdir):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "LD_", "VIRTUAL_ENV"))}
    env["LARKSPUR_HIDDEN_ICU"] = json.dumps(hidden)
    inner = [str(vpy), os.path.abspath(__file__), "--inner"]
    cmd = ["unshare", "--mount", "--propagation", "private", "sh", "-c", HIDE, "sh", *hidden, "--", *inner] \
        if hidden else inner
    workdir.mkdir(parents=True, exist_ok=True)
    return subprocess.run(cmd, cwd=workdir, env=env, capture_output=True, text=True)


def interpreter_tag(python):
    """The wheel tags of the interpreter: python and ABI (cp313 and cp313t when free-threaded)."""
    code = ("import sys, sysconfig; v = 'cp%d%d' % sys.version_info[:2];"
            "print(v, v + ('t' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''))")
    out = subprocess.run([python, "-c", code], capture_output=True, text=True, check=True)
    return out.stdout.split()


def pick(directory, tags):
    tag = "-".join(tags)
    found = sorted(Path(directory).glob(f"*-{tag}-*.whl"))
    if len(found) != 1:
        fail(f"expected one {tag} wheel in {directory}, found {[p.name for p in found]}")
    return found[0]


def outer(args):
    python = args.python or getattr(sys, "_base_executable", sys.executable)
    tags = interpreter_tag(python)
    tag = tags[1]
    repaired, unrepaired = pick(args.repaired, tags), pick(args.unrepaired, tags)
    check_metadata(repaired, expected_metadata(Path(__file__).resolve().parents[2] / "pyproject.toml"))

    hidden = system_icu_files() if namespaces_allowed() else []
    if hidden:
        print(f"ok: the system's ICU is hidden in a private mount namespace ({len(hidden)} files: "
              f"{', '.join(os.path.basename(h) for h in hidden)})")
    else:
        print("note: mount namespaces are not available here; the runs check the libraries mapped into "
              "the process instead of hiding the system's ICU")
    work = Path(args.workdir).resolve()

    vpy = fresh_venv(python, work / f"venv-{tag}", repaired)
    result = run_inner(vpy, hidden, work / f"run-{tag}")
    sys.stdout.write(result.stdout)
    if result.returncode != 0:
        fail(f"the repaired wheel does not work on its own:\n{result.stderr}")

    # The control: the wheel before repair links the system's ICU and must not load here.
    vpy = fresh_venv(python, work / f"venv-{tag}-unrepaired", unrepaired)
    result = run_inner(vpy, hidden, work / f"run-{tag}-unrepaired")
    if result.returncode == 0 or "libicu" not in result.stderr:
        fail("the wheel before repair ran with the system's ICU out of reach, so the check sees nothing:\n"
             + result.stdout + result.stderr)
    last = [line for line in result.stderr.splitlines() if "libicu" in line][-1].strip()
    print(f"ok: the wheel before repair fails there, as it must: {last}")
    print(f"wheel test passed: {repaired.name}")


# ---- inner run: inside the fresh environment ----------------------------------------------------

CORPUS_WORDS = ["भारत", "की", "राजधानी", "नई", "दिल्ली", "है", "वह", "घर", "जाता", "जाती", "करना", "करता",
                "लड़का", "लड़की", "पानी", "पीता", "किताब", "पढ़ता", "ने", "को", "से", "में", "और", "model",
                "data", "text", "मराठी", "भाषा", "आहे", "नेपाली", "छ", "।", ","]


def corpus_lines(n):
    import random

    rng = random.Random(16)
    return [" ".join(rng.choice(CORPUS_WORDS) for _ in range(rng.randint(4, 12))) for _ in range(n)]


def check_icu_hidden():
    import ctypes

    for path in json.loads(os.environ.get("LARKSPUR_HIDDEN_ICU", "[]")):
        try:
            ctypes.CDLL(path)
        except OSError:
            continue
        fail(f"{path} still loads: the system's ICU is not hidden")


def check_exact(tmp, lines):
    import unicodedata

    from LarkspurTokenization import PyLarkspurTokenization as Tok

    corpus = tmp / "corpus.txt"
    corpus.write_text("\n".join(lines) + "\n", encoding="utf-8")
    t = Tok(folding_rules=[("\u0970", ".")])
    aksharas = t.harvest_aksharas(str(corpus))
    base = t.initialize_vocab(aksharas, seed_morphemes=["ने", "को"], punctuation=["।", ",", "."],
                              v_strict=["ने"], v_ambiguous=["को"])
    size = t.train_from_file(str(corpus), vocab_budget=base + 150, theta=2, progress_lines=0,
                             progress_merges=0, checkpoint_dir=str(tmp / "ckpt"), checkpoint_every=50)
    if size <= base or t.checkpoint_info(str(tmp / "ckpt")) is None:
        fail(f"training from a file added nothing or left no checkpoint ({base} -> {size})")
    t.save_vocab_tsv(str(tmp / "vocab.tsv"))
    u = Tok(folding_rules=[("\u0970", ".")])
    if u.load_vocab_tsv(str(tmp / "vocab.tsv")) != size:
        fail("the saved vocabulary loads with another size")
    for line in lines[:200] + ["राजधानी\u0970 New Delhi 😀"]:
        ids = t.encode(line)
        if u.encode(line) != ids or u.decode(ids) != t.normalize(line):
            fail(f"the loaded vocabulary encodes or decodes {line!r} differently")
    if sum(len(t.encode(s)) for s in lines) >= sum(len(s) for s in lines) / 2:
        fail("the trained vocabulary hardly shortens the corpus")
    # ICU's NFC, as the wheel carries it, against Python's own tables.
    for s in ["e\u0301", "\u0958", "\u0915\u093c", "A\u030a", "\u1e9b\u0323", "\u0928\u093c\u093e", "\uac00\u11a8"]:
        if t.normalize(s) != unicodedata.normalize("NFC", s):
            fail(f"NFC of {s!r} is {t.normalize(s)!r}")
    print(f"ok: LarkspurTokenization trained {size} tokens from a file with checkpoints, saved, loaded, "
          f"encoded and decoded {len(lines[:200]) + 1} texts alike; NFC agrees with unicodedata")
    return Tok


def check_larkspur(tmp, lines, Tok, vpy):
    import pickle

    import larkspur

    tok = larkspur.train(texts=lines, vocab_size=800, progress=False)
    tok.save(tmp / "bundle")
    back = larkspur.load(tmp / "bundle")
    batch = back.encode_batch(lines, num_threads=2)
    if batch != [tok.encode(s) for s in lines] or back.decode_batch(batch) != lines:
        fail("the loaded bundle encodes or decodes the corpus differently")
    if pickle.loads(pickle.dumps(back)).encode(lines[0]) != batch[0]:
        fail("a pickled tokenizer encodes differently")
    # The exact class reads the bundle's vocabulary: the same surfaces under the same ids.
    exact = Tok()
    exact.load_vocab_tsv(str(tmp / "bundle" / "vocab.tsv"))
    if [exact.vocab_get_surface(i) for i in range(exact.vocab_size())] != \
            [back.id_to_token(i) for i in range(exact.vocab_size())]:
        fail("the bundle's vocab.tsv gives other surfaces in the exact class")
    script = Path(vpy).parent / "larkspur"
    out = subprocess.run([str(script), "encode", "-t", str(tmp / "bundle")], input="\n".join(lines[:20]) + "\n",
                         capture_output=True, text=True, check=True).stdout
    if [list(map(int, row.split())) for row in out.splitlines()] != batch[:20]:
        fail("the larkspur command encodes differently from the API")
    print(f"ok: larkspur {larkspur.__version__} trained {tok.vocab_size} ids, saved, loaded, batch-encoded "
          f"and decoded {len(lines)} texts, pickled; the bundle loads into the exact class; the larkspur "
          f"command agrees")


def check_mapped_icu():
    import sysconfig

    libs = Path(sysconfig.get_paths()["platlib"]) / LIBS_DIR
    with open("/proc/self/maps") as maps:
        mapped = {line.split(None, 5)[5].strip() for line in maps if len(line.split(None, 5)) == 6}
    icu = sorted(p for p in mapped if os.path.basename(p).startswith("libicu"))
    outside = [p for p in icu if Path(p).parent != libs]
    if not icu or outside:
        fail(f"ICU libraries mapped from outside {libs}: {outside or 'none mapped at all'}")
    print(f"ok: every ICU library in the process comes from the wheel: {', '.join(os.path.basename(p) for p in icu)}")


def inner():
    import tempfile

    check_icu_hidden()
    import LarkspurTokenization  # noqa: F401  (an unrepaired wheel fails here)
    import larkspur

    for module in (LarkspurTokenization, larkspur):
        if "site-packages" not in module.__file__:
            fail(f"{module.__name__} comes from {module.__file__}, not from the environment")
    lines = corpus_lines(600)
    with tempfile.TemporaryDirectory() as d:
        Tok = check_exact(Path(d), lines)
        check_larkspur(Path(d), lines, Tok, sys.executable)
    check_mapped_icu()


def main():
    parser = argparse.ArgumentParser(description="Check the repaired wheel in a fresh environment without system ICU.")
    parser.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--repaired", help="folder with the repaired wheel (dist)")
    parser.add_argument("--unrepaired", help="folder with the wheel as built, before repair")
    parser.add_argument("--workdir", default="build/wheel-test")
    parser.add_argument("--python", help="the interpreter to test the wheel with (default: this one's base)")
    args = parser.parse_args()
    if args.inner:
        inner()
    elif not (args.repaired and args.unrepaired):
        parser.error("--repaired and --unrepaired are needed")
    else:
        outer(args)


if __name__ == "__main__":
    main()
