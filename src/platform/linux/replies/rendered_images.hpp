#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "photos/photo_library_port.hpp"
#include "platform/linux/replies/read_ahead.hpp"
#include "platform/linux/replies/render_cache.hpp"

namespace vek::linux_library {

// The images the helper hands out for image requests, and how it keeps
// them: a reply made before (rendered ahead by a worker, or kept in the
// render cache) when it was made from the file as it is now, else a fresh
// render through the media module, which the cache then keeps; and while
// the parent scans a listing in order, the next assets rendered ahead in
// worker processes of the lowest priority. The render cache
// (VEK_RENDER_CACHE_MB) and read-ahead (VEK_RENDER_READ_AHEAD) are set up
// from the environment on first use. Used from the request thread.
class RenderedImages {
 public:
  // An asset's file as the catalog has it now; none when it has gone.
  using Locate = std::function<std::optional<CataloguedFile>(const std::string& identifier)>;

  // Workers are this process's own executable (/proc/self/exe: the very
  // binary, even after an upgrade replaced the file), started with
  // `workerArguments` (argv[0] first), which must make it call
  // serveRenderWorker().
  RenderedImages(Locate locate, std::vector<std::string> workerArguments);
  ~RenderedImages();
  RenderedImages(const RenderedImages&) = delete;
  RenderedImages& operator=(const RenderedImages&) = delete;

  // The image of the asset whose file is `file`, fitted into a box x box
  // square (0: the full image): a video's poster with `video`. nullptr when
  // it cannot be rendered, or the file is no longer the catalogued one
  // (openCatalogued). The image is read on the request thread and does not
  // outlive this object.
  std::shared_ptr<PlatformImage> image(const std::string& identifier, const CataloguedFile& file, int64_t box,
                                       bool video);

  // The parent was given this listing of the media type, and may now scan
  // it in order.
  void listed(int64_t mediaType, const std::vector<PhotoAsset>& assets);

  // The assets were deleted: what is kept of them goes.
  void forget(const std::vector<std::string>& identifiers);

 private:
  RenderCache* cache();
  ReadAhead* readAhead();
  std::optional<CataloguedFile> fileToRenderAhead(const std::string& identifier, int64_t box);
  void handedOut(const std::string& identifier, const std::string& path, int64_t box, const CachedRender& render,
                 bool rendered, std::chrono::steady_clock::time_point start);

  const Locate locate_;
  const std::vector<std::string> workerArguments_;
  std::unique_ptr<RenderCache> cache_;
  bool cacheMade_ = false;
  std::unique_ptr<ReadAhead> readAhead_;
  bool readAheadMade_ = false;
  std::chrono::steady_clock::duration lastRenderTime_{};  // of the last reply rendered on request
};

// A render-ahead worker's whole life: renders what the helper asks over
// `socket` (its stdin), through the render cache, until the helper closes
// it. Returns the exit status.
int serveRenderWorker(int socket);

}  // namespace vek::linux_library
