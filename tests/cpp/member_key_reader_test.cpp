#include "store/member_key_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "node_factories.h"
#include "store/canonical_key.h"
#include "store/node.h"

namespace zembric {
namespace {

ParamMap params(std::vector<ParamEntry> entries) {
  return ParamMap::from_unsorted(std::move(entries));
}

TEST(UnescapeKeyText, InvertsEscaping) {
  for (const std::string text : {"", "plain", "a%;=|", "%7C", "%257C", "%%3D==;;||", "é|x"}) {
    EXPECT_EQ(unescape_key_text(escape_key_text(text)), text) << text;
  }
}

TEST(UnescapeKeyText, LeavesUnknownEscapesAlone) {
  EXPECT_EQ(unescape_key_text("%41%"), "%41%");
  EXPECT_EQ(unescape_key_text("%7c"), "%7c");  // codes are upper case only
}

TEST(UnescapeKeyText, DecodesAnEscapedPercentOnce) {
  // "%25" is decoded last, so the "%" it yields never starts another code.
  EXPECT_EQ(unescape_key_text("%253D"), "%3D");
  EXPECT_EQ(unescape_key_text("%257C%253B"), "%7C%3B");
  EXPECT_EQ(unescape_key_text("%%3D"), "%=");
}

TEST(ReadMemberKey, ReadsCanonicalKeysBack) {
  const Node nodes[] = {
      Node::op("neg", {}, {}),
      Node::op("mul",
               params({{"side", ParamValue::of_str("l")}, {"scalar", ParamValue::of_float(1.0)}}),
               {}),
      reduction_node("sum", params({{"axis", ParamValue::of_int(-1)}}), {}),
      Node::op("x|y=z;%",
               params({{"k|=;%", ParamValue::of_str("v|=;%7C")},
                       {"b", ParamValue::of_bool(false)},
                       {"m", ParamValue::of_int(std::numeric_limits<std::int64_t>::min())},
                       {"n", ParamValue::of_float(-0.0)}}),
               {}),
      Node::op("", {}, {}),
  };
  for (const Node& node : nodes) {
    const std::string key = canonical_key(node);
    const auto parts = read_member_key(key);
    ASSERT_TRUE(parts.has_value()) << key;
    EXPECT_EQ(parts->kind, node.kind() == NodeKind::Op ? "op" : "red");
    EXPECT_EQ(parts->name, node.name());
    EXPECT_EQ(parts->params, node.params()) << key;
  }
}

TEST(ReadMemberKey, RoundTripsRandomParams) {
  std::mt19937_64 random(7);
  const std::string alphabet = "ab|=;%7CD3B5";
  auto text = [&] {
    std::string out;
    for (std::size_t n = random() % 6; n > 0; --n)
      out += alphabet[random() % alphabet.size()];
    return out;
  };
  for (int round = 0; round < 500; ++round) {
    std::vector<ParamEntry> entries;
    for (std::size_t n = random() % 5; n > 0; --n) {
      switch (random() % 4) {
        case 0:
          entries.emplace_back(text(), ParamValue::of_int(static_cast<std::int64_t>(random())));
          break;
        case 1:
          entries.emplace_back(text(), ParamValue::of_float(std::bit_cast<double>(random())));
          break;
        case 2:
          entries.emplace_back(text(), ParamValue::of_bool(random() % 2 == 0));
          break;
        default:
          entries.emplace_back(text(), ParamValue::of_str(text()));
      }
    }
    const Node node = Node::op(text(), params(std::move(entries)), {});
    const std::string key = canonical_key(node);
    const auto parts = read_member_key(key);
    ASSERT_TRUE(parts.has_value()) << key;
    EXPECT_EQ(parts->name, node.name());
    // Keys repeated in the map keep their order through the stable sort.
    EXPECT_EQ(parts->params, node.params()) << key;
  }
}

TEST(ReadMemberKey, ReadsValueCodes) {
  struct Case {
    const char* key;
    ParamValue value;
  };
  const Case cases[] = {
      {"op|a|k=i+5", ParamValue::of_int(5)},
      {"op|a|k=i-0", ParamValue::of_int(0)},
      {"op|a|k=i9223372036854775807", ParamValue::of_int(std::numeric_limits<std::int64_t>::max())},
      {"op|a|k=i-9223372036854775808",
       ParamValue::of_int(std::numeric_limits<std::int64_t>::min())},
      {"op|a|k=f3ff0000000000000", ParamValue::of_float(1.0)},
      {"op|a|k=f0000000000000000", ParamValue::of_float(0.0)},
      {"op|a|k=f8000000000000000", ParamValue::of_float(-0.0)},
      {"op|a|k=f+3FF0000000000000", ParamValue::of_float(1.0)},
      {"op|a|k=f1", ParamValue::of_float(std::bit_cast<double>(std::uint64_t{1}))},
      {"op|a|k=f00000000000000000001",
       ParamValue::of_float(std::bit_cast<double>(std::uint64_t{1}))},
      {"op|a|k=btrue", ParamValue::of_bool(true)},
      {"op|a|k=bfalse", ParamValue::of_bool(false)},
      {"op|a|k=s", ParamValue::of_str("")},
      {"op|a|k=sa=b", ParamValue::of_str("a=b")},
  };
  for (const Case& c : cases) {
    const auto parts = read_member_key(c.key);
    ASSERT_TRUE(parts.has_value()) << c.key;
    ASSERT_EQ(parts->params.size(), 1u) << c.key;
    EXPECT_EQ(parts->params.entries()[0].second, c.value) << c.key;
    if (c.value.type() == ParamType::Float) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(parts->params.entries()[0].second.as_float()),
                std::bit_cast<std::uint64_t>(c.value.as_float()))
          << c.key;
    }
  }
}

TEST(ReadMemberKey, SortsEntriesByKeyBytesStably) {
  const auto parts = read_member_key("red|r|z=i1;a=i2;\xc3\xa9=i3;a=i4;B=i5");
  ASSERT_TRUE(parts.has_value());
  std::vector<std::string> keys;
  std::vector<std::int64_t> values;
  for (const auto& [key, value] : parts->params) {
    keys.push_back(key);
    values.push_back(value.as_int());
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "a", "z", "\xc3\xa9"}));
  EXPECT_EQ(values, (std::vector<std::int64_t>{5, 2, 4, 1, 3}));
}

TEST(ReadMemberKey, EmptyOrMissingParamsGiveAnEmptyMap) {
  for (const char* key : {"op|a", "op|a|", "red|", "op||"}) {
    const auto parts = read_member_key(key);
    ASSERT_TRUE(parts.has_value()) << key;
    EXPECT_TRUE(parts->params.empty()) << key;
  }
}

TEST(ReadMemberKey, RefusesUnreadableKeys) {
  const char* const keys[] = {
      "",
      "op",
      "xx|a|",
      "src|a",
      "ext|a|b",
      "OP|a",
      "op|a|k",
      "op|a|k=q1",
      "op|a|k=i",
      "op|a|k=i1;",
      "op|a|;k=i1",
      "op|a|k=",
      "op|a|k=i+",
      "op|a|k=i--1",
      "op|a|k=i+-1",
      "op|a|k=i1.5",
      "op|a|k=i 1",
      "op|a|k=i9223372036854775808",
      "op|a|k=i-9223372036854775809",
      "op|a|k=f",
      "op|a|k=f+",
      "op|a|k=f-1",
      "op|a|k=fx",
      "op|a|k=f10000000000000000",
      "op|a|k=f0x1",
      "op|a|k=bTrue",
      "op|a|k=b",
      "op|a|k=btrue1",
  };
  for (const char* key : keys)
    EXPECT_FALSE(read_member_key(key).has_value()) << key;
}

TEST(ReadMemberKey, KeepsBarsAfterTheSecondInTheParams) {
  // Everything after the second bar is the params text; a raw bar there is part of a value.
  const auto parts = read_member_key("op|a|k=sx|y");
  ASSERT_TRUE(parts.has_value());
  EXPECT_EQ(parts->params.entries()[0].second.as_str(), "x|y");
}

}  // namespace
}  // namespace zembric
