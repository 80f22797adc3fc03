"""A set on a local S3 server against the same set on the local disk: the
build, the first open (which downloads into the cache), a later open (from
the cache), a refresh that finds nothing new, and lookups.

    .venv/bin/pip install '.[s3]' 'moto[server]'
    .venv/bin/python bench/remote.py [--keys 1000000] [--shards 16] [--repeat 3]

The S3 server is moto's (``moto_server``), started on 127.0.0.1 and a free
port and stopped at the end; it keeps objects in memory and answers on
the loopback, so its figures are the package's costs and the HTTP round
trips, not a network's. Each figure is the best of --repeat runs.
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request
from collections.abc import Callable
from typing import Any

import zelkor


def best(repeat: int, run: Callable[[], object], before: Callable[[], object] | None = None) -> float:
    """The fastest of *repeat* runs of *run*, in seconds (*before* untimed)."""
    times = []
    for _ in range(repeat):
        if before is not None:
            before()
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def start_server() -> tuple[subprocess.Popen[bytes], str]:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    endpoint = f"http://127.0.0.1:{port}"
    for _ in range(100):
        try:
            urllib.request.urlopen(endpoint, timeout=1).close()
            return server, endpoint
        except OSError:
            time.sleep(0.1)
    server.kill()
    raise SystemExit("the moto server did not start")


def lookups(reader: zelkor.Reader, keys: list[str]) -> float:
    start = time.perf_counter()
    for key in keys:
        reader[key]
    return (time.perf_counter() - start) / len(keys)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--shards", type=int, default=16)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    import s3fs

    writer = zelkor.ShardedWriter(shards=args.shards, quiet=True)
    writer.update((f"user:{i:08d}", {"id": i, "name": f"user {i}", "score": i * 0.5}) for i in range(args.keys))
    probe = [f"user:{random.randrange(args.keys):08d}" for _ in range(100_000)]
    server, endpoint = start_server()
    scratch = tempfile.mkdtemp(prefix="zelkor-bench-")
    try:
        options: dict[str, Any] = {"endpoint_url": endpoint, "key": "bench", "secret": "bench",
                                   "client_kwargs": {"region_name": "eu-west-1"}}
        s3fs.S3FileSystem(**options).mkdir("bench")
        url, local, cache = "s3://bench/users", os.path.join(scratch, "users"), os.path.join(scratch, "cache")

        rows: list[tuple[str, str, str]] = []
        local_build = best(args.repeat, lambda: writer.build(local, processes=1))
        s3_build = best(args.repeat, lambda: writer.build(url, processes=1, storage_options=options))
        size = sum(s.size for s in zelkor.ShardedReader(local).manifest.shards)
        rows.append((f"build ({args.keys:,} keys, {args.shards} shards, {size / 2**20:.0f} MiB; one process)",
                     f"{local_build * 1e3:,.0f} ms", f"{s3_build * 1e3:,.0f} ms"))

        def cold() -> None:
            shutil.rmtree(cache, ignore_errors=True)

        for verify in (True, False):
            local_open = best(args.repeat, lambda: zelkor.open(local, verify))
            first = best(args.repeat, lambda: zelkor.open(url, verify, storage_options=options, cache_dir=cache), cold)
            later = best(args.repeat, lambda: zelkor.open(url, verify, storage_options=options, cache_dir=cache))
            name = "" if verify else ", verify=False"
            rows.append((f"first open{name} (S3: download into the cache)", f"{local_open * 1e3:,.2f} ms", f"{first * 1e3:,.0f} ms"))
            rows.append((f"later open{name} (S3: from the cache)", f"{local_open * 1e3:,.2f} ms", f"{later * 1e3:,.2f} ms"))
        remote = zelkor.open(url, storage_options=options, cache_dir=cache)
        assert isinstance(remote, zelkor.RemoteReader)
        refresh = best(args.repeat, remote.refresh)
        rows.append(("refresh(), nothing new (one GET of the manifest)", "—", f"{refresh * 1e3:,.2f} ms"))
        on_disk = zelkor.open(local)
        timed: dict[int, list[float]] = {id(on_disk): [], id(remote): []}
        for _ in range(args.repeat):  # alternated, the best of each
            for reader in (on_disk, remote):
                timed[id(reader)].append(lookups(reader, probe))
        rows.append(("r[key], 100,000 random hits", f"{min(timed[id(on_disk)]) * 1e9:,.0f} ns",
                     f"{min(timed[id(remote)]) * 1e9:,.0f} ns"))

        print(f"| {args.keys:,} keys | local disk | local S3 server |\n|---|---:|---:|")
        for row in rows:
            print("| " + " | ".join(row) + " |")
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
