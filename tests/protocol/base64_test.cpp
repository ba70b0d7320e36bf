#include "protocol/base64.hpp"

#include <gtest/gtest.h>

namespace vek {
namespace {

TEST(Base64Test, EncodesTheStandardVectorsAndEveryByte) {
  // RFC 4648, section 10.
  EXPECT_EQ(base64Encode(""), "");
  EXPECT_EQ(base64Encode("f"), "Zg==");
  EXPECT_EQ(base64Encode("fo"), "Zm8=");
  EXPECT_EQ(base64Encode("foo"), "Zm9v");
  EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(base64Encode(std::string("\xFF\xFE\xFD\x00\x80", 5)), "//79AIA=");
}

}  // namespace
}  // namespace vek
