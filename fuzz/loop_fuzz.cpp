// Arbitrary bytes as the whole of stdin: the loop answers every line that
// decodes, in order, with one line of valid JSON carrying that line's id,
// and nothing else.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <simdjson.h>

#include "loop/line_buffer.hpp"
#include "loop/main_loop.hpp"
#include "protocol/request.hpp"
#include "support/memory_photo_library.hpp"

namespace {

int memoryFile(std::string_view bytes) {
  const int fd = memfd_create("fuzz", MFD_CLOEXEC);
  if (fd < 0) __builtin_trap();
  if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) __builtin_trap();
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string contents(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char chunk[65536];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, size_t(n));
  return text;
}

// The ids of the lines that decode, in input order.
std::vector<uint64_t> decodedIds(std::string_view input) {
  vek::RequestDecoder decoder;
  vek::LineBuffer lines;
  lines.append(input);
  std::vector<uint64_t> ids;
  while (auto line = lines.nextLine()) {
    if (line->empty()) continue;
    if (auto request = decoder.decode(*line)) ids.push_back(request->id);
  }
  return ids;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  vek::testing::MemoryPhotoLibrary library;
  library.assets = {{"A/L0/001", vek::kMediaTypeImage, 4, 3, 1.5, 0},
                    {"B/L0/001", vek::kMediaTypeVideo, 4, 3, std::nullopt, 2.5}};
  library.images["A/L0/001"] = {vek::ImageSize{4, 3}};
  library.videos["B/L0/001"] = {true};
  const int in = memoryFile(input);
  const int out = memoryFile("");
  vek::runMainLoop(in, out, library);
  const std::string output = contents(out);
  close(in);
  close(out);

  const std::vector<uint64_t> expected = decodedIds(input);
  static simdjson::dom::parser parser;
  vek::LineBuffer replies;
  replies.append(output);
  size_t index = 0;
  while (auto line = replies.nextLine()) {
    simdjson::dom::element root;
    if (parser.parse(*line).get(root) != simdjson::SUCCESS) __builtin_trap();
    if (index >= expected.size() || uint64_t(root["id"]) != expected[index]) __builtin_trap();
    ++index;
  }
  if (index != expected.size() || replies.pendingSize() != 0) __builtin_trap();
  return 0;
}
