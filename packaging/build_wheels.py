"""Wheels for CPython 3.9 to 3.14, each built from the sdist by that interpreter, repaired
(repair_wheel.py) and, unless --no-test, tested with tests/wheel/check_wheel.py.

Every wheel is compiled by zig's clang for glibc 2.17 (zig_toolchain.py writes the wrappers
and the CMake toolchain file) against ICU's static common library (build_icu.py): the build
gets CMAKE_TOOLCHAIN_FILE, ICU_ROOT and LARKSPUR_STATIC_ICU through scikit-build-core's
SKBUILD_CMAKE_DEFINE, and finds cmake and ninja beside this interpreter.

The exact module is not built on the Limited API (docs/packaging.md says why), so every
CPython version needs a wheel of its own. `--python PATH` builds the one wheel of that
interpreter (`make wheel`); otherwise an interpreter is taken for each version from PATH
(python3.X) or from pyenv's versions; versions found nowhere are listed at the end, as are
free-threaded builds (python3.13t, python3.14t), which get wheels of their own (cp313t,
cp314t). `--find 3.9` only prints the interpreter that would be used for 3.9.

Usage: build_wheels.py SDIST OUT_DIR WORK_DIR --toolchain DIR --icu DIR [--python PATH | --skip 3.11]
       build_wheels.py --find VERSION
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


def interpreter_info(python):
    """(version as "3.11" or "3.13t", whether the GIL is disabled) of an interpreter."""
    code = ("import sys, sysconfig; ft = bool(sysconfig.get_config_var('Py_GIL_DISABLED'));"
            "print('%d.%d%s' % (sys.version_info[:2] + ('t' if ft else '',)), int(ft))")
    out = subprocess.run([python, "-c", code], capture_output=True, text=True, check=True).stdout.split()
    return out[0], out[1] == "1"


def build_env(args):
    defines = {"CMAKE_TOOLCHAIN_FILE": args.toolchain.resolve() / "toolchain.cmake",
               "ICU_ROOT": args.icu.resolve(), "LARKSPUR_STATIC_ICU": "ON"}
    for path in defines.values():
        if isinstance(path, Path) and not path.exists():
            sys.exit(f"build_wheels: {path} is missing (make toolchain icu-static)")
    env = dict(os.environ, SKBUILD_CMAKE_DEFINE=";".join(f"{k}={v}" for k, v in defines.items()))
    # cmake and ninja from the development environment, so that the isolated build
    # environments do not install their own.
    env["PATH"] = str(Path(sys.executable).parent) + os.pathsep + env.get("PATH", "")
    env.pop("VIRTUAL_ENV", None)
    return env


def build_one(version, python, args, env):
    abi = "cp" + version.replace(".", "")
    tag = abi.rstrip("t")
    raw = args.work_dir / f"raw-{abi}"
    shutil.rmtree(raw, ignore_errors=True)
    log = args.work_dir / f"{abi}.log"
    log.parent.mkdir(parents=True, exist_ok=True)
    steps = [
        [python, "-m", "pip", "wheel", "-q", "--disable-pip-version-check", "--no-deps", "-w", str(raw), str(args.sdist)],
        [sys.executable, str(HERE / "repair_wheel.py"), str(raw), str(args.out_dir)],
    ]
    if not args.no_test:
        steps.append([sys.executable, str(HERE.parent / "tests" / "wheel" / "check_wheel.py"), "--python", python,
                      "--wheels", str(args.out_dir), "--workdir", str(args.work_dir / f"test-{abi}")])
    with open(log, "w") as out:
        ok = all(subprocess.run(step, stdout=out, stderr=subprocess.STDOUT, env=env).returncode == 0 for step in steps)
    print(f"== {version}: {python}\n{log.read_text()}", flush=True)
    wheel = next(iter(sorted(args.out_dir.glob(f"*-{tag}-{abi}-*.whl"))), None)
    return version, wheel.name if wheel and ok else "-", "passed" if ok else "FAILED"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sdist", type=Path, nargs="?")
    parser.add_argument("out_dir", type=Path, nargs="?")
    parser.add_argument("work_dir", type=Path, nargs="?")
    parser.add_argument("--toolchain", type=Path, help="folder written by zig_toolchain.py")
    parser.add_argument("--icu", type=Path, help="folder written by build_icu.py")
    parser.add_argument("--python", help="build the wheel of this interpreter only")
    parser.add_argument("--skip", action="append", default=[], help="a version already built")
    parser.add_argument("--no-test", action="store_true", help="build and repair only")
    parser.add_argument("--find", metavar="VERSION", help="print the interpreter found for VERSION and stop")
    args = parser.parse_args()
    if args.find:
        python = find_interpreter(args.find)
        if not python:
            sys.exit(f"build_wheels: no Python {args.find} on this machine (PATH, pyenv)")
        print(python)
        return
    if not (args.sdist and args.out_dir and args.work_dir and args.toolchain and args.icu):
        parser.error("SDIST, OUT_DIR, WORK_DIR, --toolchain and --icu are needed")
    env = build_env(args)

    jobs, missing = [], []
    if args.python:
        if not runs(args.python):
            sys.exit(f"build_wheels: {args.python} does not run, or lacks venv and ensurepip")
        jobs.append((interpreter_info(args.python)[0], args.python))
    else:
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
        results = list(pool.map(lambda job: build_one(*job, args, env), jobs))

    if len(results) > 1 or missing:
        print("\nper-version wheels")
        for version, wheel, status in results:
            build = "free-threaded" if version.endswith("t") else "with GIL"
            print(f"  {version:5} {build:13} {status:7} {wheel}")
        for version in missing:
            print(f"  {version:5} no interpreter on this machine (PATH, pyenv): not built")
    sys.exit(0 if all(r[2] == "passed" for r in results) else 1)


if __name__ == "__main__":
    main()
