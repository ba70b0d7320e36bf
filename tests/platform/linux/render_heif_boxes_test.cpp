#include "platform/linux/render_heif_boxes.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace vek::linux_library {
namespace {

std::string bigEndian(uint64_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

std::string box(const std::string& type, const std::string& payload) {
  return bigEndian(8 + payload.size(), 4) + type + payload;
}

std::string fullBox(const std::string& type, int version, uint32_t flags, const std::string& payload) {
  return box(type, bigEndian(version, 1) + bigEndian(flags, 3) + payload);
}

std::string irot(int quarterTurns) { return box("irot", bigEndian(quarterTurns, 1)); }
const std::string kIspe = fullBox("ispe", 0, 0, bigEndian(4032, 4) + bigEndian(3024, 4));
const std::string kImir = box("imir", bigEndian(0, 1));
const std::string kClap = box("clap", std::string(32, '\0'));

struct Association {
  uint32_t item;
  std::vector<unsigned> properties;  // 1-based indexes into ipco
};

// A HEIF file with the item properties a phone writes, and an empty mdat.
std::string heifFile(uint32_t primary, const std::vector<std::string>& properties,
                     const std::vector<Association>& associations, int ipmaVersion = 0, uint32_t ipmaFlags = 0) {
  std::string ipco;
  for (const std::string& property : properties) ipco += property;
  std::string entries = bigEndian(associations.size(), 4);
  for (const Association& association : associations) {
    entries += bigEndian(association.item, ipmaVersion < 1 ? 2 : 4);
    entries += bigEndian(association.properties.size(), 1);
    // Every property marked essential, as phones do.
    const bool wide = (ipmaFlags & 1) != 0;
    for (unsigned index : association.properties) entries += bigEndian(index | (wide ? 0x8000u : 0x80u), wide ? 2 : 1);
  }
  const std::string iprp = box("iprp", box("ipco", ipco) + fullBox("ipma", ipmaVersion, ipmaFlags, entries));
  const std::string meta = fullBox("meta", 0, 0,
                                   fullBox("hdlr", 0, 0, std::string(4, '\0') + "pict" + std::string(13, '\0')) +
                                       (primary > 0xFFFF ? fullBox("pitm", 1, 0, bigEndian(primary, 4))
                                                         : fullBox("pitm", 0, 0, bigEndian(primary, 2))) +
                                       iprp);
  return box("ftyp", "heic" + bigEndian(0, 4) + "mif1heic") + meta + box("mdat", "");
}

TEST(HeifPrimaryRotationTest, ReadsTheRotationOfThePrimaryItemOnly) {
  EXPECT_EQ(heifPrimaryRotation(heifFile(1, {kIspe, irot(3)}, {{1, {1, 2}}})), 3);
  EXPECT_EQ(heifPrimaryRotation(heifFile(1, {kIspe, irot(1)}, {{1, {2, 1}}})), 1);
  EXPECT_EQ(heifPrimaryRotation(heifFile(1, {kIspe}, {{1, {1}}})), 0);
  // The rotation belongs to item 2 (a tile or thumbnail), not the primary.
  EXPECT_EQ(heifPrimaryRotation(heifFile(1, {kIspe, irot(1)}, {{1, {1}}, {2, {1, 2}}})), 0);
  EXPECT_EQ(heifPrimaryRotation(heifFile(7, {kIspe, irot(2)}, {{2, {1}}, {7, {1, 2}}})), 2);
}

TEST(HeifPrimaryRotationTest, ReadsWideItemIdsAndPropertyIndexes) {
  EXPECT_EQ(heifPrimaryRotation(heifFile(70000, {kIspe, irot(3)}, {{70000, {1, 2}}}, 1, 1)), 3);
  EXPECT_EQ(heifPrimaryRotation(heifFile(1, {kIspe, irot(1)}, {{1, {2}}}, 0, 1)), 1);
}

TEST(HeifPrimaryRotationTest, LeavesMirrorsCropsAndRepeatedTurnsToLibheif) {
  EXPECT_EQ(heifPrimaryRotation(heifFile(1, {kIspe, irot(1), kImir}, {{1, {1, 2, 3}}})), std::nullopt);
  EXPECT_EQ(heifPrimaryRotation(heifFile(1, {kIspe, kClap, irot(1)}, {{1, {1, 2, 3}}})), std::nullopt);
  EXPECT_EQ(heifPrimaryRotation(heifFile(1, {kIspe, irot(1), irot(1)}, {{1, {1, 2, 3}}})), std::nullopt);
  // A mirror on another item does not matter.
  EXPECT_EQ(heifPrimaryRotation(heifFile(1, {kIspe, irot(1), kImir}, {{1, {1, 2}}, {2, {3}}})), 1);
}

TEST(HeifPrimaryRotationTest, DamagedStructureGivesNoAnswerAndStaysInBounds) {
  const std::string whole = heifFile(1, {kIspe, irot(3)}, {{1, {1, 2}}});
  EXPECT_EQ(heifPrimaryRotation(""), std::nullopt);
  EXPECT_EQ(heifPrimaryRotation(heifFile(1, {kIspe, irot(3)}, {{1, {1, 5}}})), std::nullopt);
  EXPECT_EQ(heifPrimaryRotation(heifFile(1, {kIspe, box("irot", "")}, {{1, {1, 2}}})), std::nullopt);
  // A box claiming 2^63 bytes.
  EXPECT_EQ(heifPrimaryRotation(bigEndian(1, 4) + "meta" + bigEndian(uint64_t{1} << 63, 8) + whole), std::nullopt);
  // Every cut through the properties either still finds the rotation or
  // gives no answer; none reads past the end (checked under sanitizers).
  const size_t metaStart = whole.find("meta") - 4;
  for (size_t length = 0; length < whole.size(); ++length) {
    SCOPED_TRACE(length);
    const std::optional<int> turns = heifPrimaryRotation(std::string_view(whole).substr(0, length));
    if (length < metaStart + 8) {
      EXPECT_EQ(turns, std::nullopt);
    }
    if (turns) {
      EXPECT_EQ(*turns, 3);
    }
  }
}

TEST(HeifPrimaryRotationTest, PhonePhotoIsTurnedAQuarterClockwise) {
  const std::filesystem::path sample = "/work/shared/samples/Issue_487.heic";
  if (!std::filesystem::exists(sample)) GTEST_SKIP() << "no sample HEIC";
  std::ifstream in(sample, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // irot 270 anticlockwise: a quarter turn clockwise, as its EXIF 6 says.
  EXPECT_EQ(heifPrimaryRotation(bytes), 3);
}

}  // namespace
}  // namespace vek::linux_library
