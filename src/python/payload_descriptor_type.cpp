#include "python/payload_descriptor_type.h"

#include <new>
#include <string>
#include <utility>

#include "python/argument_binder.h"
#include "python/callable_declaration.h"
#include "python/error_translation.h"
#include "python/final_type.h"
#include "python/python_ref.h"
#include "python/text_conversion.h"

namespace zembric::python {

namespace {

struct PayloadDescriptorObject {
  PyObject ob_base;  // what PyObject_HEAD expands to
  PayloadDescriptor value;
};

PayloadDescriptorObject* cast(PyObject* self) {
  return reinterpret_cast<PayloadDescriptorObject*>(self);
}

constexpr Parameter kFields[] = {{"kind"},    {"content_hash"}, {"framework"},
                                 {"version"}, {"io_schema"},    {"preprocessing_ref", "None"}};

constexpr CallableDeclaration kNew = constructor(
    "PayloadDescriptor", kFields, 0,
    "Reproducibility metadata an External node carries (participates in the structural hash).");

PyObject* new_descriptor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  BoundArguments<kNew> bound;
  if (!bind_arguments(kSignature<kNew>, args, kwargs, bound.data())) return nullptr;
  const ModuleState* state = state_of_class(type);
  if (state == nullptr) return nullptr;
  return guarded(*state, [&]() -> PyObject* {
    PayloadDescriptor value;
    std::string* const texts[] = {&value.kind, &value.content_hash, &value.framework,
                                  &value.version, &value.io_schema};
    for (std::size_t i = 0; i < 5; ++i) {
      if (!convert_text_argument(bound[i], kFields[i].name, *texts[i])) return nullptr;
    }
    if (bound[5] != nullptr && bound[5] != Py_None) {
      std::string reference;
      if (!convert_text_argument(bound[5], kFields[5].name, reference)) return nullptr;
      value.preprocessing_ref = std::move(reference);
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&cast(self)->value) PayloadDescriptor(std::move(value));
    return self;
  });
}

void dealloc_descriptor(PyObject* self) {
  cast(self)->value.~PayloadDescriptor();
  free_heap_instance(self);
}

template <std::string PayloadDescriptor::*Field>
PyObject* get_text(PyObject* self, void*) {
  return str_from_utf8(cast(self)->value.*Field);
}

PyObject* get_preprocessing_ref(PyObject* self, void*) {
  const auto& reference = cast(self)->value.preprocessing_ref;
  if (!reference) Py_RETURN_NONE;
  return str_from_utf8(*reference);
}

PyGetSetDef kGetters[] = {
    {"kind", get_text<&PayloadDescriptor::kind>, nullptr, nullptr, nullptr},
    {"content_hash", get_text<&PayloadDescriptor::content_hash>, nullptr, nullptr, nullptr},
    {"framework", get_text<&PayloadDescriptor::framework>, nullptr, nullptr, nullptr},
    {"version", get_text<&PayloadDescriptor::version>, nullptr, nullptr, nullptr},
    {"io_schema", get_text<&PayloadDescriptor::io_schema>, nullptr, nullptr, nullptr},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_descriptor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_descriptor)},
    {Py_tp_getset, kGetters},
    {Py_tp_doc, const_cast<char*>(kDocstring<kNew>.data())},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "zembric_core.PayloadDescriptor",
    sizeof(PayloadDescriptorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyTypeObject* create_payload_descriptor_type(PyObject* module) {
  return create_final_type(module, &kSpec);
}

const PayloadDescriptor* as_payload_descriptor(const ModuleState& state, PyObject* object) {
  if (Py_TYPE(object) != state.payload_descriptor_type) return nullptr;
  return &cast(object)->value;
}

}  // namespace zembric::python
