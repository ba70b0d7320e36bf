#include "protocol/json_writer.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

namespace vek {
namespace {

std::string written(std::string_view text) {
  JsonWriter w;
  w.value(text);
  return w.take();
}

TEST(JsonWriterTest, EscapesQuoteBackslashSolidusAndControlCharacters) {
  EXPECT_EQ(written("a\"b\\c/d"), R"("a\"b\\c\/d")");
  EXPECT_EQ(written("\n\r\t\b\f"), R"("\n\r\t\b\f")");
  EXPECT_EQ(written(std::string_view("\x00\x01\x1f\x7f", 4)), "\"\\u0000\\u0001\\u001f\x7f\"");
}

TEST(JsonWriterTest, WritesValidUtf8AsItIs) {
  EXPECT_EQ(written("Fotos \xc3\xa9t\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x93\xb7"),
            "\"Fotos \xc3\xa9t\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x93\xb7\"");
}

TEST(JsonWriterTest, ReplacesInvalidUtf8ByReplacementCharacters) {
  EXPECT_EQ(written("a\xff" "b"), "\"a\xef\xbf\xbd" "b\"");
  EXPECT_EQ(written("\xc3/\n"), "\"\xef\xbf\xbd\\/\\n\"");
  EXPECT_EQ(written("\xed\xa0\x80"), "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"");
}

TEST(JsonWriterTest, WritesIntegersDigitForDigit) {
  JsonWriter w;
  w.beginArray();
  w.value(uint64_t(0));
  w.value(std::numeric_limits<uint64_t>::max());
  w.value(std::numeric_limits<int64_t>::min());
  w.endArray();
  EXPECT_EQ(w.take(), "[0,18446744073709551615,-9223372036854775808]");
}

TEST(JsonWriterTest, DoublesReadBackTheSame) {
  for (double number : {0.1, 1e300, 5e-324, 4.002, -2.5, 0.0, 1.0 / 3.0, 1e21}) {
    JsonWriter w;
    w.value(number);
    const std::string text = w.take();
    char* end = nullptr;
    EXPECT_EQ(std::strtod(text.c_str(), &end), number) << text;
    EXPECT_EQ(end, text.c_str() + text.size()) << text;
  }
}

TEST(JsonWriterTest, RefusesNonFiniteDoubles) {
  for (double number : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity()}) {
    JsonWriter w;
    EXPECT_THROW(w.value(number), JsonEncodingError);
  }
}

}  // namespace
}  // namespace vek
