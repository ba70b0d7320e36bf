#include "loop/line_buffer.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace vek {
namespace {

std::vector<std::string> drain(LineBuffer& buffer) {
  std::vector<std::string> lines;
  while (auto line = buffer.nextLine()) lines.emplace_back(*line);
  return lines;
}

using Lines = std::vector<std::string>;

TEST(LineBufferTest, JoinsALineSplitAcrossAppends) {
  LineBuffer buffer;
  buffer.append(R"({"id":1,)");
  EXPECT_EQ(drain(buffer), Lines{});
  buffer.append(R"("cmd":"x"})");
  EXPECT_EQ(drain(buffer), Lines{});
  buffer.append("\n{\"id\"");
  EXPECT_EQ(drain(buffer), Lines{R"({"id":1,"cmd":"x"})"});
  buffer.append(":2}\n");
  EXPECT_EQ(drain(buffer), Lines{R"({"id":2})"});
  EXPECT_EQ(buffer.pendingSize(), 0u);
}

TEST(LineBufferTest, CutsSeveralLinesFromOneAppendKeepingEmptyLinesAndCarriageReturns) {
  LineBuffer buffer;
  buffer.append("a\n\nb\r\n\r\nc");
  EXPECT_EQ(drain(buffer), (Lines{"a", "", "b\r", "\r"}));
  EXPECT_EQ(buffer.pendingSize(), 1u);
}

TEST(LineBufferTest, CollectsLinesLongerThan64KiBFromPiecesAndGivesTheirMemoryBack) {
  const std::string longLine(5000000, 'x');
  LineBuffer buffer;
  for (size_t at = 0; at < longLine.size(); at += 65536) {
    buffer.append(std::string_view(longLine).substr(at, 65536));
    EXPECT_EQ(drain(buffer), Lines{});
  }
  buffer.append("\nnext\n");
  EXPECT_EQ(drain(buffer), (Lines{longLine, "next"}));
  buffer.append("small\n");
  EXPECT_EQ(drain(buffer), Lines{"small"});
  // One huge request does not pin its memory for the rest of the run.
  EXPECT_LT(buffer.capacity(), size_t(64) << 10);
}

}  // namespace
}  // namespace vek
