"""The zelkor package in one sitting: the README's Quick start and the
examples of docs/package.md, runnable (``python examples/quickstart.py``).

It is also the user code that the test suite type-checks with mypy --strict
and pyright in strict mode, so every public name here keeps exact types.
"""

from __future__ import annotations

import os
import pickle
import tempfile
from typing import Any

import zelkor


def main(folder: str) -> None:
    path = os.path.join(folder, "cities.zlkr")

    # Build: one value per object; a list of keys shares one object.
    with zelkor.ZelkWriter(path, quiet=True) as w:
        w["city:lyon"] = {"name": "Lyon", "population": 522_250}
        w.add(["city:paris", "capital:fr"], {"name": "Paris", "population": 2_102_650})
        w.update({"city:nice": {"name": "Nice", "population": 348_085}})

    # Read: a Mapping in key order.
    with zelkor.open(path) as r:
        assert r["capital:fr"]["name"] == "Paris"
        assert r.get("city:rome") is None and "city:rome" not in r
        assert len(r) == 4 and list(r)[:2] == ["capital:fr", "city:lyon"]
        print([key for key, _ in r.prefix("city:")])  # ['city:lyon', 'city:nice', 'city:paris']
        print(list(r.range("city:l", "city:o", reverse=True).keys()))  # ['city:nice', 'city:lyon']
        assert len(r.prefix("city:")) == 3  # counted from the index, no object read
        populations: list[Any] = r.get_many(["city:paris", "city:rome"], default={})
        print([p.get("population") for p in populations])  # [2102650, None]
        names = {key: value["name"] for key, value in r.items()}
        assert names["city:nice"] == "Nice"
        raw: bytes | None = r.raw("city:lyon")
        assert raw is not None and r.stats()["num_objects"] == 3 and r.verify()
        # A reader pickles as its path: a worker process opens the file itself.
        again: zelkor.ZelkReader = pickle.loads(pickle.dumps(r))
        assert again["city:lyon"] == r["city:lyon"]

    # A sharded set: many files read as one, the same Reader type.
    sharded = zelkor.ShardedWriter(shards=4, quiet=True)
    sharded.merge(path)
    sharded.build(os.path.join(folder, "cities"), processes=1)
    readers: list[zelkor.Reader] = [zelkor.open(path), zelkor.open(os.path.join(folder, "cities"))]
    assert dict(readers[0]) == dict(readers[1]) and readers[1].stats()["num_keys"] == 4
    for reader in readers:
        reader.close()

    # Values compressed with zstd and a dictionary trained on the store.
    packed = zelkor.ShardedWriter(shards=4, compression=zelkor.Zstd(level=5), quiet=True)
    packed.update((f"user:{i}", {"name": f"user {i}", "plan": "free", "country": "FR"}) for i in range(20_000))
    packed.build(os.path.join(folder, "users"), processes=1)
    with zelkor.open(os.path.join(folder, "users")) as users:
        figures = users.compression
        assert users["user:7"]["name"] == "user 7" and figures is not None and figures["level"] == 5
        print(f"values {figures['value_bytes'] / figures['stored_bytes']:.1f}x smaller")

    # Copy a store into a new one, byte for byte, and add to it.
    w2 = zelkor.ZelkWriter()
    w2.merge(path)
    w2["city:rome"] = {"name": "Roma", "population": 2_748_109}
    w2.build(os.path.join(folder, "more.zlkr"), quiet=True)

    # Errors are classes, and also the built-in class of their kind.
    try:
        zelkor.open(os.path.join(folder, "missing.zlkr"))
    except FileNotFoundError as exc:
        assert isinstance(exc, zelkor.ZelkIOError) and exc.errno == 2
    try:
        w2["bad"] = {1, 2}  # MessagePack has no sets
    except zelkor.ZelkSerializationError as exc:
        print(exc)


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as folder:
        main(folder)
