"""The module object, its two classes and their method tables."""

import importlib.util
import inspect
import re
import types
import weakref

import pytest

import _zelkor

W = _zelkor._ZelkWriter
R = _zelkor._ZelkReader

READER_METHODS = [
    ("get_raw", "key", "O(1) exact-match lookup. Returns raw msgpack bytes or `None`."),
    ("exists", "key", "Key presence check \u2014 no I/O beyond the in-memory hash index."),
    ("prefix_raw", "prefix", "Sorted prefix scan. Returns `list[tuple[str, bytes]]`."),
    ("keys", "", "All keys in sorted order."),
    ("items_raw", "", "All `(key, raw_bytes)` pairs in sorted key order."),
    (
        "items_raw_bytes",
        "",
        "All `(key_bytes, raw_bytes)` pairs in sorted key order.\n\n"
        "Unlike `items_raw`, keys come back as `bytes` \u2014 no UTF-8 lossy decode,\n"
        "so `merge()` can round-trip non-UTF-8 keys unchanged.",
    ),
    ("objects_raw", "", "Unique objects only (deduplicated by file offset)."),
    ("stats", "", "Return file metadata as a `dict`."),
    ("verify", "", "Deep CRC32 integrity check (whole-file + per-object)."),
    ("close", "", ""),
    ("__enter__", "", ""),
    ("__exit__", "_exc_type, _exc_val, _exc_tb", ""),
]
WRITER_METHODS = [
    ("add_object_raw", "raw_bytes", "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."),
    ("add_key", "key, obj_id", "Map *key* (str or bytes) to *obj_id*."),
    ("build", "path", "Atomically write the `.zlkr` file: tmp \u2192 fsync \u2192 rename."),
]
# Methods added after the described ones: (name, parameters).
ADDED_READER_METHODS = [
    ("get_many_raw", "keys"),
    ("index_entries", ""),
    ("key_range", "start, stop"),
    ("prefix_range", "prefix"),
    ("keys_at", "begin, end"),
    ("items_at", "begin, end"),
    ("metadata", ""),
    ("compression", ""),
]
ADDED_WRITER_METHODS = [
    ("build_quiet", "path"),
    ("build_mapped", "path, metadata=None, compression=None, level=None, dictionary_size=None, sample_size=None"),
    ("counts", ""),
]
TABLES = [(R, m) for m in READER_METHODS] + [(W, m) for m in WRITER_METHODS]
NO_ARGUMENTS = [name for name, params, _ in READER_METHODS if not params]

CLASS_DOCS = {
    R: (
        "(path, verify=True)",
        "Low-level reader \u2014 returns raw msgpack bytes.\n"
        "**Use `zelkor.ZelkReader` (Python wrapper) instead of this directly.**\n\n"
        "Thread-safe for reads: the index is immutable after construction and the\n"
        "mmap is read-only.  Share one instance freely across threads.",
    ),
    W: (
        "()",
        "Low-level writer \u2014 accepts pre-serialised msgpack bytes per object.\n"
        "**Use `zelkor.ZelkWriter` (Python wrapper) instead of this directly.**",
    ),
}


@pytest.fixture
def reader(build_store):
    return R(build_store([b"v"], {"k": 0}))


@pytest.fixture(params=["reader", "writer"])
def instance(request):
    return request.getfixturevalue("reader") if request.param == "reader" else W()


def test_module_attributes():
    assert _zelkor.__name__ == "_zelkor"
    assert _zelkor.__doc__ == "zelkor._zelkor \u2014 native extension module entry-point"
    assert _zelkor.__all__ == ["_ZelkWriter", "_ZelkReader", "__version__"]
    assert type(_zelkor.__version__) is str and _zelkor.__version__ == "0.3.0"
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(vars(_zelkor)) - standard == {"_ZelkWriter", "_ZelkReader", "__version__", "__all__"}


def test_second_module_object_shares_the_classes():
    found = importlib.util.find_spec("_zelkor")
    again = importlib.util.module_from_spec(found)
    found.loader.exec_module(again)
    assert again is not _zelkor
    assert again._ZelkWriter is W and again._ZelkReader is R
    assert again.__all__ == ["_ZelkWriter", "_ZelkReader", "__version__"]
    assert again.__all__ is not _zelkor.__all__


@pytest.mark.parametrize("cls", [R, W], ids=lambda c: c.__name__)
def test_class_identity_and_documentation(cls):
    signature, doc = CLASS_DOCS[cls]
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", cls.__name__, cls.__name__)
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc
    assert str(inspect.signature(cls)) == signature
    assert "__init__" not in vars(cls)


@pytest.mark.parametrize(
    "cls, table, added",
    [(R, READER_METHODS, ADDED_READER_METHODS), (W, WRITER_METHODS, ADDED_WRITER_METHODS)],
    ids=["reader", "writer"],
)
def test_method_tables_in_registration_order(cls, table, added):
    methods = [n for n, v in vars(cls).items() if isinstance(v, types.MethodDescriptorType)]
    assert methods == [name for name, _, _ in table] + [name for name, _ in added]


@pytest.mark.parametrize(
    "cls, name, params",
    [(R, *m) for m in ADDED_READER_METHODS] + [(W, *m) for m in ADDED_WRITER_METHODS],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_added_method_signatures(cls, name, params):
    function = getattr(cls, name)
    assert function.__text_signature__ == ("($self, " + params + ")" if params else "($self)")
    assert function.__doc__
    parameters = list(inspect.signature(function).parameters.values())[1:]
    with_default = {part.split("=")[0] for part in params.split(", ") if "=" in part}
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and (p.default is p.empty) == (p.name not in with_default)
               for p in parameters)


@pytest.mark.parametrize("cls, method", TABLES, ids=lambda v: v[0] if isinstance(v, tuple) else v.__name__)
def test_method_signature_and_documentation(cls, method):
    name, params, doc = method
    function = getattr(cls, name)
    assert function.__text_signature__ == ("($self, " + params + ")" if params else "($self)")
    assert function.__doc__ == (doc or None)
    parameters = list(inspect.signature(function).parameters.values())[1:]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters)


@pytest.mark.parametrize("cls", [R, W], ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


def test_instances_take_no_attributes_or_weak_references(instance):
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)


@pytest.mark.parametrize("name", NO_ARGUMENTS)
@pytest.mark.parametrize(
    "args, kwargs, text",
    [((1,), {}, "takes no arguments (1 given)"), ((), {"x": 1}, "takes no keyword arguments")],
)
def test_no_argument_methods_refuse_arguments(reader, name, args, kwargs, text):
    with pytest.raises(TypeError, match=rf"^_ZelkReader\.{name}\(\) {re.escape(text)}$"):
        getattr(reader, name)(*args, **kwargs)
    with pytest.raises(TypeError):
        getattr(R, name)(reader, *args, **kwargs)
