#include "platform/linux/render/heif_boxes.hpp"

#include <cstdint>
#include <vector>

namespace vek::linux_library {
namespace {

// Big-endian fields read from the front of a byte range; any read past its
// end leaves the reader failed and yields zeros.
class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}

  bool ok() const { return ok_; }
  bool atEnd() const { return pos_ >= data_.size(); }

  uint64_t read(size_t bytes) {
    if (!ok_ || data_.size() - pos_ < bytes) {
      ok_ = false;
      return 0;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i) value = (value << 8) | static_cast<uint8_t>(data_[pos_ + i]);
    pos_ += bytes;
    return value;
  }

  std::string_view rest() const { return ok_ ? data_.substr(pos_) : std::string_view(); }

 private:
  std::string_view data_;
  size_t pos_ = 0;
  bool ok_ = true;
};

struct Box {
  std::string_view type;
  std::string_view payload;
};

// The boxes laid end to end in `data`. Stops at the first malformed header,
// returning what came before it and setting `complete` to false.
std::vector<Box> boxesIn(std::string_view data, bool* complete = nullptr) {
  std::vector<Box> boxes;
  size_t pos = 0;
  if (complete) *complete = true;
  while (pos < data.size()) {
    Reader header(data.substr(pos));
    uint64_t size = header.read(4);
    const uint64_t type = header.read(4);
    size_t headerSize = 8;
    if (size == 1) {
      size = header.read(8);
      headerSize = 16;
    } else if (size == 0) {
      size = data.size() - pos;
    }
    if (!header.ok() || type == 0 || size < headerSize || size > data.size() - pos) {
      if (complete) *complete = false;
      break;
    }
    boxes.push_back({data.substr(pos + 4, 4), data.substr(pos + headerSize, size - headerSize)});
    pos += size;
  }
  return boxes;
}

const Box* find(const std::vector<Box>& boxes, std::string_view type) {
  for (const Box& box : boxes)
    if (box.type == type) return &box;
  return nullptr;
}

// A full box starts with a version byte and 24 bits of flags.
struct FullBox {
  unsigned version;
  uint32_t flags;
  Reader body;
};

FullBox openFullBox(std::string_view payload) {
  Reader reader(payload);
  const auto version = static_cast<unsigned>(reader.read(1));
  const auto flags = static_cast<uint32_t>(reader.read(3));
  return {version, flags, Reader(reader.rest())};
}

std::optional<uint32_t> primaryItem(const std::vector<Box>& metaChildren) {
  const Box* pitm = find(metaChildren, "pitm");
  if (!pitm) return std::nullopt;
  FullBox box = openFullBox(pitm->payload);
  const auto id = static_cast<uint32_t>(box.body.read(box.version == 0 ? 2 : 4));
  if (!box.body.ok()) return std::nullopt;
  return id;
}

// The 1-based indexes into `ipco` of the properties associated with `item`,
// in the order given. nullopt when an `ipma` box is malformed.
std::optional<std::vector<unsigned>> propertiesOf(const std::vector<Box>& iprpChildren, uint32_t item) {
  std::vector<unsigned> indexes;
  for (const Box& box : iprpChildren) {
    if (box.type != "ipma") continue;
    FullBox ipma = openFullBox(box.payload);
    const uint64_t entries = ipma.body.read(4);
    for (uint64_t entry = 0; entry < entries && ipma.body.ok(); ++entry) {
      const auto id = static_cast<uint32_t>(ipma.body.read(ipma.version < 1 ? 2 : 4));
      const auto associations = ipma.body.read(1);
      for (uint64_t i = 0; i < associations; ++i) {
        // The top bit marks the property essential; the rest is its index.
        const bool wide = (ipma.flags & 1) != 0;
        const auto value = static_cast<unsigned>(ipma.body.read(wide ? 2 : 1));
        const unsigned index = value & (wide ? 0x7FFFu : 0x7Fu);
        if (id == item && index != 0) indexes.push_back(index);
      }
    }
    if (!ipma.body.ok()) return std::nullopt;
  }
  return indexes;
}

}  // namespace

std::optional<int> heifPrimaryRotation(std::string_view bytes) {
  const std::vector<Box> top = boxesIn(bytes);
  const Box* meta = find(top, "meta");
  if (!meta) return std::nullopt;
  FullBox metaBox = openFullBox(meta->payload);
  if (!metaBox.body.ok()) return std::nullopt;
  const std::vector<Box> metaChildren = boxesIn(metaBox.body.rest());
  const std::optional<uint32_t> primary = primaryItem(metaChildren);
  const Box* iprp = find(metaChildren, "iprp");
  if (!primary || !iprp) return std::nullopt;

  bool iprpComplete = false;
  const std::vector<Box> iprpChildren = boxesIn(iprp->payload, &iprpComplete);
  const Box* ipco = find(iprpChildren, "ipco");
  if (!iprpComplete || !ipco) return std::nullopt;
  bool ipcoComplete = false;
  const std::vector<Box> properties = boxesIn(ipco->payload, &ipcoComplete);
  const std::optional<std::vector<unsigned>> indexes = propertiesOf(iprpChildren, *primary);
  if (!ipcoComplete || !indexes) return std::nullopt;

  int rotations = 0;
  int quarterTurns = 0;
  for (unsigned index : *indexes) {
    if (index > properties.size()) return std::nullopt;
    const Box& property = properties[index - 1];
    if (property.type == "imir" || property.type == "clap") return std::nullopt;
    if (property.type == "irot") {
      if (property.payload.empty()) return std::nullopt;
      quarterTurns = static_cast<uint8_t>(property.payload[0]) & 3;
      ++rotations;
    }
  }
  if (rotations > 1) return std::nullopt;
  return quarterTurns;
}

}  // namespace vek::linux_library
