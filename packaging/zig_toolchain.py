"""The compiler of the published wheel: zig's clang with its own libc++, aimed at glibc 2.17.

A wheel tagged manylinux2014 may use only the symbols of glibc 2.17 and no C++ runtime from
the system. The compilers Debian ships build against the C library they run on (2.36 here),
and GCC's libstdc++.a asks for symbols of that C library too, so it cannot simply be linked
in. zig, installed from PyPI as the `ziglang` package, carries clang, LLVM's libc++ and the
symbol lists of every glibc version: with the target `x86_64-linux-gnu.2.17` it links against
glibc 2.17's symbols and builds libc++ from source for that target (cached in zig's global
cache, about half a minute the first time), linking it statically into each shared object.

This writes, into OUT_DIR, the wrapper scripts `cc`, `c++`, `ar` and `ranlib`, which run the
zig binary of the ziglang package installed beside this interpreter with that target, and
`toolchain.cmake`, which points CMake at them. A file is only rewritten when its text
changes, so that the compiler cache keeps recognising the compiler.

Usage: zig_toolchain.py OUT_DIR
"""

import argparse
import os
import platform
import shutil
import subprocess
import sys
from pathlib import Path

# The oldest C library the wheel supports: manylinux2014's (CentOS 7's).
GLIBC = "2.17"


def zig_binary():
    try:
        import ziglang
    except ImportError:
        sys.exit("zig_toolchain: the ziglang package is not installed here: pip install -r requirements-wheel.txt")
    zig = Path(ziglang.__file__).parent / "zig"
    if not os.access(zig, os.X_OK):
        sys.exit(f"zig_toolchain: {zig} is not an executable")
    return zig


def target():
    machine = platform.machine()
    arch = {"x86_64": "x86_64", "amd64": "x86_64", "aarch64": "aarch64", "arm64": "aarch64"}.get(machine.lower())
    if not arch:
        sys.exit(f"zig_toolchain: no wheel target for the machine {machine!r}")
    return f"{arch}-linux-gnu.{GLIBC}"


def write_if_changed(path, text, executable=False):
    if not path.exists() or path.read_text() != text:
        path.write_text(text)
    if executable:
        path.chmod(0o755)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir", type=Path)
    args = parser.parse_args()
    out = args.out_dir.resolve()
    out.mkdir(parents=True, exist_ok=True)
    zig, triple = zig_binary(), target()
    version = subprocess.run([str(zig), "version"], capture_output=True, text=True, check=True).stdout.strip()
    # zig hands clang -O2 for any of -O2, -O3 and -Ofast, and keeps frame pointers. The
    # wrappers leave frame pointers out, as GCC does when optimizing, and when -O3 is asked
    # for (CMake's Release) pass it on to clang with a higher inlining threshold (500, from
    # 250): clang left the encoder's vector appends out of line where GCC inlines them.
    # Encoding runs 5 to 10 % faster so, level with the GCC build (bench/bench_wheel.py).
    o3 = 'for a; do [ "$a" = -O3 ] && set -- "$@" -Xclang -O3 -mllvm -inline-threshold=500 && break; done\n'
    wrappers = {
        "cc": o3 + f'exec "{zig}" cc -target {triple} -fomit-frame-pointer "$@"\n',
        "c++": o3 + f'exec "{zig}" c++ -target {triple} -fomit-frame-pointer "$@"\n',
        "ar": f'exec "{zig}" ar "$@"\n',
        "ranlib": f'exec "{zig}" ranlib "$@"\n',
    }
    for name, line in wrappers.items():
        # The version is part of the text, so that the compiler cache sees a new zig as a new compiler.
        write_if_changed(out / name, f"#!/bin/sh\n# Written by packaging/zig_toolchain.py: zig {version}.\n" + line,
                         executable=True)
    # GNU strip keeps the .comment section, which names the compiler (bench/bench_wheel.py
    # reads it); CMake would take llvm-strip where one is installed, which drops it.
    strip = shutil.which("strip")
    write_if_changed(out / "toolchain.cmake", f"""# Written by packaging/zig_toolchain.py: zig's clang and libc++ for {triple}.
set(CMAKE_C_COMPILER "{out}/cc")
set(CMAKE_CXX_COMPILER "{out}/c++")
set(CMAKE_AR "{out}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "{out}/ranlib" CACHE FILEPATH "")
""" + (f'set(CMAKE_STRIP "{strip}" CACHE FILEPATH "")\n' if strip else ""))
    print(f"{out}: zig {version} for {triple}")


if __name__ == "__main__":
    main()
