"""The methods added after the described ones: batch lookups, the index as
stored, positions of ranges and windows over them, and the quiet build."""

import pytest

import _zelkor
from storefile import Layout

R = _zelkor._ZelkReader
KEY_ERROR = "key must be str or bytes"


@pytest.fixture
def reader(build_store):
    # Keys k000 .. k599 (one object per three keys), "é", and one that is not UTF-8.
    keys = {f"k{i:03}": i // 3 for i in range(600)}
    keys.update({"\u00e9": 0, b"\xff\xfe": 1})
    return R(build_store([b"o%d" % i for i in range(200)], keys))


def test_get_many_raw_keeps_order_across_batches(reader):
    # Longer than one batch, with repeats, misses and every key form.
    keys = [f"k{i:03}" for i in range(599, -1, -2)] * 3 + ["nope", b"k001", [0xC3, 0xA9], bytearray(b"\xff\xfe")]
    assert reader.get_many_raw(keys) == [reader.get_raw(k) for k in keys]
    got = reader.get_many_raw(iter(keys))
    assert got == [reader.get_raw(k) for k in keys] and got[0] is not got[6]
    assert reader.get_many_raw([]) == reader.get_many_raw(()) == []


@pytest.mark.parametrize(
    "keys, error, text",
    [
        ("k001", TypeError, "argument 'keys' must be an iterable of keys, not 'str'"),
        (b"k001", TypeError, "argument 'keys' must be an iterable of keys, not 'bytes'"),
        (memoryview(b"k"), TypeError, "argument 'keys' must be an iterable of keys, not 'memoryview'"),
        (7, TypeError, "argument 'keys': 'int' object is not iterable"),
        (None, TypeError, "argument 'keys': 'NoneType' object is not iterable"),
        (["k001", 7], ValueError, KEY_ERROR),
        (["k001", "\ud800"], ValueError, KEY_ERROR),
    ],
    ids=repr,
)
def test_get_many_raw_rejects(reader, raises_exact, keys, error, text):
    with raises_exact(error, text):
        reader.get_many_raw(keys)


def test_batch_keys_outlive_python_code_run_between_them(reader):
    def fresh_keys():
        # Each key is made here and referenced only by the call, and the
        # reader converts other keys between them.
        for i in range(700):
            reader.get_raw("\u00fc" * (i % 50 + 1))
            yield f"k{i % 600:03}" if i % 3 else ("\u00e9" if i % 2 else "\u00e9" + "\u00fc" * 40)

    expected = [reader.get_raw(k) for k in fresh_keys()]
    assert reader.get_many_raw(fresh_keys()) == expected


def test_get_many_raw_passes_errors_of_the_iteration_through(reader):
    def keys():
        yield "k001"
        raise LookupError("from the iterable")

    with pytest.raises(LookupError, match="from the iterable"):
        reader.get_many_raw(keys())


def test_keys_come_back_in_their_natural_form(build_store):
    keys = [b"a", b"\xc3\xa9", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf", b"x\xff"]
    r = R(build_store([b"v"], dict.fromkeys(keys, 0)))
    # Surrogates, values past U+10FFFF and overlong forms are not UTF-8.
    expected = ["a", b"x\xff", b"\xc0\xaf", "\u00e9", b"\xed\xa0\x80", b"\xf4\x90\x80\x80"]
    assert r.keys_at(0, 6) == expected
    assert r.items_at(0, 6) == [(k, b"v") for k in expected]
    assert [k for k, _ in r.index_entries()] == sorted(keys)


@pytest.mark.parametrize(
    "begin, end, window",
    [(0, 3, (0, 3)), (-5, 2, (0, 2)), (600, 10**30, (600, 602)), (-(10**30), 1, (0, 1)), (5, 2, (5, 5)),
     (700, 800, (602, 602)), (True, 2, (1, 2))],
)
def test_windows_are_clipped(reader, begin, end, window):
    everything = reader.keys_at(0, 602)
    assert reader.keys_at(begin, end) == everything[window[0]:window[1]]
    assert [k for k, _ in reader.items_at(begin=begin, end=end)] == everything[window[0]:window[1]]


def test_window_bounds_must_be_integers(reader, raises_exact):
    with raises_exact(TypeError, "argument 'end': 'float' object cannot be interpreted as an integer"):
        reader.keys_at(0, 1.0)
    with raises_exact(TypeError, "argument 'begin': 'NoneType' object cannot be interpreted as an integer"):
        reader.items_at(None, 1)


def test_ranges(reader):
    assert reader.key_range(None, None) == (0, 602) and reader.key_range(b"k5", None) == (500, 602)
    assert reader.key_range("k020", "k010") == (20, 20) and reader.prefix_range("z") == (600, 600)
    # Two non-ASCII bounds, each in bytes of its own.
    assert reader.key_range("\u00e9", "\u00e9\u00e9") == (600, 601)
    with pytest.raises(ValueError, match=f"^{KEY_ERROR}$"):
        reader.key_range("a", 5)


def test_build_quiet_is_build_without_the_line(tmp_path, capfd, make_writer):
    writer = make_writer([b"x", b"yy"], {"a": 0, "b": 1, "c": 1})
    loud, quiet = tmp_path / "loud.zlkr", tmp_path / "quiet.zlkr"
    writer.build(str(loud))
    capfd.readouterr()
    assert writer.build_quiet(str(quiet)) == (2, 3, quiet.stat().st_size)
    assert capfd.readouterr() == ("", "")
    assert quiet.read_bytes() == loud.read_bytes() == Layout([b"x", b"yy"], {b"a": 0, b"b": 1, b"c": 1}).to_bytes()
    with pytest.raises(OSError, match="^ZelkIOError: open tmp: "):
        writer.build_quiet(str(tmp_path / "missing" / "s.zlkr"))
