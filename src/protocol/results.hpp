#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vek {

// One asset of a listing.
struct AssetMeta {
  std::string localIdentifier;
  std::string kind;  // "video" or "image"
  int64_t pixelWidth = 0;
  int64_t pixelHeight = 0;
  uint64_t creationDateMs = 0;  // 0 when the asset has no creation date
  double durationSeconds = 0;
  bool isIcloudOnly = false;

  bool operator==(const AssetMeta&) const = default;
};

struct FetchAssetsResponse {
  std::vector<AssetMeta> assets;  // newest first

  bool operator==(const FetchAssetsResponse&) const = default;
};

struct ImageDataResponse {
  std::string localIdentifier;  // as the request gave it
  int64_t width = 0;
  int64_t height = 0;
  std::string jpegBase64;

  bool operator==(const ImageDataResponse&) const = default;
};

struct VideoResourceResponse {
  std::string localIdentifier;  // as the request gave it
  std::string tempPath;
  double durationSeconds = 0;

  bool operator==(const VideoResourceResponse&) const = default;
};

struct DeleteOutcomeResponse {
  int64_t deletedCount = 0;
  bool userCancelled = false;

  bool operator==(const DeleteOutcomeResponse&) const = default;
};

}  // namespace vek
