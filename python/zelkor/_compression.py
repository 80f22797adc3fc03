"""How a writer compresses the values it stores: ``compression="zstd"`` or a
:class:`Zstd` with options, checked when the writer is made. The module
does the work at build time (``_ZelkWriter.build_mapped``); readers find the
codec in the file and need no argument."""

from __future__ import annotations

import importlib
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Final, Literal, Union

from ._errors import ZelkValueError

__all__ = ["Compression", "Zstd", "build_arguments", "zstd_available"]

MAX_LEVEL: Final = 22
MIN_DICTIONARY: Final = 1024
MAX_DICTIONARY: Final = 16 << 20
MAX_SAMPLE: Final = 1_000_000


def _check(name: str, value: object, low: int, high: int, optional: bool) -> None:
    if value is None and optional:
        return
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"Zstd({name}=...) takes an int{' or None' if optional else ''}, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"Zstd({name}={value}) is not in {low:,}..{high:,}")


@dataclass(frozen=True)
class Zstd:
    """Values compressed one by one with zstd, with a dictionary trained at
    build time on a sample of them (``compression="zstd"`` is ``Zstd()``).

    *level* is zstd's, 1 to 22: 3 compresses about as fast as MessagePack
    packs; 19 makes values some 10 % smaller and builds many times slower.
    *dictionary_size* (bytes, 1 KiB to 16 MiB) bounds the dictionary; by
    default it is 110 KiB, or a 64th of the values' bytes when that is less.
    *sample_size* is how many values it is trained on (by default 5,000):
    the values whose first keys hash lowest, so that the same content always
    gives the same dictionary, in whatever order it was added.
    """

    level: int = 3
    dictionary_size: int | None = None
    sample_size: int | None = None

    def __post_init__(self) -> None:
        _check("level", self.level, 1, MAX_LEVEL, False)
        _check("dictionary_size", self.dictionary_size, MIN_DICTIONARY, MAX_DICTIONARY, True)
        _check("sample_size", self.sample_size, 1, MAX_SAMPLE, True)

    @classmethod
    def of(cls, figures: Mapping[str, Any]) -> Zstd:
        """The compression of the store whose ``Reader.compression`` is
        *figures*: its level and the options its writer was given, which a
        build of the same content turns into the same values."""
        return cls(level=figures["level"], dictionary_size=figures["dictionary_size_asked"],
                   sample_size=figures["sample_size_asked"])


#: What the writers' *compression* takes.
Compression = Union[Literal["zstd"], Zstd, None]


def zstd_available() -> bool:
    """Whether this installation's module has zstd (from the build
    information; True where there is none, in a source tree, and the module
    then says)."""
    try:
        info: Any = importlib.import_module("zelkor._build_info")
    except ImportError:
        return True
    return getattr(info, "ZSTD", "") is not None


def build_arguments(compression: object) -> dict[str, Any]:
    """The keyword arguments of ``build_mapped`` for *compression*; a
    TypeError or ValueError for anything the writers do not take, and a
    ZelkValueError where the module has no zstd."""
    if compression is None:
        return {}
    if compression == "zstd":
        compression = Zstd()
    if not isinstance(compression, Zstd):
        raise ValueError(f'compression is None, "zstd" or a zelkor.Zstd, not {compression!r}')
    if not zstd_available():
        raise ZelkValueError('ZelkError: compression "zstd" needs zstd, and this build of _zelkor has none: install '
                             "zelkor with its zstd extra from a wheel, which carries zstd (pip install --only-binary "
                             "zelkor 'zelkor[zstd]'), or build it where libzstd's headers and library are installed "
                             "(Debian: apt-get install libzstd-dev)")
    return {"compression": "zstd", "level": compression.level, "dictionary_size": compression.dictionary_size,
            "sample_size": compression.sample_size}
