"""Checks of the numbers that public functions take, with one wording for each kind, and
the one meaning of "every core" (the native core's: the CPUs this process may run on)."""

from __future__ import annotations

import os
import re
from typing import Any, Optional, Union

from . import _engine


def positive_int(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a positive integer, not {value!r}")
    return value


def nonnegative_int(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError(f"{name} must be a non-negative integer, not {value!r}")
    return value


def share(name: str, value: Any) -> float:
    """A number from 0 up to (not including) 1."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value < 1:
        raise ValueError(f"{name} must be a number from 0 up to (not including) 1, not {value!r}")
    return float(value)


def latin_share(value: Any) -> Union[float, str]:
    """"auto" (the share chosen from the words) or a share from 0 up to (not including) 1."""
    if isinstance(value, str) and value == "auto":
        return value
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value < 1:
        raise ValueError(f"latin_share must be 'auto' or a number from 0 up to (not including) 1, not {value!r}")
    return float(value)


def superwords(value: Any, default: float) -> Optional[float]:
    """The superword stage's share of the vocabulary: None when off (False or None), the
    default for True, else a share strictly between 0 and 1."""
    if value is None or value is False:
        return None
    if value is True:
        return default
    if isinstance(value, (int, float)) and not isinstance(value, bool) and 0 < value < 1:
        return float(value)
    raise ValueError(f"superwords must be True, False or a share of the vocabulary between 0 and 1 "
                     f"(not including either), not {value!r}")


def every_core() -> int:
    """The number of CPUs this process may run on."""
    return _engine.default_threads()


def threads(value: Optional[int], name: str = "num_threads") -> int:
    """A thread count for the native calls: None (0, every core) or a positive integer."""
    return 0 if value is None else positive_int(name, value)


_UNITS = {"": 1, "b": 1, "kb": 10**3, "mb": 10**6, "gb": 10**9, "tb": 10**12,
          "kib": 2**10, "mib": 2**20, "gib": 2**30, "tib": 2**40,
          # A bare letter is binary, as memory sizes are for docker, ulimit and the like.
          "k": 2**10, "m": 2**20, "g": 2**30, "t": 2**40}
_SIZE = re.compile(r"\s*(\d+(?:\.\d+)?)\s*([a-zA-Z]*)\s*")


def memory_limit(value: Any, name: str = "memory_limit") -> int:
    """Bytes of a memory limit: None (0, no limit), a positive int of bytes, or a string
    such as "2GB", "512MiB" or "1.5G". ValueError naming the value otherwise."""
    if value is None:
        return 0
    if isinstance(value, int) and not isinstance(value, bool) and value > 0:
        return value
    m = _SIZE.fullmatch(value) if isinstance(value, str) else None
    if m and m.group(2).lower() in _UNITS:
        size = int(float(m.group(1)) * _UNITS[m.group(2).lower()])
        if size > 0:
            return size
    raise ValueError(f"{name} must be a positive number of bytes or a size such as '2GB' or '512MiB', not {value!r}")


def directory(value: Any, name: str = "tmp_dir") -> str:
    """An existing directory (None: the system's temporary directory, as '')."""
    if value is None:
        return ""
    path = os.fspath(value)
    if not os.path.isdir(path):
        raise (NotADirectoryError if os.path.exists(path) else FileNotFoundError)(
            f"{name} {path!r} is not a directory")
    return path
