"""Crash states of a recorded workload, each built in a fresh directory and
judged by the workload's own check.

A scenario names a workload (run once under the recorder), the starting
files, and a check over a directory holding one crash state. A variant
rewrites the recorded trace before the replay (the real trace, or one with
its flushes removed or misordered, which a sound check must call torn).
"""

from __future__ import annotations

import os
import random
import shutil
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path

from .model import Choice, FileSystem, every_state, state_count
from .record import Outcome, Recording, record
from .trace import Op, Transform, as_recorded


def everything(path: str) -> bool:
    return True


@dataclass(frozen=True)
class CrashPoint:
    """The power went out after `index` of the trace's `total` operations
    (`last` the final one of them) of a workload that ended with
    `outcome`."""

    index: int
    total: int
    last: Op | None
    outcome: Outcome

    @property
    def completed(self) -> bool:
        """Every operation was done and the workload had returned success:
        what it promised must be durable."""
        return self.index == self.total and self.outcome.ok

    def describe(self) -> str:
        where = "before the first operation" if self.last is None else f"after {self.last.describe()}"
        return where + (" (the workload had returned)" if self.completed else "")


# A check returns None for a consistent state, else what is wrong with it.
Check = Callable[[Path, CrashPoint], "str | None"]


@dataclass(frozen=True)
class Scenario:
    """`prepare` puts the starting files into an empty directory (they count
    as durable); `workload(str(directory))` runs in a child under the
    recorder; `check(directory, point)` judges one crash state. `observe`
    limits the enumerated states to the paths the check reads (a directory
    must be observed for what is below it to vary); `space` makes the disk
    full after that many written bytes; `large` marks states costly enough
    to warrant a smaller sample."""

    name: str
    prepare: Callable[[Path], None]
    workload: Callable[[str], object]
    check: Check
    observe: Callable[[str], bool] = everything
    space: int | None = None
    large: bool = False


@dataclass(frozen=True)
class Variant:
    name: str
    transform: Transform = as_recorded
    torn: bool = False  # whether a sound check must find torn states


AS_BUILT = Variant("as built")


@dataclass(frozen=True)
class Budget:
    """Crash points with at most `exhaustive` states are explored fully;
    others get `samples` states drawn with a seeded generator."""

    exhaustive: int = 256
    samples: int = 24
    seed: int = 0


@dataclass(frozen=True)
class Failure:
    point: str
    state: str
    reason: str

    def __str__(self) -> str:
        return f"{self.point}: {self.state}: {self.reason}"


@dataclass
class Report:
    scenario: str
    variant: str
    outcome: str
    crash_points: int = 0
    exhaustive_points: int = 0
    sampled_points: int = 0
    states: int = 0
    failed: int = 0
    largest_space: int = 1  # states allowed at the richest crash point
    seconds: float = 0.0  # the replay and the checks
    recorded_in: float = 0.0  # the recorded run of the workload
    failures: list[Failure] = field(default_factory=list)  # the first few

    def figures(self) -> str:
        how = f"{self.exhaustive_points} exhaustive, {self.sampled_points} sampled"
        space = str(self.largest_space) if self.largest_space < 10**6 else f"~10^{len(str(self.largest_space)) - 1}"
        return (f"{self.crash_points} crash points ({how}; up to {space} states at one), {self.states} states "
                f"checked, {self.failed} failed, {self.recorded_in + self.seconds:.2f} s")

    def summary(self) -> str:
        return f"{self.scenario} [{self.variant}]: {self.figures()}"


def record_scenario(scenario: Scenario, work: Path, library: Path) -> Recording:
    root = work / "root"
    root.mkdir(parents=True)
    scenario.prepare(root)
    return record(scenario.workload, root, library, space=scenario.space)


def _picks(choices: Sequence[Choice], budget: Budget, rng: random.Random) -> Iterator[tuple[int, ...]]:
    """Every state when there are few. Else the two extremes (everything
    durable only, everything as written), then random draws that take the
    combinations of directory entries in turn (when there are few of them)
    and draw the file contents at random: in half of them every block and
    size on its own, in the other half the blocks written back in order up
    to a random point, as a disk that drains its queue would."""
    total = state_count(choices)
    if total <= budget.exhaustive:
        yield from every_state(choices)
        return
    entries = [i for i, c in enumerate(choices) if c.name is not None]
    blocks = [i for i, c in enumerate(choices) if c.block is not None]
    combos = list(every_state([choices[i] for i in entries])) if state_count([choices[i] for i in entries]) <= 64 else []
    seen: set[tuple[int, ...]] = set()
    corners = [tuple(0 for _ in choices), tuple(c.options - 1 for c in choices)]
    for n in range(budget.samples * 4):
        if len(seen) >= budget.samples:
            return
        if n < len(corners):
            pick = corners[n]
        else:
            drawn = [rng.randrange(c.options) for c in choices]
            turn, ordered = divmod(n - len(corners), 2)
            if combos:
                for i, value in zip(entries, combos[turn % len(combos)]):
                    drawn[i] = value
            if ordered and blocks:
                cut = rng.randrange(len(blocks) + 1)
                for k, i in enumerate(blocks):
                    drawn[i] = choices[i].options - 1 if k < cut else 0
            pick = tuple(drawn)
        if pick not in seen:
            seen.add(pick)
            yield pick


def _scratch_base() -> str | None:
    # States are written and removed by the thousand: in memory when there
    # is a memory file system to put them in.
    shm = "/dev/shm"
    return shm if os.path.isdir(shm) and os.access(shm, os.W_OK | os.X_OK) else None


def explore(
    scenario: Scenario, recording: Recording, *, variant: Variant = AS_BUILT, budget: Budget = Budget(), keep: int = 5
) -> Report:
    """Replays the (rewritten) trace and checks the allowed states at every
    operation boundary, each built afresh in a scratch directory."""
    with tempfile.TemporaryDirectory(prefix="crash-states-", dir=_scratch_base()) as scratch:
        return _explore(scenario, recording, Path(scratch), variant, budget, keep)


def _explore(
    scenario: Scenario, recording: Recording, scratch: Path, variant: Variant, budget: Budget, keep: int
) -> Report:
    began = time.perf_counter()
    ops = variant.transform(recording.ops)
    report = Report(scenario.name, variant.name, str(recording.outcome))
    fs = FileSystem(recording.start, recording.inodes)
    for index in range(len(ops) + 1):
        if index:
            fs.apply(ops[index - 1])
        point = CrashPoint(index, len(ops), ops[index - 1] if index else None, recording.outcome)
        choices = fs.choices(scenario.observe)
        total = state_count(choices)
        report.crash_points += 1
        report.largest_space = max(report.largest_space, total)
        if total <= budget.exhaustive:
            report.exhaustive_points += 1
        else:
            report.sampled_points += 1
        rng = random.Random(f"{budget.seed}/{scenario.name}/{variant.name}/{index}")
        for picks in _picks(choices, budget, rng):
            report.states += 1
            where = scratch / f"state{report.states}"
            where.mkdir()
            try:
                fs.crash_state(choices, picks).write_to(where)
                verdict = scenario.check(where, point)
            finally:
                shutil.rmtree(where)
            if verdict is not None:
                report.failed += 1
                if len(report.failures) < keep:
                    report.failures.append(Failure(point.describe(), fs.describe(choices, picks), verdict))
    report.seconds = time.perf_counter() - began
    return report


def run(
    scenario: Scenario, work: Path, library: Path, variants: Sequence[Variant] = (AS_BUILT,), budget: Budget = Budget()
) -> list[Report]:
    """Records the scenario once under `work` and explores each variant
    that changes its trace (the real one always)."""
    began = time.perf_counter()
    recording = record_scenario(scenario, work, library)
    recorded_in = time.perf_counter() - began
    reports = []
    for variant in variants:
        if variant.torn and variant.transform(recording.ops) == recording.ops:
            continue  # nothing in this trace for the variant to break
        report = explore(scenario, recording, variant=variant, budget=budget)
        report.recorded_in = recorded_in if variant is AS_BUILT else 0.0
        reports.append(report)
    return reports
