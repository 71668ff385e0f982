// Python str <-> UTF-8 text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

namespace zembric::python {

// Copies the UTF-8 text of `text`, which must be a str (or subclass). False with CPython's
// UnicodeEncodeError set for a string holding lone surrogates.
bool copy_utf8(PyObject* text, std::string& out);

// The UTF-8 text of `text` (a str or subclass) without copying it: the view lives in the str's
// cached encoding, so it stays valid while the caller holds a reference to `text`. Fails as
// copy_utf8.
bool view_utf8(PyObject* text, std::string_view& out);

// A str argument: TypeError "argument '<name>': expected str, got <type>" for any other type.
bool convert_text_argument(PyObject* object, const char* name, std::string& out);
// The same as a view, valid while the caller holds `object`.
bool convert_text_argument(PyObject* object, const char* name, std::string_view& out);

// A new str from UTF-8 text that the module wrote or validated.
PyObject* str_from_utf8(std::string_view text);

}  // namespace zembric::python
