#include "store/blob_reader.h"

#include <bit>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "store/blob_format.h"
#include "store/little_endian.h"
#include "store/utf8.h"

namespace zembric {
namespace {

constexpr std::string_view kBadMagic = "not a zembric IR blob (bad magic/version)";
constexpr std::string_view kTruncated = "truncated zembric IR blob";
constexpr std::string_view kBadUtf8 = "invalid utf-8 in zembric IR blob";

// One pass over the bytes with a moving position. Each read either succeeds or records the first
// error and returns false, after which the caller only unwinds.
class BlobParser {
 public:
  explicit BlobParser(std::string_view bytes)
      : pos_(reinterpret_cast<const unsigned char*>(bytes.data())), end_(pos_ + bytes.size()) {}

  Expected<std::unique_ptr<StoreCore>, BlobDecodeError> parse() {
    auto store = std::make_unique<StoreCore>();
    if (!parse_into(*store)) return BlobDecodeError{std::move(error_)};
    return store;
  }

 private:
  bool fail(std::string_view message) {
    error_ = message;
    return false;
  }
  bool truncated() { return fail(kTruncated); }
  bool invalid_tag(std::string_view what, unsigned tag) {
    return fail("invalid " + std::string(what) + " tag " + std::to_string(tag));
  }
  bool out_of_range(std::uint64_t id) {
    return fail("node reference " + std::to_string(id) + " out of range");
  }

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - pos_); }

  // A count whose entries cannot fit in the remaining bytes ends the read before anything is
  // reserved for them.
  bool fits(std::uint64_t count, std::size_t min_entry_size) {
    return count <= remaining() / min_entry_size || truncated();
  }

  bool u8(std::uint8_t& value) {
    if (pos_ == end_) return truncated();
    value = *pos_++;
    return true;
  }
  bool u32(std::uint32_t& value) {
    if (remaining() < 4) return truncated();
    value = load_le<std::uint32_t>(pos_);
    pos_ += 4;
    return true;
  }
  bool u64(std::uint64_t& value) {
    if (remaining() < 8) return truncated();
    value = load_le<std::uint64_t>(pos_);
    pos_ += 8;
    return true;
  }
  bool text(std::string& value) {
    std::uint32_t length;
    if (!u32(length)) return false;
    if (length > remaining()) return truncated();
    const std::string_view bytes(reinterpret_cast<const char*>(pos_), length);
    if (!is_valid_utf8(bytes)) return fail(kBadUtf8);
    value.assign(bytes);
    pos_ += length;
    return true;
  }

  std::optional<ParamValue> param_value(std::uint8_t type) {
    std::uint64_t bits;
    std::uint8_t byte;
    std::string text_value;
    switch (type) {
      case static_cast<std::uint8_t>(ParamType::Int):
        if (!u64(bits)) return std::nullopt;
        return ParamValue::of_int(static_cast<std::int64_t>(bits));
      case static_cast<std::uint8_t>(ParamType::Float):
        if (!u64(bits)) return std::nullopt;
        return ParamValue::of_float(std::bit_cast<double>(bits));
      case static_cast<std::uint8_t>(ParamType::Bool):
        if (!u8(byte)) return std::nullopt;
        return ParamValue::of_bool(byte != 0);
      case static_cast<std::uint8_t>(ParamType::Str):
        if (!text(text_value)) return std::nullopt;
        return ParamValue::of_str(std::move(text_value));
      default:
        invalid_tag("param", type);
        return std::nullopt;
    }
  }

  bool params(ParamMap& map) {
    std::uint32_t count;
    if (!u32(count) || !fits(count, kMinParamEntrySize)) return false;
    if (count == 0) {
      map = ParamMap();
      return true;
    }
    std::vector<ParamEntry> entries;
    entries.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::string key;
      std::uint8_t type;
      if (!text(key) || !u8(type)) return false;
      std::optional<ParamValue> value = param_value(type);
      if (!value) return false;
      entries.emplace_back(std::move(key), std::move(*value));
    }
    map = ParamMap::from_unsorted(std::move(entries));
    return true;
  }

  // Reads the input list of the record at `position`, translating blob positions into store ids.
  bool inputs(std::uint64_t position, std::vector<NodeId>& ids) {
    std::uint32_t count;
    if (!u32(count) || !fits(count, kNodeIdSize)) return false;
    ids.resize(count);
    for (NodeId& id : ids) {
      const std::uint64_t reference = load_le<std::uint64_t>(pos_);
      pos_ += kNodeIdSize;
      if (reference >= position) return out_of_range(reference);
      id = store_id_[reference];
    }
    return true;
  }

  bool descriptor(PayloadDescriptor& d) {
    std::uint8_t has_preprocessing;
    if (!text(d.kind) || !text(d.content_hash) || !text(d.framework) || !text(d.version) ||
        !text(d.io_schema) || !u8(has_preprocessing)) {
      return false;
    }
    if (has_preprocessing != 0) {
      d.preprocessing_ref.emplace();
      if (!text(*d.preprocessing_ref)) return false;
    }
    return true;
  }

  bool members(std::vector<StageMember>& members) {
    std::uint32_t count;
    if (!u32(count) || !fits(count, kMinStageMemberSize)) return false;
    members.resize(count);
    for (std::uint32_t m = 0; m < count; ++m) {
      StageMember& member = members[m];
      std::uint32_t token_count;
      if (!text(member.key) || !u32(token_count) || !fits(token_count, kMemberTokenSize)) {
        return false;
      }
      member.tokens.resize(token_count);
      for (MemberToken& token : member.tokens) {
        const std::uint8_t kind = pos_[0];
        const std::uint32_t index = load_le<std::uint32_t>(pos_ + 1);
        pos_ += kMemberTokenSize;
        if (kind == static_cast<std::uint8_t>(MemberTokenKind::Input)) {
          token = {MemberTokenKind::Input, index};
        } else if (kind == static_cast<std::uint8_t>(MemberTokenKind::Member)) {
          if (index >= m) return out_of_range(index);
          token = {MemberTokenKind::Member, index};
        } else {
          return invalid_tag("stage-ref", kind);
        }
      }
    }
    return true;
  }

  std::optional<Node> node(std::uint64_t position) {
    std::uint8_t kind;
    if (!u8(kind)) return std::nullopt;
    std::string name;
    ParamMap params;
    std::vector<NodeId> ids;
    switch (kind) {
      case static_cast<std::uint8_t>(NodeKind::Source):
        if (!text(name) || !this->params(params)) return std::nullopt;
        return Node::source(std::move(name), std::move(params));
      case static_cast<std::uint8_t>(NodeKind::Op):
        if (!text(name) || !this->params(params) || !inputs(position, ids)) return std::nullopt;
        return Node::op(std::move(name), std::move(params), std::move(ids));
      case static_cast<std::uint8_t>(NodeKind::Reduction):
        if (!text(name) || !this->params(params) || !inputs(position, ids)) return std::nullopt;
        return Node::reduction(std::move(name), std::move(params), std::move(ids));
      case static_cast<std::uint8_t>(NodeKind::External): {
        PayloadDescriptor d;
        if (!descriptor(d) || !this->params(params) || !inputs(position, ids)) return std::nullopt;
        return Node::external(std::move(d), std::move(params), std::move(ids));
      }
      case static_cast<std::uint8_t>(NodeKind::Stage): {
        std::vector<StageMember> stage_members;
        if (!inputs(position, ids) || !members(stage_members)) return std::nullopt;
        return Node::stage(std::move(ids), std::move(stage_members));
      }
      case static_cast<std::uint8_t>(NodeKind::Exchange):
        if (!this->params(params) || !inputs(position, ids)) return std::nullopt;
        return Node::exchange(std::move(params), std::move(ids));
      default:
        invalid_tag("node", kind);
        return std::nullopt;
    }
  }

  bool parse_into(StoreCore& store) {
    if (remaining() < kBlobMagic.size()) return truncated();
    if (std::string_view(reinterpret_cast<const char*>(pos_), kBlobMagic.size()) != kBlobMagic) {
      return fail(kBadMagic);
    }
    pos_ += kBlobMagic.size();
    std::uint32_t node_count;
    if (!u32(node_count) || !fits(node_count, kMinNodeRecordSize)) return false;

    // References in the blob name record positions. Interning maps a record equal to an earlier
    // one onto the earlier id, so positions and store ids part ways after such a record; every
    // reference therefore goes through this table.
    store_id_.reserve(node_count);
    // The count was checked against the bytes left, so this reserves no more than the blob holds.
    store.reserve(node_count);
    for (std::uint64_t position = 0; position < node_count; ++position) {
      std::optional<Node> record = node(position);
      if (!record) return false;
      auto id = store.intern(std::move(*record));
      if (!id) return out_of_range(id.error().id);
      store_id_.push_back(id.value());
    }

    std::uint32_t output_count;
    if (!u32(output_count) || !fits(output_count, kNodeIdSize)) return false;
    for (std::uint32_t i = 0; i < output_count; ++i) {
      const std::uint64_t reference = load_le<std::uint64_t>(pos_);
      pos_ += kNodeIdSize;
      if (reference >= store_id_.size()) return out_of_range(reference);
      if (auto bad = store.mark_output(store_id_[reference])) return out_of_range(bad->id);
    }
    // Bytes after the outputs are ignored.
    return true;
  }

  const unsigned char* pos_;
  const unsigned char* const end_;
  std::vector<NodeId> store_id_;  // store id of the record at each blob position
  std::string error_;
};

}  // namespace

Expected<std::unique_ptr<StoreCore>, BlobDecodeError> read_blob(std::string_view bytes) {
  return BlobParser(bytes).parse();
}

}  // namespace zembric
