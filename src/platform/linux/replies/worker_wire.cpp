#include "platform/linux/replies/worker_wire.hpp"

#include "platform/linux/posix/byte_fields.hpp"
#include "platform/linux/posix/io.hpp"

namespace vek::linux_library {

std::string encodeJob(const AheadJob& job) {
  ByteWriter frame;
  frame.putText(job.identifier);
  frame.putText(job.file.path);
  putStamp(frame, job.file.stamp);
  frame.put(job.box).put(job.compressionFactor).put(static_cast<uint8_t>(job.video));
  return std::move(frame.bytes);
}

std::optional<AheadJob> decodeJob(std::string_view bytes) {
  ByteReader frame(bytes);
  AheadJob job;
  uint8_t video = 0;
  if (!frame.getText(job.identifier) || !frame.getText(job.file.path) || !getStamp(frame, job.file.stamp) ||
      !frame.get(job.box) || !frame.get(job.compressionFactor) || !frame.get(video) || frame.left() != 0 ||
      video > 1) {
    return std::nullopt;
  }
  job.video = video == 1;
  return job;
}

std::string encodeRendered(const std::optional<CachedRender>& render) {
  ByteWriter frame;
  frame.put(static_cast<uint8_t>(render.has_value()));
  if (render) {
    frame.put(render->size.width).put(render->size.height).put(render->compressionFactor);
    putStamp(frame, render->stamp);
    frame.putText(render->jpeg);
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
  if (!frame.get(render.size.width) || !frame.get(render.size.height) || !frame.get(render.compressionFactor) ||
      !getStamp(frame, render.stamp) || !frame.getText(render.jpeg) || frame.left() != 0) {
    return std::nullopt;
  }
  return std::optional<CachedRender>(std::move(render));
}

bool sendFrame(int socket, std::string_view body) {
  const uint64_t length = body.size();
  std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
  frame.append(body);
  return sendAll(socket, frame);
}

std::optional<std::string> receiveFrame(int socket, size_t largest) {
  uint64_t length = 0;
  if (!readExactly(socket, &length, sizeof length) || length > largest) return std::nullopt;
  std::string body(length, '\0');
  if (!readExactly(socket, body.data(), body.size())) return std::nullopt;
  return body;
}

}  // namespace vek::linux_library
