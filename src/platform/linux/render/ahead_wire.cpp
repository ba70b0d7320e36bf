#include "platform/linux/render/ahead_wire.hpp"

#include <sys/socket.h>

#include <cerrno>

#include "platform/linux/render/byte_fields.hpp"

namespace vek::linux_library {
namespace {

void putText(ByteWriter& frame, std::string_view text) {
  frame.put(static_cast<uint64_t>(text.size())).put(text);
}

bool getText(ByteReader& frame, std::string& text) {
  uint64_t length = 0;
  std::string_view part;
  if (!frame.get(length) || !frame.take(length, part)) return false;
  text.assign(part);
  return true;
}

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
  ByteWriter frame;
  putText(frame, job.identifier);
  putText(frame, job.path);
  frame.put(job.box).put(job.compressionFactor).put(static_cast<uint8_t>(job.video));
  return std::move(frame.bytes);
}

std::optional<AheadJob> decodeJob(std::string_view bytes) {
  ByteReader frame(bytes);
  AheadJob job;
  uint8_t video = 0;
  if (!getText(frame, job.identifier) || !getText(frame, job.path) || !frame.get(job.box) ||
      !frame.get(job.compressionFactor) || !frame.get(video) || frame.left() != 0 || video > 1) {
    return std::nullopt;
  }
  job.video = video == 1;
  return job;
}

std::string encodeRendered(const std::optional<CachedRender>& render) {
  ByteWriter frame;
  frame.put(static_cast<uint8_t>(render.has_value()));
  if (render) {
    const RenderStamp& stamp = render->stamp;
    frame.put(render->size.width).put(render->size.height).put(render->compressionFactor);
    frame.put(stamp.device).put(stamp.inode).put(stamp.size).put(stamp.mtimeNs).put(stamp.ctimeNs);
    putText(frame, render->jpeg);
  }
  return std::move(frame.bytes);
}

std::optional<std::optional<CachedRender>> decodeRendered(std::string_view bytes) {
  ByteReader frame(bytes);
  uint8_t made = 0;
  if (!frame.get(made) || made > 1) return std::nullopt;
  if (made == 0) {
    if (frame.left() != 0) return std::nullopt;
    return std::optional<CachedRender>();
  }
  CachedRender render;
  RenderStamp& stamp = render.stamp;
  if (!frame.get(render.size.width) || !frame.get(render.size.height) || !frame.get(render.compressionFactor) ||
      !frame.get(stamp.device) || !frame.get(stamp.inode) || !frame.get(stamp.size) || !frame.get(stamp.mtimeNs) ||
      !frame.get(stamp.ctimeNs) || !getText(frame, render.jpeg) || frame.left() != 0) {
    return std::nullopt;
  }
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
