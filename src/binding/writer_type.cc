// The _ZelkWriter class.
#include <memory>

#include "../core/platform/standard_output.h"
#include "../core/writer/build.h"
#include "../core/writer/writer.h"
#include "arg_parser.h"
#include "borrow.h"
#include "conversions.h"
#include "error_bridge.h"
#include "results.h"
#include "types.h"

namespace zelkor::py {

namespace {

struct WriterObject {
  PyObject_HEAD
  Writer writer;
  BorrowCell borrow;
};

WriterObject* as_writer(PyObject* self) { return reinterpret_cast<WriterObject*>(self); }

constexpr const char* const RAW_BYTES_PARAMS[] = {"raw_bytes"};
constexpr const char* const ADD_KEY_PARAMS[] = {"key", "obj_id"};
constexpr const char* const PATH_PARAMS[] = {"path"};
constexpr ParamSpec NEW_SPEC{"_ZelkWriter.__new__()", nullptr, 0, 0};
constexpr ParamSpec ADD_OBJECT_SPEC{"_ZelkWriter.add_object_raw()", RAW_BYTES_PARAMS, 1, 1};
constexpr ParamSpec ADD_KEY_SPEC{"_ZelkWriter.add_key()", ADD_KEY_PARAMS, 2, 2};
constexpr ParamSpec BUILD_SPEC{"_ZelkWriter.build()", PATH_PARAMS, 1, 1};
constexpr ParamSpec BUILD_QUIET_SPEC{"_ZelkWriter.build_quiet()", PATH_PARAMS, 1, 1};
constexpr const char* const BUILD_MAPPED_PARAMS[] = {"path",  "metadata",        "compression",
                                                     "level", "dictionary_size", "sample_size"};
constexpr ParamSpec BUILD_MAPPED_SPEC{"_ZelkWriter.build_mapped()", BUILD_MAPPED_PARAMS, 6, 1};

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!parse_tuple_args(NEW_SPEC, args, kwargs, nullptr)) return nullptr;
    PyObject* self = alloc_instance(type);
    if (self == nullptr) return nullptr;
    try {
      std::construct_at(&as_writer(self)->writer);
    } catch (...) {
      free_instance(self);
      Py_DECREF(type);
      throw;
    }
    std::construct_at(&as_writer(self)->borrow);
    return self;
  });
}

void writer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&as_writer(self)->borrow);
  std::destroy_at(&as_writer(self)->writer);
  free_instance(self);
  Py_DECREF(type);
}

PyObject* writer_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    if (!check_instance(self, writer_type(), "_ZelkWriter")) return nullptr;
    SharedBorrow borrow(as_writer(self)->borrow);
    if (!borrow) return nullptr;
    return new_text(as_writer(self)->writer.describe());
  });
}

PyObject* writer_add_object_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[1];
    if (!parse_fast(ADD_OBJECT_SPEC, args, nargsf, kwnames, arg)) return nullptr;
    if (!check_instance(self, writer_type(), "_ZelkWriter")) return nullptr;
    ExclusiveBorrow borrow(as_writer(self)->borrow);
    if (!borrow) return nullptr;
    const std::optional<std::string_view> raw = convert_raw_bytes(arg[0]);
    if (!raw) return nullptr;
    return PyLong_FromUnsignedLongLong(as_writer(self)->writer.add_object(*raw));
  });
}

PyObject* writer_add_key(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!parse_fast(ADD_KEY_SPEC, args, nargsf, kwnames, arg)) return nullptr;
    if (!check_instance(self, writer_type(), "_ZelkWriter")) return nullptr;
    ExclusiveBorrow borrow(as_writer(self)->borrow);
    if (!borrow) return nullptr;
    // The object id first: a call with two bad arguments reports the id.
    const std::optional<std::uint64_t> object_id = convert_object_id(arg[1]);
    if (!object_id) return nullptr;
    KeyBytes key;
    if (!key.convert(arg[0])) return nullptr;
    if (Status s = as_writer(self)->writer.add_key(key.view(), *object_id); !s.ok()) {
      return raise_core_error(s.error());
    }
    Py_RETURN_NONE;
  });
}

// Parses the path and builds the store, then hands the path and the
// summary to `report`.
template <typename Report>
PyObject* build_with(const ParamSpec& spec, const BuildOptions& options, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames, Report&& report) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[1];
    if (!parse_fast(spec, args, nargsf, kwnames, arg)) return nullptr;
    if (!check_instance(self, writer_type(), "_ZelkWriter")) return nullptr;
    SharedBorrow borrow(as_writer(self)->borrow);
    if (!borrow) return nullptr;
    const std::optional<std::string_view> path = convert_path(arg[0]);
    if (!path) return nullptr;
    const std::string path_text(*path);
    Result<BuildSummary> built = build_store(as_writer(self)->writer, path_text, options);
    if (!built.ok()) return raise_core_error(built.error());
    return report(path_text, built.value());
  });
}

PyObject* writer_build(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return build_with(BUILD_SPEC, BuildOptions(), self, args, nargsf, kwnames,
                    [](const std::string& path, const BuildSummary& summary) -> PyObject* {
                      // The store is complete and in place whatever becomes of
                      // its report: a summary line that cannot be written (a
                      // closed pipe, a full device) is dropped, as it is for a
                      // process without standard output.
                      static_cast<void>(platform::write_standard_output(summary_line(path, summary)));
                      Py_RETURN_NONE;
                    });
}

PyObject* writer_build_quiet(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return build_with(BUILD_QUIET_SPEC, BuildOptions(), self, args, nargsf, kwnames,
                    [](const std::string&, const BuildSummary& summary) -> PyObject* {
                      return Py_BuildValue("(KKK)", static_cast<unsigned long long>(summary.objects),
                                           static_cast<unsigned long long>(summary.keys),
                                           static_cast<unsigned long long>(summary.file_size));
                    });
}

// The compression arguments arg[2..5] of build_mapped (compression, level,
// dictionary_size, sample_size, each nullptr when omitted) into `options`;
// false with an exception set.
bool convert_compression(PyObject* const* arg, BuildOptions& options) {
  const bool asked = arg[2] != nullptr && arg[2] != Py_None;
  if (asked) {
    if (!PyUnicode_Check(arg[2]) || PyUnicode_CompareWithASCIIString(arg[2], "zstd") != 0) {
      PyErr_SetString(PyExc_ValueError, "argument 'compression' must be None or \"zstd\"");
      return false;
    }
    options.compression.emplace();
  }
  static constexpr const char* NAMES[] = {"level", "dictionary_size", "sample_size"};
  for (int i = 0; i < 3; ++i) {
    PyObject* value = arg[3 + i];
    if (value == nullptr || value == Py_None) continue;
    if (!asked) {
      PyErr_Format(PyExc_ValueError, "argument '%s' needs compression=\"zstd\"", NAMES[i]);
      return false;
    }
    const std::optional<std::int64_t> number = convert_position(value, NAMES[i]);
    if (!number) return false;
    CompressionOptions& c = *options.compression;
    (i == 0 ? c.level : i == 1 ? c.dictionary_size : c.sample_size) = *number;
  }
  return true;
}

PyObject* writer_build_mapped(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[6];
    if (!parse_vector_args(BUILD_MAPPED_SPEC, args, nargsf, kwnames, arg)) return nullptr;
    if (!check_instance(self, writer_type(), "_ZelkWriter")) return nullptr;
    SharedBorrow borrow(as_writer(self)->borrow);
    if (!borrow) return nullptr;
    const std::optional<std::string_view> path = convert_path(arg[0]);
    if (!path) return nullptr;
    BuildOptions options;
    options.mapped_index = true;
    if (arg[1] != nullptr && arg[1] != Py_None) {
      const std::optional<std::string_view> metadata = convert_raw_bytes(arg[1], "metadata");
      if (!metadata) return nullptr;
      options.metadata = *metadata;
    }
    if (!convert_compression(arg, options)) return nullptr;
    Result<BuildSummary> built = build_store(as_writer(self)->writer, std::string(*path), options);
    if (!built.ok()) return raise_core_error(built.error());
    const BuildSummary& summary = built.value();
    return Py_BuildValue("(KKKk)", static_cast<unsigned long long>(summary.objects),
                         static_cast<unsigned long long>(summary.keys),
                         static_cast<unsigned long long>(summary.file_size),
                         static_cast<unsigned long>(summary.file_crc32));
  });
}

PyObject* writer_counts(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!check_instance(self, writer_type(), "_ZelkWriter")) return nullptr;
    SharedBorrow borrow(as_writer(self)->borrow);
    if (!borrow) return nullptr;
    const Writer& writer = as_writer(self)->writer;
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(writer.object_count()),
                         static_cast<unsigned long long>(writer.key_count()));
  });
}

PyMethodDef WRITER_METHODS[] = {
    {"add_object_raw", as_method(writer_add_object_raw), METH_FASTCALL | METH_KEYWORDS,
     "add_object_raw($self, raw_bytes)\n--\n\nStore pre-encoded *raw_bytes* (msgpack). Returns the object ID."},
    {"add_key", as_method(writer_add_key), METH_FASTCALL | METH_KEYWORDS,
     "add_key($self, key, obj_id)\n--\n\nMap *key* (str or bytes) to *obj_id*."},
    {"build", as_method(writer_build), METH_FASTCALL | METH_KEYWORDS,
     "build($self, path)\n--\n\nAtomically write the `.zlkr` file: tmp \u2192 fsync \u2192 rename."},
    {"build_quiet", as_method(writer_build_quiet), METH_FASTCALL | METH_KEYWORDS,
     "build_quiet($self, path)\n--\n\n"
     "Exactly `build`, but prints nothing. Returns `(objects, keys, file_size)`,\n"
     "the figures of the summary line (the file size in bytes)."},
    {"build_mapped", as_method(writer_build_mapped), METH_FASTCALL | METH_KEYWORDS,
     "build_mapped($self, path, metadata=None, compression=None, level=None, dictionary_size=None, "
     "sample_size=None)\n--\n\n"
     "Write the store atomically as `build` does, with the object records laid\n"
     "out in key order and the mapped index after the index section, so that a\n"
     "reader opens it without indexing it; *metadata* (bytes) goes into the\n"
     "file for its readers. With *compression* \"zstd\", every object is\n"
     "compressed on its own with a dictionary trained on a sample of them\n"
     "(*level* 1..22, default 3; *dictionary_size* in bytes and *sample_size*\n"
     "in objects, None for the writer's choice). Prints nothing. Returns\n"
     "`(objects, keys, file_size, file_crc32)`."},
    {"counts", as_method(writer_counts), METH_NOARGS,
     "counts($self)\n--\n\n"
     "`(objects, keys)`: the objects added and the distinct keys mapped so far."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char WRITER_DOC[] =
    "_ZelkWriter()\n--\n\n"
    "Low-level writer \u2014 accepts pre-serialised msgpack bytes per object.\n"
    "**Use `zelkor.ZelkWriter` (Python wrapper) instead of this directly.**";

}  // namespace

PyTypeObject* writer_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    type = new_class_type({"builtins._ZelkWriter", sizeof(WriterObject), WRITER_DOC, reinterpret_cast<void*>(writer_new),
                           reinterpret_cast<void*>(writer_repr), reinterpret_cast<void*>(writer_dealloc),
                           WRITER_METHODS});
  }
  return type;
}

}  // namespace zelkor::py
