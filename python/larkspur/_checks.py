"""Checks of the numbers that public functions take, with one wording for each kind, and
the one meaning of "every core" (the native core's: the CPUs this process may run on)."""

from __future__ import annotations

from typing import Any, Optional

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


def every_core() -> int:
    """The number of CPUs this process may run on."""
    return _engine.default_threads()


def threads(value: Optional[int], name: str = "num_threads") -> int:
    """A thread count for the native calls: None (0, every core) or a positive integer."""
    return 0 if value is None else positive_int(name, value)
