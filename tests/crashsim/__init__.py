"""Simulated power loss at every point of a recorded workload.

A workload runs once in a child process under a preloaded recorder
(tests/native/fsrecord.c) that logs its file-system calls below one
directory. The replayer walks the trace and, at every operation boundary,
builds the disk states that a conservative file-system model allows
(crashsim.model states it) in fresh directories, where the scenario's
check judges each one. Adding a workload takes a Scenario: the starting
files, a picklable workload callable and a check.
"""

from .explore import AS_BUILT, Budget, CrashPoint, Report, Scenario, Variant, explore, record_scenario, run
from .model import BLOCK, FileSystem, Unmodelled
from .record import Outcome, Recording, RecordingError, compile_recorder, record
from .trace import Op, rename_before_file_sync, without_directory_syncs, without_file_syncs

__all__ = [
    "AS_BUILT", "BLOCK", "Budget", "CrashPoint", "FileSystem", "Op", "Outcome", "Recording", "RecordingError",
    "Report", "Scenario", "Unmodelled", "Variant", "compile_recorder", "explore", "record", "record_scenario",
    "rename_before_file_sync", "run", "without_directory_syncs", "without_file_syncs",
]
