#!/usr/bin/env python3
"""Simulated power loss at every point of every crash scenario, with larger
samples than the test suite takes.

    .venv/bin/python tools/crash_check.py [--samples N] [--large-samples N]
        [--exhaustive N] [--seed S] [--only TEXT]

Run it with an interpreter that has the module installed (`make install`
makes .venv). Each scenario's workload runs once under the file-system
recorder (tests/native/fsrecord.c, compiled here with cc); then the real
trace and each deliberately broken rewrite of it (flushes removed or
misordered) are replayed. A crash point with at most --exhaustive allowed
states is explored fully, others get --samples seeded random states
(--large-samples for multi-MiB files). Prints per scenario and trace: crash
points, states checked, states that failed and the run time. Exits 1 when a
real trace has a failed state or a broken one has none.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from crashsim import AS_BUILT, Budget, compile_recorder, run  # noqa: E402
from crashsim.catalog import broken_variants, scenarios  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--samples", type=int, default=4000, help="states drawn at a large crash point")
    parser.add_argument("--large-samples", type=int, default=400, help="the same for multi-MiB files")
    parser.add_argument("--exhaustive", type=int, default=4096, help="explore crash points up to this many states fully")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--only", default="", help="run the scenarios whose name contains this text")
    parser.add_argument("--failures", type=int, default=3, help="failed states to print per trace")
    args = parser.parse_args()

    began = time.perf_counter()
    wrong = 0
    with tempfile.TemporaryDirectory(prefix="crash-check-") as tmp:
        work = Path(tmp)
        library = compile_recorder(work)
        for n, scenario in enumerate(s for s in scenarios() if args.only in s.name):
            samples = args.large_samples if scenario.large else args.samples
            budget = Budget(exhaustive=args.exhaustive, samples=samples, seed=args.seed)
            reports = run(scenario, work / f"scenario{n}", library, [AS_BUILT, *broken_variants()], budget)
            print(f"{scenario.name}: the workload {reports[0].outcome}")
            for report in reports:
                broken = report.variant != AS_BUILT.name
                bad = report.failed == 0 if broken else report.failed > 0
                wrong += bad
                verdict = ("MISSED: no torn state found" if broken else "FAILED") if bad else "ok"
                print(f"  {report.variant:<24} {report.figures()}  {verdict}")
                for failure in report.failures[: args.failures if (bad or broken) else 0]:
                    print(f"      {str(failure)[:400]}")
    print(f"{time.perf_counter() - began:.1f} s in all; {'no problems' if not wrong else f'{wrong} problem(s)'}")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
