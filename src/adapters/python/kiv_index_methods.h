// The methods of KivIndex, grouped by what they do. Each follows the same
// order of work: bind the arguments, check the receiver and take its borrow,
// convert the arguments in parameter order, parse ids, call the core, convert
// the result.
#pragma once

#include "adapters/python/py_ref.h"
#include "adapters/python/types.h"

namespace orlo_kiv::python {

// Construction, insertion, removal and size (kiv_index_type.cpp).
PyObject* kiv_index_cosine(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* kiv_index_with_config(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* kiv_index_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* kiv_index_add_with_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* kiv_index_new_session(PyObject* self, PyObject*);
PyObject* kiv_index_new_document(PyObject* self, PyObject*);
PyObject* kiv_index_stats(PyObject* self, PyObject*);
PyObject* kiv_index_is_empty(PyObject* self, PyObject*);
PyObject* kiv_index_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

// Queries (kiv_index_queries.cpp).
PyObject* kiv_index_near(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* kiv_index_near_sessions(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* kiv_index_near_documents(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
PyObject* kiv_index_near_in_document(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);

// Consolidation (kiv_index_consolidation.cpp).
PyObject* kiv_index_consolidate(PyObject* self, PyObject*);
PyObject* kiv_index_consolidate_full(PyObject* self, PyObject*);

// Persistence (kiv_index_persistence.cpp).
PyObject* kiv_index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* kiv_index_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* kiv_index_to_bytes(PyObject* self, PyObject*);
PyObject* kiv_index_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

// The receiver of a KivIndex method, checked, with the borrow the method holds
// for the rest of the call. False (with the exception set) when the receiver
// is foreign or the borrow is refused.
class IndexCall {
 public:
  static IndexCall shared(PyObject* self) noexcept;
  static IndexCall exclusive(PyObject* self) noexcept;

  explicit operator bool() const noexcept { return index_ != nullptr; }
  KivIndex& index() const noexcept { return *index_; }

 private:
  IndexCall() noexcept = default;
  KivIndex* index_ = nullptr;
  Borrow borrow_;
};

}  // namespace orlo_kiv::python
