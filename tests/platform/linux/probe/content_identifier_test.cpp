#include "platform/linux/probe/content_identifier.hpp"

#include <cstdint>

#include "platform/linux/decoders/media_libraries.hpp"
#include "platform/linux/helper_home.hpp"
#include "platform/linux/probe/probe.hpp"

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

constexpr char kUuid[] = "6C2E4D0A-3F1B-4E8C-9A7D-0B5F1E2C3D4A";

// `value` in `bytes` bytes, most significant first ('M') or last ('I').
std::string number(uint32_t value, int bytes, char order = 'M') {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out.push_back(char((value >> (8 * i)) & 0xFF));
  return order == 'M' ? out : std::string(out.rbegin(), out.rend());
}

// Offsets of the fields of appleNote()'s identifier entry.
constexpr size_t kIdentifierType = 30;
constexpr size_t kIdentifierOffset = 36;

// An Apple maker note as an iPhone writes it: signature, version 1, byte
// order, and a directory (a version entry, then tag 0x0011 holding `value`
// and its NUL) whose value offsets count from the note's first byte.
std::string appleNote(const std::string& value, char order = 'M') {
  std::string note("Apple iOS\0\0\x01", 12);
  note += std::string(2, order);
  note += number(2, 2, order);
  note += number(0x0001, 2, order) + number(9, 2, order) + number(1, 4, order) + number(11, 4, order);
  const std::string stored = value + '\0';
  note += number(0x0011, 2, order) + number(2, 2, order) + number(uint32_t(stored.size()), 4, order);
  if (stored.size() <= 4) {
    note += stored + std::string(4 - stored.size(), '\0');
    return note + number(0, 4, order);
  }
  note += number(uint32_t(note.size() + 8), 4, order) + number(0, 4, order);
  return note + stored;
}

std::string patched(std::string bytes, size_t at, const std::string& with) { return bytes.replace(at, with.size(), with); }

std::string identifierIn(const std::string& note) {
  return std::string(appleContentIdentifier(reinterpret_cast<const unsigned char*>(note.data()), note.size()));
}

TEST(AppleMakerNoteTest, ReadsTheIdentifierOnlyFromAWholePlausibleNote) {
  const std::string note = appleNote(kUuid);
  struct Case {
    const char* what;
    std::string bytes;
    std::string expected;
  } const cases[] = {
      {"as an iPhone writes it", note, kUuid},
      {"little-endian", appleNote(kUuid, 'I'), kUuid},
      {"short enough to sit in its entry", appleNote("A1b"), "A1b"},
      {"cut short in the value", note.substr(0, note.size() - 5), ""},
      {"cut short in the directory", note.substr(0, kIdentifierType), ""},
      {"offset past the end", patched(note, kIdentifierOffset, number(0xFFFFFFF0, 4)), ""},
      {"unknown byte order mark", patched(note, 12, "MI"), ""},
      {"value not ASCII-typed", patched(note, kIdentifierType, number(7, 2)), ""},
      {"overlong value", appleNote(std::string(65, 'A')), ""},
      {"longest kept value", appleNote(std::string(64, 'A')), std::string(64, 'A')},
      {"control character", appleNote("6C2E4D0A\n3F1B"), ""},
      {"another maker's note", patched(note, 0, "Nikon"), ""},
      {"no identifier tag, directory claiming more entries than there are",
       patched(patched(note, 28, number(0x0012, 2)), 14, number(0xFFFF, 2)), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(identifierIn(c.bytes), c.expected) << c.what;
}

// A probe of files made here.
class ContentIdentifierProbeTest : public testing::TempFolder {
 protected:
  static void SetUpTestSuite() { startMediaLibraries(); }

  static ProbeResult probe(const fs::path& path) {
    return probeFile(path, stampOfFile(path).value(), mediaKindForName(path.string()).value());
  }

  // A small JPEG with an EXIF block right after its start marker whose EXIF
  // directory holds `makerNote`, laid out big-endian as iPhones write it.
  fs::path jpegWithMakerNote(const std::string& name, const std::string& makerNote) {
    const fs::path path = root_ / name;
    testing::makeImage(path, 16, 8);
    const std::string plain = testing::readAll(path);
    std::string tiff = std::string("MM\0*", 4) + number(8, 4);
    tiff += number(1, 2) + number(0x8769, 2) + number(4, 2) + number(1, 4) + number(26, 4) + number(0, 4);
    tiff += number(1, 2) + number(0x927C, 2) + number(7, 2) + number(uint32_t(makerNote.size()), 4) +
            number(44, 4) + number(0, 4);
    const std::string app1 = std::string("Exif\0\0", 6) + tiff + makerNote;
    testing::writeAll(path, plain.substr(0, 2) + "\xFF\xE1" + number(uint32_t(app1.size() + 2), 2) + app1 +
                                plain.substr(2));
    return path;
  }
};

TEST_F(ContentIdentifierProbeTest, JpegStillKeepsItsFactsWhateverItsMakerNote) {
  const std::string damaged = patched(appleNote(kUuid), kIdentifierOffset, number(0xFFFFFFF0, 4));
  struct Case {
    const char* name;
    std::string makerNote;
    std::string expected;
  } const cases[] = {
      {"apple.jpg", appleNote(kUuid), kUuid},
      {"damaged.jpg", damaged, ""},
      {"cut.jpg", appleNote(kUuid).substr(0, 20), ""},
  };
  for (const Case& c : cases) {
    const ProbeResult result = probe(jpegWithMakerNote(c.name, c.makerNote));
    ASSERT_EQ(result.status, ProbeResult::Status::kMedia) << c.name;
    EXPECT_EQ(result.facts.pixelWidth, 16u) << c.name;
    EXPECT_EQ(result.facts.contentIdentifier, c.expected) << c.name;
  }
}

TEST_F(ContentIdentifierProbeTest, MovieGivesItsQuickTimeContentIdentifier) {
  struct Case {
    const char* name;
    std::string identifier;  // empty: no key written
    std::string expected;
  } const cases[] = {
      {"live.mov", kUuid, kUuid},
      {"live.mp4", kUuid, kUuid},
      {"overlong.mov", std::string(200, 'F'), ""},
      {"plain.mov", "", ""},
  };
  for (const Case& c : cases) {
    const std::string tag = "-movflags use_metadata_tags -metadata com.apple.quicktime.content.identifier=";
    testing::makeVideo(root_ / c.name, 0.3, "32x24", c.identifier.empty() ? "" : tag + c.identifier);
    const ProbeResult result = probe(root_ / c.name);
    ASSERT_EQ(result.status, ProbeResult::Status::kMedia) << c.name;
    EXPECT_EQ(result.facts.contentIdentifier, c.expected) << c.name;
  }
}

}  // namespace
}  // namespace vek::linux_library
