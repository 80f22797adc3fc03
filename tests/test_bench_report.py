"""The benchmark report's checks of its own figures (no timing here)."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

from zbench.harness import Results  # noqa: E402
from zbench.report import honesty_flags, shown  # noqa: E402

SEC = "Bulk build"


def results(floor: list[float], measured: list[float]) -> Results:
    res = Results()
    for v in measured:
        res.add(SEC, "build", "_zelkor", v, "ms")
    for v in floor:
        res.add(SEC, "floor", "_zelkor", v, "ms", floor_of="build")
    return res


@pytest.mark.parametrize("floor, measured, flagged", [
    ([9.0, 4.0], [5.0, 7.0], False),  # the best floor is below the best build
    ([5.0, 6.0], [5.0, 9.0], False),  # equal is still a floor
    ([6.0, 8.0], [5.0, 9.0], True),   # slower than the build's best run
])
def test_a_floor_slower_than_what_it_bounds_is_flagged(floor: list[float], measured: list[float],
                                                        flagged: bool) -> None:
    res = results(floor, measured)
    assert ((SEC, "floor") in honesty_flags(res)) is flagged
    assert shown(res, (SEC, "floor"), "_zelkor") == min(floor)


@pytest.mark.parametrize("unit, flagged", [("ms", True), ("ns/key", True), ("B/key", False)])
def test_negative_times_are_flagged(unit: str, flagged: bool) -> None:
    res = Results()
    for v in (3.0, -1.5, 2.0):
        res.add(SEC, "derived", "_zelkor", v, unit)
    assert ((SEC, "derived") in honesty_flags(res)) is flagged


def test_a_floor_of_a_row_never_measured_is_flagged() -> None:
    res = results([1.0], [])
    assert "not measured" in honesty_flags(res)[(SEC, "floor")][0]
