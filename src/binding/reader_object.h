// The instance layout of _ZelkReader, the frame every reader method runs
// in (the type check, the shared borrow and the fault guard), and the list
// that the methods over index positions build.
#pragma once

#include "../core/reader/queries.h"
#include "../core/reader/reader.h"
#include "arg_parser.h"
#include "borrow.h"
#include "conversions.h"
#include "error_bridge.h"
#include "results.h"
#include "types.h"

namespace zelkor::py {

struct ReaderObject {
  PyObject_HEAD
  Reader reader;
  BorrowCell borrow;
};

// Runs `body` on the reader behind `self` under a shared borrow.
template <typename Body>
PyObject* with_reader(PyObject* self, Body&& body) {
  return guarded([&]() -> PyObject* {
    if (!check_instance(self, reader_type(), "_ZelkReader")) return nullptr;
    ReaderObject* object = reinterpret_cast<ReaderObject*>(self);
    SharedBorrow borrow(object->borrow);
    if (!borrow) return nullptr;
    return body(static_cast<const Reader&>(object->reader));
  });
}

// Parses one key-like argument, then runs `body(reader, key_bytes)`.
template <typename Body>
PyObject* with_reader_and_key(const ParamSpec& spec, PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames, Body&& body) {
  PyObject* arg[1];
  if (!parse_fast(spec, args, nargsf, kwnames, arg)) return nullptr;
  return with_reader(self, [&](const Reader& reader) -> PyObject* {
    KeyBytes key;
    if (!key.convert(arg[0])) return nullptr;
    return body(reader, key.view());
  });
}

// A list of `make(i)` for the positions of `range`, built at its size;
// `make` returns a new reference or nullptr with an exception set.
template <typename MakeItem>
PyObject* list_of_positions(const PositionRange& range, MakeItem&& make) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(range.size())));
  if (!list) return nullptr;
  for (std::size_t i = range.begin; i < range.end; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;  // the list releases the items made so far
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i - range.begin), item);
  }
  return list.release();
}

// The object at `object_offset` as the reader hands it out (Reader::value):
// its stored bytes, or a compressed payload decoded straight into the new
// bytes object. nullptr with an exception set.
inline PyObject* value_at(const Reader& reader, std::uint64_t object_offset) {
  Result<StoredValue> value = reader.value(object_offset);
  if (!value.ok()) return raise_core_error(value.error());
  if (!value.value().compressed) return new_bytes(value.value().stored);
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(value.value().size)));
  if (!out) return nullptr;
  if (Status s = reader.decode(value.value(), PyBytes_AS_STRING(out.get())); !s.ok()) return raise_core_error(s.error());
  return out.release();
}

// Methods beyond the described ones, registered after them
// (reader_positions.cc, reader_batch.cc).
PyObject* reader_get_many_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* reader_index_entries(PyObject* self, PyObject*);
PyObject* reader_key_range(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* reader_prefix_range(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* reader_keys_at(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* reader_items_at(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace zelkor::py
