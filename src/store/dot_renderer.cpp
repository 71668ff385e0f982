#include "store/dot_renderer.h"

#include <charconv>
#include <string_view>
#include <vector>

#include "store/param_display.h"
#include "support/decimal_text.h"

namespace zembric {
namespace {

void append_params(std::string& out, const ParamMap& params) {
  out += '{';
  bool first = true;
  for (const auto& [key, value] : params) {
    if (!first) out += ", ";
    first = false;
    out += key;
    out += '=';
    switch (value.type()) {
      case ParamType::Int:
        append_decimal(out, value.as_int());
        break;
      case ParamType::Float:
        append_float_display(out, value.as_float());
        break;
      case ParamType::Bool:
        out += value.as_bool() ? "true" : "false";
        break;
      case ParamType::Str:
        append_str_display(out, value.as_str());
        break;
    }
  }
  out += '}';
}

void append_label(std::string& out, const Node& node) {
  switch (node.kind()) {
    case NodeKind::Source:
      out += "Source ";
      out += node.name();
      break;
    case NodeKind::Op:
      out += "Op ";
      out += node.name();
      break;
    case NodeKind::Reduction:
      out += "Reduction ";
      out += node.name();
      break;
    case NodeKind::External: {
      const PayloadDescriptor& d = node.descriptor();
      out += "External ";
      out += d.kind;
      out += ':';
      out += d.content_hash;
      out += " [";
      out += d.framework;
      out += ' ';
      out += d.version;
      out += ']';
      break;
    }
    case NodeKind::Stage:
      out += "Stage[";
      append_decimal(out, node.members().size());
      out += " members]";
      return;
    case NodeKind::Exchange:
      out += "Exchange";
      break;
  }
  if (!node.params().empty()) {
    out += ' ';
    append_params(out, node.params());
  }
}

// Backslashes doubled, then double quotes escaped: one pass gives the same text.
void append_escaped_label(std::string& out, std::string_view label) {
  for (char c : label) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
}

}  // namespace

std::string render_dot(std::span<const Node> nodes, std::span<const NodeId> outputs) {
  // One bitmap instead of a scan of the marks per node: a store may mark every node.
  std::vector<bool> marked(nodes.size());
  for (NodeId id : outputs) {
    if (id < nodes.size()) marked[id] = true;
  }

  std::string out;
  out.reserve(32 + nodes.size() * 40);
  out += "digraph zembric {\n";
  std::string label;
  for (std::size_t id = 0; id < nodes.size(); ++id) {
    label.clear();
    append_label(label, nodes[id]);
    out += "  n";
    append_decimal(out, id);
    out += " [label=\"";
    append_escaped_label(out, label);
    out += '"';
    if (marked[id]) out += ", shape=doublecircle";
    out += "];\n";
  }
  for (std::size_t id = 0; id < nodes.size(); ++id) {
    for (NodeId input : nodes[id].inputs()) {
      out += "  n";
      append_decimal(out, input);
      out += " -> n";
      append_decimal(out, id);
      out += ";\n";
    }
  }
  out += "}\n";
  return out;
}

}  // namespace zembric
