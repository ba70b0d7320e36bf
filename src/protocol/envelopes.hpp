#pragma once

#include <cstdint>
#include <string>

#include "protocol/json_writer.hpp"

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
// The same, its first parts handed to `spill` as they are written and the
// rest returned. Every value is checked before anything is handed over, so
// an encoding error never leaves half a reply written.
std::string encode(const SuccessEnvelope<FetchAssetsResponse>& envelope, const JsonSpill& spill);
std::string encode(const SuccessEnvelope<ImageDataResponse>& envelope);
std::string encode(const SuccessEnvelope<VideoResourceResponse>& envelope);
std::string encode(const SuccessEnvelope<DeleteOutcomeResponse>& envelope);
std::string encode(const ErrorEnvelope& envelope);

}  // namespace vek
