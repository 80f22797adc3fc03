"""``zlkr``: build, query, check and dump .zlkr stores (files and sharded
sets) from the command line."""

from __future__ import annotations

import argparse
import importlib
import json
import os
import signal
import stat
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, BinaryIO, NoReturn, cast

import _zelkor
import zelkor

from .jsonform import FormError, render
from .progress import Progress
from .records import key_fields, make_record, parse_record

DESCRIPTION = """\
Build, query, check and dump .zlkr stores.

A store maps keys to objects; several keys may share one object. zlkr stores
every object as MessagePack and shows values as JSON (see 'zlkr build --help'
for the record format that build reads and dump writes). Every command that
reads a store also reads a sharded set: give the set's directory."""

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

The build writes OUT atomically and prints a one-line summary
on standard output (not with --quiet). With --compression zstd every value
is stored compressed; readers need no option."""


class CliError(Exception):
    """Ends the command with one line on standard error and *status*."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class _OutputError(Exception):
    """Standard output could not be written (the error is the cause)."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see '{self.prog} --help')\n")


# ---------------------------------------------------------------- helpers


def _show_key(key: bytes) -> str:
    try:
        return json.dumps(key.decode("utf-8"), ensure_ascii=False)
    except UnicodeDecodeError:
        return repr(key)


def _key_bytes(key: zelkor.Key) -> bytes:
    return key.encode("utf-8") if isinstance(key, str) else key


def _utf8_path(path: str) -> str:
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        raise CliError(f"{path!r}: paths must be valid UTF-8") from None
    return path


def _store_error(path: str, exc: zelkor.ZelkError) -> CliError:
    """One line for an error of the store at *path*, with the module's text."""
    if isinstance(exc, zelkor.ZelkNotAStoreError):
        return CliError(f"{path}: {exc} (the file is not a zelkor store)")
    if isinstance(exc, (FileNotFoundError, PermissionError, NotADirectoryError)):
        return CliError(str(exc))  # the file could not be opened: the module's text names it
    return CliError(f"{path}: {exc}")


def _open(path: str, crc: bool = True) -> zelkor.Reader:
    _utf8_path(path)
    try:
        return zelkor.open(path, verify=crc)
    except zelkor.ZelkError as exc:
        raise _store_error(path, exc) from None


class _Out:
    """Standard output as bytes, UTF-8 for text. A failed write raises
    _OutputError."""

    def __init__(self) -> None:
        if sys.stdout is None:
            raise CliError("standard output is closed")
        self.stream: BinaryIO = sys.stdout.buffer

    def line(self, text: str) -> None:
        self.raw(text.encode("utf-8") + b"\n")

    def raw(self, data: bytes) -> None:
        try:
            self.stream.write(data)
        except OSError as exc:
            raise _OutputError() from exc


def _flush_stdout() -> None:
    if sys.stdout is not None:
        try:
            sys.stdout.flush()
        except OSError as exc:
            raise _OutputError() from exc


def _warn(message: str) -> None:
    if sys.stderr is not None:
        sys.stderr.write(f"zlkr: {message}\n")


# The store was renamed into place: an interrupt that lands afterwards does
# not undo that, so it is no failure.
_built: list[str] = []


@contextmanager
def _uninterruptible() -> Iterator[None]:
    """Ignore Ctrl-C inside the block (in the main thread).

    The build cannot be stopped once it runs (the module holds the
    interpreter until the store is in place), so an interrupt during it
    would only land afterwards and report a finished store as interrupted.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


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
        writer = zelkor.ZelkWriter(compression=_compression(args))
        with Progress(f"reading {os.path.basename(name)}", total, in_bytes=total is not None) as bar:
            _read_records(source, name, writer, bar)
            # The summary line goes straight to descriptor 1: it overwrites
            # the status line when both share a terminal (it is longer).
            bar.status(f"writing {os.path.basename(out)} ...", park=True)
            _flush_stdout()
            with _uninterruptible():
                try:
                    writer.build(out, quiet=args.quiet)
                except zelkor.ZelkError as exc:
                    raise CliError(f"{out}: {exc}") from None
                _built.append(out)
    return 0


def _compression(args: argparse.Namespace) -> zelkor.Compression:
    """The writer's compression that the options of ``build`` ask for."""
    options = {"level": args.level, "dictionary_size": args.dictionary_size, "sample_size": args.sample_size}
    if args.compression is None:
        given = [name for name, value in options.items() if value is not None]
        if given:
            raise CliError(f"--{given[0].replace('_', '-')} needs --compression zstd", 2)
        return None
    try:
        return zelkor.Zstd(**{name: value for name, value in options.items() if value is not None})
    except ValueError as exc:
        raise CliError(str(exc), 2) from None


def _read_records(source: BinaryIO, name: str, writer: zelkor.ZelkWriter, bar: Progress) -> None:
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
            for key in keys:
                seen = first_line.setdefault(key, lineno)
                if seen != lineno:
                    raise CliError(f"{where}: key {_show_key(key)} was already given on line {seen}")
            try:
                writer.add_raw(keys, payload)
            except zelkor.ZelkError as exc:
                raise CliError(f"{where}: {exc}") from None
    except OSError as exc:
        raise CliError(f"cannot read {name}: {exc.strerror or exc}") from None


def cmd_get(args: argparse.Namespace) -> int:
    reader = _open(args.file, args.crc)
    out = _Out()
    failed = 0
    for arg in args.keys:
        key = os.fsencode(arg)
        try:
            payload = reader.raw(key)
        except zelkor.ZelkError as exc:
            raise _store_error(args.file, exc) from None
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


def _selected(reader: zelkor.Reader, prefix: str | None) -> zelkor.ItemRange:
    return reader.range() if prefix is None else reader.prefix(os.fsencode(prefix))


def cmd_keys(args: argparse.Namespace) -> int:
    reader = _open(args.file, args.crc)
    out = _Out()
    end = b"\0" if args.null else b"\n"
    for key in _selected(reader, args.prefix).keys():
        if args.json:
            fields = key_fields([_key_bytes(key)])
            out.line(json.dumps(fields.get("key", fields), ensure_ascii=False))
        elif args.raw or isinstance(key, str):
            out.raw(_key_bytes(key) + end)
        else:
            out.raw(key.decode("utf-8", "replace").encode("utf-8") + end)
    return 0


def cmd_items(args: argparse.Namespace) -> int:
    reader = _open(args.file, args.crc)
    out = _Out()
    mode = "raw" if args.raw else "decoded"
    try:
        for key, payload in _selected(reader, args.prefix).items_raw():
            out.line(make_record([_key_bytes(key)], payload, mode))
    except zelkor.ZelkError as exc:
        raise _store_error(args.file, exc) from None
    return 0


def cmd_dump(args: argparse.Namespace) -> int:
    reader = _open(args.file, args.crc)
    out = _Out()
    with Progress(f"dumping {os.path.basename(os.path.normpath(args.file))}", reader.stats()["num_objects"]) as bar:
        try:
            for done, (keys, payload) in enumerate(reader.groups_raw()):
                bar.update(done)
                out.line(make_record(keys, payload, "exact"))
        except zelkor.ZelkError as exc:
            raise _store_error(args.file, exc) from None
    return 0


def _compression_rows(reader: zelkor.Reader) -> list[tuple[str, str]]:
    """The rows of a compressed store (none for one stored as added)."""
    try:
        figures = reader.compression
    except zelkor.ZelkError as exc:
        raise _store_error(reader.path, exc) from None
    if figures is None:
        return []
    size = figures["dictionary_size"]
    codec = f"{figures['codec']} level {figures['level']} (zstd {figures['zstd_version']}), "
    codec += f"dictionary {_human(size)} ({size:,} bytes)" if size else "no dictionary"
    raw, stored = figures["value_bytes"], figures["stored_bytes"]
    return [
        ("compression", codec),
        ("values", f"{_human(raw)} as added, {_human(stored)} stored, ratio {raw / max(stored, 1):.2f} "
                   f"({figures['compressed_values']:,} compressed, {figures['stored_values']:,} as they are)"),
    ]


def cmd_stats(args: argparse.Namespace) -> int:
    reader = _open(args.file, args.crc)
    out = _Out()
    if args.json:
        try:
            compression = reader.compression
        except zelkor.ZelkError as exc:
            raise _store_error(args.file, exc) from None
        shown: dict[str, object] = {**reader.stats(), "mapped_index": reader.mapped_index}
        if compression is not None:
            shown["compression"] = compression
        out.line(json.dumps(shown, ensure_ascii=False))
        return 0
    mapped = "yes" if reader.mapped_index else "no: keys indexed in memory at open ('zlkr rebuild' adds it)"
    found = reader.stats()
    if "shards" in found:  # a set's, in a directory or at a URL
        figures = cast(zelkor.SetStats, found)
        size = sum(shard["file_size_kb"] for shard in figures["shards"]) * 1024
        rows = [
            ("set", figures["path"]),
            ("generation", figures["generation"]),
            ("partition", f"{figures['partition']}, {figures['shard_count']:,} shards"),
            ("keys", f"{figures['num_keys']:,}"),
            ("objects", f"{figures['num_objects']:,}"),
            ("size", f"{_human(round(size))} ({round(size):,} bytes)"),
            ("mapped index", mapped),
        ]
    else:
        stats = found  # a file's
        size = stats["file_size_kb"] * 1024
        rows = [
            ("file", stats["path"]),
            ("format version", str(stats["version"])),
            ("keys", f"{stats['num_keys']:,}"),
            ("objects", f"{stats['num_objects']:,}"),
            ("data offset", f"{stats['data_offset']:,}"),
            ("index offset", f"{stats['index_offset']:,}"),
            ("file size", f"{_human(round(size))} ({round(size):,} bytes)"),
            ("file CRC-32", stats["file_crc32"]),
            ("mapped index", mapped),
        ]
    rows += _compression_rows(reader)
    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        out.line(f"{label:<{width}}  {value}")
    return 0


def cmd_rebuild(args: argparse.Namespace) -> int:
    """The store written again in the package's own layout (records in key
    order, the mapped index), replacing it atomically: the same keys, the
    same object bytes, the same sharing, the same compression."""
    path = _utf8_path(args.file)
    reader = _open(path, True)
    writer: zelkor.ZelkWriter | zelkor.ShardedWriter
    found = reader.stats()
    try:  # a compressed store stays compressed, with the options it was built with
        figures = reader.compression
    except zelkor.ZelkError as exc:
        raise _store_error(path, exc) from None
    compression = None if figures is None else zelkor.Zstd.of(figures)
    if "shards" in found:  # a set's, in a directory or at a URL
        writer = zelkor.ShardedWriter(shards=cast(zelkor.SetStats, found)["shard_count"], compression=compression)
    else:
        writer = zelkor.ZelkWriter(compression=compression)
    with _uninterruptible():
        try:
            writer.merge(reader)
            writer.build(path, quiet=args.quiet)
        except zelkor.ZelkError as exc:
            raise CliError(f"{path}: {exc}") from None
        _built.append(path)
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
    try:
        reader.verify()
    except zelkor.ZelkError as exc:
        raise _store_error(args.file, exc) from None
    if not args.quiet and sys.stdout is not None:
        stats = reader.stats()
        _Out().line(f"{args.file}: OK ({stats['num_keys']:,} keys, {stats['num_objects']:,} objects)")
    return 0


def version_text() -> str:
    """``zlkr 0.3.0 (_zelkor 0.3.0, CRC-32: isa-l, platform: posix, zstd:
    1.5.4 static)``; the parts in parentheses that the build did not
    record are left out."""
    try:  # written when the wheel is built; a source tree has none
        info: object = importlib.import_module("zelkor._build_info")
    except ImportError:
        info = None
    version = getattr(info, "VERSION", None) or zelkor.__version__
    parts = [f"_zelkor {_zelkor.__version__}"]
    crc = getattr(info, "CRC_BACKEND", None)
    if crc:
        parts.append(f"CRC-32: {crc}")
    platform = getattr(info, "PLATFORM_LAYER", None)
    if platform:
        parts.append(f"platform: {platform}")
    if hasattr(info, "ZSTD"):
        zstd = getattr(info, "ZSTD")
        parts.append(f"zstd: {zstd} {getattr(info, 'ZSTD_LINKAGE', '')}".rstrip() if zstd else "zstd: none")
    return f"zlkr {version} ({', '.join(parts)})"


# ----------------------------------------------------------------- parser


def make_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="zlkr", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=version_text())
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", dest="command", required=True)

    def command(name: str, run: Callable[[argparse.Namespace], int], summary: str, **kw: Any) -> _Parser:
        sub: _Parser = commands.add_parser(name, help=summary, description=kw.pop("description", summary), **kw)
        sub.set_defaults(run=run)
        return sub

    def store(sub: argparse.ArgumentParser, crc: bool = True) -> None:
        sub.add_argument("file", metavar="STORE", help="the .zlkr store file, or a sharded set's directory")
        if crc:
            sub.add_argument(
                "--no-crc",
                dest="crc",
                action="store_false",
                help="skip the whole-file CRC-32 check of each file on opening (faster on big stores)",
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
    sub.add_argument("--compression", choices=["zstd"],
                     help="store every value compressed on its own, with a dictionary trained on a sample of them")
    sub.add_argument("--level", type=int, metavar="N", help="zstd's level, 1 to 22 (default 3)")
    sub.add_argument("--dictionary-size", type=int, metavar="BYTES",
                     help="the dictionary's size at most (default 110 KiB, less for small stores)")
    sub.add_argument("--sample-size", type=int, metavar="N",
                     help="how many values the dictionary is trained on (default 5000)")

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
            "the same sharing; objects that no key reaches are not written. A set is written "
            "shard after shard (an object that several shards hold, once per shard), which "
            "'zlkr build' turns into one file."
        ),
    )
    store(sub)

    sub = command("stats", cmd_stats, "show the store's header, size and compression")
    store(sub)
    sub.add_argument("--json", action="store_true", help="print the figures as one JSON object")

    sub = command(
        "rebuild",
        cmd_rebuild,
        "write a store again with the mapped index, replacing it atomically",
        description=(
            "Write the store again in the layout every build now makes: records in key order and "
            "the mapped index, which lets every process open it without indexing its keys. The "
            "keys, the object bytes and their sharing stay as they are; the file (or the set, "
            "shard by shard under a new generation) is replaced atomically, and readers that have "
            "it open keep reading the old one. The whole store is checked first."
        ),
    )
    store(sub, crc=False)
    sub.add_argument("-q", "--quiet", action="store_true", help="do not print the summary line")

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


def _drop_stdout() -> None:
    """Send what is left in Python's buffer for descriptor 1 to /dev/null,
    so that the flush at exit does not fail a second time."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)


def main(argv: Sequence[str] | None = None) -> int:
    """Run zlkr; the exit status: 0 done, 1 an error, 2 a wrong command line,
    130 interrupted, 141 standard output closed early (as a process that
    SIGPIPE ended, quietly)."""
    _fill_standard_fds()
    _built.clear()
    try:
        try:
            args = make_parser().parse_args(argv)
        except OSError as exc:  # --help or --version could not be written
            raise _OutputError() from exc
        finally:
            _flush_stdout()
        if getattr(args, "null", False) and args.json:
            _warn("--null does not go with --json")
            return 2
        status: int = args.run(args)
        _flush_stdout()
    except CliError as exc:
        _warn(str(exc))
        return exc.status
    except _OutputError as exc:
        _drop_stdout()
        if isinstance(exc.__cause__, BrokenPipeError):
            return 141  # the reader of our output went away (zlkr keys ... | head)
        cause = exc.__cause__
        reason = cause.strerror if isinstance(cause, OSError) and cause.strerror else str(cause)
        _warn(f"cannot write to standard output: {reason}")
        return 1
    except KeyboardInterrupt:
        if _built:
            return 0  # the store is in place
        _warn("interrupted")
        return 130
    return status
