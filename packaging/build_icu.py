"""ICU's common library, built from Debian's source package as static position-independent
archives with hidden symbols, for the published wheel.

The normalizer uses ICU for NFC only. ICU compiles NFC's data and the character properties
NFC reads into libicuuc itself (norm2_nfc_data.h, uchar_props_data.h and their kind), so the
wheel needs libicuuc's code and no ICU data at all: ICU's "stubdata" library, whose data
package has no items, satisfies the one symbol libicuuc asks of its data library. ICU's own
build would first build its tools and data; this compiles the sources ICU lists for the
common library (common/sources.txt) and stubdata.cpp directly, with the wheel's compiler:

- `-fPIC`, so that the objects can go into the extension modules;
- `-fvisibility=hidden` and U_STATIC_IMPLEMENTATION (which leaves ICU's API macros empty
  instead of marking every function visible), so that no ICU symbol is exported from the
  wheel and none can be bound to another ICU a process has already loaded;
- no configure step: ICU's headers choose the platform's settings themselves (UTF-8 as the
  default code page on Linux, so no converter is opened for it), and without configure's
  HAVE_DLOPEN, ICU's plug-ins are never loaded.

Only the sources the code reaches are compiled (SOURCES: the objects the linker takes from
a whole libicuuc.a for the extensions, 54 of 198), which takes a quarter of the time; after
archiving, every ICU symbol that an object in the archives refers to must be defined by one
of them, so a missing source fails here. If the code comes to use more of ICU, the wheel
check reports the symbol left undefined in the extension (tests/wheel/check_wheel.py);
`--all-sources` builds the whole common library, and `nm -A` on its libicuuc.a names the
object that defines the symbol. The source is
Debian 12's package (its security patches applied by dpkg-source), fetched with `apt-get
source` through a sources list of its own under OUT_DIR, which leaves the system's apt
configuration alone; the upstream tarball must be ICU 72.1 with the checksum below. The
result, OUT_DIR/{include,lib,LICENSE}, is made once and reused until the compiler, the flags
or the source change (OUT_DIR/build-info.json records them).

Usage: build_icu.py OUT_DIR --toolchain DIR [--jobs N]
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

ICU_VERSION = "72.1"
# icu_72.1.orig.tar.gz as published by ICU and carried by Debian.
ICU_ORIG_SHA256 = "a2d2d38217092a7ed56635e34467f92f976b370e20182ad325edea6681a71d68"
DEBIAN_SUITES = [("http://deb.debian.org/debian", "bookworm"),
                 ("http://deb.debian.org/debian-security", "bookworm-security")]
COMMON_FLAGS = ["-O2", "-fPIC", "-fvisibility=hidden", "-ffunction-sections", "-fdata-sections",
                "-DU_STATIC_IMPLEMENTATION"]
CXX_FLAGS = ["-std=c++17", "-fvisibility-inlines-hidden"]
# The sources of common/ whose objects the extensions link: NFC, the character properties
# the code reads (u_getCombiningClass, u_getIntPropertyValue, u_isalpha, uscript_getScript),
# script names (uscript_getName, from the property names compiled into propname.cpp) and what
# those reach.
SOURCES = """
appendable bmpset bytesinkutil bytestream bytestrie charstr cmemory cstring edits emojiprops
loadednormalizer2impl normalizer2 normalizer2impl patternprops propname putil stringpiece
uarrsort ubidi_props ucase uchar ucharstrie ucharstrieiterator ucln_cmn ucmndata ucptrie
udata udatamem udataswp uhash uinvchar umapfile umath umutablecptrie umutex unifilt unifunct
uniset unisetspan unistr unistr_case uobject uprops ustrcase ustring ustrtrns utf_impl util
utrace utrie2 utrie_swap utypes uvector uvectr32
""".split()


def fail(message):
    sys.exit(f"build_icu: {message}")


def run(cmd, **kw):
    result = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if result.returncode != 0:
        fail(f"{' '.join(map(str, cmd))} failed:\n{result.stdout[-4000:]}{result.stderr[-4000:]}")
    return result.stdout


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def fetch_source(work):
    """Downloads and unpacks Debian's icu source package; returns (source dir, Debian version)."""
    apt = work / "apt"
    (apt / "lists" / "partial").mkdir(parents=True, exist_ok=True)
    sources = apt / "sources.list"
    sources.write_text("".join(f"deb-src {url} {suite} main\n" for url, suite in DEBIAN_SUITES))
    options = ["-o", f"Dir::Etc::SourceList={sources}", "-o", "Dir::Etc::SourceParts=/dev/null",
               "-o", f"Dir::State::Lists={apt / 'lists'}", "-o", "Dir::Cache::pkgcache=",
               "-o", "Dir::Cache::srcpkgcache=", "-o", "APT::Sandbox::User=root"]
    run(["apt-get", *options, "-qq", "update"])
    download = work / "download"
    shutil.rmtree(download, ignore_errors=True)
    download.mkdir()
    run(["apt-get", *options, "-qq", "source", "--download-only", "icu"], cwd=download)
    [dsc] = download.glob("icu_*.dsc")
    debian_version = dsc.stem.split("_", 1)[1]
    if not debian_version.startswith(ICU_VERSION + "-"):
        fail(f"Debian's icu source package is {debian_version}, not ICU {ICU_VERSION}")
    orig = download / f"icu_{ICU_VERSION}.orig.tar.gz"
    if not orig.exists() or sha256(orig) != ICU_ORIG_SHA256:
        fail(f"{orig} is missing or is not ICU {ICU_VERSION}'s tarball (sha256 {ICU_ORIG_SHA256})")
    if not shutil.which("dpkg-source"):
        fail("dpkg-source is needed to unpack the source package (Debian: apt-get install dpkg-dev)")
    src = work / "src"
    shutil.rmtree(src, ignore_errors=True)
    run(["dpkg-source", "--no-check", "-x", str(dsc), str(src)])
    return src / "source", debian_version


def compile_all(sources, toolchain, objdir, jobs):
    objdir.mkdir(parents=True, exist_ok=True)

    def one(item):
        source, defines = item
        compiler = toolchain / ("c++" if source.suffix == ".cpp" else "cc")
        obj = objdir / f"{source.parent.name}_{source.stem}.o"
        flags = COMMON_FLAGS + (CXX_FLAGS if source.suffix == ".cpp" else [])
        run([str(compiler), *flags, *defines, f"-I{source.parent}", f"-I{source.parents[1] / 'common'}",
             "-c", str(source), "-o", str(obj)])
        return obj

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        return list(pool.map(one, sources))


def unresolved_icu_symbols(archives):
    """ICU's symbols (those with the version suffix) that the archives' objects use and none defines."""
    suffix = "_" + ICU_VERSION.split(".")[0]
    defined, used = set(), set()
    for archive in archives:
        for line in run(["nm", "--format=posix", str(archive)]).splitlines():
            fields = line.split()
            if len(fields) < 2 or line.endswith(":"):
                continue
            name, kind = fields[0], fields[1]
            if kind == "U":
                used.add(name)
            elif kind.isupper():
                defined.add(name)
    return sorted(n for n in used - defined if suffix in n)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--toolchain", type=Path, required=True, help="folder written by zig_toolchain.py")
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")))
    parser.add_argument("--all-sources", action="store_true", help="the whole common library, not SOURCES")
    args = parser.parse_args()
    out, toolchain = args.out_dir.resolve(), args.toolchain.resolve()
    compiler_text = "".join((toolchain / n).read_text() for n in ("cc", "c++", "ar"))
    wanted = {"icu": ICU_VERSION, "orig_sha256": ICU_ORIG_SHA256, "flags": COMMON_FLAGS + CXX_FLAGS,
              "compiler": hashlib.sha256(compiler_text.encode()).hexdigest(), "all_sources": args.all_sources,
              "script": sha256(Path(__file__))}
    info = out / "build-info.json"
    if info.exists():
        done = json.loads(info.read_text())
        if {k: done.get(k) for k in wanted} == wanted and (out / "lib" / "libicuuc.a").exists():
            print(f"{out}: ICU {done['debian_version']} already built")
            return
    start = time.monotonic()
    shutil.rmtree(out, ignore_errors=True)
    work = out / "work"
    work.mkdir(parents=True)
    source, debian_version = fetch_source(work)
    fetched = time.monotonic()

    common = source / "common"
    names = (common / "sources.txt").read_text().split() if args.all_sources else [n + ".cpp" for n in SOURCES]
    units = [(common / n, ["-DU_COMMON_IMPLEMENTATION"]) for n in names]
    uc_objs = compile_all(units, toolchain, work / "obj", args.jobs)
    data_objs = compile_all([(source / "stubdata" / "stubdata.cpp", [])], toolchain, work / "obj", args.jobs)
    lib = out / "lib"
    lib.mkdir()
    for name, objs in (("libicuuc.a", uc_objs), ("libicudata.a", data_objs)):
        run([str(toolchain / "ar"), "rcs", str(lib / name), *map(str, objs)])
    missing = unresolved_icu_symbols([lib / "libicuuc.a", lib / "libicudata.a"])
    if missing:
        fail(f"the ICU objects use symbols that none of them defines (a source missing from SOURCES?): "
             f"{', '.join(missing[:20])}")
    shutil.copytree(common / "unicode", out / "include" / "unicode")
    shutil.copy2(source.parent / "LICENSE", out / "LICENSE")
    shutil.rmtree(work)
    wanted["debian_version"] = debian_version
    info.write_text(json.dumps(wanted, indent=1) + "\n")
    end = time.monotonic()
    print(f"{out}: ICU {debian_version}, {len(uc_objs)} sources of its common library and the stub data "
          f"library, in {end - start:.0f} s (fetching the source {fetched - start:.0f} s)")


if __name__ == "__main__":
    main()
