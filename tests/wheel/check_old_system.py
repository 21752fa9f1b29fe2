"""The cp39 wheel on an older system than the one it was built on: Debian 11 (bullseye), with
glibc 2.31, Python 3.9 and the C++ runtime of GCC 10, in a root made by debootstrap.

Run by `make wheel-test-old`; not a pytest module. It
- makes the root once, with Debian 11's python3, python3-venv and libicu67 (ICU 67, for the
  run beside a system ICU), and keeps it under ROOT for later runs (ROOT/.larkspur-root
  records what it holds; a root that does not match is made again). debootstrap is
  installed from Debian's packages when it is missing;
- copies this machine's resolver configuration, CA bundle and pip configuration into the
  root, so that pip there reaches the package index as it does here;
- mounts /proc, /dev and a fresh /dev/shm (multiprocessing's semaphores live there) into the
  root inside a private mount namespace, so that the mounts end with the commands that use
  them, whatever happens; where namespaces are refused, it mounts them here and unmounts
  them at the end, failure or not;
- inside the root, with chroot: makes a fresh virtual environment with Debian's Python 3.9,
  installs the wheel and its requirements (numpy, tqdm and the rest, from PyPI), and runs
  tests/wheel/check_wheel.py's inner checks there: both extensions map nothing but the C
  library, both packages train, save, load, encode and decode, the larkspur command
  encodes, decodes and pretokenizes; then the same with Debian 11's libicuuc.so.67 loaded
  first with global symbols.

Usage: check_old_system.py --wheels DIR --root DIR
"""

import argparse
import json
import os
import re
import shutil
import ssl
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SUITE = "bullseye"
MIRROR = "http://deb.debian.org/debian"
PACKAGES = ["python3", "python3-venv", "libicu67"]
VENV = "/opt/larkspur-venv"
WORK = "/tmp/larkspur-check"
MOUNT = """set -e
root=$1; shift
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
exec chroot "$root" "$@"
"""


def fail(message):
    sys.exit(f"check_old_system: FAILED: {message}")


def mounts_under(root):
    """Mount points at or below root, deepest first."""
    prefix = str(root.resolve())
    with open("/proc/self/mounts") as f:
        points = [line.split()[1].replace("\\040", " ") for line in f]
    return sorted((p for p in points if p == prefix or p.startswith(prefix + "/")), key=len, reverse=True)


def ensure_debootstrap():
    if shutil.which("debootstrap") or Path("/usr/sbin/debootstrap").exists():
        return
    print("== installing debootstrap", flush=True)
    for cmd in (["apt-get", "update", "-qq"], ["apt-get", "install", "-y", "-qq", "debootstrap"]):
        result = subprocess.run(cmd, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"),
                                capture_output=True, text=True)
        if result.returncode != 0:
            fail(f"{' '.join(cmd)} failed; debootstrap is needed to make the Debian 11 root:\n{result.stderr}")


def make_root(root):
    stamp = root / ".larkspur-root"
    wanted = {"suite": SUITE, "mirror": MIRROR, "packages": PACKAGES}
    if stamp.exists() and json.loads(stamp.read_text()) == wanted:
        print(f"ok: Debian 11 root at {root} (made earlier)")
        return
    ensure_debootstrap()
    partial = root.with_name(root.name + ".partial")
    for old in (root, partial):
        if mounts_under(old):
            fail(f"{old} has file systems mounted below it ({mounts_under(old)}); unmount them first")
        shutil.rmtree(old, ignore_errors=True)
    start = time.monotonic()
    print(f"== making a Debian 11 ({SUITE}) root with debootstrap in {root}", flush=True)
    result = subprocess.run(["debootstrap", "--variant=minbase", f"--include={','.join(PACKAGES)}", SUITE,
                             str(partial), MIRROR], capture_output=True, text=True,
                            env=dict(os.environ, PATH=os.environ.get("PATH", "") + ":/usr/sbin:/sbin"))
    if result.returncode != 0:
        log = partial / "debootstrap" / "debootstrap.log"
        detail = log.read_text()[-3000:] if log.exists() else result.stdout[-3000:] + result.stderr[-3000:]
        fail(f"debootstrap failed:\n{detail}")
    partial.rename(root)
    stamp.write_text(json.dumps(wanted) + "\n")
    print(f"ok: Debian 11 root made in {time.monotonic() - start:.0f} s")


def copy_configuration(root):
    """What pip inside the root needs to reach the index as it does here."""
    copies = [(Path("/etc/resolv.conf"), root / "etc/resolv.conf")]
    cafile = ssl.get_default_verify_paths().cafile or "/etc/ssl/certs/ca-certificates.crt"
    if Path(cafile).exists():
        copies.append((Path(cafile), root / "etc/ssl/certs/ca-certificates.crt"))
    for conf in (Path("/etc/pip.conf"), Path("/etc/xdg/pip")):
        if conf.exists():
            copies.append((conf, root / str(conf).lstrip("/")))
    for src, dst in copies:
        dst.parent.mkdir(parents=True, exist_ok=True)
        if dst.is_symlink() or dst.is_file():
            dst.unlink()
        if src.is_dir():
            shutil.copytree(src, dst, dirs_exist_ok=True)
        else:
            shutil.copyfile(src, dst)


def namespaces_allowed():
    try:
        return subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode == 0
    except OSError:
        return False


class Root:
    """Runs commands in the root with /proc, /dev and /dev/shm mounted."""

    def __init__(self, root):
        self.root = root
        self.private = namespaces_allowed()
        self.env = {"PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "HOME": "/root", "LANG": "C.UTF-8",
                    "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_CERT": "/etc/ssl/certs/ca-certificates.crt",
                    "PIP_DEFAULT_TIMEOUT": os.environ.get("PIP_DEFAULT_TIMEOUT", "60")}
        self.env.update({k: v for k, v in os.environ.items() if k.lower() in ("http_proxy", "https_proxy", "no_proxy")})

    def __enter__(self):
        if not self.private:
            subprocess.run(["sh", "-c", MOUNT.replace('exec chroot "$root" "$@"', "true"), "sh", str(self.root)],
                           check=True)
        return self

    def __exit__(self, *exc):
        if not self.private:
            for point in mounts_under(self.root):
                if subprocess.run(["umount", point]).returncode != 0:
                    subprocess.run(["umount", "-l", point])
        left = mounts_under(self.root)
        if left:
            print(f"warning: still mounted under {self.root}: {left}", file=sys.stderr)

    def run(self, *cmd):
        if self.private:
            full = ["unshare", "--mount", "--propagation", "private", "sh", "-c", MOUNT, "sh", str(self.root), *cmd]
        else:
            full = ["chroot", str(self.root), *cmd]
        return subprocess.run(full, env=self.env, capture_output=True, text=True)


def pick_wheel(directory):
    found = sorted(Path(directory).glob("*-cp39-cp39-*.whl"))
    if len(found) != 1:
        fail(f"expected one cp39 wheel in {directory}, found {[p.name for p in found]}")
    return found[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wheels", required=True, type=Path, help="folder with the cp39 wheel (dist)")
    parser.add_argument("--root", required=True, type=Path, help="where the Debian 11 root is kept")
    args = parser.parse_args()
    wheel = pick_wheel(args.wheels)
    root = args.root.resolve()
    make_root(root)
    copy_configuration(root)
    work = root / WORK.lstrip("/")
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    shutil.copy2(wheel, work / wheel.name)
    shutil.copy2(HERE / "check_wheel.py", work / "check_wheel.py")
    python = f"{VENV}/bin/python"
    try:
        with Root(root) as r:
            def step(what, *cmd):
                start = time.monotonic()
                result = r.run(*cmd)
                if result.returncode != 0:
                    fail(f"{what}:\n{result.stdout[-3000:]}{result.stderr[-3000:]}")
                return result.stdout, time.monotonic() - start

            system, _ = step("Debian 11's Python does not run", "python3", "-c",
                             "import platform, sys; print(platform.libc_ver()[1], platform.python_version())")
            glibc, version = system.split()
            print(f"ok: the root runs glibc {glibc} and Python {version}"
                  f"{' in a private mount namespace' if r.private else ' (mounts made here, unmounted at the end)'}")
            step("the virtual environment could not be made", "python3", "-m", "venv", "--clear", VENV)
            _, took = step(f"pip could not install {wheel.name}", python, "-m", "pip", "install", "-q",
                           f"{WORK}/{wheel.name}")
            out, _ = step("pip list failed", python, "-m", "pip", "list", "--format=freeze")
            print(f"ok: pip installed {wheel.name} with its requirements in {took:.0f} s: "
                  f"{', '.join(sorted(out.split()))}")
            out, _ = step("the wheel does not work on Debian 11", python, f"{WORK}/check_wheel.py", "--inner")
            sys.stdout.write(out)
            [icu] = [f"/{p.relative_to(root)}" for p in root.glob("usr/lib/*/libicuuc.so.*")
                     if re.fullmatch(r"libicuuc\.so\.[0-9]+", p.name)]
            out, _ = step("the wheel does not work beside Debian 11's ICU loaded with global symbols",
                          python, f"{WORK}/check_wheel.py", "--inner", "--global-icu", icu)
            sys.stdout.write(out)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"old-system test passed: {wheel.name} on Debian 11")


if __name__ == "__main__":
    main()
