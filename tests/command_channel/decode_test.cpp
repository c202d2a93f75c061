// Decoding rules of InputCommand: types are never converted, integer fields keep their ranges,
// and a document that breaks any rule gives no command at all.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "wire/input_command.h"

namespace halvorine {
namespace {

using namespace std::string_literals;

struct DecodeCase {
  const char* name;
  std::string document;
  bool valid;
};

class DecodeValidity : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeValidity, AcceptsOrRejectsWholeDocument) {
  const DecodeCase& c = GetParam();
  EXPECT_EQ(decodeInputCommand(c.document).has_value(), c.valid) << c.document;
}

const DecodeCase decodeCases[] = {
    {"TypeOnly", R"({"type":"probe"})", true},
    {"WhitespaceAround", " \t\r\n{\"type\":\"probe\"}\n ", true},
    {"TypeMissing", R"({"x":1})", false},
    {"TypeNull", R"({"type":null})", false},
    {"TypeNumber", R"({"type":1})", false},
    {"TypeArray", R"({"type":["probe"]})", false},
    {"TypeObject", R"({"type":{}})", false},
    {"TypeKeyIsCaseSensitive", R"({"Type":"probe"})", false},
    {"StringForNumber", R"({"type":"t","x":"10"})", false},
    {"IntegerForDouble", R"({"type":"t","x":10})", true},
    {"FractionForDouble", R"({"type":"t","x":10.25})", true},
    {"ExponentForDouble", R"({"type":"t","dy":-1e-3})", true},
    {"BooleanForDouble", R"({"type":"t","y":true})", false},
    {"NumberOverflowingDouble", R"({"type":"t","x":1e400})", true},
    {"DisplayIdMax", R"({"type":"t","displayId":4294967295})", true},
    {"DisplayIdZero", R"({"type":"t","displayId":0})", true},
    {"DisplayIdNegative", R"({"type":"t","displayId":-1})", false},
    {"DisplayIdTooLarge", R"({"type":"t","displayId":4294967296})", false},
    {"DisplayIdBeyondUnsigned64", R"({"type":"t","displayId":18446744073709551616})", false},
    {"DisplayIdFraction", R"({"type":"t","displayId":1.5})", false},
    {"DisplayIdString", R"({"type":"t","displayId":"1"})", false},
    {"MaxWidthFraction", R"({"type":"t","maxWidth":1.5})", false},
    {"MaxWidthInteger", R"({"type":"t","maxWidth":640})", true},
    {"MaxWidthWholeWithFraction", R"({"type":"t","maxWidth":640.0})", false},
    {"MaxWidthWholeWithExponent", R"({"type":"t","maxWidth":6.4e2})", false},
    {"DisplayIdNegativeZero", R"({"type":"t","displayId":-0})", true},
    {"MaxWidthInt64Min", R"({"type":"t","maxWidth":-9223372036854775808})", true},
    {"MaxWidthInt64Max", R"({"type":"t","jpegQuality":9223372036854775807})", true},
    {"JpegQualityAboveInt64", R"({"type":"t","jpegQuality":9223372036854775808})", false},
    {"JpegQualityBelowInt64", R"({"type":"t","jpegQuality":-9223372036854775809})", false},
    {"JpegQualityBoolean", R"({"type":"t","jpegQuality":false})", false},
    {"PromptTrue", R"({"type":"t","promptForPermission":true})", true},
    {"PromptOne", R"({"type":"t","promptForPermission":1})", false},
    {"PromptStringTrue", R"({"type":"t","promptForPermission":"true"})", false},
    {"SuppressStringFalse", R"({"type":"t","suppressUnchanged":"false"})", false},
    {"ModifiersEmpty", R"({"type":"t","modifiers":[]})", true},
    {"ModifiersStrings", R"({"type":"t","modifiers":["shift","shift","cmd"]})", true},
    {"ModifiersWithNumber", R"({"type":"t","modifiers":["shift",1]})", false},
    {"ModifiersWithNull", R"({"type":"t","modifiers":["shift",null]})", false},
    {"ModifiersNested", R"({"type":"t","modifiers":[["shift"]]})", false},
    {"ModifiersString", R"({"type":"t","modifiers":"shift"})", false},
    {"StringFieldNumber", R"({"type":"t","key":5})", false},
    {"StringFieldObject", R"({"type":"t","text":{"a":1}})", false},
    {"UnknownKeysAnyValue",
     R"({"type":"t","extra":[1,{"type":5,"x":"no"},null],"more":{"modifiers":[1]},"z":"q"})", true},
    {"TopLevelArray", R"([{"type":"probe"}])", false},
    {"BareString", R"("probe")", false},
    {"TwoObjects", R"({"type":"probe"}{"type":"probe"})", false},
    {"ObjectThenText", R"({"type":"probe"} x)", false},
    {"Empty", "", false},
    {"OnlyWhitespace", " \n", false},
    {"LineFeedOnly", "\n", false},
    {"Truncated", R"({"type":"probe")", false},
    {"NoBreakSpaceBefore", "\xC2\xA0{\"type\":\"probe\"}", false},
    {"NulAfterObject", "{\"type\":\"probe\"}\0{\"x\":\"no\"}"s, false},
    {"NulAfterObjectThenInvalidUtf8", "{\"type\":\"probe\"}\0\xF2"s, false},
    {"NulBeforeObject", "\0{\"type\":\"probe\"}"s, false},
    {"EscapedNulInString", R"({"type":"a\u0000b"})", true},
    {"ByteOrderMark", "\xEF\xBB\xBF{\"type\":\"probe\"}", false},
    {"InvalidUtf8InString", "{\"type\":\"pr\xFFobe\"}", false},
    {"OverlongUtf8InString", "{\"type\":\"\xC0\xAF\"}", false},
    {"EncodedSurrogateInString", "{\"type\":\"\xED\xA0\x80\"}", false},
    {"LoneSurrogateEscape", R"({"type":"\ud800"})", false},
    {"RawControlInString", "{\"type\":\"a\x01\"}", false},
    {"Comment", R"({"type":"probe"/* no */})", false},
    {"TrailingComma", R"({"type":"probe",})", false},
    {"TrailingCommaInArray", R"({"type":"probe","a":[1,]})", false},
    {"MissingColon", R"({"type":"probe","a" 1})", false},
    // Numbers too large for a double: ignored where no one reads them, an infinity in a
    // floating-point field, out of range in an integer field.
    {"IgnoredKeyOverflowingDouble", R"({"type":"probe","note":1e400})", true},
    {"IgnoredKeyOverflowingNegative", R"({"type":"probe","note":-1e400})", true},
    {"IgnoredKey401DigitInteger", R"({"type":"probe","note":1)" + std::string(400, '0') + "}",
     true},
    {"IgnoredNestedOverflow", R"({"type":"probe","n":[{"x":1E+99999},-1e400],"m":{"a":[2e999]}})",
     true},
    {"DoubleField401DigitInteger", R"({"type":"t","dy":-)" + std::string(401, '9') + "}", true},
    {"DisplayIdOverflowingDouble", R"({"type":"t","displayId":1e400})", false},
    {"MaxWidth401DigitInteger", R"({"type":"t","maxWidth":)" + std::string(401, '9') + "}", false},
    {"JpegQualityOverflowingNegative", R"({"type":"t","jpegQuality":-1e400})", false},
    {"ModifiersWithOverflowingNumber", R"({"type":"t","modifiers":["shift",1e400]})", false},
    {"TypeOverflowingNumber", R"({"type":1e400})", false},
    {"TopLevelOverflowingNumber", "1e400", false},
    {"IgnoredKeyLeadingZero", R"({"type":"probe","note":01})", false},
    {"IgnoredKeyExponentWithoutDigits", R"({"type":"probe","note":1e})", false},
    {"IgnoredKeyLoneMinus", R"({"type":"probe","note":-})", false},
};

INSTANTIATE_TEST_SUITE_P(Rules, DecodeValidity, ::testing::ValuesIn(decodeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Decode, TypeOnlyLeavesEveryOtherFieldUnset) {
  auto c = decodeInputCommand(R"({"type":"probe"})");
  ASSERT_TRUE(c);
  InputCommand expected;
  expected.type = "probe";
  EXPECT_EQ(c->type, "probe");
  EXPECT_FALSE(c->x || c->y || c->dx || c->dy || c->coordinateSpace || c->displayId || c->button ||
               c->key || c->text || c->modifiers || c->promptForPermission || c->maxWidth ||
               c->jpegQuality || c->scaleMode || c->suppressUnchanged);
}

TEST(Decode, EveryFieldCarriesItsValue) {
  auto c = decodeInputCommand(
      R"({"type":"key_tap","x":10,"y":-2.5,"dx":1e2,"dy":-0.125,"coordinateSpace":"normalized",)"
      R"("displayId":4294967295,"button":"right","key":"a","text":"h\u00e9\n","modifiers":)"
      R"(["shift","shift"],"promptForPermission":false,"maxWidth":-3,"jpegQuality":88,)"
      R"("scaleMode":"nearest","suppressUnchanged":true})");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->type, "key_tap");
  EXPECT_EQ(c->x, 10.0);
  EXPECT_EQ(c->y, -2.5);
  EXPECT_EQ(c->dx, 100.0);
  EXPECT_EQ(c->dy, -0.125);
  EXPECT_EQ(c->coordinateSpace, "normalized");
  EXPECT_EQ(c->displayId, 4294967295u);
  EXPECT_EQ(c->button, "right");
  EXPECT_EQ(c->key, "a");
  EXPECT_EQ(c->text, "h\xC3\xA9\n");
  EXPECT_EQ(c->modifiers, (std::vector<std::string>{"shift", "shift"}));
  EXPECT_EQ(c->promptForPermission, false);
  EXPECT_EQ(c->maxWidth, -3);
  EXPECT_EQ(c->jpegQuality, 88);
  EXPECT_EQ(c->scaleMode, "nearest");
  EXPECT_EQ(c->suppressUnchanged, true);
}

TEST(Decode, NullLeavesFieldUnsetAndEmptyModifiersAreSet) {
  auto c = decodeInputCommand(
      R"({"type":"t","x":null,"modifiers":[],"promptForPermission":null,"maxWidth":null})");
  ASSERT_TRUE(c);
  EXPECT_FALSE(c->x);
  EXPECT_FALSE(c->promptForPermission);
  EXPECT_FALSE(c->maxWidth);
  ASSERT_TRUE(c->modifiers);
  EXPECT_TRUE(c->modifiers->empty());
}

TEST(Decode, IntegerFieldsKeepExactValues) {
  auto c = decodeInputCommand(
      R"({"type":"t","maxWidth":-9223372036854775808,"jpegQuality":9223372036854775807})");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->maxWidth, INT64_MIN);
  EXPECT_EQ(c->jpegQuality, INT64_MAX);
}

TEST(Decode, LaterDuplicateKeyCounts) {
  auto c = decodeInputCommand(R"({"type":"a","x":1,"x":null,"type":"b","modifiers":["a"],)"
                              R"("modifiers":["b"]})");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->type, "b");
  EXPECT_FALSE(c->x);
  EXPECT_EQ(c->modifiers, (std::vector<std::string>{"b"}));
}

TEST(Decode, NumbersBeyondDoubleRangeBecomeInfinitiesOfTheirSign) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const std::string digits(401, '7');
  auto c = decodeInputCommand(R"({"type":"t","x":1e400,"y":-1E+400,"dx":)" + digits + R"(,"dy":-)" +
                              digits + "}");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->x, inf);
  EXPECT_EQ(c->y, -inf);
  EXPECT_EQ(c->dx, inf);
  EXPECT_EQ(c->dy, -inf);
  // Too small to tell from zero is zero, as before.
  c = decodeInputCommand(R"({"type":"t","x":1e-400})");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->x, 0.0);
}

TEST(Decode, DeeplyNestedUnknownValueNeedsNoTree) {
  const std::string deep(200000, '[');
  EXPECT_FALSE(decodeInputCommand(R"({"type":"t","junk":)" + deep));
  const std::string closed =
      R"({"type":"t","junk":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_TRUE(decodeInputCommand(closed));
}

}  // namespace
}  // namespace halvorine
