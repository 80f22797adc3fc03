import contextlib
import importlib.util
import os
import sys
from pathlib import Path

import pytest

import _zelkor

# Against a build directory (the sanitizer runs) the pure-Python packages are
# not installed: take them from the source tree, here and in subprocesses.
# The build directory's zelkor/ holds only _build_info.py, which makes it a
# namespace package and no zelkor at all.
_ZELKOR = importlib.util.find_spec("zelkor")
if _ZELKOR is None or _ZELKOR.origin in (None, "namespace"):
    _PYTHON_DIR = str(Path(__file__).resolve().parent.parent / "python")
    sys.path.insert(0, _PYTHON_DIR)
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [_PYTHON_DIR, os.environ.get("PYTHONPATH")]))


@pytest.fixture
def write_store(tmp_path):
    """Writes bytes to a fresh file and returns its path as str."""
    counter = iter(range(1_000_000))

    def write(blob: bytes, name: str | None = None) -> str:
        path = tmp_path / (name or f"store{next(counter)}.zlkr")
        path.write_bytes(blob)
        return str(path)

    return write


@pytest.fixture
def build_store(tmp_path, capfd):
    """Builds a store with the module's writer; returns its path as str.

    `objects` is a list of payloads; `keys` maps key -> object id.
    The summary line the build prints is consumed.
    """
    counter = iter(range(1_000_000))

    def build(objects, keys, name: str | None = None) -> str:
        writer = _zelkor._ZelkWriter()
        for payload in objects:
            writer.add_object_raw(payload)
        for key, obj_id in keys.items():
            writer.add_key(key, obj_id)
        path = str(tmp_path / (name or f"built{next(counter)}.zlkr"))
        writer.build(path)
        capfd.readouterr()
        return path

    return build


@pytest.fixture
def raises_exact():
    """Context manager: the block raises exactly `exc_type(message)`.

    The class must match exactly (no subclass such as FileNotFoundError)
    and the message must be the whole single argument.
    """

    @contextlib.contextmanager
    def check(exc_type, message):
        with pytest.raises(BaseException) as info:
            yield info
        assert type(info.value) is exc_type, repr(info.value)
        assert info.value.args == (message,)

    return check


@pytest.fixture
def open_blob(write_store):
    """Writes `blob` to a fresh file and opens a reader on it."""

    def open_(blob: bytes, verify: bool = True) -> _zelkor._ZelkReader:
        return _zelkor._ZelkReader(write_store(blob), verify)

    return open_


@pytest.fixture
def make_writer():
    """A writer holding `objects` in id order and the (key, obj_id) pairs of
    `keys` (a dict or a list of pairs), added in the order given."""

    def make(objects=(), keys=()):
        writer = _zelkor._ZelkWriter()
        for payload in objects:
            writer.add_object_raw(payload)
        for key, obj_id in keys.items() if isinstance(keys, dict) else keys:
            writer.add_key(key, obj_id)
        return writer

    return make


@pytest.fixture
def build_bytes(tmp_path, capfd):
    """Builds a writer to a fresh path and returns the file's bytes; the
    summary line is consumed."""
    counter = iter(range(1_000_000))

    def build(writer) -> bytes:
        path = tmp_path / f"bytes{next(counter)}.zlkr"
        writer.build(str(path))
        capfd.readouterr()
        return path.read_bytes()

    return build


# --- runs under the sanitizers (tools/sanitize.sh) ----------------------------

import os as _os

# tools/sanitize.sh preloads the AddressSanitizer runtime into the
# interpreter. ASan reserves terabytes of address space for its shadow
# memory and keeps freed blocks in quarantine, so address-space limits and
# resident-size figures mean nothing there; tests that rely on them carry
# the mark `no_sanitizer` and are skipped.
UNDER_SANITIZER = "libasan" in _os.environ.get("LD_PRELOAD", "")


def pytest_configure(config):
    config.addinivalue_line("markers", "no_sanitizer: skipped when the AddressSanitizer runtime is preloaded")
    config.addinivalue_line("markers", "slow: gigabytes of I/O; left out unless asked for with -m slow (CI does)")
    config.addinivalue_line("markers", "spark: a local Spark session (Java); left out unless asked for with -m spark (make test-spark)")


def pytest_runtest_setup(item):
    if UNDER_SANITIZER and item.get_closest_marker("no_sanitizer"):
        pytest.skip("memory limits and figures do not apply under AddressSanitizer")


def run_threads(target, count):
    """Runs target(0) ... target(count - 1) on as many threads at once, with
    the interpreter switching between them as often as it can."""
    import threading

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=target, args=(n,)) for n in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)


class LocalS3:
    """The local S3 server of tests/s3server.py, and what s3fs needs to reach it."""

    def __init__(self, port: int) -> None:
        self.endpoint = f"http://127.0.0.1:{port}"
        self.options = {"endpoint_url": self.endpoint, "key": "testing", "secret": "testing",
                        "client_kwargs": {"region_name": "eu-west-1"}}
        self._buckets = iter(range(1_000_000))

    def bucket(self) -> str:
        """The URL of a new, empty bucket."""
        import s3fs

        name = f"bucket{next(self._buckets)}"
        s3fs.S3FileSystem(**self.options).mkdir(name)
        return f"s3://{name}"

    def requests(self) -> list[str]:
        """The requests the server answered since the last call: ``METHOD /path``."""
        import urllib.request

        with urllib.request.urlopen(self.endpoint + "/_requests", timeout=10) as answer:
            return answer.read().decode().splitlines()


@pytest.fixture(scope="session")
def s3():
    """A local S3 server (moto), started once for the session on 127.0.0.1."""
    # Its native code (aiohttp's, cryptography's) is not built for
    # AddressSanitizer (tools/sanitize.sh); fsspec's memory file system
    # stands in there.
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("third-party native libraries under AddressSanitizer")
    pytest.importorskip("moto.moto_server.werkzeug_app")
    pytest.importorskip("s3fs")
    import subprocess

    server = subprocess.Popen([sys.executable, str(Path(__file__).with_name("s3server.py"))], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        line = server.stdout.readline()
        if not line.strip().isdigit():
            pytest.fail(f"the local S3 server did not start (it said {line!r})")
        yield LocalS3(int(line))
    finally:
        server.stdin.close()
        server.terminate()
        server.wait(10)
