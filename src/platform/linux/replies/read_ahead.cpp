#include "platform/linux/replies/read_ahead.hpp"

#include <pthread.h>

#include <algorithm>
#include <system_error>

namespace vek::linux_library {
namespace {

// Once the cores were found busy, this many requests are rendered on the
// request thread alone before reading ahead again; twice as many each time
// they are found busy again at once, up to 32 times as many, since a wait
// that ends in nothing costs the scan its whole length.
constexpr unsigned kPauseWhenBusy = 32;
constexpr unsigned kLongestPauseShift = 5;
// A render ahead taking this many times its usual time, or a request
// waiting that long, means the cores it runs on were given to others.
constexpr int kSlowFactor = 3;
constexpr auto kShortestWait = std::chrono::milliseconds(50);
// Renders ahead that have had less than this share of their cores show
// that other programs want them.
constexpr double kLeastCoreShare = 0.5;
// Before any render was timed.
constexpr auto kFirstRenderWait = std::chrono::seconds(1);

}  // namespace

ReadAhead::ReadAhead(AheadRenderer renderer, unsigned threads, double expectedFactor, int64_t largestBox)
    : renderer_(std::move(renderer)), threadCount_(threads), largestBox_(largestBox), factor_(expectedFactor) {}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  renderer_.stop();
  for (auto& thread : threads_) thread.join();
}

void ReadAhead::follow(int64_t mediaType, std::vector<ListedFile> listing, bool prepare) {
  std::lock_guard lock(mutex_);
  listings_[mediaType] = std::move(listing);
  listing_.clear();
  starts_.clear();
  for (const auto& [type, files] : listings_) {
    starts_.push_back(listing_.size());
    for (const ListedFile& file : files) listing_.push_back(&file);
  }
  byIdentifier_.resize(listing_.size());
  for (size_t i = 0; i < listing_.size(); ++i) byIdentifier_[i] = i;
  std::sort(byIdentifier_.begin(), byIdentifier_.end(),
            [&](size_t a, size_t b) { return listing_[a]->identifier < listing_[b]->identifier; });
  // Renders in flight finish unseen; their threads count them off running_.
  jobs_.clear();
  located_.clear();
  last_.reset();
  if (prepare) startThreads();
}

std::optional<size_t> ReadAhead::positionOf(const std::string& identifier) const {
  const auto found =
      std::lower_bound(byIdentifier_.begin(), byIdentifier_.end(), identifier,
                       [&](size_t position, const std::string& wanted) { return listing_[position]->identifier < wanted; });
  if (found == byIdentifier_.end() || listing_[*found]->identifier != identifier) return std::nullopt;
  return *found;
}

// A scan starts at the first asset of a listing, at any box, and goes on
// asset after asset at one box.
bool ReadAhead::continuesScan(size_t position, int64_t box) const {
  if (box <= 0 || box > largestBox_) return false;
  if (std::find(starts_.begin(), starts_.end(), position) != starts_.end()) return true;
  return last_ && last_->position + 1 == position && last_->box == box;
}

// Until a render ahead was timed, the request thread's own renders show
// what one takes, once it has made one.
std::chrono::steady_clock::duration ReadAhead::patience() const {
  const auto usual = usualRender_ ? *usualRender_ : ownRender_;
  if (usual == std::chrono::steady_clock::duration::zero()) return kFirstRenderWait;
  return std::max<std::chrono::steady_clock::duration>(usual * kSlowFactor, kShortestWait);
}

std::optional<CachedRender> ReadAhead::take(const std::string& identifier, int64_t box,
                                            std::chrono::steady_clock::duration ownRender) {
  std::unique_lock lock(mutex_);
  if (ownRender > ownRender.zero()) ownRender_ = ownRender;
  const std::optional<size_t> position = positionOf(identifier);
  if (!position) return std::nullopt;
  if (pausedFor_ == 0 && continuesScan(*position, box)) plan(*position, box);
  const auto found = jobs_.find(*position);
  if (found == jobs_.end() || found->second->box != box) return std::nullopt;
  const std::shared_ptr<Job> job = found->second;
  // No thread is ready yet (the workers are still starting): the request
  // renders for itself rather than wait on a start-up that an idle-priority
  // worker on a busy machine may take long to finish.
  if (!job->started && ready_ == 0) {
    jobs_.erase(found);
    return std::nullopt;
  }
  // Left among the jobs until it is done, for a thread to start it.
  job->awaited = true;
  const bool done = finished_.wait_for(lock, patience(), [&] { return job->finished; });
  if (const auto still = jobs_.find(*position); still != jobs_.end() && still->second == job) jobs_.erase(still);
  if (!done) {
    pause();
    return std::nullopt;
  }
  if (job->render) busyInARow_ = 0;
  return std::move(job->render);
}

void ReadAhead::asked(const std::string& identifier, int64_t box, double compressionFactor) {
  std::unique_lock lock(mutex_);
  const std::optional<size_t> found = positionOf(identifier);
  if (!found) {
    dropIdle();
    last_.reset();
    return;
  }
  const size_t position = *found;
  const bool inOrder = continuesScan(position, box);
  last_ = Asked{position, box};
  // What lies behind is not asked for again.
  jobs_.erase(jobs_.begin(), jobs_.upper_bound(position));
  located_.erase(located_.begin(), located_.upper_bound(position));
  if (compressionFactor != factor_) {
    factor_ = compressionFactor;
    dropIdle();
  }
  if (!inOrder) {
    dropIdle();
    return;
  }
  if (pausedFor_ > 0) {
    --pausedFor_;
    return;
  }
  plan(position + 1, box);
}

// Plans the renders from `from` on, a thread's worth beyond those that may
// run at once, and hints the files of as many more. Called with the lock.
void ReadAhead::plan(size_t from, int64_t box) {
  if (box != limitBox_) {
    limit_ = renderer_.concurrency(box);
    limitBox_ = box;
  }
  if (limit_ == 0) return;
  const size_t planned = std::min(listing_.size(), from + limit_ + 1);
  bool added = false;
  for (size_t next = from; next < planned; ++next) {
    std::shared_ptr<Job>& job = jobs_[next];
    if (job && job->box == box && job->compressionFactor == factor_) continue;
    // A render of another box or factor still in flight is left to finish,
    // unseen: only its thread holds it now.
    std::optional<CataloguedFile> file;
    if (const auto hinted = located_.find(next); hinted != located_.end()) {
      file = std::move(hinted->second);
      located_.erase(hinted);
    } else {
      file = renderer_.locate(listing_[next]->identifier, box);
    }
    if (!file) {
      jobs_.erase(next);
      continue;
    }
    job = std::make_shared<Job>();
    job->position = next;
    job->file = std::move(*file);
    job->box = box;
    job->compressionFactor = factor_;
    added = true;
  }
  const size_t hinted = std::min(listing_.size(), planned + limit_);
  for (size_t next = planned; next < hinted; ++next) {
    if (located_.count(next) != 0) continue;
    std::optional<CataloguedFile>& file = located_[next];
    file = renderer_.locate(listing_[next]->identifier, box);
    if (file) renderer_.hint(*file);
  }
  if (!added) return;
  startThreads();
  queued_.notify_all();
}

void ReadAhead::pause() {
  coreShare_ = 1;
  pausedFor_ = kPauseWhenBusy << std::min(busyInARow_, kLongestPauseShift);
  ++busyInARow_;
  dropIdle();
}

// Renders in flight stay, so that a request for one of them still waits for
// it; their threads hold on to them. So does the one a request waits for.
void ReadAhead::dropIdle() {
  std::erase_if(jobs_, [](const auto& entry) {
    const Job& job = *entry.second;
    return !job.awaited && (!job.started || job.finished);
  });
  located_.clear();
}

void ReadAhead::startThreads() {
  while (threads_.size() < threadCount_) {
    try {
      threads_.emplace_back([this] { run(); });
    } catch (const std::system_error&) {
      return;
    }
  }
}

void ReadAhead::run() {
  pthread_setname_np(pthread_self(), "vek-read-ahead");
  try {
    renderer_.prepare();
  } catch (...) {
    // Then the first render pays for what was not prepared.
  }
  {
    std::lock_guard lock(mutex_);
    ++ready_;
  }
  for (;;) {
    std::shared_ptr<Job> job;
    ListedFile file;
    {
      std::unique_lock lock(mutex_);
      // The lowest position first: the one the request waits for.
      auto unstarted = [&] {
        if (running_ >= limit_) return std::shared_ptr<Job>();
        for (const auto& [position, candidate] : jobs_) {
          if (!candidate->started) return candidate;
        }
        return std::shared_ptr<Job>();
      };
      queued_.wait(lock, [&] { return stopping_ || (job = unstarted()); });
      if (stopping_) break;
      job->started = true;
      ++running_;
      file = *listing_[job->position];
    }
    std::optional<CachedRender> render;
    std::chrono::nanoseconds cpu{-1};
    const auto start = std::chrono::steady_clock::now();
    try {
      render = renderer_.render(file, job->file, job->box, job->compressionFactor, cpu);
    } catch (...) {
      // A render that cannot be made ahead is made, or fails, on request.
    }
    {
      std::lock_guard lock(mutex_);
      job->render = std::move(render);
      job->took = std::chrono::steady_clock::now() - start;
      job->finished = true;
      --running_;
      // A render's processor time tells a starved render from a large
      // photo, and the share of its core that renders have had, halved
      // towards each new one, tells cores given to others from one render
      // preempted once. Without it, a render far slower than usual is taken
      // for starved. Renders too short to tell say nothing.
      bool starved = false;
      if (cpu.count() >= 0 && job->took > kShortestWait) {
        const double share = std::min(1.0, static_cast<double>(cpu.count()) /
                                               std::chrono::duration_cast<std::chrono::nanoseconds>(job->took).count());
        coreShare_ = (coreShare_ + share) / 2;
        starved = coreShare_ < kLeastCoreShare;
      } else if (cpu.count() < 0) {
        starved = usualRender_ && job->took > patience();
      }
      if (starved) {
        pause();
      } else if (job->render) {
        // One slow render moves the usual time only a little.
        const auto counted = usualRender_ ? std::min(job->took, *usualRender_ * 2) : job->took;
        usualRender_ = usualRender_ ? (*usualRender_ * 7 + counted) / 8 : counted;
      }
    }
    finished_.notify_all();
    queued_.notify_one();
  }
}

}  // namespace vek::linux_library
