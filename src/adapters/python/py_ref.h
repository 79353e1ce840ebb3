// Owning and borrowed references to Python objects.
//
// PyRef owns one strong reference and drops it in its destructor; it is the only
// place that decrements reference counts. BufferView owns one Py_buffer export.
// Every function here requires the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace orlo_kiv::python {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (which may be null after a failed call).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference of its own to a borrowed one.
  static PyRef borrow(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef old(std::exchange(object_, std::exchange(other.object_, nullptr)));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// A strong reference kept for the life of the process: module-level objects
// (type objects, the module itself, the panic exception class) that must stay
// valid for as long as any extension code can run, including interpreter
// shutdown, so they are deliberately never released.
class ProcessLifetimeRef {
 public:
  PyObject* get() const noexcept { return object_; }
  // Keeps `object` (a new reference) forever; the slot must be empty.
  void keep(PyRef object) noexcept { object_ = object.release(); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// A contiguous view of an object's buffer, released on destruction.
class BufferView {
 public:
  BufferView() noexcept = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Requests a buffer with `flags`; false with the exporter's exception set on failure.
  bool acquire(PyObject* exporter, int flags) noexcept {
    held_ = PyObject_GetBuffer(exporter, &view_, flags) == 0;
    return held_;
  }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace orlo_kiv::python
