#include "platform/linux/replies/rendered_images.hpp"

#include <fcntl.h>
#include <sched.h>

#include <cstdlib>
#include <cstring>

#include "platform/linux/modules/backends.hpp"
#include "platform/linux/posix/memory_policy.hpp"
#include "platform/linux/posix/no_links.hpp"
#include "platform/linux/replies/cached_image.hpp"
#include "platform/linux/replies/worker_loop.hpp"
#include "platform/linux/replies/worker_pool.hpp"

namespace vek::linux_library {
namespace {

// Larger boxes are not rendered ahead: a few full-size renders held at once
// would cost more memory than the time they save is worth.
constexpr int64_t kMaxReadAheadBox = 2048;
// The factor the parent's requests encode at, for the renders ahead planned
// before its first reply tells: a render made at another factor is not
// served, only wasted.
constexpr double kUsualCompressionFactor = 0.85;
// The box whose worker count the workers started at a listing are for.
constexpr int64_t kUsualBox = 256;
// A worker's peak beyond the libraries it shares with every other process:
// its heap and the media libraries' own, and the decoded image, which is at
// most three times the box on a side (a JPEG's reduced decode keeps a margin
// of up to twice the 1.5 it needs), three bytes a pixel, held once more as
// it is resized and encoded.
constexpr uint64_t kWorkerBaseBytes = uint64_t{48} << 20;
constexpr uint64_t kWorkerBytesPerBoxPixel = 2 * 9 * 3;
// Workers take at most this share of the memory available: the parent, the
// helper and the rest of the desktop need theirs.
constexpr uint64_t kMemoryShareDivisor = 2;
// A photo's whole file; for a video, its start, where the poster frame is.
constexpr off_t kMostHintedBytes = off_t{64} << 20;

std::shared_ptr<PlatformImage> renderFile(const OpenedFile& file, int64_t box, bool video) {
  MediaBackend& media = mediaBackend();
  return video ? media.renderVideoPoster(file, box) : media.renderImageFile(file, box);
}

// The cores this process may run on; none with VEK_RENDER_READ_AHEAD=0.
unsigned coresToRenderOn() {
  const char* setting = std::getenv("VEK_RENDER_READ_AHEAD");
  if (setting != nullptr && std::strcmp(setting, "0") == 0) return 0;
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 0;
  return static_cast<unsigned>(CPU_COUNT(&cpus));
}

// One worker per core, as many as the memory available holds at their peak
// at the box; none on a single core, which has nothing idle to give: the
// request thread keeps it busy on its own.
unsigned workersFor(unsigned cores, int64_t box) {
  if (cores < 2) return 0;
  const uint64_t peak = kWorkerBaseBytes + kWorkerBytesPerBoxPixel * static_cast<uint64_t>(box * box);
  const std::optional<uint64_t> available = availableMemory();
  if (!available) return cores;
  return static_cast<unsigned>(std::min<uint64_t>(cores, *available / kMemoryShareDivisor / peak));
}

// Asks the kernel to read the file's pages now, at the helper's I/O
// priority, so that the worker that renders it next finds them in memory.
// Just a hint: a file that cannot be opened is left to its render.
void readFileAhead(const std::string& path) {
  const UniqueFd fd = openWithoutLinks(path, O_RDONLY | O_NONBLOCK);
  if (fd) posix_fadvise(fd.get(), 0, kMostHintedBytes, POSIX_FADV_WILLNEED);
}

// Keeps a render in the cache only while its file is still there as it was
// rendered. A deletion, by any helper, moves the file before it drops the
// file's entries: a store made after the drop finds the file gone and drops
// its own entry, and one made before it is dropped by it. Either way no
// thumbnail of a deleted photo is left behind.
void keep(RenderCache& cache, const std::string& identifier, int64_t box, const CachedRender& render,
          const std::string& path) {
  cache.store(identifier, box, render);
  const std::optional<FileStamp> now = stampOfFile(path);
  if (!now || !sameVisibleState(*now, render.stamp)) cache.forget({identifier});
}

// A reply rendered in a worker: from the cache when it holds one for the
// file as it is, else afresh, and then kept there.
std::optional<CachedRender> renderInWorker(RenderCache* cache, const AheadJob& job) {
  const std::optional<OpenedFile> opened = openCatalogued(job.file);
  if (!opened) return std::nullopt;
  if (cache) {
    std::optional<CachedRender> cached = cache->load(job.identifier, job.box, opened->stamp);
    if (cached && cached->compressionFactor == job.compressionFactor) return cached;
  }
  const std::shared_ptr<PlatformImage> image = renderFile(*opened, job.box, job.video);
  if (!image) return std::nullopt;
  std::optional<std::string> jpeg = image->jpegRepresentation(job.compressionFactor);
  if (!jpeg || jpeg->empty()) return std::nullopt;
  CachedRender render{image->size(), job.compressionFactor, std::move(*jpeg), opened->stamp};
  if (cache) keep(*cache, job.identifier, job.box, render, job.file.path);
  return render;
}

}  // namespace

RenderedImages::RenderedImages(Locate locate, std::vector<std::string> workerArguments)
    : locate_(std::move(locate)), workerArguments_(std::move(workerArguments)) {}

// Read-ahead goes first: its workers may still be storing into the cache.
RenderedImages::~RenderedImages() { readAhead_.reset(); }

RenderCache* RenderedImages::cache() {
  if (!cacheMade_) {
    cache_ = RenderCache::fromEnvironment();
    cacheMade_ = true;
  }
  return cache_.get();
}

ReadAhead* RenderedImages::readAhead() {
  if (!readAheadMade_) {
    readAheadMade_ = true;
    const unsigned cores = coresToRenderOn();
    if (const unsigned threads = workersFor(cores, kUsualBox)) {
      auto workers = std::make_shared<WorkerPool>("/proc/self/exe", workerArguments_, threads);
      AheadRenderer renderer{
          [this](const std::string& identifier, int64_t box) { return fileToRenderAhead(identifier, box); },
          [](const CataloguedFile& file) { readFileAhead(file.path); },
          [cores, threads](int64_t box) { return std::min(threads, workersFor(cores, box)); },
          [workers] { workers->prepare(); },
          [workers](const ListedFile& listed, const CataloguedFile& file, int64_t box, double factor,
                    std::chrono::nanoseconds& cpu) {
            return workers->render(AheadJob{listed.identifier, file, box, factor, listed.video}, &cpu);
          },
          [workers] { workers->stop(); }};
      readAhead_ = std::make_unique<ReadAhead>(std::move(renderer), threads, kUsualCompressionFactor, kMaxReadAheadBox);
    }
  }
  return readAhead_.get();
}

// The asset's file, unless it has gone or changed, or the cache holds its
// render at the box: a rescan served from the cache starts no worker.
std::optional<CataloguedFile> RenderedImages::fileToRenderAhead(const std::string& identifier, int64_t box) {
  std::optional<CataloguedFile> file = locate_(identifier);
  if (!file) return std::nullopt;
  const std::optional<FileStamp> stamp = stampOfFile(file->path);
  if (!stamp || !isCatalogued(*stamp, file->stamp)) return std::nullopt;
  if (RenderCache* kept = cache(); kept && kept->holds(identifier, box, *stamp)) return std::nullopt;
  return file;
}

// The workers start as the listing goes out, so that they are ready for
// its first request, unless its first asset's render is kept already: then
// the parent is most likely rescanning what the cache holds.
void RenderedImages::listed(int64_t mediaType, const std::vector<PhotoAsset>& assets) {
  ReadAhead* ahead = readAhead();
  if (!ahead) return;
  std::vector<ListedFile> files;
  files.reserve(assets.size());
  for (const auto& asset : assets) files.push_back({asset.localIdentifier, asset.mediaType == kMediaTypeVideo});
  bool prepare = false;
  if (!assets.empty()) {
    if (const std::optional<CataloguedFile> first = locate_(assets.front().localIdentifier)) {
      const std::optional<FileStamp> stamp = stampOfFile(first->path);
      RenderCache* kept = cache();
      prepare = stamp && isCatalogued(*stamp, first->stamp) &&
                !(kept && kept->holdsAnyBox(assets.front().localIdentifier, *stamp));
    }
  }
  ahead->follow(mediaType, std::move(files), prepare);
}

void RenderedImages::forget(const std::vector<std::string>& identifiers) {
  if (RenderCache* kept = cache()) kept->forget(identifiers);
}

// The stamp is taken as the file is opened, before rendering, so a file
// changed while it renders is stored under the older stamp and rendered
// again next time. Every render reads the descriptor opened here.
std::shared_ptr<PlatformImage> RenderedImages::image(const std::string& identifier, const CataloguedFile& file,
                                                     int64_t box, bool video) {
  std::optional<OpenedFile> opened = openCatalogued(file);
  if (!opened) return nullptr;
  const FileStamp stamp = opened->stamp;
  auto renderAfresh = [opened = std::move(*opened), box, video] { return renderFile(opened, box, video); };
  RenderCache* kept = cache();
  ReadAhead* ahead = readAhead();
  std::optional<CachedRender> made;
  if (ahead) made = ahead->take(identifier, box, lastRenderTime_);
  if (made && !sameVisibleState(made->stamp, stamp)) made.reset();
  if (!made && kept) made = kept->load(identifier, box, stamp);
  // A render is timed to its JPEG: the image is decoded as it is encoded.
  const auto start = std::chrono::steady_clock::now();
  JpegHandedOut handedOut = [this, identifier, path = file.path, box, start](const CachedRender& render,
                                                                              bool rendered) {
    this->handedOut(identifier, path, box, render, rendered, start);
  };
  if (made) return std::make_shared<CachedPlatformImage>(std::move(*made), renderAfresh, std::move(handedOut));
  std::shared_ptr<PlatformImage> fresh = renderAfresh();
  if (!fresh) return nullptr;
  return std::make_shared<ReportingPlatformImage>(std::move(fresh), stamp, std::move(handedOut));
}

// A reply's JPEG exists only once the request asks the image for it, at the
// compression factor the request chose: only then can it be kept, and the
// next renders of a scan be planned at that factor.
void RenderedImages::handedOut(const std::string& identifier, const std::string& path, int64_t box,
                               const CachedRender& render, bool rendered,
                               std::chrono::steady_clock::time_point start) {
  if (rendered) lastRenderTime_ = std::chrono::steady_clock::now() - start;
  if (rendered && cache_) keep(*cache_, identifier, box, render, path);
  if (readAhead_) readAhead_->asked(identifier, box, render.compressionFactor);
}

int serveRenderWorker(int socket) {
  const std::unique_ptr<RenderCache> cache = RenderCache::fromEnvironment();
  return runWorkerLoop(
      socket, [] { mediaBackend().renderOnCallingThread(); }, [&](const AheadJob& job) { return renderInWorker(cache.get(), job); });
}

}  // namespace vek::linux_library
