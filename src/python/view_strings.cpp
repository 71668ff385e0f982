#include "python/view_strings.h"

#include <iterator>
#include <type_traits>

namespace zembric::python {
namespace {

// Calls visit(slot, text) for each string.
template <class Visit>
void for_each_view_string(ViewStrings& strings, Visit&& visit) {
  struct Entry {
    PyObject* ViewStrings::*member;
    const char* text;
  };
  static constexpr Entry kEntries[] = {
      {&ViewStrings::id, "id"},
      {&ViewStrings::output, "output"},
      {&ViewStrings::inputs, "inputs"},
      {&ViewStrings::kind, "kind"},
      {&ViewStrings::name, "name"},
      {&ViewStrings::params, "params"},
      {&ViewStrings::descriptor, "descriptor"},
      {&ViewStrings::n_members, "n_members"},
      {&ViewStrings::members, "members"},
      {&ViewStrings::content_hash, "content_hash"},
      {&ViewStrings::framework, "framework"},
      {&ViewStrings::version, "version"},
      {&ViewStrings::io_schema, "io_schema"},
      {&ViewStrings::preprocessing_ref, "preprocessing_ref"},
      {&ViewStrings::input_token, "input"},
      {&ViewStrings::member_token, "member"},
      {&ViewStrings::empty, ""},
      {&ViewStrings::roots, "roots"},
      {&ViewStrings::nodes, "nodes"},
  };
  static constexpr const char* kKindNames[] = {"source",   "op",    "reduction",
                                               "external", "stage", "exchange"};
  static constexpr const char* kReportKeys[] = {"input_nodes", "reachable_nodes", "canonical_nodes",
                                                "stages",      "reduced_nodes",   "boundary_nodes"};
  static_assert(std::size(kKindNames) == std::extent_v<decltype(ViewStrings::kind_names)>);
  static_assert(std::size(kReportKeys) == std::extent_v<decltype(ViewStrings::report_keys)>);
  for (const Entry& entry : kEntries)
    visit(strings.*entry.member, entry.text);
  for (std::size_t i = 0; i < std::size(kKindNames); ++i)
    visit(strings.kind_names[i], kKindNames[i]);
  for (std::size_t i = 0; i < std::size(kReportKeys); ++i)
    visit(strings.report_keys[i], kReportKeys[i]);
}

}  // namespace

bool make_view_strings(ViewStrings& strings) {
  bool made = true;
  for_each_view_string(strings, [&](PyObject*& slot, const char* text) {
    if (made) made = (slot = PyUnicode_InternFromString(text)) != nullptr;
  });
  if (!made || (strings.report_template = PyDict_New()) == nullptr) return false;
  for (PyObject* key : strings.report_keys) {
    if (PyDict_SetItem(strings.report_template, key, Py_None) < 0) return false;
  }
  return true;
}

void clear_view_strings(ViewStrings& strings) noexcept {
  for_each_view_string(strings, [](PyObject*& slot, const char*) { Py_CLEAR(slot); });
  Py_CLEAR(strings.report_template);
}

}  // namespace zembric::python
