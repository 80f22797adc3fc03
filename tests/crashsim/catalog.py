"""Every crash scenario the suite and tools/crash_check.py run; a new kind
of workload adds its scenarios here."""

from __future__ import annotations

from .explore import Scenario, Variant
from .stores import BROKEN, store_scenarios


def scenarios(*, big: bool = True) -> list[Scenario]:
    """`big`: include the scenarios of multi-MiB files, which are sampled."""
    return store_scenarios(big=big)


def broken_variants() -> list[Variant]:
    return list(BROKEN)
