#include "store/dot_renderer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "node_factories.h"
#include "store/param_display.h"

namespace zembric {
namespace {

ParamMap params(std::vector<ParamEntry> entries) {
  return ParamMap::from_unsorted(std::move(entries));
}

std::string dot(const std::vector<Node>& nodes, const std::vector<NodeId>& outputs = {}) {
  return render_dot(nodes, outputs);
}

// The vertex line of a lone node.
std::string vertex_line(const Node& node) {
  const std::string text = dot({node});
  const std::size_t begin = text.find('\n') + 1;
  return text.substr(begin, text.find("];\n", begin) + 3 - begin);
}

std::string float_display(double value) {
  std::string out;
  append_float_display(out, value);
  return out;
}

std::string str_display(std::string_view text) {
  std::string out;
  append_str_display(out, text);
  return out;
}

TEST(DotRenderer, Example) {
  const std::vector<Node> nodes = {source_node("x", {}),
                                   Node::op("scale",
                                            params({{"mode", ParamValue::of_str("fast")},
                                                    {"factor", ParamValue::of_float(2.0)}}),
                                            {0})};
  EXPECT_EQ(dot(nodes, {1}),
            "digraph zembric {\n"
            "  n0 [label=\"Source x\"];\n"
            "  n1 [label=\"Op scale {factor=2, mode=\\\"fast\\\"}\", shape=doublecircle];\n"
            "  n0 -> n1;\n"
            "}\n");
}

TEST(DotRenderer, EmptyStore) {
  EXPECT_EQ(dot({}), "digraph zembric {\n}\n");
}

TEST(DotRenderer, EdgesFollowAllVerticesInInputOrderWithRepeats) {
  const std::vector<Node> nodes = {source_node("a", {}), source_node("b", {}),
                                   Node::op("add", {}, {1, 0}), Node::op("mul", {}, {2, 2})};
  EXPECT_EQ(dot(nodes, {3, 0, 3}),
            "digraph zembric {\n"
            "  n0 [label=\"Source a\", shape=doublecircle];\n"
            "  n1 [label=\"Source b\"];\n"
            "  n2 [label=\"Op add\"];\n"
            "  n3 [label=\"Op mul\", shape=doublecircle];\n"
            "  n1 -> n2;\n"
            "  n0 -> n2;\n"
            "  n2 -> n3;\n"
            "  n2 -> n3;\n"
            "}\n");
}

TEST(DotRenderer, EveryNodeMarkedAmongManyMarks) {
  std::vector<Node> nodes;
  std::vector<NodeId> outputs;
  for (NodeId i = 0; i < 1000; ++i) {
    std::string name = "s";
    name += std::to_string(i);
    nodes.push_back(source_node(std::move(name), {}));
    outputs.push_back(999 - i);
  }
  const std::string text = dot(nodes, outputs);
  std::size_t marks = 0;
  for (std::size_t at = 0; (at = text.find("shape=doublecircle", at)) != std::string::npos; ++at) {
    ++marks;
  }
  EXPECT_EQ(marks, 1000u);
}

struct LabelCase {
  const char* name;
  Node node;
  std::string line;
};

class DotLabels : public ::testing::TestWithParam<LabelCase> {};

TEST_P(DotLabels, VertexLine) {
  EXPECT_EQ(vertex_line(GetParam().node), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Dot, DotLabels,
    ::testing::Values(
        LabelCase{"EmptySourceName", source_node("", {}), "  n0 [label=\"Source \"];\n"},
        LabelCase{"Reduction",
                  reduction_node("sum", params({{"axis", ParamValue::of_int(-1)}}), {}),
                  "  n0 [label=\"Reduction sum {axis=-1}\"];\n"},
        LabelCase{"ExternalHidesSchemaAndPreprocessing",
                  Node::external({"onnx", "ab12", "torch", "2.1", "io", "pre"},
                                 params({{"t", ParamValue::of_bool(false)},
                                         {"i", ParamValue::of_int(-9223372036854775807 - 1)}}),
                                 {}),
                  "  n0 [label=\"External onnx:ab12 [torch 2.1] {i=-9223372036854775808, "
                  "t=false}\"];\n"},
        LabelCase{
            "Stage",
            Node::stage(std::vector<NodeId>{}, {StageMember{"op|a|", {}}, StageMember{"op|b|", {}},
                                                StageMember{"op|c|", {}}}),
            "  n0 [label=\"Stage[3 members]\"];\n"},
        LabelCase{"ExchangeWithoutParams", exchange_node({}, {}), "  n0 [label=\"Exchange\"];\n"},
        LabelCase{"ExchangeWithScheme",
                  exchange_node(params({{"scheme", ParamValue::of_str("hash")}}), {}),
                  "  n0 [label=\"Exchange {scheme=\\\"hash\\\"}\"];\n"},
        LabelCase{"BackslashInNameDoubled", source_node("a\\b", {}),
                  "  n0 [label=\"Source a\\\\b\"];\n"},
        LabelCase{"BackslashInStrValueQuadrupled",
                  source_node("x", params({{"p", ParamValue::of_str("a\\b")}})),
                  "  n0 [label=\"Source x {p=\\\"a\\\\\\\\b\\\"}\"];\n"},
        LabelCase{"QuoteAndLineFeedInName", Node::op("say \"hi\"\nthere", {}, {}),
                  "  n0 [label=\"Op say \\\"hi\\\"\nthere\"];\n"},
        LabelCase{"KeysAndNamesAreNotKeyEscaped",
                  source_node("a|b%", params({{"k=;|", ParamValue::of_float(0.5)}})),
                  "  n0 [label=\"Source a|b% {k=;|=0.5}\"];\n"}),
    [](const ::testing::TestParamInfo<LabelCase>& info) { return info.param.name; });

struct FloatCase {
  double value;
  std::string text;
};

class FloatDisplay : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatDisplay, ShortestPlainDecimal) {
  EXPECT_EQ(float_display(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Dot, FloatDisplay,
    ::testing::Values(FloatCase{1.0, "1"}, FloatCase{2.5, "2.5"}, FloatCase{0.0, "0"},
                      FloatCase{-0.0, "-0"}, FloatCase{1e21, "1000000000000000000000"},
                      FloatCase{1e-7, "0.0000001"}, FloatCase{-1.5e-3, "-0.0015"},
                      FloatCase{0.1, "0.1"}, FloatCase{1.0 / 3, "0.3333333333333333"},
                      FloatCase{123456.789, "123456.789"}, FloatCase{1e16, "10000000000000000"},
                      FloatCase{9007199254740993.0, "9007199254740992"},
                      FloatCase{1.2345678901234568e20, "123456789012345680000"},
                      FloatCase{5e-324, "0." + std::string(323, '0') + "5"},
                      FloatCase{std::numeric_limits<double>::infinity(), "inf"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "-inf"},
                      FloatCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      FloatCase{std::bit_cast<double>(0xfff0000000000001ULL), "NaN"}));

TEST(FloatDisplay, LargestDoubleIsAllDigits) {
  const std::string text = float_display(DBL_MAX);
  EXPECT_EQ(text.size(), 309u);
  EXPECT_EQ(text.substr(0, 17), "17976931348623157");
  EXPECT_EQ(text.find_first_not_of('0', 17), std::string::npos);
}

// Random bit patterns: the display reads back as the same double and never uses an exponent.
TEST(FloatDisplay, ReadsBackExactly) {
  std::mt19937_64 random(20240601);
  for (int i = 0; i < 20000; ++i) {
    const double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    const std::string text = float_display(value);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)),
              std::bit_cast<std::uint64_t>(value))
        << text;
  }
}

struct StrCase {
  const char* name;
  std::string text;
  std::string display;
};

class StrDisplay : public ::testing::TestWithParam<StrCase> {};

TEST_P(StrDisplay, EscapesNonPrintables) {
  EXPECT_EQ(str_display(GetParam().text), GetParam().display);
}

INSTANTIATE_TEST_SUITE_P(
    Dot, StrDisplay,
    ::testing::Values(
        StrCase{"Empty", "", "\"\""},
        StrCase{"NamedEscapes", std::string("\\\"\t\r\n\0", 6), R"("\\\"\t\r\n\0")"},
        StrCase{"OtherC0AndDel", "\x01\x1b\x7f", R"("\u{1}\u{1b}\u{7f}")"},
        StrCase{"PrintableAscii", " ~{}=,", "\" ~{}=,\""},
        StrCase{"C1Control", "\xC2\x85", R"("\u{85}")"},
        StrCase{"NoBreakSpace", "\xC2\xA0", R"("\u{a0}")"},
        StrCase{"SoftHyphenAndZeroWidthSpace", "\xC2\xAD\xE2\x80\x8B", R"("\u{ad}\u{200b}")"},
        StrCase{"LineSeparatorAndBom", "\xE2\x80\xA8\xEF\xBB\xBF", R"("\u{2028}\u{feff}")"},
        StrCase{"PrivateUseAndNoncharacters", "\xEE\x80\x80\xEF\xBF\xBE\xF4\x8F\xBF\xBF",
                R"("\u{e000}\u{fffe}\u{10ffff}")"},
        StrCase{"TagCharacter", "\xF3\xA0\x80\x81", R"("\u{e0001}")"},
        StrCase{"LettersSymbolsAndEmoji", "\xC3\xA9\xE4\xB8\xAD\xE2\x82\xAC\xF0\x9F\x98\x80",
                "\"\xC3\xA9\xE4\xB8\xAD\xE2\x82\xAC\xF0\x9F\x98\x80\""},
        StrCase{"IllFormedSubpartsBecomeReplacementCharacters", "a\xE2\x82z\xFF",
                "\"a\xEF\xBF\xBDz\xEF\xBF\xBD\""}),
    [](const ::testing::TestParamInfo<StrCase>& info) { return info.param.name; });

}  // namespace
}  // namespace zembric
