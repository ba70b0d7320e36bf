#include "loop/dispatch.hpp"

#include <exception>

#include "photos/delete_assets.hpp"
#include "photos/fetch_assets.hpp"
#include "photos/request_image_data.hpp"
#include "photos/request_video_resource.hpp"
#include "protocol/envelopes.hpp"
#include "protocol/helper_error.hpp"

namespace vek {
namespace {

constexpr int64_t kDefaultTargetSize = 1024;

std::string run(const Request& request, PhotoLibraryPort& library, const JsonSpill& spill) {
  // Arguments are checked before any operation runs, so a malformed request
  // never reaches the library or its authorization prompt.
  if (request.cmd == "fetch_assets") {
    auto assets = fetchAssets(library, request.kind.value_or("image"), request.includeIcloudOnly.value_or(false));
    SuccessEnvelope<FetchAssetsResponse> envelope{request.id, {std::move(assets)}};
    return spill ? encode(envelope, spill) : encode(envelope);
  }
  if (request.cmd == "request_image_data") {
    if (!request.localIdentifier) throw HelperError::bad("missing localIdentifier");
    return encode(SuccessEnvelope<ImageDataResponse>{
        request.id,
        requestImageData(library, *request.localIdentifier, request.targetSize.value_or(kDefaultTargetSize))});
  }
  if (request.cmd == "request_video_resource") {
    if (!request.localIdentifier) throw HelperError::bad("missing localIdentifier");
    return encode(SuccessEnvelope<VideoResourceResponse>{request.id,
                                                         requestVideoResource(library, *request.localIdentifier)});
  }
  if (request.cmd == "delete_assets") {
    if (!request.localIdentifiers) throw HelperError::bad("missing localIdentifiers");
    return encode(SuccessEnvelope<DeleteOutcomeResponse>{request.id,
                                                         deleteAssets(library, *request.localIdentifiers)});
  }
  throw HelperError::unknownCommand(request.cmd);
}

std::string errorReply(uint64_t id, std::string code, std::string message) {
  try {
    return encode(ErrorEnvelope{id, ErrorBody{std::move(code), std::move(message)}});
  } catch (...) {
    return std::string();
  }
}

}  // namespace

std::string dispatch(const Request& request, PhotoLibraryPort& library, const JsonSpill& spill) {
  bool spilled = false;
  JsonSpill counted;
  if (spill) {
    counted = [&](std::string_view part) {
      spilled = true;
      spill(part);
    };
  }
  std::exception_ptr failure;
  try {
    return run(request, library, counted);
  } catch (...) {
    failure = std::current_exception();
  }
  if (spilled) return std::string();
  try {
    std::rethrow_exception(failure);
  } catch (const HelperError& error) {
    return errorReply(request.id, std::string(error.wireCode()), error.message());
  } catch (const std::exception& error) {
    return errorReply(request.id, "internal", error.what());
  } catch (...) {
    return errorReply(request.id, "internal", "An unexpected failure ended the request.");
  }
}

}  // namespace vek
