#include "platform/linux/replies/read_ahead.hpp"

#include <pthread.h>

#include <algorithm>
#include <system_error>

namespace vek::linux_library {
namespace {

// Once the cores were found busy, this many requests are rendered on the
// request thread alone before reading ahead again.
constexpr unsigned kPauseWhenBusy = 32;
// A request may wait for a render ahead half as long again as its own
// renders take, times the number of renders ahead that share the cores with
// it, before the cores count as busy.
constexpr int kBusyNumerator = 3;
constexpr int kBusyDenominator = 2;
constexpr auto kShortestWait = std::chrono::milliseconds(50);

}  // namespace

ReadAhead::ReadAhead(AheadRenderer renderer, unsigned threads, size_t depth, int64_t largestBox)
    : renderer_(std::move(renderer)), threadCount_(threads), depth_(depth), largestBox_(largestBox) {}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  renderer_.stop();
  for (auto& thread : threads_) thread.join();
}

void ReadAhead::follow(int64_t mediaType, std::vector<ListedFile> listing) {
  std::lock_guard lock(mutex_);
  listings_[mediaType] = std::move(listing);
  listing_.clear();
  for (const auto& [type, files] : listings_) {
    for (const ListedFile& file : files) listing_.push_back(&file);
  }
  byIdentifier_.resize(listing_.size());
  for (size_t i = 0; i < listing_.size(); ++i) byIdentifier_[i] = i;
  std::sort(byIdentifier_.begin(), byIdentifier_.end(),
            [&](size_t a, size_t b) { return listing_[a]->identifier < listing_[b]->identifier; });
  jobs_.clear();
  last_.reset();
}

std::optional<size_t> ReadAhead::positionOf(const std::string& identifier) const {
  const auto found =
      std::lower_bound(byIdentifier_.begin(), byIdentifier_.end(), identifier,
                       [&](size_t position, const std::string& wanted) { return listing_[position]->identifier < wanted; });
  if (found == byIdentifier_.end() || listing_[*found]->identifier != identifier) return std::nullopt;
  return *found;
}

std::optional<CachedRender> ReadAhead::take(const std::string& identifier, int64_t box,
                                            std::chrono::steady_clock::duration ownRender) {
  std::unique_lock lock(mutex_);
  const std::optional<size_t> position = positionOf(identifier);
  if (!position) return std::nullopt;
  const auto found = jobs_.find(*position);
  if (found == jobs_.end() || found->second->box != box) return std::nullopt;
  const std::shared_ptr<Job> job = found->second;
  jobs_.erase(found);
  // Not started yet: the request thread, at its own priority, is quicker.
  if (!job->started) return std::nullopt;
  const auto busy = std::max<std::chrono::steady_clock::duration>(ownRender, kShortestWait) * kBusyNumerator *
                    threadCount_ / kBusyDenominator;
  if (!finished_.wait_for(lock, busy, [&] { return job->finished; })) {
    pause();
    return std::nullopt;
  }
  if (job->took > busy) pause();
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
  const bool inOrder = last_ && last_->position + 1 == position && last_->box == box &&
                       last_->compressionFactor == compressionFactor;
  last_ = Asked{position, box, compressionFactor};
  // What lies behind is not asked for again.
  jobs_.erase(jobs_.begin(), jobs_.upper_bound(position));
  if (!inOrder || box <= 0 || box > largestBox_) {
    dropIdle();
    return;
  }
  if (pausedFor_ > 0) {
    --pausedFor_;
    return;
  }
  bool added = false;
  for (size_t next = position + 1; next <= position + depth_ && next < listing_.size(); ++next) {
    std::shared_ptr<Job>& job = jobs_[next];
    if (job && job->box == box && job->compressionFactor == compressionFactor) continue;
    std::optional<CataloguedFile> file = renderer_.locate(listing_[next]->identifier, box);
    if (!file) {
      jobs_.erase(next);
      continue;
    }
    job = std::make_shared<Job>(Job{next, std::move(*file), box, compressionFactor, false, false, std::nullopt});
    added = true;
  }
  if (!added) return;
  startThreads();
  lock.unlock();
  queued_.notify_all();
}

void ReadAhead::pause() {
  pausedFor_ = kPauseWhenBusy;
  dropIdle();
}

// Renders in flight stay, so that a request for one of them still waits for
// it; their threads hold on to them.
void ReadAhead::dropIdle() {
  std::erase_if(jobs_, [](const auto& entry) { return !entry.second->started || entry.second->finished; });
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
  for (;;) {
    std::shared_ptr<Job> job;
    ListedFile file;
    {
      std::unique_lock lock(mutex_);
      auto unstarted = [&] {
        for (const auto& [position, candidate] : jobs_) {
          if (!candidate->started) return candidate;
        }
        return std::shared_ptr<Job>();
      };
      queued_.wait(lock, [&] { return stopping_ || (job = unstarted()); });
      if (stopping_) break;
      job->started = true;
      file = *listing_[job->position];
    }
    std::optional<CachedRender> render;
    const auto start = std::chrono::steady_clock::now();
    try {
      render = renderer_.render(file, job->file, job->box, job->compressionFactor);
    } catch (...) {
      // A render that cannot be made ahead is made, or fails, on request.
    }
    {
      std::lock_guard lock(mutex_);
      job->render = std::move(render);
      job->took = std::chrono::steady_clock::now() - start;
      job->finished = true;
    }
    finished_.notify_all();
  }
}

}  // namespace vek::linux_library
