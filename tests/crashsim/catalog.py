"""Every crash scenario the suite and tools/crash_check.py run; a new kind
of workload adds its scenarios here."""

from __future__ import annotations

from .explore import Scenario, Variant
from .sets import BROKEN as SET_BROKEN
from .sets import set_scenarios
from .stores import BROKEN, store_scenarios


def scenarios(*, big: bool = True) -> list[Scenario]:
    """`big`: include the scenarios of multi-MiB files, which are sampled."""
    return store_scenarios(big=big) + set_scenarios()


def broken_variants() -> list[Variant]:
    """Rewrites of a trace that make it unsafe. A variant that finds nothing
    to change in a trace (a set's commit in a single store's build) does
    not apply to it."""
    return list(BROKEN) + list(SET_BROKEN)
