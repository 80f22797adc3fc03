
import pytest

import _zelkor


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
