#include "store/blob_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store/blob_format.h"
#include "store/little_endian.h"
#include "store/utf8.h"
#include "support/hash_mixing.h"

namespace zembric {
namespace {

constexpr std::string_view kBadMagic = "not a zembric IR blob (bad magic/version)";
constexpr std::string_view kTruncated = "truncated zembric IR blob";
constexpr std::string_view kBadUtf8 = "invalid utf-8 in zembric IR blob";

// Parameter lists repeat across a graph (a dtype, an axis, a scheme), so the reader remembers
// which record held each short list it parsed: a later list with the same bytes takes a copy of
// that record's map instead of being parsed, sorted and gathered anew. A list's bytes decide
// everything it parses to, and a list reads exactly its own bytes, so the copy is what parsing
// would give, errors included (the remembered bytes parsed without one).
class RepeatedParams {
 public:
  struct Hit {
    std::uint64_t position;  // of the record whose map to copy
    std::size_t length;      // of the list in bytes, count included
  };

  // Longer lists are not remembered, so that a lookup compares a bounded number of bytes.
  static constexpr std::size_t kMaxBytes = 64;
  // A lookup reads this many bytes at once.
  static constexpr std::size_t kHeadBytes = 24;

  // A remembered list that the `available` bytes at `at` begin with (available >= kHeadBytes).
  std::optional<Hit> find(const unsigned char* at, std::size_t available) const {
    const Head head = head_of(at);
    for (const Way& way : buckets_[bucket_of(head)]) {
      if (way.length != 0 && way.head == head && way.length <= available &&
          std::memcmp(way.bytes, at, way.length) == 0) {
        return Hit{way.position, way.length};
      }
    }
    return std::nullopt;
  }

  // Remembers the list of `length` bytes at `at` (at most kMaxBytes), parsed into the map of the
  // record at `position`.
  void remember(const unsigned char* at, std::size_t length, std::uint64_t position) {
    Way way{};
    std::memcpy(way.bytes, at, length);
    way.length = static_cast<std::uint32_t>(length);
    way.position = position;
    way.head = head_of(way.bytes);
    const std::size_t bucket = bucket_of(way.head);
    buckets_[bucket][next_[bucket]] = way;
    next_[bucket] = static_cast<std::uint8_t>((next_[bucket] + 1) % kWays);
  }

 private:
  static constexpr unsigned kBucketBits = 6;
  static constexpr std::size_t kBuckets = std::size_t{1} << kBucketBits;
  static constexpr std::size_t kWays = 4;

  // The list's first bytes, through the first byte of its first value (at most kHeadBytes): the
  // count, the first key, its value type and the start of its value are all bytes of the list
  // itself, whatever follows it, and lists that share a first key mostly part ways right there.
  struct Head {
    std::array<std::uint64_t, kHeadBytes / 8> words;
    friend bool operator==(const Head&, const Head&) = default;
  };
  static Head head_of(const unsigned char* at) {
    const std::uint32_t key_length = load_le<std::uint32_t>(at + 4);
    const std::size_t length = key_length < kHeadBytes - 10 ? 10 + key_length : kHeadBytes;
    Head head;
    for (std::size_t w = 0; w < head.words.size(); ++w) {
      const std::size_t in_word = std::min<std::size_t>(length - std::min(length, 8 * w), 8);
      const std::uint64_t mask =
          in_word == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * in_word)) - 1;
      head.words[w] = load_le<std::uint64_t>(at + 8 * w) & mask;
    }
    return head;
  }
  static std::size_t bucket_of(const Head& head) {
    std::uint64_t mixed = 0;
    for (const std::uint64_t word : head.words)
      mixed = (mixed ^ word) * kGoldenRatio64;
    return static_cast<std::size_t>(mixed >> (64 - kBucketBits));
  }

  struct Way {
    Head head;
    std::uint32_t length;  // 0 for an unused way
    std::uint64_t position;
    unsigned char bytes[kMaxBytes];
  };
  std::array<std::array<Way, kWays>, kBuckets> buckets_{};
  std::array<std::uint8_t, kBuckets> next_{};
};

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
  // A text as a view into the blob, valid UTF-8. A short text followed by enough readable bytes
  // (most names and keys) is tested as one word instead of byte by byte.
  bool text(std::string_view& value) {
    std::uint32_t length = 0;
    if (!u32(length)) return false;
    if (length > remaining()) return truncated();
    const std::string_view bytes(reinterpret_cast<const char*>(pos_), length);
    if (length <= 8 && remaining() >= 8) {
      const std::uint64_t word = load_le<std::uint64_t>(pos_);
      const std::uint64_t in_text =
          length == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * length)) - 1;
      if ((word & in_text & kNonAsciiBits) != 0 && !is_valid_utf8(bytes)) return fail(kBadUtf8);
    } else if (!is_valid_utf8(bytes)) {
      return fail(kBadUtf8);
    }
    value = bytes;
    pos_ += length;
    return true;
  }
  bool text(std::string& value) {
    std::string_view bytes;
    if (!text(bytes)) return false;
    value.assign(bytes);
    return true;
  }

  std::optional<ParamValue> param_value(std::uint8_t type) {
    std::uint64_t bits = 0;
    std::uint8_t byte = 0;
    std::string_view text_value;
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
        return ParamValue::of_str(std::string(text_value));
      default:
        invalid_tag("param", type);
        return std::nullopt;
    }
  }

  // Reads the parameter list of the record at `position`.
  bool params(std::uint64_t position, ParamMap& map) {
    const unsigned char* const start = pos_;
    if (repeated_params_ && remaining() >= RepeatedParams::kHeadBytes &&
        load_le<std::uint32_t>(pos_) != 0) {
      if (const auto hit = repeated_params_->find(pos_, remaining())) {
        map = builder_->node(hit->position).params();
        pos_ += hit->length;
        return true;
      }
    }
    std::uint32_t count = 0;
    if (!u32(count) || !fits(count, kMinParamEntrySize)) return false;
    if (count == 0) return true;
    std::vector<ParamEntry> entries;
    entries.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::string_view key;
      std::uint8_t type = 0;
      if (!text(key) || !u8(type)) return false;
      std::optional<ParamValue> value = param_value(type);
      if (!value) return false;
      entries.emplace_back(std::string(key), std::move(*value));
    }
    map = ParamMap::from_unsorted(std::move(entries));
    const auto length = static_cast<std::size_t>(pos_ - start);
    if (length <= RepeatedParams::kMaxBytes) {
      if (!repeated_params_) repeated_params_ = std::make_unique<RepeatedParams>();
      repeated_params_->remember(start, length, position);
    }
    return true;
  }

  // Reads the input list of the record at `position`. The ids are blob positions: a record's
  // store id is its position unless an equal earlier record takes it over (see parse_into).
  template <class List>
  bool inputs(std::uint64_t position, List& ids) {
    std::uint32_t count = 0;
    if (!u32(count) || !fits(count, kNodeIdSize)) return false;
    ids.reserve(count);
    for (std::uint32_t k = 0; k < count; ++k) {
      const std::uint64_t reference = load_le<std::uint64_t>(pos_);
      pos_ += kNodeIdSize;
      if (reference >= position) return out_of_range(reference);
      ids.push_back(reference);
    }
    return true;
  }

  bool descriptor(PayloadDescriptor& d) {
    std::uint8_t has_preprocessing = 0;
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

  // Checks every member first, noting where its key and tokens lie in the bytes, then copies
  // them into the members' one block: no string or token list per member on the way.
  bool members(StageMembers& out) {
    std::uint32_t count = 0;
    if (!u32(count) || !fits(count, kMinStageMemberSize)) return false;
    member_spans_.clear();
    std::size_t tokens = 0;
    std::size_t text_bytes = 0;
    for (std::uint32_t m = 0; m < count; ++m) {
      MemberSpan member;
      if (!text(member.key) || !u32(member.token_count) ||
          !fits(member.token_count, kMemberTokenSize)) {
        return false;
      }
      member.tokens = pos_;
      for (std::uint32_t t = 0; t < member.token_count; ++t, pos_ += kMemberTokenSize) {
        const std::uint8_t kind = pos_[0];
        if (kind == static_cast<std::uint8_t>(MemberTokenKind::Member)) {
          const std::uint32_t index = load_le<std::uint32_t>(pos_ + 1);
          if (index >= m) return out_of_range(index);
        } else if (kind != static_cast<std::uint8_t>(MemberTokenKind::Input)) {
          return invalid_tag("stage-ref", kind);
        }
      }
      tokens += member.token_count;
      text_bytes += member.key.size();
      member_spans_.push_back(member);
    }
    StageMembers members(count, tokens, text_bytes);
    for (const MemberSpan& member : member_spans_) {
      members.add_member(member.key);
      for (std::uint32_t t = 0; t < member.token_count; ++t) {
        const unsigned char* token = member.tokens + std::size_t{t} * kMemberTokenSize;
        members.add_token(
            {static_cast<MemberTokenKind>(token[0]), load_le<std::uint32_t>(token + 1)});
      }
    }
    out = std::move(members);
    return true;
  }

  // Reads the record at `position` and interns it. The common kinds are built in place, with up
  // to two inputs inside the node, and handed to the store without a copy.
  bool record(std::uint64_t position) {
    std::uint8_t kind = 0;
    if (!u8(kind)) return false;
    std::string_view name;
    ParamMap params;
    switch (kind) {
      case static_cast<std::uint8_t>(NodeKind::Source):
        if (!text(name) || !this->params(position, params)) return false;
        return add(Node::plain(NodeKind::Source, std::string(name), std::move(params), {}));
      case static_cast<std::uint8_t>(NodeKind::Op):
      case static_cast<std::uint8_t>(NodeKind::Reduction): {
        InputList ids;
        if (!text(name) || !this->params(position, params) || !inputs(position, ids)) return false;
        return add(Node::plain(static_cast<NodeKind>(kind), std::string(name), std::move(params),
                               std::move(ids)));
      }
      case static_cast<std::uint8_t>(NodeKind::External): {
        PayloadDescriptor d;
        std::vector<NodeId> ids;
        if (!descriptor(d) || !this->params(position, params) || !inputs(position, ids))
          return false;
        return add(Node::external(std::move(d), std::move(params), std::move(ids)));
      }
      case static_cast<std::uint8_t>(NodeKind::Stage): {
        std::vector<NodeId> ids;
        StageMembers stage_members;
        if (!inputs(position, ids) || !members(stage_members)) return false;
        return add(Node::stage(std::span<const NodeId>(ids), std::move(stage_members)));
      }
      case static_cast<std::uint8_t>(NodeKind::Exchange): {
        InputList ids;
        if (!this->params(position, params) || !inputs(position, ids)) return false;
        return add(
            Node::plain(NodeKind::Exchange, std::string(), std::move(params), std::move(ids)));
      }
      default:
        return invalid_tag("node", kind);
    }
  }

  bool add(Node&& node) {
    if (auto bad = builder_->append(std::move(node))) return out_of_range(bad->id);
    return true;
  }

  bool parse_into(StoreCore& store) {
    if (remaining() < kBlobMagic.size()) return truncated();
    if (std::string_view(reinterpret_cast<const char*>(pos_), kBlobMagic.size()) != kBlobMagic) {
      return fail(kBadMagic);
    }
    pos_ += kBlobMagic.size();
    std::uint32_t node_count = 0;
    if (!u32(node_count) || !fits(node_count, kMinNodeRecordSize)) return false;

    // No other thread can see the new store before the read returns: one lock for all its nodes.
    StoreCore::Builder builder(store);
    builder_ = &builder;
    // The count was checked against the bytes left, so this reserves no more than the blob holds.
    builder.reserve(node_count);
    // A written blob holds no two equal records, so each record is appended at its position and
    // the whole list indexed at once; a record equal to an earlier one is dealt with after that.
    // Reading never depends on ids, so every error is still found in order.
    for (std::uint64_t position = 0; position < node_count; ++position) {
      if (!record(position)) return false;
    }
    auto indexed = builder.index_appended();
    if (!indexed) return out_of_range(indexed.error().id);
    store_id_ = std::move(indexed).value();

    std::uint32_t output_count = 0;
    if (!u32(output_count) || !fits(output_count, kNodeIdSize)) return false;
    for (std::uint32_t i = 0; i < output_count; ++i) {
      const std::uint64_t reference = load_le<std::uint64_t>(pos_);
      pos_ += kNodeIdSize;
      if (reference >= node_count) return out_of_range(reference);
      const NodeId id = store_id_.empty() ? reference : store_id_[reference];
      if (auto bad = builder.mark_output(id)) return out_of_range(bad->id);
    }
    // Bytes after the outputs are ignored.
    return true;
  }

  const unsigned char* pos_;
  const unsigned char* const end_;
  StoreCore::Builder* builder_ = nullptr;            // while the records are read
  std::unique_ptr<RepeatedParams> repeated_params_;  // made for the first list with entries
  // The store id of the record at each blob position, once the two part ways; empty before.
  std::vector<NodeId> store_id_;
  // Where the members of the Stage being read lie in the bytes; kept for the next Stage.
  struct MemberSpan {
    std::string_view key;
    const unsigned char* tokens = nullptr;
    std::uint32_t token_count = 0;
  };
  std::vector<MemberSpan> member_spans_;
  std::string error_;
};

}  // namespace

Expected<std::unique_ptr<StoreCore>, BlobDecodeError> read_blob(std::string_view bytes) {
  return BlobParser(bytes).parse();
}

}  // namespace zembric
