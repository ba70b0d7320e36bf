#include "support/dng_writer.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vek::testing {
namespace {

enum Type : uint16_t { kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kSrational = 10 };

struct Entry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  std::string value;  // little-endian bytes
};

void put16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

void put32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

Entry shorts(uint16_t tag, std::vector<uint16_t> values) {
  std::string bytes;
  for (uint16_t value : values) put16(bytes, value);
  return {tag, kShort, static_cast<uint32_t>(values.size()), bytes};
}

Entry longs(uint16_t tag, std::vector<uint32_t> values) {
  std::string bytes;
  for (uint32_t value : values) put32(bytes, value);
  return {tag, kLong, static_cast<uint32_t>(values.size()), bytes};
}

Entry bytes(uint16_t tag, std::vector<uint8_t> values) {
  return {tag, kByte, static_cast<uint32_t>(values.size()), std::string(values.begin(), values.end())};
}

Entry ascii(uint16_t tag, const std::string& text) {
  return {tag, kAscii, static_cast<uint32_t>(text.size() + 1), text + '\0'};
}

// Each value as a fraction over 10000, which holds the matrices exactly enough.
Entry rationals(uint16_t tag, Type type, std::vector<double> values) {
  std::string out;
  for (double value : values) {
    put32(out, static_cast<uint32_t>(static_cast<int32_t>(std::lround(value * 10000))));
    put32(out, 10000);
  }
  return {tag, type, static_cast<uint32_t>(values.size()), out};
}

// Appends an IFD (entries sorted by tag, values that do not fit in four bytes
// after it) and returns its offset.
uint32_t appendIfd(std::string& file, std::vector<Entry> entries) {
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
  if (file.size() % 2 != 0) file.push_back('\0');
  const auto offset = static_cast<uint32_t>(file.size());
  std::string table;
  std::string extra;
  const uint32_t extraStart = offset + 2 + 12 * static_cast<uint32_t>(entries.size()) + 4;
  put16(table, static_cast<uint16_t>(entries.size()));
  for (const Entry& entry : entries) {
    put16(table, entry.tag);
    put16(table, entry.type);
    put32(table, entry.count);
    if (entry.value.size() <= 4) {
      std::string inlined = entry.value;
      inlined.resize(4, '\0');
      table += inlined;
    } else {
      put32(table, extraStart + static_cast<uint32_t>(extra.size()));
      extra += entry.value;
      if (extra.size() % 2 != 0) extra.push_back('\0');
    }
  }
  put32(table, 0);
  file += table;
  file += extra;
  return offset;
}

// The photosite colour of an RGGB mosaic: 0 red, 1 green, 2 blue.
int siteColour(int x, int y) { return (y % 2) + (x % 2); }

// XYZ (D65) to linear sRGB: with it as the colour matrix, the camera's
// native space is linear sRGB.
constexpr double kXyzToSrgb[9] = {3.2404542, -1.5371385, -0.4985314, -0.9692660, 1.8760108,
                                  0.0415560, 0.0556434,  -0.2040259, 1.0572252};

}  // namespace

std::string makeDng(const DngContent& content) {
  std::string file = "II*";
  file.push_back('\0');
  put32(file, 0);  // IFD 0's offset, filled in last

  std::string raw;
  for (int y = 0; y < content.height; ++y) {
    for (int x = 0; x < content.width; ++x) {
      const double level = std::clamp(content.picture(x, y)[siteColour(x, y)], 0.0, 1.0);
      put16(raw, static_cast<uint16_t>(std::lround(level * content.whiteLevel)));
    }
  }
  const uint32_t width = content.declaredWidth != 0 ? content.declaredWidth : static_cast<uint32_t>(content.width);
  const uint32_t height =
      content.declaredHeight != 0 ? content.declaredHeight : static_cast<uint32_t>(content.height);

  std::vector<Entry> ifd0 = {
      longs(254, {0}),
      longs(256, {width}),
      longs(257, {height}),
      shorts(258, {16}),
      shorts(259, {1}),
      shorts(262, {32803}),  // colour filter array
      ascii(271, "Vek"),
      ascii(272, "Test Camera"),
      shorts(277, {1}),
      longs(278, {height}),
      longs(279, {static_cast<uint32_t>(raw.size())}),
      shorts(284, {1}),
      shorts(33421, {2, 2}),
      bytes(33422, {0, 1, 1, 2}),
      bytes(50706, {1, 4, 0, 0}),
      ascii(50708, "Vek Test Camera"),
      longs(50714, {0}),
      longs(50717, {content.whiteLevel}),
      rationals(50721, kSrational, std::vector<double>(std::begin(kXyzToSrgb), std::end(kXyzToSrgb))),
      rationals(50728, kRational, {1, 1, 1}),
      shorts(50778, {21}),  // D65
  };
  if (content.orientation != 0) ifd0.push_back(shorts(274, {static_cast<uint16_t>(content.orientation)}));
  if (!content.dateTime.empty()) ifd0.push_back(ascii(306, content.dateTime));

  if (!content.previewJpeg.empty()) {
    const auto previewOffset = static_cast<uint32_t>(file.size());
    file += content.previewJpeg;
    const uint32_t subIfd = appendIfd(
        file, {longs(254, {1}), longs(256, {static_cast<uint32_t>(content.previewWidth)}),
               longs(257, {static_cast<uint32_t>(content.previewHeight)}), shorts(258, {8, 8, 8}), shorts(259, {7}),
               shorts(262, {6}), longs(273, {previewOffset}), shorts(277, {3}),
               longs(278, {static_cast<uint32_t>(content.previewHeight)}),
               longs(279, {static_cast<uint32_t>(content.previewJpeg.size())})});
    ifd0.push_back(longs(330, {subIfd}));
  }

  std::vector<Entry> exif;
  if (!content.dateTimeOriginal.empty()) exif.push_back(ascii(0x9003, content.dateTimeOriginal));
  if (!content.offsetTimeOriginal.empty()) exif.push_back(ascii(0x9011, content.offsetTimeOriginal));
  if (!content.subSecTimeOriginal.empty()) exif.push_back(ascii(0x9291, content.subSecTimeOriginal));
  if (!exif.empty()) ifd0.push_back(longs(34665, {appendIfd(file, exif)}));

  // IFD 0 is laid out once to learn where it ends, which is where the raw
  // data it points to begins.
  std::string trial = file;
  ifd0.push_back(longs(273, {0}));
  appendIfd(trial, ifd0);
  ifd0.back() = longs(273, {static_cast<uint32_t>(trial.size())});
  const uint32_t ifd0Offset = appendIfd(file, ifd0);
  file += raw;
  for (int i = 0; i < 4; ++i) file[4 + i] = static_cast<char>((ifd0Offset >> (8 * i)) & 0xFF);
  return file;
}

}  // namespace vek::testing
