"""Argument parsing and conversion at the Python boundary."""

import array
import contextlib
import gc
import pathlib
import subprocess
import sys

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _zelkor
from storefile import Layout, raw_file, record

W = _zelkor._ZelkWriter
R = _zelkor._ZelkReader
KEY_ERROR = "key must be str or bytes"


class Holder:
    class Inner:
        pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Seq:
    """A sequence through __len__/__getitem__, with a configurable length."""

    def __init__(self, items, length=None):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if isinstance(self.items, BaseException):
            raise self.items
        return self.items[i]


class Hooked:
    """The key b"k" as a sequence, or the obj_id 0, running `hook` while converted."""

    def __init__(self, hook):
        self.hook = hook

    def __len__(self):
        return 1

    def __getitem__(self, i):
        value = b"k"[i]
        self.hook()
        return value

    def __index__(self):
        self.hook()
        return 0


@pytest.fixture
def reader(build_store):
    return R(build_store([b"v0", b"v1"], {"abc": 0, "\u00e9": 1}))


# --- keys ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "form, canonical",
    [
        ("abc", b"abc"),
        (type("S", (str,), {})("abc"), b"abc"),
        (type("B", (bytes,), {})(b"abc"), b"abc"),
        (bytearray(b"abc"), b"abc"),
        (type("BA", (bytearray,), {})(b"abc"), b"abc"),
        ([97, 98, 99], b"abc"),
        ((97, 98, 99), b"abc"),
        (range(97, 100), b"abc"),
        (memoryview(b"abc"), b"abc"),
        (array.array("B", b"abc"), b"abc"),
        (Seq([97, 98, 99]), b"abc"),
        (Seq([97, 98, 99], length=TypeError("no len")), b"abc"),
        (Seq([97, 98, 99], length=0), b"abc"),
        # A length hint may be wrong; the items alone make the key.
        pytest.param(Seq([97], length=2**40), b"a", id="wrong-length-2**40"),
        pytest.param(Seq([97], length=sys.maxsize), b"a", id="wrong-length-maxsize"),
        ([True, Index(0), numpy.uint8(255)], b"\x01\x00\xff"),
        ("\u00e9", b"\xc3\xa9"),
        ([0xC3, 0xA9], b"\xc3\xa9"),
        ("", b""),
        ([], b""),
        (bytearray(), b""),
    ],
    ids=lambda v: type(v).__name__,
)
def test_key_forms_name_the_same_key(form, canonical):
    writer = W()
    writer.add_object_raw(b"0")
    writer.add_object_raw(b"1")
    writer.add_key(canonical, 0)
    writer.add_key(form, 1)
    assert repr(writer) == "_ZelkWriter(objects=2, keys=1)"


def test_key_from_sequence_is_stored_bytewise(build_bytes):
    writer = W()
    writer.add_object_raw(b"x")
    writer.add_key(range(250, 256), 0)
    writer.add_key(memoryview(b"\x00z"), 0)
    assert build_bytes(writer) == Layout([b"x"], {bytes(range(250, 256)): 0, b"\x00z": 0}).to_bytes()


REJECTED_KEYS = [
    None, 123, 1.5, {}, {97: 1}, {97}, object(), Holder.Inner(), iter([97]), (c for c in [97]),
    [256], [-1], [2**70], ["a"], [b"a"], [1.0], [None], "\ud800", "ok\udfff", array.array("i", [300]),
    Seq(ValueError("broken")), Seq(KeyError(0)),
]


@pytest.mark.parametrize("key", REJECTED_KEYS, ids=lambda v: f"{type(v).__name__}-{v!r:.20}")
def test_unconvertible_key_rejected_with_value_error(key):
    writer = W()
    writer.add_object_raw(b"x")
    with pytest.raises(ValueError) as caught:
        writer.add_key(key, 0)
    assert type(caught.value) is ValueError and caught.value.args == (KEY_ERROR,)
    assert caught.value.__context__ is None and caught.value.__cause__ is None
    assert repr(writer) == "_ZelkWriter(objects=1, keys=0)"


@pytest.mark.parametrize("method", ["get_raw", "exists", "prefix_raw"])
def test_reader_methods_convert_keys_alike(reader, method):
    results = {repr(getattr(reader, method)(k)) for k in ("abc", b"abc", bytearray(b"abc"), [97, 98, 99])}
    assert len(results) == 1
    assert getattr(reader, method)([0xC3, 0xA9]) == getattr(reader, method)("\u00e9")
    for bad in (None, 123, [256], "\ud800"):
        with pytest.raises(ValueError, match=f"^{KEY_ERROR}$"):
            getattr(reader, method)(bad)


# --- raw_bytes ----------------------------------------------------------------


def test_bytes_subclass_payload_accepted(build_bytes):
    writer = W()
    assert writer.add_object_raw(type("B", (bytes,), {})(b"sub")) == 0
    assert build_bytes(writer) == Layout([b"sub"]).to_bytes()


@pytest.mark.parametrize(
    "value, text",
    [
        (bytearray(b"x"), "'bytearray' object is not an instance of 'bytes'"),
        ("x", "'str' object is not an instance of 'bytes'"),
        (memoryview(b"x"), "'memoryview' object is not an instance of 'bytes'"),
        (1, "'int' object is not an instance of 'bytes'"),
        (Holder.Inner(), "'Holder.Inner' object is not an instance of 'bytes'"),
        (None, "'None' is not an instance of 'bytes'"),
    ],
)
def test_payload_must_be_bytes(value, text):
    writer = W()
    with pytest.raises(TypeError) as caught:
        writer.add_object_raw(value)
    assert caught.value.args == ("argument 'raw_bytes': " + text,)
    assert repr(writer) == "_ZelkWriter(objects=0, keys=0)"


# --- obj_id -------------------------------------------------------------------


# An empty writer refuses every id and shows the converted value in the message.
@pytest.mark.parametrize(
    "value, shown",
    [
        (True, 1), (False, 0), (type("I", (int,), {})(7), 7), (Index(5), 5), (numpy.int64(3), 3),
        (numpy.uint64(2**64 - 1), 2**64 - 1), (2**64 - 1, 2**64 - 1),
    ],
)
def test_obj_id_conversion(value, shown):
    with pytest.raises(ValueError, match=rf"^ZelkError: obj_id {shown} out of range \(have 0 objects\)$"):
        W().add_key("k", value)


@pytest.mark.parametrize(
    "value, error, text",
    [
        (1.0, TypeError, "argument 'obj_id': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'obj_id': 'str' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'obj_id': 'NoneType' object cannot be interpreted as an integer"),
        (Index("1"), TypeError, "argument 'obj_id': __index__ returned non-int (type str)"),
        (Index(TypeError("inner")), TypeError, "argument 'obj_id': inner"),
        (Index(ValueError("inner")), ValueError, "inner"),
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (Index(-5), OverflowError, None),
        (numpy.int64(-1), OverflowError, None),
    ],
)
def test_obj_id_rejected(value, error, text):
    writer = W()
    writer.add_object_raw(b"x")
    with pytest.raises(error) as caught:
        writer.add_key(None, value)  # the id is converted before the key
    assert type(caught.value) is error
    if text is None:
        assert not str(caught.value).startswith("argument")
    else:
        assert str(caught.value) == text
    assert repr(writer) == "_ZelkWriter(objects=1, keys=0)"


def test_key_converted_before_id_range_check():
    with pytest.raises(ValueError, match=f"^{KEY_ERROR}$"):
        W().add_key(None, 5)


# --- path and verify ------------------------------------------------------------


@pytest.mark.parametrize("call", [lambda p: W().build(p), R], ids=["build", "reader"])
@pytest.mark.parametrize(
    "value, text",
    [
        (pathlib.Path("x.zlkr"), "'PosixPath' object is not an instance of 'str'"),
        (b"x.zlkr", "'bytes' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
    ],
)
def test_path_must_be_str(tmp_path, monkeypatch, call, value, text):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "x.zlkr").write_bytes(Layout().to_bytes())
    with pytest.raises(TypeError) as caught:
        call(value)
    assert caught.value.args == ("argument 'path': " + text,)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["x.zlkr"]


@pytest.mark.parametrize("call", [lambda p: W().build(p), R], ids=["build", "reader"])
def test_path_with_lone_surrogate(tmp_path, monkeypatch, call):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(UnicodeEncodeError):
        call("bad\udc80.zlkr")
    assert list(tmp_path.iterdir()) == []


def test_str_subclass_path_accepted(tmp_path, capfd):
    path = type("P", (str,), {})(str(tmp_path / "s.zlkr"))
    W().build(path)
    assert R(path).stats()["num_keys"] == 0
    assert capfd.readouterr().out.startswith(f"\u2705  {path}  ")


class FakeNumpyBool:
    __module__ = "numpy"

    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        if isinstance(self.truth, BaseException):
            raise self.truth
        return self.truth


FakeNumpyBool.__name__ = "bool_"
NoTruthNumpyBool = type("bool", (), {"__module__": "numpy"})


DEFAULT = object()


@pytest.mark.parametrize(
    "flag, checks",
    [
        (DEFAULT, True), (True, True), (False, False), (numpy.bool_(True), True), (numpy.bool_(False), False),
        (FakeNumpyBool(True), True), (FakeNumpyBool(False), False),
    ],
)
def test_verify_flag_accepted(write_store, flag, checks):
    path = write_store(raw_file(record(b"v"), [(b"k", 40)], num_objects=1, file_crc=1))
    args = () if flag is DEFAULT else (flag,)
    if checks:
        with pytest.raises(RuntimeError, match="^ZelkCorruptError: file CRC32 mismatch"):
            R(path, *args)
    else:
        assert R(path, *args).get_raw("k") == b"v"


@pytest.mark.parametrize(
    "flag, text",
    [
        (1, "'int' object is not an instance of 'bool'"),
        (0, "'int' object is not an instance of 'bool'"),
        (None, "'None' is not an instance of 'bool'"),
        ("yes", "'str' object is not an instance of 'bool'"),
        (numpy.int64(1), "'int64' object is not an instance of 'bool'"),
        (numpy.array(True), "'ndarray' object is not an instance of 'bool'"),
        (FakeNumpyBool(TypeError("no truth")), "no truth"),
    ],
)
def test_verify_flag_rejected(write_store, flag, text):
    path = write_store(Layout().to_bytes())
    with pytest.raises(TypeError) as caught:
        R(path, verify=flag)
    assert caught.value.args == ("argument 'verify': " + text,)


def test_numpy_named_type_without_truth_value(write_store):
    with pytest.raises(TypeError, match="^argument 'verify': .*does not define a '__bool__' conversion"):
        R(write_store(Layout().to_bytes()), NoTruthNumpyBool())


# --- argument count and names -------------------------------------------------


def _calls(w, r):
    return [
        (lambda: w.add_key(), "_ZelkWriter.add_key() missing 2 required positional arguments: 'key' and 'obj_id'"),
        (lambda: w.add_key("k"), "_ZelkWriter.add_key() missing 1 required positional argument: 'obj_id'"),
        (lambda: w.add_key(obj_id=0), "_ZelkWriter.add_key() missing 1 required positional argument: 'key'"),
        (lambda: w.add_key("k", 0, 1), "_ZelkWriter.add_key() takes 2 positional arguments but 3 were given"),
        (lambda: w.add_key("k", key="k"), "_ZelkWriter.add_key() got multiple values for argument 'key'"),
        (lambda: w.add_key("k", 0, id=0), "_ZelkWriter.add_key() got an unexpected keyword argument 'id'"),
        (lambda: w.add_object_raw(), "_ZelkWriter.add_object_raw() missing 1 required positional argument: 'raw_bytes'"),
        (lambda: w.add_object_raw(b"a", b"b"), "_ZelkWriter.add_object_raw() takes 1 positional arguments but 2 were given"),
        (lambda: w.add_object_raw(b"a", raw_bytes=b"b"), "_ZelkWriter.add_object_raw() got multiple values for argument 'raw_bytes'"),
        (lambda: w.add_object_raw(data=b""), "_ZelkWriter.add_object_raw() got an unexpected keyword argument 'data'"),
        (lambda: w.build(), "_ZelkWriter.build() missing 1 required positional argument: 'path'"),
        (lambda: w.build("a", "b"), "_ZelkWriter.build() takes 1 positional arguments but 2 were given"),
        (lambda: W(1), "_ZelkWriter.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: W(1, 2), "_ZelkWriter.__new__() takes 0 positional arguments but 2 were given"),
        (lambda: W(path="x"), "_ZelkWriter.__new__() got an unexpected keyword argument 'path'"),
        (lambda: R(), "_ZelkReader.__new__() missing 1 required positional argument: 'path'"),
        (lambda: R(verify=True), "_ZelkReader.__new__() missing 1 required positional argument: 'path'"),
        (lambda: R("a", True, 3), "_ZelkReader.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: R("a", path="b"), "_ZelkReader.__new__() got multiple values for argument 'path'"),
        (lambda: R("a", True, verify=True), "_ZelkReader.__new__() got multiple values for argument 'verify'"),
        (lambda: R("a", mode="r"), "_ZelkReader.__new__() got an unexpected keyword argument 'mode'"),
        (lambda: r.get_raw(), "_ZelkReader.get_raw() missing 1 required positional argument: 'key'"),
        (lambda: r.get_raw(b"a", b"b"), "_ZelkReader.get_raw() takes 1 positional arguments but 2 were given"),
        (lambda: r.exists(prefix=b"a"), "_ZelkReader.exists() got an unexpected keyword argument 'prefix'"),
        (lambda: r.prefix_raw(key=b"a"), "_ZelkReader.prefix_raw() got an unexpected keyword argument 'key'"),
        (lambda: r.__exit__(), "_ZelkReader.__exit__() missing 3 required positional arguments: '_exc_type', '_exc_val', and '_exc_tb'"),
        (lambda: r.__exit__(None), "_ZelkReader.__exit__() missing 2 required positional arguments: '_exc_val' and '_exc_tb'"),
        (lambda: r.__exit__(None, None, None, None), "_ZelkReader.__exit__() takes 3 positional arguments but 4 were given"),
    ]


@pytest.mark.parametrize("case", range(len(_calls(None, None))))
def test_argument_count_and_name_errors(reader, case):
    writer = W()
    call, text = _calls(writer, reader)[case]
    with pytest.raises(TypeError) as caught:
        call()
    assert caught.value.args == (text,)
    assert repr(writer) == "_ZelkWriter(objects=0, keys=0)"


def test_keyword_calls(tmp_path, capfd):
    writer = W()
    assert writer.add_object_raw(raw_bytes=b"v") == 0
    writer.add_key(obj_id=0, key="k")
    writer.add_key(b"j", obj_id=0)
    path = str(tmp_path / "s.zlkr")
    assert writer.build(path=path) is None
    capfd.readouterr()
    reader = R(path=path, verify=False)
    assert reader.get_raw(key="k") == reader.get_raw(key=b"j") == b"v"
    assert reader.exists(key="j") and reader.prefix_raw(prefix="") == [("j", b"v"), ("k", b"v")]
    assert reader.__exit__(_exc_tb=None, _exc_val=None, _exc_type=None) is False


# --- re-entry -----------------------------------------------------------------

REENTRY = [
    pytest.param(lambda w, tmp: w.add_key("inner", 0), "Already borrowed", id="add_key"),
    pytest.param(lambda w, tmp: w.add_object_raw(b"inner"), "Already borrowed", id="add_object_raw"),
    pytest.param(lambda w, tmp: w.build(str(tmp / "inner.zlkr")), "Already mutably borrowed", id="build"),
    pytest.param(lambda w, tmp: repr(w), "Already mutably borrowed", id="repr"),
]


def _hook(writer, tmp_path, inner, seen, swallow):
    def hook():
        try:
            inner(writer, tmp_path)
        except RuntimeError as e:
            seen.append(e)
            if not swallow:
                raise

    return hook


def _check_usable(writer, tmp_path, capfd, objects, keys):
    assert repr(writer) == f"_ZelkWriter(objects={objects}, keys={keys})"
    assert writer.add_object_raw(b"after") == objects
    writer.add_key("after", objects)
    writer.build(str(tmp_path / "after.zlkr"))
    assert capfd.readouterr().out.count("\n") == 1
    assert not (tmp_path / "inner.zlkr").exists()


@pytest.mark.parametrize("inner, text", REENTRY)
@pytest.mark.parametrize("through", ["obj_id", "key"])
def test_reentry_refused_while_converting(tmp_path, capfd, inner, text, through):
    writer = W()
    writer.add_object_raw(b"x")
    seen = []
    hooked = Hooked(_hook(writer, tmp_path, inner, seen, swallow=True))
    if through == "obj_id":
        writer.add_key("k", hooked)
    else:
        writer.add_key(hooked, 0)
    assert seen and all(type(e) is RuntimeError and str(e) == text for e in seen)
    _check_usable(writer, tmp_path, capfd, objects=1, keys=1)


@pytest.mark.parametrize("inner, text", REENTRY)
def test_reentry_error_propagates_from_obj_id(tmp_path, capfd, inner, text):
    writer = W()
    writer.add_object_raw(b"x")
    seen = []
    with pytest.raises(RuntimeError) as caught:
        writer.add_key("k", Hooked(_hook(writer, tmp_path, inner, seen, swallow=False)))
    assert caught.value is seen[0] and str(caught.value) == text
    _check_usable(writer, tmp_path, capfd, objects=1, keys=0)


def test_reentry_error_in_key_iteration_rejects_the_key(tmp_path, capfd):
    writer = W()
    writer.add_object_raw(b"x")
    seen = []
    with pytest.raises(ValueError, match=f"^{KEY_ERROR}$"):
        writer.add_key(Hooked(_hook(writer, tmp_path, REENTRY[1].values[0], seen, swallow=False)), 0)
    assert [str(e) for e in seen] == ["Already borrowed"]
    _check_usable(writer, tmp_path, capfd, objects=1, keys=0)


def test_reentry_into_another_writer_is_allowed():
    writer, other = W(), W()
    writer.add_object_raw(b"x")
    writer.add_key("k", Hooked(lambda: other.add_object_raw(b"o")))
    assert (repr(writer), repr(other)) == ("_ZelkWriter(objects=1, keys=1)", "_ZelkWriter(objects=1, keys=0)")


def test_reader_calls_inside_reader_key_conversion_share(reader):
    inner = []
    assert reader.get_raw(Seq(type("Items", (), {"__getitem__": lambda s, i: inner.append(reader.keys()) or b"abc"[i]})())) == b"v0"
    assert len(inner) >= 3 and all(k == ["abc", "\u00e9"] for k in inner)


class _Interrupting:
    """A key sequence whose iteration is stopped by a signal-like exception."""

    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 1:
            raise self.exc
        return 97


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3)], ids=["KeyboardInterrupt", "SystemExit"])
def test_key_iteration_lets_program_stopping_exceptions_through(exc):
    writer = W()
    writer.add_object_raw(b"")
    with pytest.raises(type(exc)):
        writer.add_key(_Interrupting(exc), 0)
    assert repr(writer) == "_ZelkWriter(objects=1, keys=0)"


@settings(max_examples=200, deadline=None)
@given(st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=40))
def test_text_keys_are_their_utf8_encoding(text):
    writer = W()
    writer.add_object_raw(b"t")
    writer.add_object_raw(b"b")
    writer.add_key(text, 0)
    writer.add_key(text.encode("utf-8"), 1)
    assert repr(writer) == "_ZelkWriter(objects=2, keys=1)"


# --- Python code running in the middle of a call ------------------------------


@pytest.fixture
def reentrant_gc():
    """Runs `hook` at collections while the block runs, with a collection
    at almost every allocation of a tracked object."""

    @contextlib.contextmanager
    def during(hook):
        callback = lambda phase, info: hook()  # noqa: E731
        threshold = gc.get_threshold()
        # Pairs in the free list would be reused without an allocation.
        spare = [(i, -i) for i in range(5000)]
        gc.callbacks.append(callback)
        gc.set_threshold(1)
        try:
            yield
        finally:
            gc.set_threshold(*threshold)
            gc.callbacks.remove(callback)
            del spare

    return during


REENTRANT_QUERIES = {
    "prefix_raw": lambda r: r.prefix_raw("\u00e90"),
}


@pytest.mark.parametrize("query", REENTRANT_QUERIES.values(), ids=list(REENTRANT_QUERIES))
def test_key_bytes_outlive_reentrant_calls(build_store, reentrant_gc, query):
    keys = {f"{c}0{i:03}": i % 2 for c in "\u00e9\u00fc" for i in range(40)}
    reader = R(build_store([b"even", b"odd"], keys))
    expected = query(reader)
    # A finalizer converting other non-ASCII keys: one as long as the
    # query's key, then a long one.
    with reentrant_gc(lambda: (reader.exists("\u00fc0"), reader.get_raw("\u00fc0" + "\u00fc" * 300))):
        assert query(reader) == expected


DAEMON_CHILD = """
import gc, sys, threading, time, _zelkor

inside = threading.Event()

def pause(value):
    inside.set()
    time.sleep(0.3)  # wakes while the interpreter is shutting down
    return value

class Id:
    def __index__(self):
        return pause(0)

class SlowIter:
    def __len__(self):
        return 1
    def __getitem__(self, i):
        return b"k"[i]
    def __iter__(self):
        pause(None)
        return iter(b"k")

class SlowItem:
    def __len__(self):
        return 2
    def __getitem__(self, i):
        if i > 1:
            raise IndexError(i)
        return pause(107) if i == 1 else 107

class Linger:
    def __del__(self, sleep=time.sleep):
        sleep(0.8)  # holds the shutdown while the daemon thread wakes

writer = _zelkor._ZelkWriter()
writer.add_object_raw(b"v")
writer.add_key("k", 0)
writer.build(sys.argv[1])
reader = _zelkor._ZelkReader(sys.argv[1])
def slow_keys():
    yield "k"
    yield bytes([pause(107)])

calls = {
    "obj_id": lambda: writer.add_key("k", Id()),
    "key-iteration": lambda: reader.get_raw(SlowIter()),
    "key-item": lambda: reader.exists(SlowItem()),
    "batch-iteration": lambda: reader.get_many_raw(slow_keys()),
    "position": lambda: reader.keys_at(0, Id()),
}
threading.Thread(target=calls[sys.argv[2]], daemon=True).start()
inside.wait()
gc.collect()
cycle = Linger()
cycle.self = cycle  # collected by the shutdown, after it has begun
del cycle
"""


@pytest.mark.parametrize("call", ["obj_id", "key-iteration", "key-item", "batch-iteration", "position"])
def test_daemon_thread_inside_a_call_at_exit(tmp_path, call):
    child = subprocess.run(
        [sys.executable, "-c", DAEMON_CHILD, str(tmp_path / "s.zlkr"), call],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (child.returncode, child.stderr) == (0, "")
