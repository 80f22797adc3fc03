"""Jobs run in forked worker processes, supervised.

A set build runs one job per shard. Where this process may fork
(``_os.may_fork``: Linux, one thread), :func:`run` forks up to *processes*
workers, each of which reads the parent's memory as it was at the fork (copy
on write, so the data stays one copy) and runs the jobs the parent hands it,
one at a time, over a pipe; results come back pickled over another. Nothing
travels through module state: a job is a closure that the child inherits
with the rest of the parent's memory.

The parent watches every worker: a worker that ends without answering (the
OOM killer, a crash, a stray ``SIGKILL``) fails the run at once with an
error naming its job; the others are then killed and reaped before the
error is raised, so nothing of theirs goes on behind it. Workers die with
their parent (the parent-death signal) and close the descriptors they are
told to (the set's lock, which then goes with the builder alone). They never
run the parent's exit handlers or flush its buffers.
"""

from __future__ import annotations

import gc
import os
import pickle
import selectors
import signal
from collections.abc import Callable, Sequence
from typing import Any, Final, Generic, TypeVar

from ._errors import translate
from ._os import cpu_count, die_with_parent, exit_now, may_fork

__all__ = ["run", "worker_count"]

_T = TypeVar("_T")
_HEAD: Final = 8  # a message's length, before the message


def worker_count(processes: int | None, jobs: int) -> int:
    """How many processes run *jobs* jobs: *processes* (None: one per core
    this process may run on), at most one per job."""
    if processes is None:
        processes = cpu_count()
    elif not isinstance(processes, int) or isinstance(processes, bool):
        raise TypeError(f"processes must be an int or None, not {type(processes).__name__}")
    elif processes < 1:
        raise ValueError(f"processes must be at least 1, not {processes}")
    return max(1, min(processes, jobs))


def run(jobs: Sequence[Callable[[], _T]], processes: int, describe: Callable[[int], str],
        close_in_child: Sequence[int] = ()) -> list[_T]:
    """``[job() for job in jobs]``, in up to *processes* forked workers where
    this process may fork, else one after the other here. An exception of
    a job is raised here as it was raised there; ``describe(i)`` names job
    *i* in the error for a worker that died running it. Where no worker
    can be forked (no memory or processes left), the jobs run here."""
    if processes <= 1 or len(jobs) <= 1 or not may_fork():
        return [job() for job in jobs]
    return _Pool(jobs, min(processes, len(jobs)), describe, close_in_child).run()


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _read_exactly(fd: int, size: int) -> bytes | None:
    parts: list[bytes] = []
    while size:
        piece = os.read(fd, size)
        if not piece:
            return None
        parts.append(piece)
        size -= len(piece)
    return b"".join(parts)


class _Worker:
    __slots__ = ("pid", "orders", "answers", "job", "inbox")

    def __init__(self, pid: int, orders: int, answers: int) -> None:
        self.pid = pid
        self.orders = orders  # the parent's end of the pipe of job numbers
        self.answers = answers  # the parent's end of the pipe of results
        self.job: int | None = None
        self.inbox = bytearray()


class _Pool(Generic[_T]):
    def __init__(self, jobs: Sequence[Callable[[], _T]], count: int, describe: Callable[[int], str],
                 close_in_child: Sequence[int]) -> None:
        self.jobs = jobs
        self.count = count
        self.describe = describe
        self.close_in_child = tuple(close_in_child)
        self.workers: list[_Worker] = []

    # -------------------------------------------------------------- child

    def _child(self, orders: int, answers: int, parent: int) -> None:
        status = 70
        try:
            die_with_parent(parent)
            signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent decides
            gc.disable()  # the collector would touch (and copy) the parent's objects
            for fd in self.close_in_child:
                os.close(fd)
            for worker in self.workers:
                os.close(worker.orders)
                os.close(worker.answers)
            while True:
                head = _read_exactly(orders, 4)
                if head is None:
                    break  # no more jobs
                job = int.from_bytes(head, "big")
                answer: tuple[int, bool, object]
                try:
                    answer = (job, True, self.jobs[job]())
                except BaseException as exc:  # every failure goes to the parent
                    answer = (job, False, exc)
                try:
                    blob = pickle.dumps(answer)
                except Exception:
                    blob = pickle.dumps((job, False, RuntimeError(f"{answer[2]!r} (which does not pickle)")))
                _write_all(answers, len(blob).to_bytes(_HEAD, "big") + blob)
            status = 0
        finally:
            exit_now(status)

    def _start(self) -> _Worker:
        orders_r, orders_w = os.pipe()
        answers_r, answers_w = os.pipe()
        parent = os.getpid()
        pid = os.fork()
        if pid == 0:
            os.close(orders_w)
            os.close(answers_r)
            self._child(orders_r, answers_w, parent)
        os.close(orders_r)
        os.close(answers_w)
        worker = _Worker(pid, orders_w, answers_r)
        self.workers.append(worker)
        return worker

    # ------------------------------------------------------------- parent

    def run(self) -> list[_T]:
        results: list[Any] = [None] * len(self.jobs)
        waiting = list(range(len(self.jobs)))
        waiting.reverse()
        try:
            for _ in range(self.count):
                try:
                    self._start()
                except OSError:  # no more processes or memory for one: on with those there are
                    if not self.workers:
                        return [job() for job in self.jobs]
                    break
            with selectors.DefaultSelector() as selector:
                for worker in self.workers:
                    self._hand(worker, waiting)
                    selector.register(worker.answers, selectors.EVENT_READ, worker)
                busy = len(self.workers)
                while busy:
                    for key, _ in selector.select():
                        worker = key.data
                        answer = self._receive(worker)
                        if answer is None:
                            continue
                        job, ok, value = answer
                        if not ok:
                            raise value
                        results[job] = value
                        worker.job = None
                        if not self._hand(worker, waiting):
                            selector.unregister(worker.answers)
                            busy -= 1
        except BaseException:
            self._stop(kill=True)
            raise
        self._stop(kill=False)
        return results

    def _hand(self, worker: _Worker, waiting: list[int]) -> bool:
        """Gives *worker* the next job; with none left, tells it to end."""
        if not waiting:
            os.close(worker.orders)
            worker.orders = -1
            return False
        worker.job = waiting.pop()
        _write_all(worker.orders, worker.job.to_bytes(4, "big"))
        return True

    def _receive(self, worker: _Worker) -> tuple[int, bool, Any] | None:
        """The answer that *worker* has sent in full, None while it is
        partial; an error naming its job when it ended without one."""
        piece = os.read(worker.answers, 1 << 16)
        if not piece:
            raise self._died(worker)
        worker.inbox += piece
        if len(worker.inbox) < _HEAD:
            return None
        size = int.from_bytes(worker.inbox[:_HEAD], "big")
        if len(worker.inbox) < _HEAD + size:
            return None
        answer: tuple[int, bool, Any] = pickle.loads(worker.inbox[_HEAD:_HEAD + size])
        del worker.inbox[:_HEAD + size]
        return answer

    def _died(self, worker: _Worker) -> BaseException:
        _, status = os.waitpid(worker.pid, 0)
        worker.pid = -1
        if os.WIFSIGNALED(status):
            code = os.WTERMSIG(status)
            try:
                how = f"was killed by signal {code} ({signal.Signals(code).name})"
            except ValueError:
                how = f"was killed by signal {code}"
        else:
            how = f"ended with status {os.waitstatus_to_exitcode(status)}"
        what = "a job" if worker.job is None else self.describe(worker.job)
        return translate(OSError(f"ZelkIOError: the process building {what} {how} before it was done"))

    def _stop(self, kill: bool) -> None:
        """Ends every worker (killing those still at work with *kill*) and
        reaps it, so that none goes on once the run is over."""
        for worker in self.workers:
            if worker.orders >= 0:
                os.close(worker.orders)
                worker.orders = -1
            if kill and worker.pid > 0:
                try:
                    os.kill(worker.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        for worker in self.workers:
            if worker.pid > 0:
                while True:
                    try:
                        os.waitpid(worker.pid, 0)
                        break
                    except ChildProcessError:
                        break
                    except InterruptedError:  # pragma: no cover - retried by Python itself
                        continue
                worker.pid = -1
            os.close(worker.answers)
        self.workers.clear()
