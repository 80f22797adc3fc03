"""``zlkr``: build, query, check and dump .zlkr stores from the command line."""

from __future__ import annotations

import argparse
import json
import os
import stat
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, BinaryIO, NoReturn

import _zelkor

from .jsonform import FormError, render
from .progress import Progress
from .records import key_fields, make_record, parse_record
from .storeindex import IndexFormatError, StoreIndex

DESCRIPTION = """\
Build, query, check and dump .zlkr stores.

A store maps keys to objects; several keys may share one object. zlkr stores
every object as MessagePack and shows values as JSON (see 'zlkr build --help'
for the record format that build reads and dump writes)."""

RECORD_HELP = """\
Each line of INPUT is one object with its keys:

  {"key": "k", "value": V}                one key
  {"keys": ["k1", "k2"], "value": V}      keys that share the object
  {"key_b64": "...", ...}                 a key given by its bytes in base64
  {"keys_b64": ["...", ...], ...}         (for keys that are not UTF-8)
  {..., "value_b64": "..."}               the object's bytes in base64,
                                          stored as they are

Key fields may be combined; every key may appear only once in the input.
V is any JSON value, stored as MessagePack. One-member objects name the
MessagePack types that JSON lacks: {"$bytes": "<base64>"},
{"$ext": [code, "<base64>"]}, {"$timestamp": [seconds, nanoseconds]},
{"$float": "nan"|"inf"|"-inf"} and {"$map": [[key, value], ...]} for maps
whose keys are not all strings. Blank lines are skipped.

The build writes OUT atomically and prints the module's one-line summary
on standard output (not with --quiet)."""


class CliError(Exception):
    """Ends the command with one line on standard error and *status*."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see '{self.prog} --help')\n")


# ---------------------------------------------------------------- helpers


def _show_key(key: bytes) -> str:
    try:
        return json.dumps(key.decode("utf-8"), ensure_ascii=False)
    except UnicodeDecodeError:
        return repr(key)


def _utf8_path(path: str) -> str:
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        raise CliError(f"{path!r}: paths must be valid UTF-8") from None
    return path


@contextmanager
def _store_errors(path: str) -> Iterator[None]:
    """Turn the module's exceptions into one-line errors naming *path*."""
    try:
        yield
    except OSError as exc:
        text = str(exc)
        raise CliError(text if text.startswith("ZelkIOError: cannot open") else f"{path}: {text}") from None
    except (RuntimeError, ValueError) as exc:
        if not str(exc).startswith("Zelk"):
            raise
        raise CliError(f"{path}: {exc}") from None


def _open(path: str, crc: bool = True) -> _zelkor._ZelkReader:
    with _store_errors(_utf8_path(path)):
        return _zelkor._ZelkReader(path, verify=crc)


def _index(path: str, reader: _zelkor._ZelkReader) -> StoreIndex:
    try:
        index = StoreIndex(path)
    except (OSError, IndexFormatError) as exc:
        raise CliError(f"{path}: {exc}") from None
    if not index.matches(reader.stats()):
        raise CliError(f"{path}: the file was replaced while zlkr read it")
    return index


def _get(path: str, reader: _zelkor._ZelkReader, key: bytes) -> bytes | None:
    with _store_errors(path):
        return reader.get_raw(key)


class _Out:
    """Standard output as bytes, UTF-8 for text."""

    def __init__(self) -> None:
        if sys.stdout is None:
            raise CliError("standard output is closed")
        self.stream: BinaryIO = sys.stdout.buffer

    def line(self, text: str) -> None:
        self.stream.write(text.encode("utf-8") + b"\n")

    def raw(self, data: bytes) -> None:
        self.stream.write(data)


def _warn(message: str) -> None:
    if sys.stderr is not None:
        sys.stderr.write(f"zlkr: {message}\n")


# --------------------------------------------------------------- commands


def cmd_build(args: argparse.Namespace) -> int:
    out = _utf8_path(args.out)
    if os.path.isdir(out):
        raise CliError(f"{out}: is a directory")
    name = "<stdin>" if args.input in (None, "-") else args.input
    if name == "<stdin>" and sys.stdin is None:
        raise CliError("standard input is closed; give INPUT")
    try:
        source: BinaryIO = sys.stdin.buffer if name == "<stdin>" else open(name, "rb")  # noqa: SIM115
    except OSError as exc:
        raise CliError(f"cannot read {name}: {exc.strerror or exc}") from None
    with source:
        info = os.fstat(source.fileno())
        total = info.st_size if stat.S_ISREG(info.st_mode) else None
        if name == "<stdin>" and source.isatty():
            _warn("reading records from standard input (end with Ctrl-D)")
        writer = _zelkor._ZelkWriter()
        with Progress(f"reading {os.path.basename(name)}", total, in_bytes=total is not None) as bar:
            _read_records(source, name, writer, bar)
            bar.status(f"writing {os.path.basename(out)} ...")
            with _store_errors(out):
                summary = _capture_fd1(lambda: writer.build(out))
    if summary and not args.quiet and sys.stdout is not None:
        _Out().raw(summary)
    return 0


def _read_records(source: BinaryIO, name: str, writer: _zelkor._ZelkWriter, bar: Progress) -> None:
    first_line: dict[bytes, int] = {}
    done = 0
    try:
        for lineno, line in enumerate(source, 1):
            done += len(line)
            bar.update(done if bar.total else lineno)
            if not line.strip():
                continue
            where = f"{name}:{lineno}"
            try:
                text = line.decode("utf-8").rstrip("\r\n")
            except UnicodeDecodeError as exc:
                raise CliError(f"{where}: not valid UTF-8 (byte {exc.start + 1} of the line)") from None
            if lineno == 1:
                text = text.removeprefix("\ufeff")
            try:
                keys, payload = parse_record(text)
            except FormError as exc:
                raise CliError(f"{where}: {exc}") from None
            if len(set(keys)) != len(keys):
                raise CliError(f"{where}: the record gives a key twice")
            obj_id = writer.add_object_raw(payload)
            for key in keys:
                seen = first_line.setdefault(key, lineno)
                if seen != lineno:
                    raise CliError(f"{where}: key {_show_key(key)} was already given on line {seen}")
                try:
                    writer.add_key(key, obj_id)
                except ValueError as exc:
                    raise CliError(f"{where}: {exc}") from None
    except OSError as exc:
        raise CliError(f"cannot read {name}: {exc.strerror or exc}") from None


def _capture_fd1(action: Callable[[], None]) -> bytes:
    """Run *action* with file descriptor 1 sent to a temporary file.

    The writer prints its summary straight to descriptor 1, where it would
    land in the middle of a progress line; it is shown afterwards instead.
    """
    if sys.stdout is not None:
        sys.stdout.flush()
    saved = os.dup(1)
    try:
        with tempfile.TemporaryFile() as held:
            os.dup2(held.fileno(), 1)
            try:
                action()
            finally:
                os.dup2(saved, 1)
            held.seek(0)
            return held.read()
    finally:
        os.close(saved)


def cmd_get(args: argparse.Namespace) -> int:
    reader = _open(args.file, args.crc)
    out = _Out()
    failed = 0
    for arg in args.keys:
        key = os.fsencode(arg)
        payload = _get(args.file, reader, key)
        if payload is None:
            _warn(f"{args.file}: no key {_show_key(key)}")
            failed += 1
        elif args.raw:
            out.raw(payload)
        else:
            try:
                value = render(payload)
            except ValueError as exc:
                _warn(f"{args.file}: the value of {_show_key(key)} has no JSON form ({exc}); see it with --raw")
                failed += 1
                continue
            out.line(json.dumps(value, ensure_ascii=False, allow_nan=False))
    return 1 if failed else 0


def _selected(index: StoreIndex, prefix: str | None) -> range:
    if prefix is None:
        return range(len(index.keys))
    return index.prefix_range(os.fsencode(prefix))


def cmd_keys(args: argparse.Namespace) -> int:
    reader = _open(args.file, args.crc)
    index = _index(args.file, reader)
    out = _Out()
    end = b"\0" if args.null else b"\n"
    for i in _selected(index, args.prefix):
        key = index.keys[i]
        if args.raw:
            out.raw(key + end)
        elif args.json:
            fields = key_fields([key])
            out.line(json.dumps(fields.get("key", fields), ensure_ascii=False))
        else:
            out.raw(key.decode("utf-8", "replace").encode("utf-8") + end)
    return 0


def cmd_items(args: argparse.Namespace) -> int:
    reader = _open(args.file, args.crc)
    index = _index(args.file, reader)
    out = _Out()
    mode = "raw" if args.raw else "decoded"
    for i in _selected(index, args.prefix):
        key = index.keys[i]
        payload = _get(args.file, reader, key)
        if payload is None:  # only if the index lists a key twice
            continue
        out.line(make_record([key], payload, mode))
    return 0


def cmd_dump(args: argparse.Namespace) -> int:
    reader = _open(args.file, args.crc)
    index = _index(args.file, reader)
    groups = index.groups()
    out = _Out()
    with Progress(f"dumping {os.path.basename(args.file)}", len(groups)) as bar:
        for done, positions in enumerate(groups):
            bar.update(done)
            keys = [index.keys[i] for i in positions]
            payload = _get(args.file, reader, keys[0])
            if payload is None:
                raise CliError(f"{args.file}: no object for key {_show_key(keys[0])}")
            out.line(make_record(keys, payload, "exact"))
    return 0


def cmd_stats(args: argparse.Namespace) -> int:
    reader = _open(args.file, args.crc)
    stats = reader.stats()
    out = _Out()
    if args.json:
        out.line(json.dumps(stats, ensure_ascii=False))
        return 0
    size = round(stats["file_size_kb"] * 1024)
    rows = [
        ("file", stats["path"]),
        ("format version", str(stats["version"])),
        ("keys", f"{stats['num_keys']:,}"),
        ("objects", f"{stats['num_objects']:,}"),
        ("data offset", f"{stats['data_offset']:,}"),
        ("index offset", f"{stats['index_offset']:,}"),
        ("file size", f"{_human(size)} ({size:,} bytes)"),
        ("file CRC-32", stats["file_crc32"]),
    ]
    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        out.line(f"{label:<{width}}  {value}")
    return 0


def _human(size: int) -> str:
    value = float(size)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{value:.0f} B" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


def cmd_verify(args: argparse.Namespace) -> int:
    reader = _open(args.file)
    with _store_errors(args.file):
        reader.verify()
    if not args.quiet and sys.stdout is not None:
        stats = reader.stats()
        _Out().line(f"{args.file}: OK ({stats['num_keys']:,} keys, {stats['num_objects']:,} objects)")
    return 0


# ----------------------------------------------------------------- parser


def make_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="zlkr", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"zlkr {_zelkor.__version__}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", dest="command", required=True)

    def command(name: str, run: Callable[[argparse.Namespace], int], summary: str, **kw: Any) -> _Parser:
        sub: _Parser = commands.add_parser(name, help=summary, description=kw.pop("description", summary), **kw)
        sub.set_defaults(run=run)
        return sub

    def store(sub: argparse.ArgumentParser, crc: bool = True) -> None:
        sub.add_argument("file", metavar="FILE", help="the .zlkr store")
        if crc:
            sub.add_argument(
                "--no-crc",
                dest="crc",
                action="store_false",
                help="skip the whole-file CRC-32 check on opening (faster on big files)",
            )

    sub = command(
        "build",
        cmd_build,
        "build a store from JSON Lines",
        epilog=RECORD_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub.add_argument("out", metavar="OUT", help="the store to write (replaced atomically)")
    sub.add_argument("input", metavar="INPUT", nargs="?", help="JSON Lines records; standard input if absent or -")
    sub.add_argument("-q", "--quiet", action="store_true", help="do not print the summary line")

    sub = command("get", cmd_get, "print the values of keys as JSON, one per line")
    store(sub)
    sub.add_argument("keys", metavar="KEY", nargs="+", help="a key (its bytes as given)")
    sub.add_argument("--raw", action="store_true", help="write the stored MessagePack bytes instead, back to back")

    sub = command("keys", cmd_keys, "list keys in store order, one per line")
    store(sub)
    sub.add_argument("--prefix", metavar="P", help="only keys that start with P")
    form = sub.add_mutually_exclusive_group()
    form.add_argument("--raw", action="store_true", help="write each key's bytes exactly")
    form.add_argument("--json", action="store_true", help='write each key as a JSON string ({"key_b64": ...} if not UTF-8)')
    sub.add_argument("-0", "--null", action="store_true", help="end keys with NUL instead of a line end (not with --json)")

    sub = command("items", cmd_items, "print key/value records as JSON Lines, in key order")
    store(sub)
    sub.add_argument("--prefix", metavar="P", help="only keys that start with P")
    sub.add_argument("--raw", action="store_true", help="give every value as value_b64 (the stored bytes)")

    sub = command(
        "dump",
        cmd_dump,
        "write the whole store as JSON Lines that 'zlkr build' turns back into it",
        description=(
            "Write one record per object, in file order, with all keys that share it. "
            "'zlkr build' makes a store from it with the same keys, the same object bytes and "
            "the same sharing; objects that no key reaches are not written."
        ),
    )
    store(sub)

    sub = command("stats", cmd_stats, "show the store's header and size")
    store(sub)
    sub.add_argument("--json", action="store_true", help="print the figures as one JSON object")

    sub = command(
        "verify",
        cmd_verify,
        "check every checksum; exit status 1 if the store is damaged",
    )
    store(sub, crc=False)
    sub.add_argument("-q", "--quiet", action="store_true", help="print nothing when the store is sound")
    return parser


def _fill_standard_fds() -> None:
    """Put /dev/null on standard descriptors that are closed, so that no file
    opened later takes their place (the writer prints to descriptor 1)."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            if os.open(os.devnull, os.O_RDWR) != fd:
                raise RuntimeError(f"cannot reopen file descriptor {fd}") from None


def main(argv: Sequence[str] | None = None) -> int:
    _fill_standard_fds()
    args = make_parser().parse_args(argv)
    if getattr(args, "null", False) and args.json:
        _warn("--null does not go with --json")
        return 2
    try:
        status: int = args.run(args)
        if sys.stdout is not None:
            sys.stdout.flush()
    except CliError as exc:
        _warn(str(exc))
        return exc.status
    except BrokenPipeError:
        # The reader of our output went away (zlkr keys ... | head).
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    except KeyboardInterrupt:
        _warn("interrupted")
        return 130
    return status
