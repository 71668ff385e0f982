#include "python/payload_descriptor_type.h"

#include <new>
#include <string>
#include <utility>

#include "python/argument_binder.h"
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

PyObject* g_type = nullptr;

PayloadDescriptorObject* cast(PyObject* self) {
  return reinterpret_cast<PayloadDescriptorObject*>(self);
}

PyObject* new_descriptor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kNames[] = {"kind",    "content_hash", "framework",
                                           "version", "io_schema",    "preprocessing_ref"};
  static constexpr Signature kSignature{"PayloadDescriptor.__new__", kNames, 0, 5};
  PyObject* bound[6];
  if (!bind_arguments(kSignature, args, kwargs, bound)) return nullptr;
  return guarded([&]() -> PyObject* {
    PayloadDescriptor value;
    std::string* const texts[] = {&value.kind, &value.content_hash, &value.framework,
                                  &value.version, &value.io_schema};
    for (std::size_t i = 0; i < 5; ++i) {
      if (!convert_text_argument(bound[i], kNames[i], *texts[i])) return nullptr;
    }
    if (bound[5] != nullptr && bound[5] != Py_None) {
      std::string reference;
      if (!convert_text_argument(bound[5], kNames[5], reference)) return nullptr;
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

constexpr const char kDoc[] =
    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, "
    "preprocessing_ref=None)\n--\n\n"
    "Reproducibility metadata an External node carries (participates in the structural hash).";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_descriptor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_descriptor)},
    {Py_tp_getset, kGetters},
    {Py_tp_doc, const_cast<char*>(kDoc)},
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

PyObject* payload_descriptor_type() {
  if (g_type == nullptr) g_type = create_final_type(&kSpec);
  return g_type;
}

const PayloadDescriptor* as_payload_descriptor(PyObject* object) {
  if (g_type == nullptr || Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(g_type)) {
    return nullptr;
  }
  return &cast(object)->value;
}

}  // namespace zembric::python
