#include "protocol/request.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace vek {
namespace {

std::optional<Request> decode(std::string_view line) {
  RequestDecoder decoder;
  return decoder.decode(line);
}

Request request(uint64_t id, std::string cmd) {
  Request r;
  r.id = id;
  r.cmd = std::move(cmd);
  return r;
}

TEST(RequestDecodeTest, TakesKeysInAnyOrderAndIgnoresUnknownOnes) {
  Request expected = request(9, "delete_assets");
  expected.kind = "video";
  expected.includeIcloudOnly = true;
  expected.localIdentifier = "A/L0/001";
  expected.localIdentifiers = std::vector<std::string>{"B", "C"};
  expected.targetSize = 300;
  EXPECT_EQ(decode(R"({"extra":{"x":[1,null,"y"]},"targetSize":300,"localIdentifiers":["B","C"],)"
                   R"("localIdentifier":"A/L0/001","other":1.5e9,"includeIcloudOnly":true,"kind":"video",)"
                   R"("cmd":"delete_assets","more":null,"id":9})"),
            expected);
}

TEST(RequestDecodeTest, IdMustBeAnUnsigned64BitInteger) {
  Request largest = request(std::numeric_limits<uint64_t>::max(), "x");
  EXPECT_EQ(decode(R"({"id":18446744073709551615,"cmd":"x"})"), largest);
  for (const char* id : {R"("1")", "-1", "18446744073709551616", "7.0", "7e0", "null", "true"}) {
    EXPECT_EQ(decode(std::string(R"({"cmd":"x","id":)") + id + "}"), std::nullopt) << id;
  }
  EXPECT_EQ(decode(R"({"cmd":"x"})"), std::nullopt);
}

TEST(RequestDecodeTest, CommandMustBeAString) {
  for (const char* line : {R"({"id":1})", R"({"id":1,"cmd":null})", R"({"id":1,"cmd":5})", R"({"id":1,"cmd":["x"]})"}) {
    EXPECT_EQ(decode(line), std::nullopt) << line;
  }
}

TEST(RequestDecodeTest, NullOptionalFieldsCountAsAbsent) {
  EXPECT_EQ(decode(R"({"id":1,"cmd":"x","kind":null,"localIdentifier":null,"includeIcloudOnly":null,)"
                   R"("localIdentifiers":null,"targetSize":null})"),
            request(1, "x"));
}

TEST(RequestDecodeTest, OptionalFieldsOfTheWrongTypeFailTheLine) {
  for (const char* field :
       {R"("kind":1)", R"("localIdentifier":2)", R"("includeIcloudOnly":1)", R"("includeIcloudOnly":"true")",
        R"("localIdentifiers":"A")", R"("localIdentifiers":["A",null])", R"("localIdentifiers":[1])",
        R"("targetSize":1.5)", R"("targetSize":9223372036854775808)", R"("targetSize":"5")"}) {
    EXPECT_EQ(decode(std::string(R"({"id":1,"cmd":"x",)") + field + "}"), std::nullopt) << field;
  }
}

TEST(RequestDecodeTest, TargetSizeTakesAnySigned64BitInteger) {
  for (int64_t size : {int64_t(0), int64_t(-5), std::numeric_limits<int64_t>::min()}) {
    Request expected = request(1, "x");
    expected.targetSize = size;
    EXPECT_EQ(decode(R"({"id":1,"cmd":"x","targetSize":)" + std::to_string(size) + "}"), expected) << size;
  }
}

TEST(RequestDecodeTest, RepeatedKeyTakesItsLastValue) {
  Request expected = request(2, "b");
  expected.kind = "video";
  EXPECT_EQ(decode(R"({"id":1,"cmd":"a","kind":"image","id":2,"cmd":"b","kind":"video"})"), expected);
  EXPECT_EQ(decode(R"({"id":1,"cmd":"a","kind":"image","kind":null})"), request(1, "a"));
}

TEST(RequestDecodeTest, KeysAreCaseSensitive) {
  EXPECT_EQ(decode(R"({"ID":1,"cmd":"x"})"), std::nullopt);
  EXPECT_EQ(decode(R"({"id":1,"cmd":"x","Kind":"video"})"), request(1, "x"));
}

TEST(RequestDecodeTest, AllowsSurroundingWhiteSpaceOnly) {
  EXPECT_EQ(decode(" \t{\"id\":1,\"cmd\":\"x\"} \r"), request(1, "x"));
  for (const char* line : {R"({"id":1,"cmd":"x"}x)", R"({"id":1,"cmd":"x"}{})", R"({"id":1,"cmd":"x"},)"}) {
    EXPECT_EQ(decode(line), std::nullopt) << line;
  }
}

TEST(RequestDecodeTest, RefusesTextThatIsNotAJsonObject) {
  for (const char* line : {"", "[]", R"("x")", "1", "null", R"({"id":1,"cmd":"x")", "{\"id\":1,\"cmd\":\"\xff\"}",
                           "{\"id\":1,\"cmd\":\"x\",\"kind\":\"\xc3\"}"}) {
    EXPECT_EQ(decode(line), std::nullopt) << line;
  }
}

}  // namespace
}  // namespace vek
