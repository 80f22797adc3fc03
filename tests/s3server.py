"""A local S3 server for the tests: moto's S3 in a process of its own, on
127.0.0.1 and a free port, which counts the requests it answers.

    python tests/s3server.py      prints the port, then serves until its
                                  standard input closes

``GET /_requests`` answers the requests since the last such call, one
``METHOD /bucket/key`` per line, and starts counting afresh.
"""

from __future__ import annotations

import sys
import threading
from collections.abc import Callable, Iterable
from typing import Any


def main() -> None:
    from moto.moto_server.werkzeug_app import DomainDispatcherApplication, MotoRequestHandler, create_backend_app
    from werkzeug.serving import make_server

    moto = DomainDispatcherApplication(create_backend_app)
    seen: list[str] = []
    lock = threading.Lock()

    def app(environ: dict[str, Any], start: Callable[..., Any]) -> Iterable[bytes]:
        if environ["PATH_INFO"] == "/_requests":
            with lock:
                body = "".join(line + "\n" for line in seen).encode()
                seen.clear()
            start("200 OK", [("Content-Type", "text/plain"), ("Content-Length", str(len(body)))])
            return [body]
        with lock:
            seen.append(f"{environ['REQUEST_METHOD']} {environ['PATH_INFO']}")
        return moto(environ, start)  # type: ignore[no-any-return]

    server = make_server("127.0.0.1", 0, app, threaded=True, request_handler=MotoRequestHandler)
    # Serves until its standard input closes: when the tests end, however
    # they end (a killed pytest included), the server goes too.
    threading.Thread(target=lambda: (sys.stdin.read(), server.shutdown()), daemon=True).start()
    print(server.server_port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
