// Layout and lifetime of the module's instances, and the borrow protocol.
//
// An instance is the object header, the class's value record stored by value,
// a borrow counter (0 free, n > 0 shared borrows, -1 one exclusive borrow) and
// a flag saying that the record was constructed. The counter only refuses
// re-entrant use (Python code run during an argument conversion calling back
// into the same object); the interpreter lock already serialises every call.
// The flag guards against instances whose memory was allocated but never
// filled in (the types are immutable and have no public allocation path, so
// only native code can make one): every borrow refuses them, and freeing one
// destroys nothing.
#pragma once

#include <new>
#include <utility>

#include "adapters/python/py_ref.h"

namespace orlo_kiv::python {

template <class T>
struct ValueObject {
  PyObject_HEAD
  T value;
  Py_ssize_t borrow_flag;
  // Zero in memory straight from tp_alloc; set once `value` is constructed.
  bool initialised;
};

template <class T>
ValueObject<T>* as_value_object(PyObject* object) noexcept {
  return reinterpret_cast<ValueObject<T>*>(object);
}

// A new instance of `type` holding `value`; null with MemoryError set when the
// object cannot be allocated.
template <class T>
PyObject* new_value_object(PyTypeObject* type, T&& value) noexcept {
  static_assert(std::is_nothrow_move_constructible_v<std::decay_t<T>>);
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  auto* instance = as_value_object<std::decay_t<T>>(object);
  new (&instance->value) std::decay_t<T>(std::forward<T>(value));
  instance->borrow_flag = 0;
  instance->initialised = true;
  return object;
}

// tp_dealloc of every class: destroys the value record (if one was ever
// constructed), frees the object and drops the instance's reference to its
// heap type.
template <class T>
void dealloc_value_object(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  if (as_value_object<T>(object)->initialised) as_value_object<T>(object)->value.~T();
  type->tp_free(object);
  PyRef::steal(reinterpret_cast<PyObject*>(type));
}

// Held for the length of one call; releases its borrow on destruction.
class Borrow {
 public:
  // Fails with RuntimeError "Already mutably borrowed" during an exclusive
  // borrow, and with TypeError for an instance that was never initialised.
  template <class T>
  static Borrow shared(ValueObject<T>& object) noexcept {
    if (!object.initialised) return refuse_uninitialised(reinterpret_cast<PyObject*>(&object));
    return shared(object.borrow_flag);
  }
  // Fails with RuntimeError "Already borrowed" during any other borrow, and
  // with TypeError for an instance that was never initialised.
  template <class T>
  static Borrow exclusive(ValueObject<T>& object) noexcept {
    if (!object.initialised) return refuse_uninitialised(reinterpret_cast<PyObject*>(&object));
    return exclusive(object.borrow_flag);
  }

  Borrow() noexcept = default;  // holds nothing
  Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow& operator=(Borrow&& other) noexcept {
    Borrow released(std::move(*this));
    flag_ = std::exchange(other.flag_, nullptr);
    return *this;
  }
  ~Borrow();

  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  static Borrow shared(Py_ssize_t& flag) noexcept;
  static Borrow exclusive(Py_ssize_t& flag) noexcept;
  // Raises TypeError "'<type>' object is not initialised"; holds nothing.
  static Borrow refuse_uninitialised(PyObject* object) noexcept;

  explicit Borrow(Py_ssize_t* flag) noexcept : flag_(flag) {}
  Py_ssize_t* flag_ = nullptr;
};

// The receiver as an instance of `type`, or null with TypeError
// "'<type>' object cannot be converted to '<class_name>'".
PyObject* checked_receiver(PyObject* self, PyTypeObject* type, const char* class_name) noexcept;

// tp_new of the classes that Python code cannot construct.
PyObject* no_constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace orlo_kiv::python
