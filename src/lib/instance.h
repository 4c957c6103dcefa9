// Instances of the module's classes: the object header, the class's record,
// then a borrow counter; and the shared borrows that calls take of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>

#include "lib/errors.h"

namespace corvane::py {

inline constexpr std::uintptr_t kExclusivelyBorrowed = ~std::uintptr_t{0};

template <class Record>
struct Instance {
  PyObject_HEAD
  Record record;
  std::atomic<std::uintptr_t> borrows;  // 0 free, all-ones exclusive, else shared count
};

// Allocates an instance of `type` and moves `record` into it; null with the
// interpreter's exception set when allocation fails.
template <class Record>
PyObject* make_instance(PyTypeObject* type, Record&& record) {
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  auto* instance = reinterpret_cast<Instance<std::decay_t<Record>>*>(object);
  new (&instance->record) std::decay_t<Record>(std::forward<Record>(record));
  new (&instance->borrows) std::atomic<std::uintptr_t>(0);
  return object;
}

// Deallocation: drop the record, free the memory, release the heap type.
template <class Record>
void destroy_instance(PyObject* object) noexcept {
  try {
    auto* instance = reinterpret_cast<Instance<Record>*>(object);
    instance->record.~Record();
    instance->borrows.~atomic();
  } catch (...) {
    raise_panic(kGenericPanic);
    PyErr_WriteUnraisable(object);
  }
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

// A shared borrow of an instance, held for the length of a call: it keeps a
// reference to the object and a count in its borrow counter.
template <class Record>
class SharedBorrow {
 public:
  // Checks that `object` is of `type` (or a subtype), then borrows it. On
  // failure sets TypeError ("'X' object cannot be converted to 'Name'") or
  // RuntimeError and returns nullopt.
  static std::optional<SharedBorrow> take(PyObject* object, PyTypeObject* type, const char* type_name) {
    if (Py_TYPE(object) != type && !PyType_IsSubtype(Py_TYPE(object), type)) {
      PyRef qualname = type_qualname(object);
      if (qualname) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), type_name);
      }
      return std::nullopt;
    }
    auto* instance = reinterpret_cast<Instance<Record>*>(object);
    std::uintptr_t seen = instance->borrows.load(std::memory_order_relaxed);
    do {
      if (seen == kExclusivelyBorrowed) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return std::nullopt;
      }
    } while (
        !instance->borrows.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed));
    Py_INCREF(object);
    return SharedBorrow(instance);
  }

  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  SharedBorrow(SharedBorrow&& other) noexcept : instance_(std::exchange(other.instance_, nullptr)) {}
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (instance_ == nullptr) return;
    instance_->borrows.fetch_sub(1, std::memory_order_release);
    Py_DECREF(reinterpret_cast<PyObject*>(instance_));
  }

  // Gives up the borrow without releasing it, for a thread that is ended
  // while the interpreter shuts down and may no longer touch its objects.
  void abandon() noexcept { instance_ = nullptr; }

  const Record& operator*() const noexcept { return instance_->record; }
  const Record* operator->() const noexcept { return &instance_->record; }

 private:
  explicit SharedBorrow(Instance<Record>* instance) : instance_(instance) {}
  Instance<Record>* instance_;
};

}  // namespace corvane::py
