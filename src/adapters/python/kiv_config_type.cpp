// The KivConfig class: the settings a caller builds and hands to
// KivIndex.with_config. Its builder methods change the object in place and
// return it, so calls chain.
#include <string>

#include "adapters/python/binding.h"
#include "adapters/python/convert.h"
#include "adapters/python/errors.h"
#include "adapters/python/method_def.h"
#include "adapters/python/number_format.h"
#include "adapters/python/types.h"

namespace orlo_kiv::python {
namespace {

constexpr const char kKivConfigDoc[] =
    "KivConfig()\n--\n\nPython wrapper for KIV index configuration";
constexpr const char kWithBeamWidthDoc[] =
    "with_beam_width($self, width)\n--\n\nSet beam width for search (default: 3)";
constexpr const char kWithTemporalWeightDoc[] =
    "with_temporal_weight($self, weight)\n--\n\n"
    "Set temporal weight (0.0 = pure semantic, 1.0 = pure temporal)";
constexpr const char kWithPropagationThresholdDoc[] =
    "with_propagation_threshold($self, threshold)\n--\n\n"
    "Set propagation threshold for sparse updates";

PyObject* kiv_config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Signature kSignature{"KivConfig.__new__()", {}, 0};
    if (!bind_arguments(kSignature, args, kwargs, nullptr)) return nullptr;
    return new_value_object(type, KivConfig{});
  });
}

// The shared shape of the three builder methods: bind one argument, borrow the
// receiver exclusively, convert, store, return the receiver itself.
template <class Value, auto Convert, auto Store>
PyObject* set_field(const Signature& signature, const char* parameter, PyObject* self,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
    PyTypeObject* type = kiv_config_type();
    if (type == nullptr || checked_receiver(self, type, "KivConfig") == nullptr) return nullptr;
    auto* config = as_value_object<KivConfig>(self);
    const Borrow borrow = Borrow::exclusive(*config);
    if (!borrow) return nullptr;
    Value value{};
    if (!Convert(bound[0], parameter, value)) return nullptr;
    Store(config->value, value);
    return Py_NewRef(self);
  });
}

PyObject* kiv_config_with_beam_width(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  static constexpr Signature kSignature{"KivConfig.with_beam_width()", {"width"}, 1};
  return set_field<std::uint64_t, to_u64, [](KivConfig& c, std::uint64_t width) {
    c.beam_width = width;
  }>(kSignature, "width", self, args, nargs, kwnames);
}

PyObject* kiv_config_with_temporal_weight(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  static constexpr Signature kSignature{"KivConfig.with_temporal_weight()", {"weight"}, 1};
  return set_field<float, to_f32, [](KivConfig& c, float weight) { c.temporal_weight = weight; }>(
      kSignature, "weight", self, args, nargs, kwnames);
}

PyObject* kiv_config_with_propagation_threshold(PyObject* self, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature kSignature{"KivConfig.with_propagation_threshold()", {"threshold"}, 1};
  return set_field<float, to_f32, [](KivConfig& c, float threshold) {
    c.propagation_threshold = threshold;
  }>(kSignature, "threshold", self, args, nargs, kwnames);
}

PyObject* kiv_config_repr(PyObject* self) noexcept {
  return guarded([&]() -> PyObject* {
    auto* config = as_value_object<KivConfig>(self);
    const Borrow borrow = Borrow::shared(*config);
    if (!borrow) return nullptr;
    const KivConfig& c = config->value;
    const std::string text = "KivConfig(beam_width=" + std::to_string(c.beam_width) +
                             ", temporal_weight=" + format_fixed(c.temporal_weight, 2) +
                             ", propagation_threshold=" + format_fixed(c.propagation_threshold, 3) +
                             ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyMethodDef kKivConfigMethods[] = {
    {"with_beam_width", as_cfunction(kiv_config_with_beam_width), kFastcall, kWithBeamWidthDoc},
    {"with_temporal_weight", as_cfunction(kiv_config_with_temporal_weight), kFastcall,
     kWithTemporalWeightDoc},
    {"with_propagation_threshold", as_cfunction(kiv_config_with_propagation_threshold), kFastcall,
     kWithPropagationThresholdDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kKivConfigSlots[] = {
    {Py_tp_doc, const_cast<char*>(kKivConfigDoc)},
    {Py_tp_new, reinterpret_cast<void*>(kiv_config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value_object<KivConfig>)},
    {Py_tp_repr, reinterpret_cast<void*>(kiv_config_repr)},
    {Py_tp_methods, kKivConfigMethods},
    {0, nullptr},
};

PyType_Spec kKivConfigSpec = {
    .name = "builtins.KivConfig",
    .basicsize = static_cast<int>(sizeof(KivConfigObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kKivConfigSlots,
};

}  // namespace

PyTypeObject* kiv_config_type() noexcept {
  static ProcessLifetimeRef type;
  return cached_type(type, kKivConfigSpec);
}

}  // namespace orlo_kiv::python
