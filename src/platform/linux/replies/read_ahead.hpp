#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/replies/render_cache.hpp"

namespace vek::linux_library {

// One asset of a listing, as read-ahead needs it. A listing can hold a
// million assets, so it keeps no paths: those are looked up only for the
// few assets rendered ahead.
struct ListedFile {
  std::string identifier;
  bool video = false;
};

// How read-ahead renders. locate() gives an asset's file to render at the
// box, none when there is nothing to render (the file has gone, or its
// render is kept already); it runs on the request thread (the
// one that calls asked()), when a render ahead is planned. render() makes one file's reply
// at the box and factor (from the disk cache or afresh), nullopt when it
// cannot; it runs on the read-ahead threads, several at once, and is where
// the low priority of rendering ahead belongs (the helper hands it to worker
// processes). prepare() runs on each read-ahead thread as it starts, before
// it takes a render: what it costs once (starting a worker) then holds up
// no request, which meanwhile renders for itself. stop() runs once, on
// destruction, before the threads are joined: it must end the renders and
// preparations in flight.
struct AheadRenderer {
  std::function<std::optional<CataloguedFile>(const std::string& identifier, int64_t box)> locate;
  std::function<void()> prepare;
  std::function<std::optional<CachedRender>(const ListedFile&, const CataloguedFile& file, int64_t box,
                                            double compressionFactor)>
      render;
  std::function<void()> stop;
};

// Renders the next assets of the last listing before the parent asks for
// them, while it scans the listing in order: once two requests in a row were
// for neighbouring assets at one box (of at most `largestBox`) and factor,
// the `depth` assets after
// the last one asked for are rendered on `threads` threads. Any other request (another asset, box or factor)
// drops what was not started and what was made but not asked for. Renders
// are held in memory only until they are asked for or dropped: at most
// `depth` plus one per thread.
//
// A request for an asset being rendered ahead waits for that render rather
// than making a second one. Renders ahead run at idle priority, which a busy
// machine runs late or not at all, so the wait is bounded: by one and a half
// times what the request thread's own renders take, times the number of
// threads (their renders run side by side, sharing the cores). Past it the
// caller renders itself. Then, and whenever a render ahead took that long,
// the cores were not idle, and read-ahead pauses for a while.
//
// Called from one thread (the request thread); the threads start on first
// use and are stopped and joined on destruction.
class ReadAhead {
 public:
  ReadAhead(AheadRenderer renderer, unsigned threads, size_t depth, int64_t largestBox);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The listing of a media type that later requests are expected to
  // follow, in place of the one before of that type: requests may go on
  // from the last image to the first video. Forgets every render made ahead.
  void follow(int64_t mediaType, std::vector<ListedFile> listing);

  // The reply rendered ahead for the asset at the box, waiting for one in
  // flight; `ownRender` is how long the caller's last render of its own
  // took. nullopt when there is none; the caller then renders, and must
  // check the render's stamp and factor itself.
  std::optional<CachedRender> take(const std::string& identifier, int64_t box,
                                   std::chrono::steady_clock::duration ownRender);

  // The parent was given the asset at the box, encoded at the factor: plans
  // what to render next.
  void asked(const std::string& identifier, int64_t box, double compressionFactor);

 private:
  struct Job {
    size_t position;
    CataloguedFile file;
    int64_t box;
    double compressionFactor;
    bool started = false;
    bool finished = false;
    std::optional<CachedRender> render;
    std::chrono::steady_clock::duration took{};
  };
  struct Asked {
    size_t position;
    int64_t box;
    double compressionFactor;
  };

  void run();
  std::optional<size_t> positionOf(const std::string& identifier) const;
  void dropIdle();
  void pause();
  void startThreads();

  const AheadRenderer renderer_;
  const unsigned threadCount_;
  const size_t depth_;
  const int64_t largestBox_;
  std::vector<std::thread> threads_;

  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  bool stopping_ = false;
  std::map<int64_t, std::vector<ListedFile>> listings_;  // by media type
  std::vector<const ListedFile*> listing_;               // all of them, in that order
  std::vector<size_t> byIdentifier_;                     // positions in listing_, sorted by identifier
  std::map<size_t, std::shared_ptr<Job>> jobs_;  // by position in the listing
  std::optional<Asked> last_;
  unsigned pausedFor_ = 0;  // requests to let pass before reading ahead again
};

}  // namespace vek::linux_library
