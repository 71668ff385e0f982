#include "store/blob_writer.h"

#include <bit>
#include <cstring>
#include <optional>
#include <string_view>

#include "store/blob_format.h"
#include "store/little_endian.h"
#include "support/internal_error.h"

namespace zembric {
namespace {

std::string over_limit(std::string_view subject) {
  std::string message = "cannot serialize ";
  message += subject;
  message += ", over the IR blob format's limit of 4294967295";
  return message;
}

// The exact encoded size, checking on the way every value the 32-bit fields must hold, so that
// nothing is written unless all of it can be written faithfully. The `describe` callables name
// the offending field and run only on failure.
class SizePass {
 public:
  std::optional<BlobTooLarge> error;
  std::size_t size = 0;

  template <class Describe>
  void text(NodeId id, std::string_view value, Describe&& describe) {
    size += 4 + value.size();
    if (value.size() > kBlobMaxU32) [[unlikely]] {
      fail(id, describe() + " is " + std::to_string(value.size()) + " bytes long");
    }
  }

  template <class Describe>
  void count(NodeId id, std::size_t n, Describe&& describe) {
    size += 4;
    if (n > kBlobMaxU32) [[unlikely]]
      fail(id, std::to_string(n) + " " + describe());
  }

  void params(NodeId id, const ParamMap& params) {
    count(id, params.size(), [] { return std::string("params"); });
    for (const ParamEntry& entry : params) {
      const auto& [key, value] = entry;
      text(id, key, [] { return std::string("a param key"); });
      size += 1;
      switch (value.type()) {
        case ParamType::Int:
        case ParamType::Float:
          size += 8;
          break;
        case ParamType::Bool:
          size += 1;
          break;
        case ParamType::Str:
          text(id, value.as_str(),
               [&entry] { return "the value of param \"" + entry.first + "\""; });
          break;
      }
    }
  }

  void inputs(NodeId id, std::span<const NodeId> inputs) {
    count(id, inputs.size(), [] { return std::string("inputs"); });
    size += kNodeIdSize * inputs.size();
  }

  void node(NodeId id, const Node& node) {
    size += 1;
    switch (node.kind()) {
      case NodeKind::Source:
        text(id, node.name(), [] { return std::string("the name"); });
        params(id, node.params());
        return;
      case NodeKind::Op:
      case NodeKind::Reduction:
        text(id, node.name(), [] { return std::string("the name"); });
        params(id, node.params());
        inputs(id, node.inputs());
        return;
      case NodeKind::External:
        descriptor(id, node.descriptor());
        params(id, node.params());
        inputs(id, node.inputs());
        return;
      case NodeKind::Stage:
        inputs(id, node.inputs());
        members(id, node.members());
        return;
      case NodeKind::Exchange:
        params(id, node.params());
        inputs(id, node.inputs());
        return;
    }
    throw InternalError("node kind is one of the six kinds");
  }

 private:
  void fail(NodeId id, std::string detail) {
    if (!error) error = BlobTooLarge{over_limit("node " + std::to_string(id) + ": " + detail)};
  }

  void descriptor(NodeId id, const PayloadDescriptor& d) {
    text(id, d.kind, [] { return std::string("the descriptor kind"); });
    text(id, d.content_hash, [] { return std::string("the descriptor content_hash"); });
    text(id, d.framework, [] { return std::string("the descriptor framework"); });
    text(id, d.version, [] { return std::string("the descriptor version"); });
    text(id, d.io_schema, [] { return std::string("the descriptor io_schema"); });
    size += 1;
    if (d.preprocessing_ref) {
      text(id, *d.preprocessing_ref,
           [] { return std::string("the descriptor preprocessing_ref"); });
    }
  }

  void members(NodeId id, const StageMembers& members) {
    count(id, members.size(), [] { return std::string("stage members"); });
    for (std::size_t m = 0; m < members.size(); ++m) {
      const StageMemberView member = members[m];
      text(id, member.key, [m] { return "the key of stage member " + std::to_string(m); });
      count(id, member.tokens.size(),
            [m] { return "tokens in stage member " + std::to_string(m); });
      size += kMemberTokenSize * member.tokens.size();
      for (const MemberToken& token : member.tokens) {
        if (token.index > kBlobMaxU32) [[unlikely]] {
          fail(id, "stage member " + std::to_string(m) + " has a token index " +
                       std::to_string(token.index));
        }
      }
    }
  }
};

// Writes into a buffer of exactly the size that SizePass computed.
class WritePass {
 public:
  explicit WritePass(unsigned char* out) : out_(out) {}
  unsigned char* position() const { return out_; }

  void u8(std::uint8_t value) { *out_++ = value; }
  void u32(std::uint64_t value) {
    store_le(out_, static_cast<std::uint32_t>(value));
    out_ += 4;
  }
  void u64(std::uint64_t value) {
    store_le(out_, value);
    out_ += 8;
  }
  void text(std::string_view value) {
    u32(value.size());
    if (!value.empty()) std::memcpy(out_, value.data(), value.size());
    out_ += value.size();
  }

  void params(const ParamMap& params) {
    u32(params.size());
    for (const auto& [key, value] : params) {
      text(key);
      u8(static_cast<std::uint8_t>(value.type()));
      switch (value.type()) {
        case ParamType::Int:
          u64(static_cast<std::uint64_t>(value.as_int()));
          break;
        case ParamType::Float:
          u64(std::bit_cast<std::uint64_t>(value.as_float()));
          break;
        case ParamType::Bool:
          u8(value.as_bool() ? 1 : 0);
          break;
        case ParamType::Str:
          text(value.as_str());
          break;
      }
    }
  }

  void ids(std::span<const NodeId> ids) {
    u32(ids.size());
    for (NodeId id : ids)
      u64(id);
  }

  void node(const Node& node) {
    u8(static_cast<std::uint8_t>(node.kind()));
    switch (node.kind()) {
      case NodeKind::Source:
        text(node.name());
        params(node.params());
        return;
      case NodeKind::Op:
      case NodeKind::Reduction:
        text(node.name());
        params(node.params());
        ids(node.inputs());
        return;
      case NodeKind::External: {
        const PayloadDescriptor& d = node.descriptor();
        text(d.kind);
        text(d.content_hash);
        text(d.framework);
        text(d.version);
        text(d.io_schema);
        u8(d.preprocessing_ref ? 1 : 0);
        if (d.preprocessing_ref) text(*d.preprocessing_ref);
        params(node.params());
        ids(node.inputs());
        return;
      }
      case NodeKind::Stage:
        ids(node.inputs());
        u32(node.members().size());
        for (const StageMemberView member : node.members()) {
          text(member.key);
          u32(member.tokens.size());
          for (const MemberToken& token : member.tokens) {
            u8(static_cast<std::uint8_t>(token.kind));
            u32(token.index);
          }
        }
        return;
      case NodeKind::Exchange:
        params(node.params());
        ids(node.inputs());
        return;
    }
  }

 private:
  unsigned char* out_;
};

}  // namespace

Expected<std::size_t, BlobTooLarge> blob_size(std::span<const Node> nodes,
                                              std::span<const NodeId> outputs) {
  if (nodes.size() > kBlobMaxU32)
    return BlobTooLarge{over_limit(std::to_string(nodes.size()) + " nodes")};
  if (outputs.size() > kBlobMaxU32) {
    return BlobTooLarge{over_limit(std::to_string(outputs.size()) + " output ids")};
  }
  for (NodeId id : outputs) {
    if (id >= nodes.size()) throw InternalError("blob outputs name nodes of the store");
  }
  SizePass sizes;
  sizes.size = kBlobMagic.size() + 4 + 4 + kNodeIdSize * outputs.size();
  for (std::size_t id = 0; id < nodes.size(); ++id)
    sizes.node(id, nodes[id]);
  if (sizes.error) return std::move(*sizes.error);
  return sizes.size;
}

void write_blob_to(std::span<const Node> nodes, std::span<const NodeId> outputs,
                   unsigned char* begin, std::size_t size) {
  WritePass out(begin);
  for (char c : kBlobMagic)
    out.u8(static_cast<std::uint8_t>(c));
  out.u32(nodes.size());
  for (const Node& node : nodes)
    out.node(node);
  out.ids(outputs);
  if (out.position() != begin + size) throw InternalError("blob size pass matches the writer");
}

Expected<std::string, BlobTooLarge> write_blob(std::span<const Node> nodes,
                                               std::span<const NodeId> outputs) {
  Expected<std::size_t, BlobTooLarge> size = blob_size(nodes, outputs);
  if (!size) return std::move(size).error();
  std::string blob(size.value(), '\0');
  write_blob_to(nodes, outputs, reinterpret_cast<unsigned char*>(blob.data()), blob.size());
  return blob;
}

}  // namespace zembric
