// The six classes of the module. Each type object is created from its definition on
// first use and kept for the life of the process; the accessors return null
// with an exception set when creation fails (a later call tries again). The
// types are immutable and cannot be subclassed, so Python code can neither
// replace their slots (a `__new__` that skips construction) nor get around
// them: instances come only from the module's constructors and methods.
#pragma once

#include <span>

#include "adapters/index/config.h"
#include "adapters/index/kiv.h"
#include "adapters/python/py_ref.h"
#include "adapters/python/value_object.h"

namespace orlo_kiv::python {

using KivIndexObject = ValueObject<KivIndex>;
using KivConfigObject = ValueObject<KivConfig>;

PyTypeObject* kiv_index_type() noexcept;
PyTypeObject* kiv_config_type() noexcept;
PyTypeObject* kiv_stats_type() noexcept;
PyTypeObject* search_result_type() noexcept;
PyTypeObject* session_summary_type() noexcept;
PyTypeObject* document_summary_type() noexcept;

// Builds a type from `definition` once; later calls return the same object.
PyTypeObject* cached_type(ProcessLifetimeRef& slot, PyType_Spec& definition) noexcept;

// New instances; null with an exception set on failure.
PyObject* new_kiv_index(KivIndex index) noexcept;
PyObject* new_kiv_stats(const KivStats& stats) noexcept;
PyObject* new_search_result_list(std::span<const SearchHit> hits) noexcept;
PyObject* new_session_summary_list(std::span<const SessionHit> hits) noexcept;
PyObject* new_document_summary_list(std::span<const DocumentHit> hits) noexcept;

// The 32 lower-case hex digits of `id` as a new str.
PyObject* new_hex_string(const Id& id) noexcept;

}  // namespace orlo_kiv::python
