#include "platform/linux/render/ahead_wire.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <type_traits>

namespace vek::linux_library {
namespace {

class FrameWriter {
 public:
  template <typename Number>
  void number(Number value) {
    static_assert(std::is_arithmetic_v<Number>);
    bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  void text(std::string_view value) {
    number(static_cast<uint64_t>(value.size()));
    bytes_.append(value);
  }
  std::string take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

// Reads fields off a frame; once one is missing, every later read fails too.
class FrameReader {
 public:
  explicit FrameReader(std::string_view frame) : rest_(frame) {}

  template <typename Number>
  bool number(Number& value) {
    if (!ok_ || rest_.size() < sizeof value) return ok_ = false;
    std::memcpy(&value, rest_.data(), sizeof value);
    rest_.remove_prefix(sizeof value);
    return true;
  }
  bool text(std::string& value) {
    uint64_t length = 0;
    if (!number(length) || rest_.size() < length) return ok_ = false;
    value.assign(rest_.substr(0, length));
    rest_.remove_prefix(length);
    return true;
  }
  // Every field was there, and nothing follows them.
  bool whole() const { return ok_ && rest_.empty(); }

 private:
  std::string_view rest_;
  bool ok_ = true;
};

bool readFully(int socket, char* into, size_t length) {
  while (length > 0) {
    const ssize_t got = recv(socket, into, length, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    into += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

std::string encodeJob(const AheadJob& job) {
  FrameWriter frame;
  frame.text(job.identifier);
  frame.text(job.path);
  frame.number(job.box);
  frame.number(job.compressionFactor);
  frame.number(static_cast<uint8_t>(job.video));
  return frame.take();
}

std::optional<AheadJob> decodeJob(std::string_view bytes) {
  FrameReader frame(bytes);
  AheadJob job;
  uint8_t video = 0;
  frame.text(job.identifier);
  frame.text(job.path);
  frame.number(job.box);
  frame.number(job.compressionFactor);
  frame.number(video);
  if (!frame.whole() || video > 1) return std::nullopt;
  job.video = video == 1;
  return job;
}

std::string encodeRendered(const std::optional<CachedRender>& render) {
  FrameWriter frame;
  frame.number(static_cast<uint8_t>(render.has_value()));
  if (render) {
    frame.number(render->size.width);
    frame.number(render->size.height);
    frame.number(render->compressionFactor);
    frame.number(render->stamp.device);
    frame.number(render->stamp.inode);
    frame.number(render->stamp.size);
    frame.number(render->stamp.mtimeNs);
    frame.number(render->stamp.ctimeNs);
    frame.text(render->jpeg);
  }
  return frame.take();
}

std::optional<std::optional<CachedRender>> decodeRendered(std::string_view bytes) {
  FrameReader frame(bytes);
  uint8_t made = 0;
  if (!frame.number(made) || made > 1) return std::nullopt;
  if (made == 0) {
    if (!frame.whole()) return std::nullopt;
    return std::optional<CachedRender>();
  }
  CachedRender render;
  frame.number(render.size.width);
  frame.number(render.size.height);
  frame.number(render.compressionFactor);
  frame.number(render.stamp.device);
  frame.number(render.stamp.inode);
  frame.number(render.stamp.size);
  frame.number(render.stamp.mtimeNs);
  frame.number(render.stamp.ctimeNs);
  frame.text(render.jpeg);
  if (!frame.whole()) return std::nullopt;
  return std::optional<CachedRender>(std::move(render));
}

bool sendFrame(int socket, std::string_view body) {
  const uint64_t length = body.size();
  std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
  frame.append(body);
  std::string_view rest = frame;
  while (!rest.empty()) {
    const ssize_t sent = send(socket, rest.data(), rest.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    rest.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

std::optional<std::string> receiveFrame(int socket, size_t largest) {
  uint64_t length = 0;
  if (!readFully(socket, reinterpret_cast<char*>(&length), sizeof length) || length > largest) return std::nullopt;
  std::string body(length, '\0');
  if (!readFully(socket, body.data(), body.size())) return std::nullopt;
  return body;
}

}  // namespace vek::linux_library
