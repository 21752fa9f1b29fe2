"""Wheels for the other CPython versions: 3.9 to 3.14, each built from the sdist by that
interpreter, repaired like the main wheel (repair_wheel.py) and tested with check_wheel.py.

The exact module is not built on the Limited API (docs/packaging.md says why), so every
CPython version needs a wheel of its own. An interpreter is taken from PATH (python3.X) or
from pyenv's versions; versions found nowhere are listed at the end, as are free-threaded
builds (python3.13t, python3.14t), which get wheels of their own (cp313t, cp314t).

Usage: build_wheels.py SDIST OUT_DIR WORK_DIR [--skip 3.11]
"""

import argparse
import concurrent.futures
import glob
import os
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
VERSIONS = ["3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.13t", "3.14t"]


def runs(python):
    try:
        return subprocess.run([python, "-c", "import sys, venv, ensurepip"], capture_output=True).returncode == 0
    except OSError:
        return False


def find_interpreter(version):
    """A working python3.X for the version, or None."""
    candidates = [shutil.which(f"python{version}")]
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    number = version.rstrip("t")
    pattern = f"{number}t-*" if version.endswith("t") else f"{number}.*"
    candidates += sorted(glob.glob(f"{root}/versions/{pattern}/bin/python{version}"), reverse=True)
    return next((c for c in candidates if c and runs(c)), None)


def free_threaded(python):
    out = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_config_var('Py_GIL_DISABLED') or 0)"],
                         capture_output=True, text=True)
    return out.stdout.strip() == "1"


def build_one(version, python, args):
    abi = "cp" + version.replace(".", "")
    tag = abi.rstrip("t")
    raw = args.work_dir / f"raw-{abi}"
    shutil.rmtree(raw, ignore_errors=True)
    log = args.work_dir / f"{abi}.log"
    log.parent.mkdir(parents=True, exist_ok=True)
    steps = [
        [python, "-m", "pip", "wheel", "-q", "--disable-pip-version-check", "--no-deps", "-w", str(raw), str(args.sdist)],
        [sys.executable, str(HERE / "repair_wheel.py"), str(raw), str(args.out_dir)],
        [sys.executable, str(HERE.parent / "tests" / "wheel" / "check_wheel.py"), "--python", python,
         "--repaired", str(args.out_dir), "--unrepaired", str(raw), "--workdir", str(args.work_dir / f"test-{abi}")],
    ]
    with open(log, "w") as out:
        ok = all(subprocess.run(step, stdout=out, stderr=subprocess.STDOUT).returncode == 0 for step in steps)
    print(f"== {version}: {python}\n{log.read_text()}", flush=True)
    wheel = next(iter(sorted(args.out_dir.glob(f"*-{tag}-{abi}-*.whl"))), None)
    return version, wheel.name if wheel and ok else "-", "passed" if ok else "FAILED", \
        "free-threaded" if free_threaded(python) else "with GIL"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sdist", type=Path)
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("work_dir", type=Path)
    parser.add_argument("--skip", action="append", default=[], help="a version already built")
    args = parser.parse_args()

    jobs, missing = [], []
    for version in VERSIONS:
        if version in args.skip:
            continue
        python = find_interpreter(version)
        if python:
            jobs.append((version, python))
        else:
            missing.append(version)
    # Two versions at a time: one compiles while the other sets up environments and
    # installs from the index, which leaves the cores idle. Each version's output goes to a
    # log of its own, printed when the version is done.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(lambda job: build_one(*job, args), jobs))

    print("\nper-version wheels")
    for version, wheel, status, build in results:
        print(f"  {version:5} {build:13} {status:7} {wheel}")
    for version in missing:
        print(f"  {version:5} no interpreter on this machine (PATH, pyenv): not built")
    sys.exit(0 if all(r[2] == "passed" for r in results) else 1)


if __name__ == "__main__":
    main()
