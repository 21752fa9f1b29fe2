"""Writing files whole or not at all.

Every file the package writes (bundle files, run files, token arrays, the command line's
outputs) goes through here: it is written under a temporary name beside its target and
renamed into place only when complete, so that a reader never sees half a file, and a
failed write removes the temporary and raises OSError naming the target.
"""

from __future__ import annotations

import errno
import os
from typing import IO, Any, Callable, Union

PathLike = Union[str, os.PathLike]


def temporary_name(path: PathLike) -> str:
    """Where `path` is written before it takes its name."""
    return os.fspath(path) + ".tmp"


def _named(path: PathLike, e: OSError) -> OSError:
    """The system's error with the target's path, whatever path the failing call had."""
    if e.errno:
        return type(e)(e.errno, e.strerror or str(e), os.fspath(path))
    # A short write (numpy's tofile) carries no error number: on a full file system it is
    # the system's "no space" all the same.
    code = errno.ENOSPC if _nearly_full(path) else errno.EIO
    return OSError(code, f"{os.strerror(code)} ({e})", os.fspath(path))


def _nearly_full(path: PathLike) -> bool:
    try:
        st = os.statvfs(os.path.dirname(os.path.abspath(path)))
    except OSError:
        return False
    return st.f_bavail * st.f_frsize < (1 << 20)


def replace_with(path: PathLike, produce: Callable[[str], None]) -> None:
    """Calls produce(temporary path) to write the file, then renames it to `path`. On any
    failure the temporary file is removed; an OSError names `path`."""
    tmp = temporary_name(path)
    try:
        produce(tmp)
        os.replace(tmp, path)
    except BaseException as e:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(e, OSError):
            raise _named(path, e) from None
        raise


def write_atomic(path: PathLike, write: Callable[[IO[Any]], None], binary: bool = True) -> None:
    """Opens the temporary file, calls write(file), and renames it to `path`."""
    def produce(tmp: str) -> None:
        with open(tmp, "wb") if binary else open(tmp, "w", encoding="utf-8", newline="\n") as f:
            write(f)

    replace_with(path, produce)


def write_text(path: PathLike, text: str) -> None:
    write_atomic(path, lambda f: f.write(text), binary=False)
