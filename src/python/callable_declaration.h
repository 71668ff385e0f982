// One declaration per Python callable: its name, its parameters and its docstring text. The
// binder's Signature, the name in binding messages and the docstring with its signature line
// ("add_op($self, name, inputs, params=None)\n--\n\n...", which CPython turns into
// __text_signature__) are derived from it at compile time, so a parameter list is written once;
// tests/python checks the stub against the resulting signatures.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "python/argument_binder.h"

namespace zembric::python {

enum class CallableKind {
  Method,        // "name($self, ...)"; messages name "Owner.name"
  StaticMethod,  // "name(...)"; messages name "Owner.name"
  Constructor,   // the class docstring "Owner(...)"; messages name "Owner.__new__"
  Function,      // a module function "name(...)"
};

struct CallableDeclaration {
  CallableKind kind;
  const char* owner;  // the class; nullptr for a module function
  const char* name;   // the Python name; the class name for a constructor
  std::span<const Parameter> parameters;
  std::size_t positional;  // how many leading parameters are positional-or-keyword; the rest are
                           // keyword-only
  const char* doc;         // the docstring after the signature line
};

// The declarations as written: method(class, name, parameters, how many of them are
// positional-or-keyword, docstring text), and likewise for the other kinds.
constexpr CallableDeclaration method(const char* owner, const char* name,
                                     std::span<const Parameter> parameters = {},
                                     std::size_t positional = 0, const char* doc = "") {
  return {CallableKind::Method, owner, name, parameters, positional, doc};
}
constexpr CallableDeclaration static_method(const char* owner, const char* name,
                                            std::span<const Parameter> parameters,
                                            std::size_t positional, const char* doc) {
  return {CallableKind::StaticMethod, owner, name, parameters, positional, doc};
}
constexpr CallableDeclaration constructor(const char* owner, std::span<const Parameter> parameters,
                                          std::size_t positional, const char* doc) {
  return {CallableKind::Constructor, owner, owner, parameters, positional, doc};
}
constexpr CallableDeclaration function(const char* name) {
  return {CallableKind::Function, nullptr, name, {}, 0, ""};
}

namespace declaration_text {

// Counts the characters of a text, or writes them when given room: the same walk sizes the array
// and then fills it.
class Writer {
 public:
  constexpr explicit Writer(char* out) : out_(out) {}
  constexpr void append(std::string_view text) {
    for (const char c : text) {
      if (out_ != nullptr) out_[size_] = c;
      ++size_;
    }
  }
  constexpr std::size_t size() const { return size_; }

 private:
  char* out_;
  std::size_t size_ = 0;
};

constexpr void write_docstring(const CallableDeclaration& callable, Writer& out) {
  out.append(callable.name);
  out.append("(");
  bool first = true;
  const auto separate = [&] {
    if (!first) out.append(", ");
    first = false;
  };
  if (callable.kind == CallableKind::Method) {
    separate();
    out.append("$self");
  }
  for (std::size_t i = 0; i < callable.parameters.size(); ++i) {
    if (i == callable.positional) {
      separate();
      out.append("*");
    }
    separate();
    out.append(callable.parameters[i].name);
    if (callable.parameters[i].default_text != nullptr) {
      out.append("=");
      out.append(callable.parameters[i].default_text);
    }
  }
  out.append(")\n--\n\n");
  out.append(callable.doc);
}

constexpr void write_callable_name(const CallableDeclaration& callable, Writer& out) {
  if (callable.owner != nullptr) {
    out.append(callable.owner);
    out.append(".");
  }
  out.append(callable.kind == CallableKind::Constructor ? "__new__" : callable.name);
}

// Parameters with a default follow those without, so that the binder's required ones are a
// prefix; only module functions lack an owner.
constexpr bool is_well_formed(const CallableDeclaration& callable) {
  bool seen_default = false;
  for (const Parameter& parameter : callable.parameters) {
    if (parameter.default_text == nullptr && seen_default) return false;
    seen_default = seen_default || parameter.default_text != nullptr;
  }
  return callable.positional <= callable.parameters.size() &&
         (callable.owner != nullptr) == (callable.kind != CallableKind::Function);
}

constexpr std::size_t required_count(const CallableDeclaration& callable) {
  std::size_t count = 0;
  while (count < callable.parameters.size() && callable.parameters[count].default_text == nullptr) {
    ++count;
  }
  return count;
}

template <const CallableDeclaration& Callable, auto Write>
constexpr auto make_text() {
  static_assert(is_well_formed(Callable), "a malformed callable declaration");
  constexpr std::size_t size = [] {
    Writer counter(nullptr);
    Write(Callable, counter);
    return counter.size();
  }();
  std::array<char, size + 1> text{};
  Writer writer(text.data());
  Write(Callable, writer);
  return text;
}

}  // namespace declaration_text

// The full docstring, signature line first.
template <const CallableDeclaration& Callable>
inline constexpr auto kDocstring =
    declaration_text::make_text<Callable, declaration_text::write_docstring>();

// The name binding messages use: "GraphStore.add_op", "PayloadDescriptor.__new__".
template <const CallableDeclaration& Callable>
inline constexpr auto kCallableName =
    declaration_text::make_text<Callable, declaration_text::write_callable_name>();

template <const CallableDeclaration& Callable>
inline constexpr Signature kSignature{kCallableName<Callable>.data(), Callable.parameters,
                                      Callable.positional,
                                      declaration_text::required_count(Callable)};

// Room for the arguments the binder hands out, one slot per parameter.
template <const CallableDeclaration& Callable>
using BoundArguments = std::array<PyObject*, Callable.parameters.size()>;

}  // namespace zembric::python
