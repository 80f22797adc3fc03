// _ZelkReader methods over index positions: the index as stored, the
// positions of key ranges and prefix runs, and windows of positions.
#include "../core/reader/queries.h"
#include "reader_object.h"
#include "results.h"

namespace zelkor::py {

namespace {

constexpr const char* const KEY_RANGE_PARAMS[] = {"start", "stop"};
constexpr const char* const PREFIX_PARAMS[] = {"prefix"};
constexpr const char* const WINDOW_PARAMS[] = {"begin", "end"};
constexpr ParamSpec KEY_RANGE_SPEC{"_ZelkReader.key_range()", KEY_RANGE_PARAMS, 2, 2};
constexpr ParamSpec PREFIX_RANGE_SPEC{"_ZelkReader.prefix_range()", PREFIX_PARAMS, 1, 1};
constexpr ParamSpec KEYS_AT_SPEC{"_ZelkReader.keys_at()", WINDOW_PARAMS, 2, 2};
constexpr ParamSpec ITEMS_AT_SPEC{"_ZelkReader.items_at()", WINDOW_PARAMS, 2, 2};

PyObject* new_range(const PositionRange& range) {
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(range.begin), static_cast<Py_ssize_t>(range.end));
}

// Parses (begin, end), converts both (an __index__ may run any Python
// code), then runs `body(reader, clipped range)`.
template <typename Body>
PyObject* with_window(const ParamSpec& spec, PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames, Body&& body) {
  PyObject* arg[2];
  if (!parse_fast(spec, args, nargsf, kwnames, arg)) return nullptr;
  return with_reader(self, [&](const Reader& reader) -> PyObject* {
    const std::optional<std::int64_t> begin = convert_position(arg[0], "begin");
    if (!begin) return nullptr;
    const std::optional<std::int64_t> end = convert_position(arg[1], "end");
    if (!end) return nullptr;
    return body(reader, clip_positions(reader, *begin, *end));
  });
}

}  // namespace

PyObject* reader_index_entries(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& reader) {
    return list_of_positions({0, reader.entry_count()}, [&](std::size_t i) {
      return new_pair(new_bytes(reader.key_at(i)), PyLong_FromUnsignedLongLong(reader.object_offset_at(i)));
    });
  });
}

PyObject* reader_key_range(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* arg[2];
  if (!parse_fast(KEY_RANGE_SPEC, args, nargsf, kwnames, arg)) return nullptr;
  return with_reader(self, [&](const Reader& reader) -> PyObject* {
    // Two keys of their own: converting `stop` may run Python code, and
    // leaves the bytes of `start` as they are.
    KeyBytes start, stop;
    std::optional<std::string_view> start_bytes, stop_bytes;
    if (arg[0] != Py_None) {
      if (!start.convert(arg[0])) return nullptr;
      start_bytes = start.view();
    }
    if (arg[1] != Py_None) {
      if (!stop.convert(arg[1])) return nullptr;
      stop_bytes = stop.view();
    }
    return new_range(key_range(reader, start_bytes, stop_bytes));
  });
}

PyObject* reader_prefix_range(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_reader_and_key(PREFIX_RANGE_SPEC, self, args, nargsf, kwnames,
                             [](const Reader& reader, std::string_view prefix) -> PyObject* {
                               return new_range(prefix_range(reader, prefix));
                             });
}

PyObject* reader_keys_at(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_window(KEYS_AT_SPEC, self, args, nargsf, kwnames, [](const Reader& reader, PositionRange range) {
    return list_of_positions(range, [&](std::size_t i) { return natural_key(reader.key_at(i)); });
  });
}

PyObject* reader_items_at(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return with_window(ITEMS_AT_SPEC, self, args, nargsf, kwnames, [](const Reader& reader, PositionRange range) {
    return list_of_positions(range, [&](std::size_t i) -> PyObject* {
      reader.prefetch_ahead(i);
      PyObject* value = value_at(reader, reader.object_offset_at(i));
      if (value == nullptr) return nullptr;
      return new_pair(natural_key(reader.key_at(i)), value);
    });
  });
}

}  // namespace zelkor::py
