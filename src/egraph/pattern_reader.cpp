#include "egraph/pattern_reader.h"

#include <utility>
#include <vector>

#include "egraph/union_find.h"

namespace zembric::egraph {
namespace {

using Kind = PatternParseError::Kind;

struct Sexp {
  enum class Type { Atom, String, List };
  Type type;
  std::string text;
  std::vector<Sexp> items;
};

bool is_separator(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
// A tab does not end an atom.
bool ends_atom(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '(' || c == ')';
}

class SexpReader {
 public:
  explicit SexpReader(std::string_view text) : text_(text) {}

  // Reads one expression; `error` is set on failure.
  Sexp read(PatternParseError& error) {
    Sexp sexp = read_expr();
    while (!failed_ && !at_end() && is_separator(text_[pos_]))
      advance();
    if (!failed_ && !at_end()) {
      fail(std::string("expected end of input got ") + text_[pos_]);
    }
    if (failed_) error = std::move(error_);
    return sexp;
  }
  bool failed() const { return failed_; }

 private:
  Sexp read_expr() {
    if (at_end()) return fail("End of file reached");
    const char c = text_[pos_];
    if (c == ')') return fail("Unexpected )");
    if (c == '(') return read_list();
    if (c == '"') return read_string();
    Sexp atom{Sexp::Type::Atom, {}, {}};
    const std::size_t start = pos_;
    while (!at_end() && !ends_atom(text_[pos_]))
      advance();
    atom.text = text_.substr(start, pos_ - start);
    return atom;
  }

  Sexp read_list() {
    advance();
    Sexp list{Sexp::Type::List, {}, {}};
    for (;;) {
      while (!at_end() && is_separator(text_[pos_]))
        advance();
      if (at_end()) return fail("End of file reached");
      if (text_[pos_] == ')') {
        advance();
        return list;
      }
      list.items.push_back(read_expr());
      if (failed_) return {};
    }
  }

  // A quoted operator name; a backslash takes the next character literally.
  Sexp read_string() {
    advance();
    Sexp string{Sexp::Type::String, {}, {}};
    for (;;) {
      if (at_end()) return fail("End of file reached");
      char c = text_[pos_];
      advance();
      if (c == '"') return string;
      if (c == '\\') {
        if (at_end()) return fail("End of file reached");
        c = text_[pos_];
        advance();
      }
      string.text.push_back(c);
    }
  }

  bool at_end() const { return pos_ >= text_.size(); }

  void advance() {
    const char c = text_[pos_++];
    if (c == '\n') {
      ++line_;
      column_ = 1;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++column_;  // count characters, not UTF-8 continuation bytes
    }
  }

  Sexp fail(std::string message) {
    if (!failed_) {
      failed_ = true;
      error_ = {Kind::BadSexp, PatternParseError::OpError::UnexpectedVar, std::move(message), line_,
                column_};
    }
    return {};
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
  std::size_t column_ = 1;
  bool failed_ = false;
  PatternParseError error_{Kind::BadSexp, PatternParseError::OpError::UnexpectedVar, {}, 0, 0};
};

bool looks_like_variable(const Sexp& atom) {
  return atom.type == Sexp::Type::Atom && atom.text.size() >= 2 && atom.text[0] == '?';
}

class TreeBuilder {
 public:
  // Appends the entries of `sexp` in post-order; returns false with `error_` set on failure.
  bool convert(const Sexp& sexp) {
    switch (sexp.type) {
      case Sexp::Type::Atom:
      case Sexp::Type::String:
        push_leaf(sexp);
        return true;
      case Sexp::Type::List:
        break;
    }
    if (sexp.items.empty()) return fail(Kind::EmptySexp, {});
    const Sexp& head = sexp.items.front();
    if (head.type == Sexp::Type::List) return fail(Kind::HeadList, {});
    std::vector<ClassId> children;
    children.reserve(sexp.items.size() - 1);
    for (std::size_t k = 1; k < sexp.items.size(); ++k) {
      if (!convert(sexp.items[k])) return false;
      children.push_back(static_cast<ClassId>(tree_.size() - 1));
    }
    // "(?x)" alone names an operator; only a variable head with children is refused.
    if (looks_like_variable(head) && !children.empty()) return fail(Kind::BadOp, head.text);
    tree_.emplace_back(ENode(intern_symbol(head.text), children));
    return true;
  }

  PatternTree take_tree() { return std::move(tree_); }
  PatternParseError take_error() { return std::move(error_); }

 private:
  void push_leaf(const Sexp& atom) {
    if (looks_like_variable(atom)) {
      tree_.emplace_back(PatternVar{intern_symbol(atom.text)});
    } else {
      tree_.emplace_back(ENode(intern_symbol(atom.text), {}));
    }
  }

  bool fail(Kind kind, std::string message) {
    error_ = {kind, PatternParseError::OpError::UnexpectedVar, std::move(message), 0, 0};
    return false;
  }

  PatternTree tree_;
  PatternParseError error_{Kind::EmptySexp, PatternParseError::OpError::UnexpectedVar, {}, 0, 0};
};

std::string_view trim(std::string_view text) {
  constexpr std::string_view kWhitespace = " \t\n\r\f\v";
  const std::size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kWhitespace) - first + 1);
}

}  // namespace

std::string PatternParseError::to_string() const {
  switch (kind) {
    case Kind::EmptySexp:
      return "Found empty s-expression";
    case Kind::HeadList:
      return "Found a list in the head position";
    case Kind::BadOp:
      return "Failed to parse operator " + message + ": unexpected variable";
    case Kind::BadSexp:
      break;
  }
  return message + " at line " + std::to_string(line) + ", column " + std::to_string(column);
}

Expected<PatternTree, PatternParseError> parse_pattern(std::string_view text) {
  text = trim(text);
  if (text.empty()) return PatternParseError{Kind::EmptySexp, {}, {}, 0, 0};
  SexpReader reader(text);
  PatternParseError error{Kind::BadSexp, {}, {}, 0, 0};
  const Sexp sexp = reader.read(error);
  if (reader.failed()) return error;
  TreeBuilder builder;
  if (!builder.convert(sexp)) return builder.take_error();
  return builder.take_tree();
}

}  // namespace zembric::egraph
