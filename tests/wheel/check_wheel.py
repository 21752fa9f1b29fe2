"""The published wheel, checked as a user gets it: installed alone into a fresh virtual
environment and used there, first with the system's ICU libraries out of the loader's reach,
then in a process that has already loaded the system's ICU with global symbols.

Run by `make wheel-test` with the development environment's interpreter; not a pytest
module. It
- checks the wheel's metadata against pyproject.toml (version, licence, classifiers,
  project URLs, extras, the `larkspur` console script), its tag (manylinux2014, that is
  glibc 2.17), that it carries ICU's licence and no copied libraries;
- reads both extension modules' ELF dynamic sections: they may need nothing but the C
  library's parts (libc, libm, libpthread, libdl, librt and the loader), symbols of glibc
  2.17 or older and no C++ runtime's versions, and may export their init function only, so
  that none of the C++ runtime or ICU linked into them can bind to another copy in a process;
- installs the wheel into a new virtual environment and runs this file there (`--inner`)
  inside a private mount namespace in which every system libicu* file reads as empty, so
  that loading one fails (which the inner run checks first). The inner run loads both
  extension files and checks that they map nothing but the C library's parts, then trains,
  saves, loads, encodes and decodes with both LarkspurTokenization and larkspur, and runs
  the console script's encode and pretokenize;
- runs the same again (`--inner --global-icu LIB`) after loading the system's libicuuc with
  RTLD_GLOBAL, as a process that uses another ICU-linked module does, and checks that its
  symbols are in the global scope and that the results, NFC above all, are still right.
Where mount namespaces are refused, the first run goes on with the system's ICU in reach;
the mapping check still shows that the extensions do not load it. The same inner runs are
made on Debian 11 by tests/wheel/check_old_system.py.
"""

import argparse
import glob
import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

# The loader's default directories and the multiarch ones, besides its cache.
LIB_DIRS = ["/lib", "/lib64", "/usr/lib", "/usr/lib64", "/usr/local/lib",
            "/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/usr/local/lib/x86_64-linux-gnu"]
HIDE = 'set -e; while [ "$1" != "--" ]; do mount --bind /dev/null "$1"; shift; done; shift; exec "$@"'
# What a manylinux2014 extension may need: the C library's parts, at glibc 2.17's symbols.
ALLOWED_NEEDED = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                  "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
GLIBC_MAX = (2, 17)


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
    try:
        import tomllib
    except ImportError:  # before 3.11
        import tomli as tomllib

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
    platform_tags = wheel.name[:-4].split("-")[4].split(".")
    if not any(t.startswith(("manylinux_2_17_", "manylinux2014_")) for t in platform_tags) \
            or any(t.startswith("manylinux_2_") and int(t.split("_")[2]) > 17 for t in platform_tags):
        problems.append(f"not tagged for glibc 2.17 (manylinux2014): {wheel.name}")
    if "Tag: " not in wheel_info:
        problems.append("WHEEL names no tag")
    copied = [n for n in names if ".libs/" in n]
    if copied:
        problems.append(f"libraries copied from a system: {copied}")
    if not any(n.endswith(".dist-info/licenses/ICU-LICENSE") for n in names):
        problems.append("ICU's licence is not in .dist-info/licenses")
    if problems:
        fail(f"{wheel.name}: " + "; ".join(problems))
    tag = wheel.name[:-4].split("-", 2)[2]
    print(f"ok: {wheel.name} ({wheel.stat().st_size / 1e6:.2f} MB, {tag}): metadata as in pyproject.toml, "
          f"ICU's licence, no copied libraries")


def check_binaries(wheel):
    """Both extensions need only the C library (glibc 2.17 at most) and export only PyInit_*."""
    import io

    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile
    from elftools.elf.gnuversions import GNUVerNeedSection

    with zipfile.ZipFile(wheel) as z:
        modules = {n: z.read(n) for n in z.namelist() if n.endswith(".so")}
    if len(modules) != 2:
        fail(f"expected the two extension modules in {wheel.name}, found {sorted(modules)}")
    needed_all = set()
    for name, data in sorted(modules.items()):
        elf = ELFFile(io.BytesIO(data))
        problems = []
        needed = {t.needed for sec in elf.iter_sections() if isinstance(sec, DynamicSection)
                  for t in sec.iter_tags() if t.entry.d_tag == "DT_NEEDED"}
        needed_all |= needed
        if needed - ALLOWED_NEEDED:
            problems.append(f"needs {sorted(needed - ALLOWED_NEEDED)}")
        symbols = list(elf.get_section_by_name(".dynsym").iter_symbols())
        exported = sorted(sym.name for sym in symbols
                          if sym["st_shndx"] != "SHN_UNDEF" and sym["st_info"]["bind"] != "STB_LOCAL" and sym.name)
        init = "PyInit_" + Path(name).name.split(".")[0]
        if exported != [init]:
            problems.append(f"exports {exported[:8]}{' ...' if len(exported) > 8 else ''}, not only {init}")
        # A symbol asked for without a version is the interpreter's, or one that neither the
        # link nor the C library of the target provided (an ICU function whose source was not
        # built, a glibc function newer than the target): it would fail at load or first call.
        versym = elf.get_section_by_name(".gnu.version")
        unversioned = sorted(sym.name for i, sym in enumerate(symbols)
                             if sym.name and sym["st_shndx"] == "SHN_UNDEF" and sym["st_info"]["bind"] != "STB_WEAK"
                             and (versym is None or versym.get_symbol(i)["ndx"] in ("VER_NDX_LOCAL", "VER_NDX_GLOBAL"))
                             and not sym.name.startswith(("Py", "_Py")))
        if unversioned:
            problems.append(f"asks for {unversioned[:8]} without a version, which no library here defines")
        for sec in elf.iter_sections():
            if not isinstance(sec, GNUVerNeedSection):
                continue
            for verneed, auxes in sec.iter_versions():
                for aux in auxes:
                    version = aux.name
                    if version.startswith("GLIBC_") and version != "GLIBC_PRIVATE":
                        number = tuple(int(x) for x in version[6:].split("."))
                        if number > GLIBC_MAX:
                            problems.append(f"asks {verneed.name} for {version}")
                    else:
                        problems.append(f"asks {verneed.name} for {version}")
        if problems:
            fail(f"{name}: " + "; ".join(problems))
    print(f"ok: {' and '.join(sorted(Path(n).name for n in modules))} need only {', '.join(sorted(needed_all))} "
          f"(glibc {'.'.join(map(str, GLIBC_MAX))} symbols at most) and export only their init functions")


def fresh_venv(python, where, wheel):
    subprocess.run([python, "-m", "venv", "--clear", str(where)], check=True)
    vpy = where / "bin" / "python"
    subprocess.run([str(vpy), "-m", "pip", "install", "-q", "--disable-pip-version-check", str(wheel)], check=True)
    return vpy


def system_libicuuc():
    """The system's libicuuc as the loader finds it by name (libicuuc.so.72), or None."""
    try:
        cache = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    names = sorted({line.split()[0] for line in cache.splitlines() if line.strip().startswith("libicuuc.so.")})
    return names[-1] if names else None


def run_inner(vpy, hidden, workdir, global_icu=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "LD_", "VIRTUAL_ENV"))}
    env["LARKSPUR_HIDDEN_ICU"] = json.dumps(hidden)
    inner = [str(vpy), os.path.abspath(__file__), "--inner"] + (["--global-icu", global_icu] if global_icu else [])
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
    wheel = pick(args.wheels, tags)
    check_metadata(wheel, expected_metadata(Path(__file__).resolve().parents[2] / "pyproject.toml"))
    check_binaries(wheel)

    hidden = system_icu_files() if namespaces_allowed() else []
    if hidden:
        print(f"ok: the system's ICU is hidden in a private mount namespace ({len(hidden)} files: "
              f"{', '.join(os.path.basename(h) for h in hidden)})")
    else:
        print("note: mount namespaces are not available here (or there is no system ICU); the first run "
              "has the system's ICU in reach, and checks what the extensions map instead")
    work = Path(args.workdir).resolve()
    vpy = fresh_venv(python, work / f"venv-{tag}", wheel)
    result = run_inner(vpy, hidden, work / f"run-{tag}")
    sys.stdout.write(result.stdout)
    if result.returncode != 0:
        fail(f"the wheel does not work on its own:\n{result.stderr}")

    icu = system_libicuuc()
    if icu:
        result = run_inner(vpy, [], work / f"run-{tag}-global-icu", global_icu=icu)
        sys.stdout.write(result.stdout)
        if result.returncode != 0:
            fail(f"the wheel does not work beside the system's ICU loaded with global symbols:\n{result.stderr}")
    else:
        print("note: no system libicuuc here; the run beside it is left out")
    print(f"wheel test passed: {wheel.name}")


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
    count = check_nfc_everywhere(Tok(mode="OCR"))
    print(f"ok: LarkspurTokenization trained {size} tokens from a file with checkpoints, saved, loaded, "
          f"encoded and decoded {len(lines[:200]) + 1} texts alike; NFC agrees with unicodedata "
          f"{unicodedata.unidata_version} on all {count} code points it assigns, alone and combined")
    return Tok


def check_nfc_everywhere(tok):
    """NFC of every code point the interpreter's Unicode assigns, alone, before marks that get
    reordered and composed, and after a Devanagari consonant, against unicodedata's. Normalized
    forms do not change for assigned characters from one Unicode version to the next, so
    Python's version need not be ICU's. Segments are joined by spaces, which neither
    compose nor reorder, so that a few calls cover everything."""
    import unicodedata

    points = [chr(c) for c in range(0x110000)
              if not 0xD800 <= c <= 0xDFFF and unicodedata.category(chr(c)) != "Cn"]
    for prefix, suffix in (("", ""), ("", "\u0323\u0301"), ("", "\u093c"), ("\u0915", "")):
        for i in range(0, len(points), 4096):
            block = [prefix + p + suffix for p in points[i:i + 4096]]
            text = " ".join(block)
            if tok.normalize(text) != unicodedata.normalize("NFC", text):
                wrong = next(b for b in block if tok.normalize(b) != unicodedata.normalize("NFC", b))
                fail(f"NFC of {wrong!r} is {tok.normalize(wrong)!r}, not {unicodedata.normalize('NFC', wrong)!r}")
    return len(points)


def check_larkspur(tmp, lines, Tok, vpy):
    import pickle
    import re

    import larkspur

    tok = larkspur.train(texts=lines, vocab_size=800, progress=False)
    tok.save(tmp / "bundle")
    back = larkspur.load(tmp / "bundle")
    batch = back.encode_batch(lines, num_threads=2)
    if batch != [tok.encode(s) for s in lines] or back.decode_batch(batch) != lines:
        fail("the loaded bundle encodes or decodes the corpus differently")
    if pickle.loads(pickle.dumps(back)).encode(lines[0]) != batch[0]:
        fail("a pickled tokenizer encodes differently")
    # The exact class reads the bundle's vocabulary: the same tokens under the same ids. Byte
    # tokens have names of their own in larkspur ("<0x41>"), so those are compared decoded.
    exact = Tok()
    exact.load_vocab_tsv(str(tmp / "bundle" / "vocab.tsv"))
    other = [i for i in range(exact.vocab_size())
             if exact.vocab_get_surface(i) != back.id_to_token(i)
             and not (re.fullmatch(r"<0x[0-9A-F]{2}>", back.id_to_token(i)) and exact.decode([i]) == back.decode([i]))]
    if other:
        fail(f"the bundle's vocab.tsv gives other tokens in the exact class, first at id {other[0]}: "
             f"{exact.vocab_get_surface(other[0])!r} against {back.id_to_token(other[0])!r}")
    out = cli(vpy, "encode", "-t", tmp / "bundle", input="\n".join(lines[:20]) + "\n")
    if [list(map(int, row.split())) for row in out.splitlines()] != batch[:20]:
        fail("the larkspur command encodes differently from the API")
    if cli(vpy, "decode", "-t", tmp / "bundle", input=out).splitlines() != lines[:20]:
        fail("the larkspur command does not decode what it encoded")
    # Two worker processes, so that the forked workers run the module too.
    (tmp / "docs.txt").write_text("\n".join(lines) + "\n", encoding="utf-8")
    cli(vpy, "pretokenize", "-t", tmp / "bundle", tmp / "docs.txt", "-o", tmp / "pre", "--format", "npy",
        "--workers", "2")
    import numpy

    if numpy.load(tmp / "pre.npy").tolist() != [i for row in batch for i in row]:
        fail("larkspur pretokenize writes other ids than encode_batch")
    print(f"ok: larkspur {larkspur.__version__} trained {tok.vocab_size} ids, saved, loaded, batch-encoded "
          f"and decoded {len(lines)} texts, pickled; the bundle loads into the exact class; the larkspur "
          f"command's encode, decode and pretokenize agree")


def cli(vpy, *args, input=None):
    """Runs the larkspur console script of the environment; its output, or a failure with its errors."""
    result = subprocess.run([str(Path(vpy).parent / "larkspur"), *map(str, args)], input=input,
                            capture_output=True, text=True)
    if result.returncode != 0:
        fail(f"larkspur {' '.join(map(str, args))} exited with {result.returncode}:\n{result.stderr}")
    return result.stdout


def mapped_files():
    with open("/proc/self/maps") as maps:
        return {line.split(None, 5)[5].strip() for line in maps if len(line.split(None, 5)) == 6}


def check_own_libraries():
    """Loads both extension files (without running their init) and checks what they map."""
    import ctypes
    import sysconfig

    platlib = Path(sysconfig.get_paths()["platlib"])
    modules = sorted(platlib.glob("LarkspurTokenization*.so")) + sorted(platlib.glob("larkspur/_engine*.so"))
    if len(modules) != 2:
        fail(f"expected the two extension modules in {platlib}, found {modules}")
    before = mapped_files()
    for module in modules:
        ctypes.CDLL(str(module))
    new = {Path(p) for p in mapped_files() - before if p.startswith("/")} - set(modules)
    stray = sorted(str(p) for p in new if not p.name.startswith(tuple(n.split(".so")[0] + "." for n in ALLOWED_NEEDED)))
    if stray:
        fail(f"the extensions load libraries besides the C library: {stray}")
    print(f"ok: the extensions map nothing but themselves and the C library's parts "
          f"({', '.join(sorted(p.name for p in new)) or 'already loaded'})")


def load_global_icu(library):
    """Loads the system's libicuuc with RTLD_GLOBAL and checks that its symbols are global."""
    import ctypes

    ctypes.CDLL(library, mode=ctypes.RTLD_GLOBAL)
    major = library.rsplit(".so.", 1)[1].split(".")[0]
    try:
        getattr(ctypes.CDLL(None), f"u_errorName_{major}")
    except AttributeError:
        fail(f"{library} is loaded but u_errorName_{major} is not in the global scope")
    icu = sorted(p for p in mapped_files() if os.path.basename(p).startswith("libicuuc"))
    print(f"ok: the system's ICU is loaded with global symbols before the modules: {', '.join(icu)}")


def inner(global_icu):
    import tempfile

    if global_icu:
        load_global_icu(global_icu)
    else:
        check_icu_hidden()
        check_own_libraries()
    import LarkspurTokenization  # noqa: F401
    import larkspur

    for module in (LarkspurTokenization, larkspur):
        if "site-packages" not in module.__file__:
            fail(f"{module.__name__} comes from {module.__file__}, not from the environment")
    lines = corpus_lines(600)
    with tempfile.TemporaryDirectory() as d:
        Tok = check_exact(Path(d), lines)
        check_larkspur(Path(d), lines, Tok, sys.executable)


def main():
    parser = argparse.ArgumentParser(description="Check the published wheel in a fresh environment.")
    parser.add_argument("--inner", action="store_true", help="run the checks in this interpreter, with the "
                        "wheel installed (as check_old_system.py does inside Debian 11)")
    parser.add_argument("--global-icu", metavar="LIB", help="with --inner: load LIB (a libicuuc) with global "
                        "symbols first")
    parser.add_argument("--wheels", help="folder with the wheels (dist)")
    parser.add_argument("--workdir", default="build/wheel-test")
    parser.add_argument("--python", help="the interpreter to test the wheel with (default: this one's base)")
    args = parser.parse_args()
    if args.inner:
        inner(args.global_icu)
    elif not args.wheels:
        parser.error("--wheels is needed")
    else:
        outer(args)


if __name__ == "__main__":
    main()
