#include "python/node_view.h"

#include <string>
#include <vector>

#include "python/param_map_conversion.h"
#include "python/python_ref.h"
#include "python/text_conversion.h"
#include "store/member_key_reader.h"

namespace zembric::python {

namespace {

// Sets dict[key] = value, taking over `value`; false with an error set, also when `value` is the
// nullptr of a failed conversion.
bool set_item(PyObject* dict, PyObject* key, PyObject* new_value) {
  const OwnedRef value(new_value);
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

PyObject* new_ref(PyObject* object) {
  return OwnedRef::from_borrowed(object).release();
}

PyObject* optional_text(const std::optional<std::string>& text) {
  return text ? str_from_utf8(*text) : new_ref(Py_None);
}

PyObject* descriptor_dict(const ViewStrings& s, const PayloadDescriptor& descriptor) {
  OwnedRef dict(PyDict_New());
  if (!dict || !set_item(dict.get(), s.kind, str_from_utf8(descriptor.kind)) ||
      !set_item(dict.get(), s.content_hash, str_from_utf8(descriptor.content_hash)) ||
      !set_item(dict.get(), s.framework, str_from_utf8(descriptor.framework)) ||
      !set_item(dict.get(), s.version, str_from_utf8(descriptor.version)) ||
      !set_item(dict.get(), s.io_schema, str_from_utf8(descriptor.io_schema)) ||
      !set_item(dict.get(), s.preprocessing_ref, optional_text(descriptor.preprocessing_ref))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* token_list(const ViewStrings& s, std::span<const MemberToken> tokens) {
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(tokens.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    PyObject* kind = tokens[i].kind == MemberTokenKind::Input ? s.input_token : s.member_token;
    const OwnedRef index(PyLong_FromUnsignedLongLong(tokens[i].index));
    if (!index) return nullptr;
    PyObject* token = PyTuple_Pack(2, kind, index.get());
    if (token == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), token);
  }
  return list.release();
}

PyObject* member_dict(const ViewStrings& s, const StageMemberView member) {
  const std::optional<MemberKeyParts> parts = read_member_key(member.key);
  if (!parts) {
    // Keys come from blobs, which hold valid UTF-8; "replace" keeps the message whatever happens.
    const std::string message = "unparseable stage member token " + std::string(member.key);
    const OwnedRef text(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
  }
  OwnedRef dict(PyDict_New());
  if (!dict || !set_item(dict.get(), s.kind, str_from_utf8(parts->kind)) ||
      !set_item(dict.get(), s.name, str_from_utf8(parts->name)) ||
      !set_item(dict.get(), s.params, params_to_python(parts->params)) ||
      !set_item(dict.get(), s.inputs, token_list(s, member.tokens))) {
    return nullptr;
  }
  return dict.release();
}

bool add_stage_members(const ViewStrings& s, PyObject* dict, const Node& node) {
  const auto& members = node.members();
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(members.size())));
  if (!list) return false;
  for (std::size_t i = 0; i < members.size(); ++i) {
    PyObject* member = member_dict(s, members[i]);
    if (member == nullptr) return false;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), member);
  }
  return set_item(dict, s.n_members, PyLong_FromSize_t(members.size())) &&
         set_item(dict, s.members, list.release());
}

PyObject* node_dict(const ViewStrings& s, const Node& node, NodeId id, bool is_output) {
  OwnedRef dict(PyDict_New());
  if (!dict) return nullptr;
  const auto inputs = node.inputs();
  OwnedRef input_list(PyList_New(static_cast<Py_ssize_t>(inputs.size())));
  if (!input_list) return nullptr;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    PyObject* input = PyLong_FromUnsignedLongLong(inputs[i]);
    if (input == nullptr) return nullptr;
    PyList_SET_ITEM(input_list.get(), static_cast<Py_ssize_t>(i), input);
  }
  const NodeKind kind = node.kind();
  const bool named =
      kind == NodeKind::Source || kind == NodeKind::Op || kind == NodeKind::Reduction;
  if (!set_item(dict.get(), s.id, PyLong_FromUnsignedLongLong(id)) ||
      !set_item(dict.get(), s.output, PyBool_FromLong(is_output)) ||
      !set_item(dict.get(), s.inputs, input_list.release()) ||
      !set_item(dict.get(), s.kind, new_ref(s.kind_names[static_cast<int>(kind)])) ||
      !set_item(dict.get(), s.name, named ? str_from_utf8(node.name()) : new_ref(s.empty)) ||
      !set_item(dict.get(), s.params, params_to_python(node.params()))) {
    return nullptr;
  }
  if (kind == NodeKind::External &&
      !set_item(dict.get(), s.descriptor, descriptor_dict(s, node.descriptor()))) {
    return nullptr;
  }
  if (kind == NodeKind::Stage && !add_stage_members(s, dict.get(), node)) return nullptr;
  return dict.release();
}

}  // namespace

PyObject* build_node_view(const ViewStrings& strings, const StoreSnapshot& snapshot) {
  // One pass over the marks instead of a scan per node: a blob may mark every node.
  std::vector<bool> is_output(snapshot.nodes.size(), false);
  for (NodeId id : snapshot.marks) {
    if (id < is_output.size()) is_output[id] = true;
  }
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(snapshot.nodes.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < snapshot.nodes.size(); ++i) {
    PyObject* dict = node_dict(strings, snapshot.nodes[i], i, is_output[i]);
    if (dict == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict);
  }
  return list.release();
}

}  // namespace zembric::python
