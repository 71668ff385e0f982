#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "node_factories.h"
#include "store/blob_reader.h"
#include "store/blob_writer.h"
#include "store/utf8.h"
#include "support/internal_error.h"

namespace zembric {
namespace {

// Builds blob bytes field by field, independently of the writer.
class Bytes {
 public:
  Bytes& raw(std::string_view s) {
    data_ += s;
    return *this;
  }
  Bytes& u8(std::uint8_t v) {
    data_ += static_cast<char>(v);
    return *this;
  }
  Bytes& u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      u8(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
      u8(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& text(std::string_view s) { return u32(static_cast<std::uint32_t>(s.size())).raw(s); }
  Bytes& ids(std::initializer_list<std::uint64_t> list) {
    u32(static_cast<std::uint32_t>(list.size()));
    for (auto id : list)
      u64(id);
    return *this;
  }
  Bytes& header(std::uint32_t nodes) { return raw("ZIR1").u32(nodes); }
  Bytes& source(std::string_view name) { return u8(0).text(name).u32(0); }
  Bytes& op(std::string_view name, std::initializer_list<std::uint64_t> inputs) {
    return u8(1).text(name).u32(0).ids(inputs);
  }
  const std::string& str() const { return data_; }

 private:
  std::string data_;
};

ParamMap params(std::vector<ParamEntry> entries) {
  return ParamMap::from_unsorted(std::move(entries));
}

std::string write(std::span<const Node> nodes, std::span<const NodeId> outputs) {
  auto blob = write_blob(nodes, outputs);
  if (!blob) ADD_FAILURE() << blob.error().message;
  return blob ? blob.value() : std::string();
}

const std::string kBadUtf8Message = "invalid utf-8 in zembric IR blob";

std::string read_error(std::string_view bytes) {
  auto store = read_blob(bytes);
  return store ? std::string("<read>") : store.error().message;
}

StoreSnapshot read_ok(std::string_view bytes) {
  auto store = read_blob(bytes);
  if (!store) {
    ADD_FAILURE() << store.error().message;
    return {};
  }
  return store.value()->snapshot();
}

// A store that exercises every kind and field of the format.
std::vector<Node> rich_nodes() {
  std::vector<Node> nodes;
  nodes.push_back(source_node("x", {}));
  nodes.push_back(
      source_node("", params({{"shape", ParamValue::of_str("4x4 \xC3\xA9\xE2\x82\xAC")}})));
  nodes.push_back(
      Node::op("scale",
               params({{"b", ParamValue::of_bool(true)},
                       {"f", ParamValue::of_float(-0.0)},
                       {"i", ParamValue::of_int(-7)},
                       {"nan", ParamValue::of_float(std::bit_cast<double>(0xfff0000000abcdefULL))},
                       {"s", ParamValue::of_str("")}}),
               {0, 1}));
  nodes.push_back(reduction_node("sum", {}, {2, 2}));
  nodes.push_back(Node::external({"onnx", "abc123", "torch", "2.1", "schema", std::nullopt},
                                 params({{"k", ParamValue::of_int(1)}}), {3}));
  nodes.push_back(
      Node::external({"onnx", "abc123", "torch", "2.1", "schema", std::string()}, {}, {3}));
  nodes.push_back(Node::stage(
      {0, 3}, {StageMember{"op|neg|", {{MemberTokenKind::Input, 1}}},
               StageMember{"op|add|", {{MemberTokenKind::Member, 0}, {MemberTokenKind::Input, 0}}},
               StageMember{"", {}}}));
  nodes.push_back(exchange_node(params({{"scheme", ParamValue::of_str("hash")}}), {6}));
  nodes.push_back(exchange_node({}, {}));
  nodes.push_back(Node::op("add", {}, {}));
  return nodes;
}

TEST(BlobWriter, ExampleIsByteExact) {
  const std::vector<Node> nodes = {source_node("x", {}),
                                   Node::op("neg", params({{"k", ParamValue::of_int(2)}}), {0})};
  const std::vector<NodeId> outputs = {1};
  const std::string expected = Bytes()
                                   .header(2)
                                   .source("x")
                                   .u8(1)
                                   .text("neg")
                                   .u32(1)
                                   .text("k")
                                   .u8(0)
                                   .u64(2)
                                   .ids({0})
                                   .ids({1})
                                   .str();
  ASSERT_EQ(expected.size(), 68u);
  EXPECT_EQ(write(nodes, outputs), expected);
}

TEST(BlobWriter, EmptyStoreIsTwelveBytes) {
  const std::string blob = write({}, {});
  EXPECT_EQ(blob, Bytes().header(0).u32(0).str());
  const StoreSnapshot back = read_ok(blob);
  EXPECT_TRUE(back.nodes.empty());
  EXPECT_TRUE(back.marks.empty());
}

TEST(BlobWriter, OutputsAreWrittenAsGivenAndCollapseOnReading) {
  const std::vector<Node> nodes = {source_node("a", {}), source_node("b", {}),
                                   source_node("c", {})};
  const std::vector<NodeId> outputs = {2, 0, 2};
  const std::string blob = write(nodes, outputs);
  EXPECT_EQ(blob.substr(blob.size() - 28), Bytes().u32(3).u64(2).u64(0).u64(2).str());
  EXPECT_EQ(read_ok(blob).marks, (std::vector<NodeId>{2, 0}));
  // An output naming no node would make an unreadable blob.
  const std::vector<NodeId> beyond = {3};
  EXPECT_THROW((void)write_blob(nodes, beyond), InternalError);
}

TEST(BlobWriter, TokenIndexBeyondThirtyTwoBitsIsRefused) {
  auto stage_with_index = [](std::uint64_t index) {
    return std::vector<Node>{
        source_node("x", {}),
        Node::stage({0}, {StageMember{"op|neg|", {}},
                          StageMember{"op|exp|", {{MemberTokenKind::Input, index}}}})};
  };
  EXPECT_TRUE(write_blob(stage_with_index(0xFFFFFFFFULL), {}).has_value());
  auto refused = write_blob(stage_with_index(0x100000000ULL), {});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message,
            "cannot serialize node 1: stage member 1 has a token index 4294967296, over the IR "
            "blob format's limit of 4294967295");
}

TEST(BlobWriter, TwoPassesWriteExactlyTheBlob) {
  const std::vector<Node> nodes = {
      source_node("x", {}),
      Node::op("add", ParamMap::from_unsorted({{"scalar", ParamValue::of_float(0.5)}}), {0, 0}),
      Node::stage({1}, {StageMember{"op|neg|", {{MemberTokenKind::Input, 0}}}})};
  const std::vector<NodeId> outputs = {2, 1};
  const std::string expected = write(nodes, outputs);

  const auto size = blob_size(nodes, outputs);
  ASSERT_TRUE(size.has_value());
  ASSERT_EQ(size.value(), expected.size());
  std::vector<unsigned char> bytes(size.value(), 0xAB);  // not zeroed: every byte must be written
  write_blob_to(nodes, outputs, bytes.data(), bytes.size());
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected);

  // A blob the format cannot hold is refused by the size pass, before anything is allocated.
  const std::vector<Node> too_wide = {
      source_node("x", {}),
      Node::stage({0}, {StageMember{"op|exp|", {{MemberTokenKind::Input, 0x100000000ULL}}}})};
  EXPECT_FALSE(blob_size(too_wide, {}).has_value());
}

TEST(BlobRoundTrip, RichStoreKeepsIdsMarksAndBytes) {
  const std::vector<Node> nodes = rich_nodes();
  const std::vector<NodeId> outputs = {9, 4, 0};
  const std::string blob = write(nodes, outputs);
  const StoreSnapshot back = read_ok(blob);
  ASSERT_EQ(back.nodes.size(), nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i)
    EXPECT_TRUE(back.nodes[i] == nodes[i]) << i;
  EXPECT_EQ(back.marks, outputs);
  EXPECT_EQ(write(back.nodes, back.marks), blob);
  // Node equality folds NaNs together; the bytes must keep the exact payload and zero sign.
  const auto& scale = back.nodes[2].params();
  EXPECT_EQ(std::bit_cast<std::uint64_t>(scale.entries()[1].second.as_float()),
            0x8000000000000000ULL);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(scale.entries()[3].second.as_float()),
            0xfff0000000abcdefULL);
}

TEST(BlobReader, EveryProperPrefixIsTruncated) {
  const std::string blob = write(rich_nodes(), std::vector<NodeId>{1, 8});
  for (std::size_t length = 0; length < blob.size(); ++length) {
    ASSERT_EQ(read_error(blob.substr(0, length)), "truncated zembric IR blob") << length;
  }
}

TEST(BlobReader, TrailingBytesAreIgnored) {
  const std::string blob = write(rich_nodes(), std::vector<NodeId>{3});
  const StoreSnapshot back = read_ok(blob + "trailing\xFF");
  EXPECT_EQ(back.nodes.size(), rich_nodes().size());
  EXPECT_EQ(write(back.nodes, back.marks), blob);
}

TEST(BlobReader, NonCanonicalBytesReadAsTheirMeaning) {
  // Bool byte 7, preprocessing flag 2 and unsorted keys (two equal ones) in one blob.
  const std::string blob = Bytes()
                               .header(2)
                               .u8(0)
                               .text("x")
                               .u32(4)
                               .text("z")
                               .u8(2)
                               .u8(7)
                               .text("a")
                               .u8(0)
                               .u64(1)
                               .text("z")
                               .u8(3)
                               .text("second z")
                               .text("")
                               .u8(1)
                               .u64(std::bit_cast<std::uint64_t>(0.5))
                               .u8(3)
                               .text("k")
                               .text("h")
                               .text("f")
                               .text("v")
                               .text("io")
                               .u8(2)
                               .text("pre")
                               .u32(0)
                               .ids({0})
                               .u32(0)
                               .str();
  const StoreSnapshot back = read_ok(blob);
  ASSERT_EQ(back.nodes.size(), 2u);
  const auto entries = back.nodes[0].params().entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].first, "");
  EXPECT_EQ(entries[1].first, "a");
  EXPECT_EQ(entries[2].first, "z");
  EXPECT_TRUE(entries[2].second == ParamValue::of_bool(true));
  EXPECT_TRUE(entries[3].second == ParamValue::of_str("second z"));
  EXPECT_EQ(back.nodes[1].descriptor().preprocessing_ref, std::optional<std::string>("pre"));
  // Written back canonically: sorted keys, Bool byte 1, flag 1.
  const std::string again = write(back.nodes, back.marks);
  EXPECT_EQ(again.size(), blob.size());
  EXPECT_NE(again.find(Bytes().text("z").u8(2).u8(1).str()), std::string::npos);
  EXPECT_EQ(read_ok(again).nodes, back.nodes);
}

TEST(BlobReader, InputTokensAreNotCheckedAgainstTheStageInputs) {
  const std::string blob =
      Bytes().header(1).u8(4).ids({}).u32(1).text("op|neg|").u32(1).u8(0).u32(99).u32(0).str();
  const StoreSnapshot back = read_ok(blob);
  ASSERT_EQ(back.nodes.size(), 1u);
  EXPECT_EQ(back.nodes[0].members()[0].tokens[0], (MemberToken{MemberTokenKind::Input, 99}));
}

// Equal records collapse into one id; later references and outputs, which name blob positions,
// must follow them to the surviving ids.
TEST(BlobReader, DuplicateRecordsKeepReferencesPointingAtTheRightNodes) {
  const std::string blob = Bytes()
                               .header(5)
                               .source("x")
                               .source("x")
                               .source("y")
                               .op("add", {1, 2})
                               .op("add", {0, 2})
                               .ids({4, 2, 1, 3})
                               .str();
  const StoreSnapshot back = read_ok(blob);
  ASSERT_EQ(back.nodes.size(), 3u);
  EXPECT_EQ(back.nodes[0], source_node("x", {}));
  EXPECT_EQ(back.nodes[1], source_node("y", {}));
  EXPECT_EQ(back.nodes[2], Node::op("add", {}, {0, 1}));
  EXPECT_EQ(back.marks, (std::vector<NodeId>{2, 1, 0}));
  // A stage over a collapsed record, too.
  const std::string stage =
      Bytes().header(3).source("x").source("x").u8(4).ids({1, 0}).u32(0).ids({2}).str();
  const StoreSnapshot staged = read_ok(stage);
  ASSERT_EQ(staged.nodes.size(), 2u);
  EXPECT_EQ(staged.nodes[1], Node::stage({0, 0}, {}));
  EXPECT_EQ(staged.marks, (std::vector<NodeId>{1}));
}

// Records equal to earlier ones can sit anywhere: a blob holding every record twice (the second
// copy referring to itself) reads back as the first copy, with outputs of either copy on it.
TEST(BlobReader, ARepeatedRecordListCollapsesOntoTheFirstCopy) {
  const std::vector<Node> once = rich_nodes();
  std::vector<Node> twice = rich_nodes();
  for (const Node& node : once) {
    std::vector<NodeId> inputs(node.inputs().begin(), node.inputs().end());
    for (NodeId& id : inputs)
      id += once.size();
    twice.push_back(node.with_inputs(inputs));
  }
  const std::vector<NodeId> outputs = {once.size() + 7, 2, once.size() + 2, once.size()};
  const StoreSnapshot back = read_ok(write(twice, outputs));
  EXPECT_EQ(std::vector<Node>(back.nodes.begin(), back.nodes.end()), once);
  EXPECT_EQ(back.marks, (std::vector<NodeId>{7, 2, 0}));
  // A duplicate in the last record only.
  twice.erase(twice.begin() + static_cast<std::ptrdiff_t>(once.size()) + 1, twice.end());
  EXPECT_EQ(read_ok(write(twice, std::vector<NodeId>{once.size()})).marks,
            (std::vector<NodeId>{0}));
}

// Short texts are checked a word at a time when enough bytes follow them, byte by byte near the
// end of the blob; both must agree with the validator on every text.
TEST(BlobReader, ShortTextsAreValidatedLikeLongOnes) {
  std::vector<std::string> texts = {"", "\xC3\xA9", "abcdefg\xC3\xA9", "\xE2\x82\xAC!",
                                    "\xF0\x9F\x98\x80"};
  for (std::size_t length = 1; length <= 10; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      for (unsigned char byte : {0x7F, 0x80, 0xC3, 0xE2, 0xFF}) {
        std::string text(length, 'a');
        text[at] = static_cast<char>(byte);
        texts.push_back(text);
      }
    }
  }
  for (const std::string& text : texts) {
    const std::string expected = is_valid_utf8(text) ? "<read>" : kBadUtf8Message;
    // As a name, with at least eight bytes after it.
    EXPECT_EQ(read_error(Bytes().header(1).source(text).u32(0).str()), expected) << text;
    // As the last text of the blob, with only the output count after it.
    EXPECT_EQ(read_error(
                  Bytes().header(1).u8(0).text("x").u32(1).text("k").u8(3).text(text).u32(0).str()),
              expected)
        << text;
  }
}

struct DecodeCase {
  const char* name;
  std::string bytes;
  std::string message;
};

class BlobDecodeErrors : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(BlobDecodeErrors, ReportsTheFirstProblem) {
  EXPECT_EQ(read_error(GetParam().bytes), GetParam().message);
}

const std::string kTruncated = "truncated zembric IR blob";
const std::string kBadUtf8 = "invalid utf-8 in zembric IR blob";

INSTANTIATE_TEST_SUITE_P(
    Blob, BlobDecodeErrors,
    ::testing::Values(
        DecodeCase{"Empty", "", kTruncated}, DecodeCase{"ThreeMagicBytes", "ZIR", kTruncated},
        DecodeCase{"OtherMagic", "ABCD", "not a zembric IR blob (bad magic/version)"},
        DecodeCase{"OtherVersion", "ZIR2", "not a zembric IR blob (bad magic/version)"},
        DecodeCase{"MagicOnly", "ZIR1", kTruncated},
        DecodeCase{"NoOutputCount", Bytes().header(0).str(), kTruncated},
        DecodeCase{"NodeTag", Bytes().header(1).u8(6).u64(0).str(), "invalid node tag 6"},
        DecodeCase{"NodeTag255", Bytes().header(1).u8(255).u64(0).str(), "invalid node tag 255"},
        DecodeCase{"ParamTag",
                   Bytes().header(1).u8(0).text("x").u32(1).text("k").u8(4).u64(0).u32(0).str(),
                   "invalid param tag 4"},
        DecodeCase{
            "StageRefTag",
            Bytes().header(1).u8(4).ids({}).u32(1).text("m").u32(1).u8(2).u32(0).u32(0).str(),
            "invalid stage-ref tag 2"},
        DecodeCase{"InputNamesItsOwnRecord",
                   Bytes().header(2).source("x").op("neg", {1}).u32(0).str(),
                   "node reference 1 out of range"},
        DecodeCase{"InputNamesALaterRecord",
                   Bytes().header(2).op("neg", {0}).source("x").u32(0).str(),
                   "node reference 0 out of range"},
        DecodeCase{"HugeInputId", Bytes().header(1).op("neg", {0xFFFFFFFFFFFFFFFFULL}).u32(0).str(),
                   "node reference 18446744073709551615 out of range"},
        DecodeCase{"MemberTokenNamesItsOwnMember",
                   Bytes()
                       .header(1)
                       .u8(4)
                       .ids({})
                       .u32(2)
                       .text("a")
                       .u32(0)
                       .text("b")
                       .u32(1)
                       .u8(1)
                       .u32(1)
                       .u32(0)
                       .str(),
                   "node reference 1 out of range"},
        DecodeCase{"OutputEqualsNodeCount", Bytes().header(1).source("x").ids({1}).str(),
                   "node reference 1 out of range"},
        DecodeCase{"NameRunsPastTheEnd", Bytes().header(1).u8(0).u32(100).raw("abc").str(),
                   kTruncated},
        DecodeCase{"HugeNodeCount", Bytes().header(0xFFFFFFFFU).source("x").u32(0).str(),
                   kTruncated},
        DecodeCase{"HugeParamCount",
                   Bytes().header(1).u8(0).text("x").u32(0xFFFFFFFFU).u64(0).str(), kTruncated},
        DecodeCase{"HugeInputCount",
                   Bytes().header(1).u8(1).text("x").u32(0).u32(0xFFFFFFFFU).u64(0).u32(0).str(),
                   kTruncated},
        DecodeCase{"HugeMemberCount",
                   Bytes().header(1).u8(4).ids({}).u32(0x20000000U).u64(0).u32(0).str(),
                   kTruncated},
        DecodeCase{
            "HugeTokenCount",
            Bytes().header(1).u8(4).ids({}).u32(1).text("m").u32(0xFFFFFFFFU).u64(0).u32(0).str(),
            kTruncated},
        DecodeCase{"HugeOutputCount", Bytes().header(0).u32(2).u64(0).str(), kTruncated},
        DecodeCase{"Utf8InName", Bytes().header(1).source("\xC0\x80").u32(0).str(), kBadUtf8},
        DecodeCase{"Utf8InKey",
                   Bytes().header(1).u8(0).text("x").u32(1).text("\xFF").u8(0).u64(0).u32(0).str(),
                   kBadUtf8},
        DecodeCase{"Utf8InStrValue",
                   Bytes()
                       .header(1)
                       .u8(0)
                       .text("x")
                       .u32(1)
                       .text("k")
                       .u8(3)
                       .text("\xED\xA0\x80")
                       .u32(0)
                       .str(),
                   kBadUtf8},
        DecodeCase{"Utf8InDescriptor",
                   Bytes()
                       .header(1)
                       .u8(3)
                       .text("k")
                       .text("h")
                       .text("f")
                       .text("v")
                       .text("\xE2\x82")
                       .u8(0)
                       .u32(0)
                       .ids({})
                       .u32(0)
                       .str(),
                   kBadUtf8},
        DecodeCase{"Utf8InPreprocessingRef",
                   Bytes()
                       .header(1)
                       .u8(3)
                       .text("k")
                       .text("h")
                       .text("f")
                       .text("v")
                       .text("io")
                       .u8(1)
                       .text("\xF4\x90\x80\x80")
                       .u32(0)
                       .ids({})
                       .u32(0)
                       .str(),
                   kBadUtf8},
        DecodeCase{"Utf8InMemberKey",
                   Bytes().header(1).u8(4).ids({}).u32(1).text("\x80").u32(0).u32(0).str(),
                   kBadUtf8},
        // The first problem wins: a bad tag before a later truncation.
        DecodeCase{"TagBeforeTruncation", Bytes().header(2).source("x").u8(9).u64(0).str(),
                   "invalid node tag 9"}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) { return info.param.name; });

// Parameter lists that repeat (as most do in a real graph) are read as often as they occur: each
// copy must give what its own bytes say, down to the first error of a list that only begins alike.
TEST(BlobReader, RepeatedParameterListsReadAsTheirOwnBytes) {
  std::vector<Node> nodes;
  for (std::int64_t i = 0; i < 60; ++i) {
    ParamMap p =
        params({{"axis", ParamValue::of_int(i % 7)}, {"keepdims", ParamValue::of_bool(i % 2)}});
    if (i % 3 == 0) {
      std::string name = "s";
      name += std::to_string(i);
      nodes.push_back(source_node(std::move(name), std::move(p)));
    } else if (i % 3 == 1) {
      nodes.push_back(reduction_node("sum", std::move(p), {nodes.size() - 1}));
    } else {
      nodes.push_back(exchange_node(std::move(p), {nodes.size() - 1}));
    }
  }
  const std::string blob = write(nodes, std::vector<NodeId>{59, 3});
  const StoreSnapshot back = read_ok(blob);
  EXPECT_EQ(std::vector<Node>(back.nodes.begin(), back.nodes.end()), nodes);
  EXPECT_EQ(write(back.nodes, back.marks), blob);
  for (std::size_t length = blob.size() / 2; length < blob.size(); ++length) {
    ASSERT_EQ(read_error(blob.substr(0, length)), kTruncated) << length;
  }

  // Unsorted keys and a Bool byte 7, three times over, then a list that begins alike: one with
  // a bad tag, one cut short (with more than a list head but less than the list left).
  Bytes bytes;
  bytes.header(4);
  const auto list = [](Bytes& b, std::uint8_t last_type) -> Bytes& {
    return b.u32(2).text("zeta").u8(2).u8(7).text("alpha").u8(last_type).u64(5);
  };
  for (const char* name : {"a", "b", "c"})
    list(bytes.u8(0).text(name), 0);
  const std::string repeated = bytes.str();
  const StoreSnapshot three = read_ok(Bytes(bytes).u8(0).text("d").u32(0).u32(0).str());
  ASSERT_EQ(three.nodes.size(), 4u);
  for (std::size_t i = 0; i < 3; ++i) {
    const auto entries = three.nodes[i].params().entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].first, "alpha");
    EXPECT_TRUE(entries[0].second == ParamValue::of_int(5));
    EXPECT_TRUE(entries[1].second == ParamValue::of_bool(true));
  }
  EXPECT_EQ(read_error(list(Bytes(bytes).u8(0).text("d"), 9).u32(0).str()), "invalid param tag 9");
  EXPECT_EQ(read_error(list(Bytes(bytes).u8(0).text("d"), 0).str().substr(0, repeated.size() + 26)),
            kTruncated);
}

struct Utf8Case {
  const char* bytes;
  bool valid;
};

class Utf8Validation : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Validation, MatchesTheStandard) {
  const std::string_view text(GetParam().bytes);
  EXPECT_EQ(is_valid_utf8(text), GetParam().valid);
  // Past the eight-byte ASCII fast path as well.
  EXPECT_EQ(is_valid_utf8("0123456789abcdef" + std::string(text) + "xyz"), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Blob, Utf8Validation,
    ::testing::Values(Utf8Case{"", true}, Utf8Case{"plain ascii text", true},
                      Utf8Case{"\xC2\x80", true}, Utf8Case{"\xDF\xBF", true},
                      Utf8Case{"\xE0\xA0\x80", true}, Utf8Case{"\xED\x9F\xBF", true},
                      Utf8Case{"\xEE\x80\x80", true}, Utf8Case{"\xEF\xBF\xBF", true},
                      Utf8Case{"\xF0\x90\x80\x80", true}, Utf8Case{"\xF4\x8F\xBF\xBF", true},
                      Utf8Case{"\x80", false},              // lone continuation
                      Utf8Case{"\xC0\xAF", false},          // overlong '/'
                      Utf8Case{"\xC1\xBF", false},          // overlong
                      Utf8Case{"\xE0\x9F\xBF", false},      // overlong three-byte
                      Utf8Case{"\xF0\x8F\xBF\xBF", false},  // overlong four-byte
                      Utf8Case{"\xED\xA0\x80", false},      // high surrogate
                      Utf8Case{"\xED\xBF\xBF", false},      // low surrogate
                      Utf8Case{"\xF4\x90\x80\x80", false},  // above U+10FFFF
                      Utf8Case{"\xF5\x80\x80\x80", false}, Utf8Case{"\xFF", false},
                      Utf8Case{"\xC2", false},  // cut short
                      Utf8Case{"\xE2\x82", false}, Utf8Case{"\xF0\x9F\x98", false},
                      Utf8Case{"\xE2\x28\xA1", false},  // bad second byte
                      Utf8Case{"\xF0\x9F\x28\x80", false}));

// Every two- and three-byte sequence: the valid ones are exactly the encodings of U+0080..U+FFFF
// without the surrogates, and each decodes to the code point that it encodes.
TEST(Utf8Validation, ExhaustiveTwoAndThreeByteSequences) {
  std::size_t valid_two = 0;
  for (unsigned a = 0x80; a < 0x100; ++a) {
    for (unsigned b = 0; b < 0x100; ++b) {
      const char bytes[] = {static_cast<char>(a), static_cast<char>(b)};
      valid_two += is_valid_utf8(std::string_view(bytes, 2));
    }
  }
  EXPECT_EQ(valid_two, 0x800u - 0x80u);

  std::size_t valid_three = 0;
  for (unsigned a = 0xE0; a < 0xF0; ++a) {
    for (unsigned b = 0; b < 0x100; ++b) {
      for (unsigned c = 0; c < 0x100; ++c) {
        const char bytes[] = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
        const std::string_view text(bytes, 3);
        if (!is_valid_utf8(text)) continue;
        ++valid_three;
        const Utf8Step step = decode_utf8_at(text, 0);
        ASSERT_TRUE(step.valid);
        ASSERT_EQ(step.length, 3u);
        ASSERT_EQ(step.code_point, ((a & 0x0F) << 12) | ((b & 0x3F) << 6) | (c & 0x3F));
      }
    }
  }
  EXPECT_EQ(valid_three, 0x10000u - 0x800u - 0x800u);
}

}  // namespace
}  // namespace zembric
