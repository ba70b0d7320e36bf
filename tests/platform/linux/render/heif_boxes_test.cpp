#include "platform/linux/render/heif_boxes.hpp"

#include <gtest/gtest.h>

#include <cstdint>
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

// Each item with the 1-based indexes into ipco of its properties.
using Associations = std::vector<std::pair<uint32_t, std::vector<unsigned>>>;

// A HEIF file with the item properties a phone writes, and an empty mdat.
std::string heifFile(uint32_t primary, const std::vector<std::string>& properties, const Associations& associations,
                     int ipmaVersion = 0, uint32_t ipmaFlags = 0) {
  std::string ipco;
  for (const std::string& property : properties) ipco += property;
  std::string entries = bigEndian(associations.size(), 4);
  const bool wide = (ipmaFlags & 1) != 0;
  for (const auto& [item, indexes] : associations) {
    entries += bigEndian(item, ipmaVersion < 1 ? 2 : 4) + bigEndian(indexes.size(), 1);
    // Every property marked essential, as phones do.
    for (unsigned index : indexes) entries += bigEndian(index | (wide ? 0x8000u : 0x80u), wide ? 2 : 1);
  }
  const std::string pitm = primary > 0xFFFF ? fullBox("pitm", 1, 0, bigEndian(primary, 4))
                                            : fullBox("pitm", 0, 0, bigEndian(primary, 2));
  const std::string hdlr = fullBox("hdlr", 0, 0, std::string(4, '\0') + "pict" + std::string(13, '\0'));
  const std::string iprp = box("iprp", box("ipco", ipco) + fullBox("ipma", ipmaVersion, ipmaFlags, entries));
  return box("ftyp", "heic" + bigEndian(0, 4) + "mif1heic") + fullBox("meta", 0, 0, hdlr + pitm + iprp) +
         box("mdat", "");
}

TEST(HeifPrimaryRotationTest, ReadsOnlyASoleRotationOfThePrimaryItem) {
  const std::pair<std::string, std::optional<int>> cases[] = {
      {heifFile(1, {kIspe, irot(3)}, {{1, {1, 2}}}), 3},
      {heifFile(1, {kIspe, irot(1)}, {{1, {2, 1}}}), 1},
      {heifFile(1, {kIspe}, {{1, {1}}}), 0},
      // Properties of other items (tiles, thumbnails) do not matter.
      {heifFile(1, {kIspe, irot(1)}, {{1, {1}}, {2, {1, 2}}}), 0},
      {heifFile(7, {kIspe, irot(2)}, {{2, {1}}, {7, {1, 2}}}), 2},
      {heifFile(1, {kIspe, irot(1), kImir}, {{1, {1, 2}}, {2, {3}}}), 1},
      // Wide item ids and property indexes.
      {heifFile(70000, {kIspe, irot(3)}, {{70000, {1, 2}}}, 1, 1), 3},
      {heifFile(1, {kIspe, irot(1)}, {{1, {2}}}, 0, 1), 1},
      // More than a sole rotation is left to libheif.
      {heifFile(1, {kIspe, irot(1), kImir}, {{1, {1, 2, 3}}}), std::nullopt},
      {heifFile(1, {kIspe, kClap, irot(1)}, {{1, {1, 2, 3}}}), std::nullopt},
      {heifFile(1, {kIspe, irot(1), irot(1)}, {{1, {1, 2, 3}}}), std::nullopt},
      // Damaged: no file, a missing property, an empty irot, a box claiming
      // 2^63 bytes.
      {"", std::nullopt},
      {heifFile(1, {kIspe, irot(3)}, {{1, {1, 5}}}), std::nullopt},
      {heifFile(1, {kIspe, box("irot", "")}, {{1, {1, 2}}}), std::nullopt},
      {bigEndian(1, 4) + "meta" + bigEndian(uint64_t{1} << 63, 8) + heifFile(1, {irot(3)}, {{1, {1}}}), std::nullopt},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(heifPrimaryRotation(cases[i].first), cases[i].second);
  }
}

// Every cut either still finds the rotation or gives no answer; none reads
// past the end (checked under sanitizers).
TEST(HeifPrimaryRotationTest, TruncatedFileGivesNoAnswerOrTheRightOne) {
  const std::string whole = heifFile(1, {kIspe, irot(3)}, {{1, {1, 2}}});
  const size_t metaStart = whole.find("meta") - 4;
  for (size_t length = 0; length < whole.size(); ++length) {
    SCOPED_TRACE(length);
    const std::optional<int> turns = heifPrimaryRotation(std::string_view(whole).substr(0, length));
    EXPECT_EQ(turns.value_or(3), 3);
    EXPECT_TRUE(!turns || length >= metaStart + 8);
  }
}

}  // namespace
}  // namespace vek::linux_library
