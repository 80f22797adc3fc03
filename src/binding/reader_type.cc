// The _ZelkReader class.
#include <memory>
#include <string>

#include "../core/format/codec_block.h"
#include "../core/format/header.h"
#include "../core/reader/queries.h"
#include "reader_object.h"
#include "results.h"

namespace zelkor::py {

namespace {

constexpr const char* const NEW_PARAMS[] = {"path", "verify"};
constexpr const char* const KEY_PARAMS[] = {"key"};
constexpr const char* const PREFIX_PARAMS[] = {"prefix"};
constexpr const char* const EXIT_PARAMS[] = {"_exc_type", "_exc_val", "_exc_tb"};
constexpr ParamSpec NEW_SPEC{"_ZelkReader.__new__()", NEW_PARAMS, 2, 1};
constexpr ParamSpec GET_RAW_SPEC{"_ZelkReader.get_raw()", KEY_PARAMS, 1, 1};
constexpr ParamSpec EXISTS_SPEC{"_ZelkReader.exists()", KEY_PARAMS, 1, 1};
constexpr ParamSpec PREFIX_SPEC{"_ZelkReader.prefix_raw()", PREFIX_PARAMS, 1, 1};
constexpr ParamSpec EXIT_SPEC{"_ZelkReader.__exit__()", EXIT_PARAMS, 3, 3};
constexpr const char* const OPEN_PARAMS[] = {"path", "verify", "mapped_index", "decompress"};
constexpr ParamSpec OPEN_SPEC{"_ZelkReader.open()", OPEN_PARAMS, 4, 1};

// (text form of key i, payload of its object), or nullptr with an exception.
PyObject* item_at(const Reader& reader, std::size_t i) {
  PyObject* value = value_at(reader, reader.object_offset_at(i));
  if (value == nullptr) return nullptr;
  return new_pair(key_text(reader.key_at(i)), value);
}

// A new reader of `type` on the file at arg[0], with the flags arg[1]
// (verify, default true), arg[2] (use the mapped index, default true) and
// arg[3] (decompress values, default false), any of them nullptr when
// omitted.
PyObject* open_reader(PyTypeObject* type, PyObject* const* arg, Py_ssize_t flags) {
  const std::optional<std::string_view> path = convert_path(arg[0]);
  if (!path) return nullptr;
  std::optional<bool> verify = true;
  if (arg[1] != nullptr && !(verify = convert_verify_flag(arg[1]))) return nullptr;
  OpenOptions options;
  if (flags > 2 && arg[2] != nullptr) {
    const std::optional<bool> mapped = convert_flag(arg[2], "mapped_index");
    if (!mapped) return nullptr;
    options.use_mapped_index = *mapped;
  }
  if (flags > 3 && arg[3] != nullptr) {
    const std::optional<bool> decompress = convert_flag(arg[3], "decompress");
    if (!decompress) return nullptr;
    options.decode_values = *decompress;
  }
  Result<Reader> opened = Reader::open(std::string(*path), *verify, options);
  if (!opened.ok()) return raise_core_error(opened.error());
  PyObject* self = alloc_instance(type);
  if (self == nullptr) return nullptr;
  ReaderObject* object = reinterpret_cast<ReaderObject*>(self);
  std::construct_at(&object->reader, std::move(opened).value());
  std::construct_at(&object->borrow);
  return self;
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!parse_tuple_args(NEW_SPEC, args, kwargs, arg)) return nullptr;
    return open_reader(type, arg, 2);
  });
}

PyObject* reader_open(PyObject* type, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[4];
    if (!parse_vector_args(OPEN_SPEC, args, nargsf, kwnames, arg)) return nullptr;
    return open_reader(reinterpret_cast<PyTypeObject*>(type), arg, 4);
  });
}

PyObject* reader_metadata(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& reader) -> PyObject* {
    const std::optional<std::string_view> metadata = reader.metadata();
    if (!metadata) Py_RETURN_NONE;
    return new_bytes(*metadata);
  });
}

// Sets dict[key] = value, stealing value; false on failure.
bool put(PyObject* dict, const char* key, PyObject* value) {
  Ref owned = Ref::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// An option of the build: None where the writer chose.
PyObject* asked(std::uint32_t value) {
  if (value == 0) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(value);
}

PyObject* reader_compression(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& reader) -> PyObject* {
    if (!reader.compressed()) Py_RETURN_NONE;
    const ValueCodec* codec = reader.codec();
    if (codec == nullptr) return raise_core_error(*reader.codec_error());  // damaged, or no zstd here
    const CodecDescription& d = codec->description();
    const std::uint32_t v = d.zstd_version;
    const std::string version =
        std::to_string(v / 10000) + "." + std::to_string(v / 100 % 100) + "." + std::to_string(v % 100);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* o = dict.get();
    if (!put(o, "codec", new_text("zstd")) || !put(o, "level", PyLong_FromLong(d.level)) ||
        !put(o, "zstd_version", new_text(version)) ||
        !put(o, "dictionary_size", PyLong_FromSize_t(d.dictionary.size())) ||
        !put(o, "sample_values", PyLong_FromUnsignedLong(d.sample_values)) ||
        !put(o, "compressed_values", PyLong_FromUnsignedLongLong(d.compressed_values)) ||
        !put(o, "stored_values", PyLong_FromUnsignedLongLong(d.stored_values)) ||
        !put(o, "value_bytes", PyLong_FromUnsignedLongLong(d.value_bytes)) ||
        !put(o, "stored_bytes", PyLong_FromUnsignedLongLong(d.stored_bytes)) ||
        !put(o, "max_value_size", PyLong_FromUnsignedLongLong(d.max_value_size)) ||
        !put(o, "dictionary_size_asked", asked(d.dictionary_size_asked)) ||
        !put(o, "sample_size_asked", asked(d.sample_size_asked))) {
      return nullptr;
    }
    return dict.release();
  });
}

PyObject* reader_mapped_index(PyObject* self, void*) {
  return with_reader(self, [](const Reader& reader) { return PyBool_FromLong(reader.mapped_index().has_value()); });
}

void reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  ReaderObject* object = reinterpret_cast<ReaderObject*>(self);
  std::destroy_at(&object->borrow);
  std::destroy_at(&object->reader);
  free_instance(self);
  Py_DECREF(type);
}

PyObject* reader_repr(PyObject* self) {
  return with_reader(self, [](const Reader& reader) { return new_text(reader.describe()); });
}

PyObject* reader_get_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_reader_and_key(GET_RAW_SPEC, self, args, nargsf, kwnames,
                             [](const Reader& reader, std::string_view key) -> PyObject* {
                               const std::optional<std::uint64_t> offset = reader.find(key);
                               if (!offset) Py_RETURN_NONE;
                               return value_at(reader, *offset);
                             });
}

PyObject* reader_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_reader_and_key(EXISTS_SPEC, self, args, nargsf, kwnames,
                             [](const Reader& reader, std::string_view key) -> PyObject* {
                               return PyBool_FromLong(reader.find(key).has_value());
                             });
}

PyObject* reader_prefix_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_reader_and_key(PREFIX_SPEC, self, args, nargsf, kwnames,
                             [](const Reader& reader, std::string_view prefix) -> PyObject* {
                               // The run is found before any Python object is made.
                               const PositionRange run = prefix_range(reader, prefix);
                               Ref list = Ref::steal(PyList_New(0));
                               if (!list) return nullptr;
                               for (std::size_t i = run.begin; i < run.end; ++i) {
                                 reader.prefetch_ahead(i);
                                 Ref item = Ref::steal(item_at(reader, i));
                                 if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
                               }
                               return list.release();
                             });
}

PyObject* reader_keys(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& reader) {
    return list_of_positions({0, reader.entry_count()}, [&](std::size_t i) { return key_text(reader.key_at(i)); });
  });
}

PyObject* reader_items_raw(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& reader) {
    return list_of_positions({0, reader.entry_count()}, [&](std::size_t i) {
      reader.prefetch_ahead(i);
      return item_at(reader, i);
    });
  });
}

PyObject* reader_items_raw_bytes(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& reader) {
    return list_of_positions({0, reader.entry_count()}, [&](std::size_t i) -> PyObject* {
      reader.prefetch_ahead(i);
      PyObject* value = value_at(reader, reader.object_offset_at(i));
      if (value == nullptr) return nullptr;
      return new_pair(new_bytes(reader.key_at(i)), value);
    });
  });
}

PyObject* reader_objects_raw(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& reader) -> PyObject* {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    DistinctObjects walk(reader);
    while (const std::optional<std::size_t> i = walk.next()) {
      Ref bytes = Ref::steal(value_at(reader, reader.object_offset_at(*i)));
      if (!bytes || PyList_Append(list.get(), bytes.get()) != 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* reader_stats(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& reader) -> PyObject* {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    const Header& h = reader.header();
    const std::string crc = render_crc(h.file_crc32);
    PyObject* d = dict.get();
    if (!put(d, "path", new_text(reader.path())) || !put(d, "version", PyLong_FromLong(FORMAT_VERSION)) ||
        !put(d, "num_keys", PyLong_FromUnsignedLong(h.num_keys)) ||
        !put(d, "num_objects", PyLong_FromUnsignedLong(h.num_objects)) ||
        !put(d, "index_offset", PyLong_FromUnsignedLongLong(h.index_offset)) ||
        !put(d, "data_offset", PyLong_FromSize_t(HEADER_SIZE)) ||
        !put(d, "file_size_kb", PyFloat_FromDouble(static_cast<double>(reader.file_size()) / 1024.0)) ||
        !put(d, "file_crc32", new_text(crc))) {
      return nullptr;
    }
    return dict.release();
  });
}

PyObject* reader_verify(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& reader) -> PyObject* {
    if (Status s = reader.verify(); !s.ok()) return raise_core_error(s.error());
    Py_RETURN_TRUE;
  });
}

PyObject* reader_close(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader&) -> PyObject* { Py_RETURN_NONE; });
}

PyObject* reader_enter(PyObject* self, PyObject*) {
  return with_reader(self, [self](const Reader&) -> PyObject* { return Py_NewRef(self); });
}

PyObject* reader_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* arg[3];
  if (!parse_fast(EXIT_SPEC, args, nargsf, kwnames, arg)) return nullptr;
  return with_reader(self, [](const Reader&) -> PyObject* { Py_RETURN_FALSE; });
}

PyMethodDef READER_METHODS[] = {
    {"get_raw", as_method(reader_get_raw), METH_FASTCALL | METH_KEYWORDS,
     "get_raw($self, key)\n--\n\nO(1) exact-match lookup. Returns raw msgpack bytes or `None`."},
    {"exists", as_method(reader_exists), METH_FASTCALL | METH_KEYWORDS,
     "exists($self, key)\n--\n\nKey presence check \u2014 no I/O beyond the in-memory hash index."},
    {"prefix_raw", as_method(reader_prefix_raw), METH_FASTCALL | METH_KEYWORDS,
     "prefix_raw($self, prefix)\n--\n\nSorted prefix scan. Returns `list[tuple[str, bytes]]`."},
    {"keys", as_method(reader_keys), METH_NOARGS, "keys($self)\n--\n\nAll keys in sorted order."},
    {"items_raw", as_method(reader_items_raw), METH_NOARGS,
     "items_raw($self)\n--\n\nAll `(key, raw_bytes)` pairs in sorted key order."},
    {"items_raw_bytes", as_method(reader_items_raw_bytes), METH_NOARGS,
     "items_raw_bytes($self)\n--\n\nAll `(key_bytes, raw_bytes)` pairs in sorted key order.\n\n"
     "Unlike `items_raw`, keys come back as `bytes` \u2014 no UTF-8 lossy decode,\n"
     "so `merge()` can round-trip non-UTF-8 keys unchanged."},
    {"objects_raw", as_method(reader_objects_raw), METH_NOARGS,
     "objects_raw($self)\n--\n\nUnique objects only (deduplicated by file offset)."},
    {"stats", as_method(reader_stats), METH_NOARGS, "stats($self)\n--\n\nReturn file metadata as a `dict`."},
    {"verify", as_method(reader_verify), METH_NOARGS,
     "verify($self)\n--\n\nDeep CRC32 integrity check (whole-file + per-object)."},
    {"close", as_method(reader_close), METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", as_method(reader_enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_method(reader_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {"get_many_raw", as_method(reader_get_many_raw), METH_FASTCALL | METH_KEYWORDS,
     "get_many_raw($self, keys)\n--\n\n"
     "Exact-match lookup of every key of the iterable *keys*, overlapping their\n"
     "memory accesses. Returns `list[bytes | None]`, one item per key, in order.\n"
     "A single `str` or bytes-like value is refused with `TypeError`."},
    {"index_entries", as_method(reader_index_entries), METH_NOARGS,
     "index_entries($self)\n--\n\n"
     "Every index entry as stored: `list[tuple[bytes, int]]` of key bytes and\n"
     "object offset, in index order. Keys that share an object share its offset."},
    {"key_range", as_method(reader_key_range), METH_FASTCALL | METH_KEYWORDS,
     "key_range($self, start, stop)\n--\n\n"
     "Index positions `(begin, end)` of the keys k with start <= k < stop.\n"
     "`None` leaves a bound open; end >= begin always."},
    {"prefix_range", as_method(reader_prefix_range), METH_FASTCALL | METH_KEYWORDS,
     "prefix_range($self, prefix)\n--\n\n"
     "Index positions `(begin, end)` of the run of keys starting with *prefix*,\n"
     "the run that `prefix_raw` returns."},
    {"keys_at", as_method(reader_keys_at), METH_FASTCALL | METH_KEYWORDS,
     "keys_at($self, begin, end)\n--\n\n"
     "Keys of index positions begin <= i < end, clipped to the index (a negative\n"
     "bound counts as 0). Each is a `str` when it is valid UTF-8, else `bytes`."},
    {"items_at", as_method(reader_items_at), METH_FASTCALL | METH_KEYWORDS,
     "items_at($self, begin, end)\n--\n\n"
     "`(key, raw_bytes)` pairs of index positions begin <= i < end, clipped as\n"
     "in `keys_at`, with keys in the same form."},
    {"open", as_method(reader_open), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "open($type, path, verify=True, mapped_index=True, decompress=False)\n--\n\n"
     "The reader of *path*, as `_ZelkReader(path, verify)` opens it. With\n"
     "*mapped_index* false, a file's mapped index is left unused and every key is\n"
     "indexed in memory, as for a file without one. With *decompress* true, every\n"
     "method that returns objects returns a compressed store's objects as they\n"
     "were added, decompressed."},
    {"metadata", as_method(reader_metadata), METH_NOARGS,
     "metadata($self)\n--\n\n"
     "The bytes the store was built with for its readers (`build_mapped`'s\n"
     "*metadata*), or `None` when the reader does not use a mapped index."},
    {"compression", as_method(reader_compression), METH_NOARGS,
     "compression($self)\n--\n\n"
     "How the store's objects are compressed, as a `dict` (codec, level,\n"
     "dictionary and sizes), or `None` for objects stored as they were added."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef READER_GETSET[] = {
    {"mapped_index", reader_mapped_index, nullptr,
     "True when the reader answers from the file's mapped index, False when it\n"
     "indexed the keys in memory at open.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char READER_DOC[] =
    "_ZelkReader(path, verify=True)\n--\n\n"
    "Low-level reader \u2014 returns raw msgpack bytes.\n"
    "**Use `zelkor.ZelkReader` (Python wrapper) instead of this directly.**\n\n"
    "Thread-safe for reads: the index is immutable after construction and the\n"
    "mmap is read-only.  Share one instance freely across threads.";

}  // namespace

PyTypeObject* reader_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    type = new_class_type({"builtins._ZelkReader", sizeof(ReaderObject), READER_DOC, reinterpret_cast<void*>(reader_new),
                           reinterpret_cast<void*>(reader_repr), reinterpret_cast<void*>(reader_dealloc),
                           READER_METHODS, READER_GETSET});
  }
  return type;
}

}  // namespace zelkor::py
