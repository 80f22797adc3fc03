// _ZelkReader.get_many_raw: many exact lookups in one call, their memory
// accesses overlapped by the core's pipelined lookup.
#include <algorithm>
#include <memory>
#include <vector>

#include "../core/reader/queries.h"
#include "reader_object.h"
#include "results.h"

namespace zelkor::py {

namespace {

constexpr const char* const KEYS_PARAMS[] = {"keys"};
constexpr ParamSpec GET_MANY_SPEC{"_ZelkReader.get_many_raw()", KEYS_PARAMS, 1, 1};

// Keys are taken from the iterable this many at a time and looked up
// together; a batch's items stay referenced until its lookups are done,
// since the bytes of ASCII str and bytes keys are read in place.
constexpr std::size_t BATCH = 256;

class Batch {
 public:
  explicit Batch(std::size_t capacity)
      : capacity_(capacity),
        keys_(std::make_unique_for_overwrite<KeyBytes[]>(capacity)),
        views_(capacity),
        found_(capacity),
        held_(capacity) {}
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;
  ~Batch() { release_items(); }

  bool full() const noexcept { return size_ == capacity_; }
  std::size_t size() const noexcept { return size_; }

  // Takes over `item` and converts it; false with ValueError set.
  bool add(PyObject* item) {
    held_[held_count_++] = item;
    KeyBytes& key = keys_[size_];
    if (!key.convert(item)) return false;
    views_[size_++] = key.view();
    return true;
  }

  // Looks every key up, then lets go of the items.
  void look_up(const Reader& reader) {
    find_many(reader, {views_.data(), size_}, {found_.data(), size_});
    release_items();
  }
  const std::optional<std::uint64_t>& found(std::size_t i) const noexcept { return found_[i]; }

  void clear() {
    release_items();
    size_ = 0;
  }

 private:
  // One at a time off the end: dropping one may run Python code.
  void release_items() {
    while (held_count_ > 0) drop_reference(held_[--held_count_]);
  }

  std::size_t capacity_;
  std::size_t size_ = 0;
  std::size_t held_count_ = 0;
  std::unique_ptr<KeyBytes[]> keys_;
  std::vector<std::string_view> views_;
  std::vector<std::optional<std::uint64_t>> found_;
  std::vector<PyObject*> held_;
};

}  // namespace

PyObject* reader_get_many_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* arg[1];
  if (!parse_fast(GET_MANY_SPEC, args, nargsf, kwnames, arg)) return nullptr;
  return with_reader(self, [&](const Reader& reader) -> PyObject* {
    Ref iter = iterate_keys(arg[0]);
    if (!iter) return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    // A list or tuple sizes the batch; its size is a hint only, since
    // Python code run meanwhile may change a list.
    std::size_t hint = BATCH;
    if (PyList_CheckExact(arg[0]) || PyTuple_CheckExact(arg[0])) {
      hint = static_cast<std::size_t>(PyObject_Length(arg[0]));  // no Python code for these
    }
    Batch batch(std::clamp<std::size_t>(hint, 1, BATCH));
    for (bool exhausted = false; !exhausted;) {
      batch.clear();
      while (!batch.full()) {
        PyObject* item = PyIter_Next(iter.get());
        if (item == nullptr) {
          if (PyErr_Occurred()) return nullptr;
          exhausted = true;
          break;
        }
        if (!batch.add(item)) return nullptr;
      }
      batch.look_up(reader);
      for (std::size_t i = 0; i < batch.size(); ++i) {
        Ref value;
        if (const std::optional<std::uint64_t>& offset = batch.found(i)) {
          value = Ref::steal(value_at(reader, *offset));
        } else {
          value = Ref::borrow(Py_None);
        }
        if (!value || PyList_Append(list.get(), value.get()) != 0) return nullptr;
      }
    }
    return list.release();
  });
}

}  // namespace zelkor::py
