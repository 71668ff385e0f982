#include "python/argument_binder.h"

#include <algorithm>
#include <string>

namespace zembric::python {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the list CPython writes for missing arguments.
std::string quoted_list(const Signature& signature, PyObject* const* bound, std::size_t from,
                        std::size_t to, std::size_t& count) {
  count = 0;
  std::string text;
  std::string pending;
  for (std::size_t i = from; i < to; ++i) {
    if (bound[i] != nullptr) continue;
    if (count > 0) {
      if (!text.empty()) text += ", ";
      text += pending;
    }
    pending = std::string("'") + signature.parameters[i].name + "'";
    ++count;
  }
  if (count == 1) return pending;
  if (count == 2) return text + " and " + pending;
  return text + ", and " + pending;
}

[[gnu::hot]] bool check_missing(const Signature& signature, PyObject* const* bound,
                                std::size_t from, std::size_t to, const char* kind) {
  if (std::none_of(bound + from, bound + to, [](PyObject* arg) { return arg == nullptr; })) {
    return true;
  }
  std::size_t count = 0;
  const std::string names = quoted_list(signature, bound, from, to, count);
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required %s argument%s: %s", signature.callable,
               count, kind, count == 1 ? "" : "s", names.c_str());
  return false;
}

void raise_too_many_positional(const Signature& signature, PyObject* const* bound,
                               Py_ssize_t given) {
  const std::size_t positional = signature.positional;
  const std::size_t with_default = positional - std::min(signature.required, positional);
  std::string takes;
  bool plural = true;
  if (with_default > 0) {
    takes =
        "from " + std::to_string(positional - with_default) + " to " + std::to_string(positional);
  } else {
    takes = std::to_string(positional);
    plural = positional != 1;
  }
  std::size_t keyword_only_given = 0;
  for (std::size_t i = positional; i < signature.parameters.size(); ++i) {
    if (bound[i] != nullptr) ++keyword_only_given;
  }
  std::string keyword_only_note;
  if (keyword_only_given > 0) {
    keyword_only_note = " positional argument" + std::string(given != 1 ? "s" : "") + " (and " +
                        std::to_string(keyword_only_given) + " keyword-only argument" +
                        (keyword_only_given != 1 ? "s" : "") + ")";
  }
  PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd%s %s given",
               signature.callable, takes.c_str(), plural ? "s" : "", given,
               keyword_only_note.c_str(), given == 1 && keyword_only_given == 0 ? "was" : "were");
}

bool bind_keyword(const Signature& signature, PyObject* name, PyObject* value, PyObject** bound) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.callable);
    return false;
  }
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, signature.parameters[i].name) != 0) continue;
    if (bound[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                   signature.callable, signature.parameters[i].name);
      return false;
    }
    bound[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.callable,
               name);
  return false;
}

// The general case, in the order CPython checks a call: positional arguments, then keywords,
// then surplus positional arguments, then missing positional and missing keyword-only ones.
template <class BindKeywords>
bool bind_general(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                  BindKeywords&& bind_keywords, PyObject** bound) {
  const std::size_t given = static_cast<std::size_t>(nargs);
  const std::size_t count = signature.parameters.size();
  std::fill(bound, bound + count, nullptr);
  std::copy(args, args + std::min(given, signature.positional), bound);
  if (!bind_keywords()) return false;
  if (given > signature.positional) {
    raise_too_many_positional(signature, bound, nargs);
    return false;
  }
  const std::size_t required_positional = std::min(signature.required, signature.positional);
  return check_missing(signature, bound, 0, required_positional, "positional") &&
         check_missing(signature, bound, signature.positional,
                       std::max(signature.required, signature.positional), "keyword-only");
}

}  // namespace

[[gnu::hot]] bool bind_any_arguments(const Signature& signature, PyObject* const* args,
                                     std::size_t nargs, PyObject* kwnames, PyObject** bound) {
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (keywords == 0 && nargs >= signature.required && nargs <= signature.positional) {
    std::copy(args, args + nargs, bound);
    std::fill(bound + nargs, bound + signature.parameters.size(), nullptr);
    return true;
  }
  PyObject* const* keyword_values = args + nargs;
  return bind_general(
      signature, args, static_cast<Py_ssize_t>(nargs),
      [&] {
        for (Py_ssize_t i = 0; i < keywords; ++i) {
          if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), keyword_values[i], bound)) {
            return false;
          }
        }
        return true;
      },
      bound);
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    PyObject** bound) {
  // Binding runs no Python code, so the borrowed items stay valid.
  return bind_general(
      signature, reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args),
      [&] {
        if (kwargs == nullptr) return true;
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
          if (!bind_keyword(signature, name, value, bound)) return false;
        }
        return true;
      },
      bound);
}

}  // namespace zembric::python
