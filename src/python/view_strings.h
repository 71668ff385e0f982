// The interned strings of one module's views (node dicts, report dicts): made once when the
// module executes, so that a view neither builds nor interns a key per dict.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zembric::python {

// Interned strings shared by every view of one module: the dict keys and the recurring values.
struct ViewStrings {
  PyObject* id;
  PyObject* output;
  PyObject* inputs;
  PyObject* kind;
  PyObject* name;
  PyObject* params;
  PyObject* descriptor;
  PyObject* n_members;
  PyObject* members;
  PyObject* content_hash;
  PyObject* framework;
  PyObject* version;
  PyObject* io_schema;
  PyObject* preprocessing_ref;
  PyObject* input_token;
  PyObject* member_token;
  PyObject* empty;
  PyObject* roots;  // the reduction map's keys
  PyObject* nodes;
  PyObject* kind_names[6];   // indexed by NodeKind
  PyObject* report_keys[6];  // the report's counts, in ReductionReport's order
  // A dict of the report keys, each mapped to None, which a report copies and then fills: a copy
  // takes the key table as it stands, where a dict built key by key would grow it twice.
  PyObject* report_template;
};

// Fills the empty `strings`; false with an error set, what was made staying for clear_view_strings.
bool make_view_strings(ViewStrings& strings);
void clear_view_strings(ViewStrings& strings) noexcept;

}  // namespace zembric::python
