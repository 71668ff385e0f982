#include "store/canonical_key.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "node_factories.h"

namespace zembric {
namespace {

ParamMap params(std::vector<ParamEntry> entries) {
  return ParamMap::from_unsorted(std::move(entries));
}

TEST(EscapeKeyText, EscapesTheFourStructuralCharacters) {
  EXPECT_EQ(escape_key_text("a%;=|"), "a%25%3B%3D%7C");
  EXPECT_EQ(escape_key_text("%7C"), "%257C");
  EXPECT_EQ(escape_key_text("\xc3\xa9 x"), "\xc3\xa9 x");
  EXPECT_EQ(escape_key_text(""), "");
}

struct ValueCode {
  ParamValue value;
  const char* code;
};

class ParamCodes : public ::testing::TestWithParam<ValueCode> {};

TEST_P(ParamCodes, EncodeAsTypedCodes) {
  EXPECT_EQ(encode_params(params({{"k", GetParam().value}})), std::string("k=") + GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParamCodes,
    ::testing::Values(ValueCode{ParamValue::of_int(5), "i5"},
                      ValueCode{ParamValue::of_int(-3), "i-3"},
                      ValueCode{ParamValue::of_int(std::numeric_limits<std::int64_t>::min()),
                                "i-9223372036854775808"},
                      ValueCode{ParamValue::of_float(5.0), "f4014000000000000"},
                      ValueCode{ParamValue::of_float(1.0), "f3ff0000000000000"},
                      ValueCode{ParamValue::of_float(-0.0), "f8000000000000000"},
                      ValueCode{ParamValue::of_float(std::numeric_limits<double>::infinity()),
                                "f7ff0000000000000"},
                      ValueCode{ParamValue::of_float(-std::nan("0x55")), "f7ff8000000000000"},
                      ValueCode{ParamValue::of_bool(true), "btrue"},
                      ValueCode{ParamValue::of_bool(false), "bfalse"},
                      ValueCode{ParamValue::of_str("5"), "s5"},
                      ValueCode{ParamValue::of_str("a=b|c"), "sa%3Db%7Cc"}));

TEST(EncodeParams, JoinsEntriesInKeyOrder) {
  EXPECT_EQ(encode_params(
                params({{"side", ParamValue::of_str("r")}, {"scalar", ParamValue::of_float(0.0)}})),
            "scalar=f0000000000000000;side=sr");
  EXPECT_EQ(encode_params(params({{"a;b", ParamValue::of_int(1)}})), "a%3Bb=i1");
  EXPECT_EQ(encode_params({}), "");
}

struct KeyCase {
  const char* what;
  Node node;
  const char* key;
};

class CanonicalKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(CanonicalKeys, MatchTheirText) {
  EXPECT_EQ(canonical_key(GetParam().node), GetParam().key) << GetParam().what;
}

PayloadDescriptor descriptor(std::string kind, std::optional<std::string> ref) {
  return PayloadDescriptor{std::move(kind), "h", "f", "v", "s", std::move(ref)};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CanonicalKeys,
    ::testing::Values(
        KeyCase{"op with params",
                Node::op("mul",
                         params({{"side", ParamValue::of_str("l")},
                                 {"scalar", ParamValue::of_float(1.0)}}),
                         {0}),
                "op|mul|scalar=f3ff0000000000000;side=sl"},
        KeyCase{"escaped source name", source_node("x|y", {}), "src|x%7Cy"},
        KeyCase{"bare exchange", exchange_node({}, {0}), "exch"},
        KeyCase{"exchange with params",
                exchange_node(params({{"scheme", ParamValue::of_str("hash")}}), {0}),
                "exch|scheme=shash"},
        KeyCase{"reduction", reduction_node("sum", params({{"axis", ParamValue::of_int(-1)}}), {0}),
                "red|sum|axis=i-1"},
        KeyCase{"bool param", Node::op("max", params({{"keep", ParamValue::of_bool(true)}}), {0}),
                "op|max|keep=btrue"},
        KeyCase{"no trailing separator", Node::op("neg", {}, {0}), "op|neg"},
        KeyCase{"empty name", source_node("", {}), "src|"},
        KeyCase{"external absent ref", Node::external(descriptor("k", std::nullopt), {}, {}),
                "ext|k|h|f|v|s|-"},
        KeyCase{
            "external unescaped texts",
            Node::external(descriptor("a|b", "p;q"), params({{"n", ParamValue::of_int(2)}}), {}),
            "ext|a|b|h|f|v|s|p;q|n=i2"},
        KeyCase{"stage counts members only",
                Node::stage({0}, {StageMember{"op|neg", {}}, StageMember{"op|exp", {}}}),
                "stage|2"}));

TEST(CanonicalKey, ExternalRefAbsentAndDashShareAKey) {
  EXPECT_EQ(canonical_key(Node::external(descriptor("k", std::nullopt), {}, {})),
            canonical_key(Node::external(descriptor("k", "-"), {}, {})));
}

}  // namespace
}  // namespace zembric
