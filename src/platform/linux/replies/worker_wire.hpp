#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/replies/render_cache.hpp"

namespace vek::linux_library {

// What the helper and its render-ahead workers say to each other over a
// stream socket: length-prefixed binary frames. A worker is always the very
// executable that started it, so the encoding is the machine's own.

// One render asked of a worker: a file of the listing at a box, encoded at
// a factor. The worker opens the file itself, and checks it is the
// catalogued one.
struct AheadJob {
  std::string identifier;
  CataloguedFile file;
  int64_t box = 0;
  double compressionFactor = 0;
  bool video = false;
};

std::string encodeJob(const AheadJob& job);
// nullopt when the frame is not exactly one job.
std::optional<AheadJob> decodeJob(std::string_view frame);

// A worker's answer: the render, or none when it could not make one.
std::string encodeRendered(const std::optional<CachedRender>& render);
// nullopt when the frame is not exactly one answer; else the answer.
std::optional<std::optional<CachedRender>> decodeRendered(std::string_view frame);

// Writes one frame whole; false when the peer has gone. Never raises SIGPIPE.
bool sendFrame(int socket, std::string_view body);
// Reads one frame; nullopt at end of stream, on an error, or for a frame
// longer than `largest`.
std::optional<std::string> receiveFrame(int socket, size_t largest);

}  // namespace vek::linux_library
