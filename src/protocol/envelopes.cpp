#include "protocol/envelopes.hpp"

#include <cmath>

#include "protocol/json_writer.hpp"

namespace vek {
namespace {

void write(JsonWriter& w, const AssetMeta& r) {
  w.beginObject();
  w.field("localIdentifier", r.localIdentifier);
  w.field("kind", r.kind);
  w.field("pixelWidth", r.pixelWidth);
  w.field("pixelHeight", r.pixelHeight);
  w.field("creationDateMs", r.creationDateMs);
  w.field("durationSeconds", r.durationSeconds);
  w.field("isIcloudOnly", r.isIcloudOnly);
  w.endObject();
}

void write(JsonWriter& w, const FetchAssetsResponse& r) {
  w.beginObject();
  w.key("assets");
  w.beginArray();
  for (const auto& asset : r.assets) write(w, asset);
  w.endArray();
  w.endObject();
}

void write(JsonWriter& w, const ImageDataResponse& r) {
  w.beginObject();
  w.field("localIdentifier", r.localIdentifier);
  w.field("width", r.width);
  w.field("height", r.height);
  w.field("jpegBase64", r.jpegBase64);
  w.endObject();
}

void write(JsonWriter& w, const VideoResourceResponse& r) {
  w.beginObject();
  w.field("localIdentifier", r.localIdentifier);
  w.field("tempPath", r.tempPath);
  w.field("durationSeconds", r.durationSeconds);
  w.endObject();
}

void write(JsonWriter& w, const DeleteOutcomeResponse& r) {
  w.beginObject();
  w.field("deletedCount", r.deletedCount);
  w.field("userCancelled", r.userCancelled);
  w.endObject();
}

// A rough size of the finished text, so that long replies (a large listing,
// a Base64 image) are not built by repeated regrowth.
size_t estimatedSize(const FetchAssetsResponse& r) { return 32 + r.assets.size() * 200; }
size_t estimatedSize(const ImageDataResponse& r) { return 128 + r.localIdentifier.size() + r.jpegBase64.size() * 66 / 64; }
size_t estimatedSize(const VideoResourceResponse& r) { return 128 + r.localIdentifier.size() + r.tempPath.size() * 2; }
size_t estimatedSize(const DeleteOutcomeResponse&) { return 64; }

void checkEncodable(const FetchAssetsResponse& r) {
  for (const auto& asset : r.assets) {
    if (!std::isfinite(asset.durationSeconds)) throw JsonEncodingError("The reply holds a number that is not finite.");
  }
}

// With a spill, the writer holds only a part of the text at a time.
template <typename T>
std::string encodeSuccess(const SuccessEnvelope<T>& envelope, const JsonSpill& spill = {}) {
  JsonWriter w(spill);
  if (!spill) w.reserve(estimatedSize(envelope.ok));
  w.beginObject();
  w.field("id", envelope.id);
  w.key("ok");
  write(w, envelope.ok);
  w.endObject();
  return w.take();
}

}  // namespace

std::string encode(const SuccessEnvelope<FetchAssetsResponse>& envelope) { return encodeSuccess(envelope); }
std::string encode(const SuccessEnvelope<FetchAssetsResponse>& envelope, const JsonSpill& spill) {
  checkEncodable(envelope.ok);
  return encodeSuccess(envelope, spill);
}
std::string encode(const SuccessEnvelope<ImageDataResponse>& envelope) { return encodeSuccess(envelope); }
std::string encode(const SuccessEnvelope<VideoResourceResponse>& envelope) { return encodeSuccess(envelope); }
std::string encode(const SuccessEnvelope<DeleteOutcomeResponse>& envelope) { return encodeSuccess(envelope); }

std::string encode(const ErrorEnvelope& envelope) {
  JsonWriter w;
  w.beginObject();
  w.field("id", envelope.id);
  w.key("err");
  w.beginObject();
  w.field("code", envelope.err.code);
  w.field("message", envelope.err.message);
  w.endObject();
  w.endObject();
  return w.take();
}

}  // namespace vek
