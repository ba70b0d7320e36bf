#pragma once

#include <cstdint>
#include <string>

#include "protocol/results.hpp"

namespace vek {

template <typename T>
struct SuccessEnvelope {
  uint64_t id = 0;
  T ok;
};

struct ErrorBody {
  std::string code;
  std::string message;
};

struct ErrorEnvelope {
  uint64_t id = 0;
  ErrorBody err;
};

// The compact JSON text of an envelope, without a line feed. The success
// encoders throw JsonEncodingError when the result holds a non-finite double.
std::string encode(const SuccessEnvelope<FetchAssetsResponse>& envelope);
std::string encode(const SuccessEnvelope<ImageDataResponse>& envelope);
std::string encode(const SuccessEnvelope<VideoResourceResponse>& envelope);
std::string encode(const SuccessEnvelope<DeleteOutcomeResponse>& envelope);
std::string encode(const ErrorEnvelope& envelope);

}  // namespace vek
