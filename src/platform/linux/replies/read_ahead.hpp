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
// render is kept already); hint() is told of a file that will be rendered
// soon, so that its pages can be read meanwhile; concurrency() says how many
// renders at the box may run at once (0: none, the box is not rendered
// ahead). These run on the request thread (the one that calls take() and
// asked()). render() makes one file's reply at the box and factor (from the
// disk cache or afresh), nullopt when it cannot, and sets `cpu` to the
// processor time it took where it can tell; it runs on the read-ahead
// threads, several at once, and is where the low priority of rendering ahead
// belongs (the helper hands it to worker processes). prepare() runs on each
// read-ahead thread as it starts, before it takes a render: what it costs
// once (starting a worker) then holds up no request, which meanwhile
// renders for itself. stop()
// runs once, on destruction, before the threads are joined: it must end the
// renders and preparations in flight.
struct AheadRenderer {
  std::function<std::optional<CataloguedFile>(const std::string& identifier, int64_t box)> locate;
  std::function<void(const CataloguedFile& file)> hint;
  std::function<unsigned(int64_t box)> concurrency;
  std::function<void()> prepare;
  std::function<std::optional<CachedRender>(const ListedFile&, const CataloguedFile& file, int64_t box,
                                            double compressionFactor, std::chrono::nanoseconds& cpu)>
      render;
  std::function<void()> stop;
};

// Renders the assets of the last listing before the parent asks for them,
// while it scans the listing in order: from a request for the first asset
// of a listing, or for the one after the last asked for, at one box (of at
// most `largestBox`). Then every render of the scan is made by the
// read-ahead threads, as many at once as concurrency() allows at the box,
// with one more queued so that a thread that finishes finds its next render
// waiting; the request thread waits for its asset's render rather than
// making a second one, and the files after those are hinted. Any other
// request (another asset, or box) drops what was not started and what was
// made but not asked for. Renders are held in memory only until they are
// asked for or dropped.
//
// Renders ahead run at idle priority, which a busy machine runs late or not
// at all. Renders ahead that had their cores for less than half their time
// lately (each render weighing as much as all before it) show the cores were
// not idle, and read-ahead pauses for a while (the request
// thread renders alone meanwhile), longer each time the cores are found busy
// again before a render ahead was served. A request waits only so long for
// its render: three times what renders ahead have been taking, or before
// any was timed what the request thread's own take (a second before
// either); past it the caller renders itself, and read-ahead pauses too.
// Until a thread is prepared, requests render for themselves.
//
// Called from one thread (the request thread); the threads start when a
// listing asks for them or on first use, and are stopped and joined on
// destruction.
class ReadAhead {
 public:
  ReadAhead(AheadRenderer renderer, unsigned threads, double expectedFactor, int64_t largestBox);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The listing of a media type that later requests are expected to
  // follow, in place of the one before of that type: requests may go on
  // from the last image to the first video. Forgets every render made ahead.
  // With `prepare`, the threads start now and prepare, before the first
  // request.
  void follow(int64_t mediaType, std::vector<ListedFile> listing, bool prepare);

  // The reply rendered ahead for the asset at the box, waiting for one in
  // flight, and for one planned now when the request starts or continues a
  // scan; `ownRender` is how long the caller's last render of its own took
  // (zero when it has made none). nullopt when there is none; the caller
  // then renders, and must check the render's stamp and factor itself.
  std::optional<CachedRender> take(const std::string& identifier, int64_t box,
                                   std::chrono::steady_clock::duration ownRender);

  // The parent was given the asset at the box, encoded at the factor: plans
  // what to render next, at that factor.
  void asked(const std::string& identifier, int64_t box, double compressionFactor);

 private:
  struct Job {
    size_t position;
    CataloguedFile file;
    int64_t box;
    double compressionFactor;
    bool awaited = false;
    bool started = false;
    bool finished = false;
    std::optional<CachedRender> render;
    std::chrono::steady_clock::duration took{};
  };
  struct Asked {
    size_t position;
    int64_t box;
  };

  void run();
  std::optional<size_t> positionOf(const std::string& identifier) const;
  bool continuesScan(size_t position, int64_t box) const;
  void plan(size_t from, int64_t box);
  std::chrono::steady_clock::duration patience() const;
  void dropIdle();
  void pause();
  void startThreads();

  const AheadRenderer renderer_;
  const unsigned threadCount_;
  const int64_t largestBox_;
  std::vector<std::thread> threads_;

  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  bool stopping_ = false;
  std::map<int64_t, std::vector<ListedFile>> listings_;  // by media type
  std::vector<const ListedFile*> listing_;               // all of them, in that order
  std::vector<size_t> starts_;                           // where each media type's listing starts in it
  std::vector<size_t> byIdentifier_;                     // positions in listing_, sorted by identifier
  std::map<size_t, std::shared_ptr<Job>> jobs_;          // by position in the listing
  std::map<size_t, std::optional<CataloguedFile>> located_;  // files hinted, not yet planned
  std::optional<Asked> last_;
  double factor_;              // of the last reply handed out
  int64_t limitBox_ = 0;       // the box `limit_` is for
  unsigned limit_ = 0;         // renders that may run at once
  unsigned running_ = 0;       // renders running
  unsigned ready_ = 0;         // threads done preparing
  double coreShare_ = 1;       // of their cores that renders ahead had lately
  std::optional<std::chrono::steady_clock::duration> usualRender_;  // what renders ahead take, smoothed
  std::chrono::steady_clock::duration ownRender_{};                 // the request thread's last
  unsigned pausedFor_ = 0;     // requests to let pass before reading ahead again
  unsigned busyInARow_ = 0;    // pauses since a render ahead was last served
};

}  // namespace vek::linux_library
