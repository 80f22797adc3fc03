"""Runs a workload in a child process under the preloaded recorder
(tests/native/fsrecord.c) and returns what it did to its directory."""

from __future__ import annotations

import os
import pickle
import shutil
import subprocess
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

from .model import FileSystem, Tree, snapshot
from .trace import Op, read_trace

SOURCE = Path(__file__).resolve().parent.parent / "native" / "fsrecord.c"


class RecordingError(Exception):
    """The recorder could not run, or its trace does not account for what
    the workload did to the directory."""


def compile_recorder(where: Path) -> Path:
    """Builds the recorder library into `where`; raises RecordingError when
    there is no C compiler or the build fails."""
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        raise RecordingError("no C compiler to build the recorder")
    library = where / "fsrecord.so"
    # Without a sanitizer runtime preloaded into the compiler.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-Wall", "-Wextra", "-o", str(library), str(SOURCE), "-ldl", "-pthread"],
        capture_output=True, text=True, env=env,
    )
    if done.returncode != 0:
        raise RecordingError(f"cannot build the recorder: {done.stderr}")
    return library


@dataclass(frozen=True)
class Outcome:
    """How the workload ended: its return value, or the exception's class
    name, text and errno."""

    value: object = None
    error: tuple[str, str, int | None] | None = None

    @property
    def ok(self) -> bool:
        return self.error is None

    def __str__(self) -> str:
        return "returned" if self.error is None else f"raised {self.error[0]}: {self.error[1]}"


@dataclass
class Recording:
    start: Tree
    inodes: dict[str, int]
    ops: list[Op]
    outcome: Outcome


# The child: loads the workload, records while it runs, reports its outcome.
CHILD = r"""
import ctypes, pickle, sys
library, root, log, data, space, job, result = sys.argv[1:8]
with open(job, "rb") as f:
    workload = pickle.load(f)
recorder = ctypes.CDLL(library)
if recorder.zelkor_fsrecord_start(root.encode(), log.encode(), data.encode(), ctypes.c_longlong(int(space))):
    raise SystemExit("cannot start recording")
try:
    outcome = (workload(root), None)
except Exception as e:
    outcome = (None, (type(e).__name__, str(e), e.errno if isinstance(e, OSError) else None))
finally:
    recorder.zelkor_fsrecord_stop()
with open(result, "wb") as f:
    pickle.dump(outcome, f)
"""


def record(
    workload: Callable[[str], object], root: Path, library: Path, *, space: int | None = None, timeout: float = 300
) -> Recording:
    """Runs `workload(str(root))` in a child with the recorder preloaded and
    returns the operations it made below `root`, which holds the starting
    files. `workload` must pickle (a top-level function or a dataclass
    instance of an importable module). With `space`, the writes below root
    get that many bytes in all before they fail with ENOSPC."""
    root = root.resolve()
    work = root.parent
    start, inodes = snapshot(root)
    job, result, log, data = (work / f"{root.name}.{part}" for part in ("job", "result", "log", "data"))
    job.write_bytes(pickle.dumps(workload))
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))
    env = dict(os.environ, LD_PRELOAD=preload, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(library), str(root), str(log), str(data),
         str(-1 if space is None else space), str(job), str(result)],
        env=env, cwd=work, capture_output=True, text=True, timeout=timeout,
    )
    if done.returncode != 0 or not result.exists():
        raise RecordingError(f"the recorded workload did not finish: {done.stderr[-4000:]}")
    value, error = pickle.loads(result.read_bytes())
    recording = Recording(start, inodes, read_trace(log, data), Outcome(value, error))
    _check_complete(recording, root)
    return recording


def _check_complete(recording: Recording, root: Path) -> None:
    """The model's view after the whole trace must be the directory as the
    workload left it; a call the recorder missed shows up here."""
    fs = FileSystem(recording.start, recording.inodes)
    for op in recording.ops:
        fs.apply(op)
    seen = fs.current_tree().files
    real = snapshot(root)[0].files
    if seen != real:
        wrong = sorted(p for p in seen.keys() | real.keys() if seen.get(p, b"?") != real.get(p, b"?"))
        raise RecordingError(f"the trace does not account for {', '.join(wrong)}")
