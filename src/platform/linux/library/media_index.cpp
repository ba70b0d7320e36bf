#include "platform/linux/library/media_index.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <exception>
#include <functional>
#include <future>
#include <optional>
#include <thread>
#include <unordered_map>

#include "platform/linux/library/access.hpp"
#include "platform/linux/library/media_backend.hpp"

namespace vek::linux_library {
namespace {

struct FileStampHash {
  size_t operator()(const FileStamp& stamp) const {
    return std::hash<uint64_t>()((stamp.inode * 31 + stamp.device) ^
                                 (static_cast<uint64_t>(stamp.mtimeNs) * 17 + static_cast<uint64_t>(stamp.size)));
  }
};

InodeKey keyOf(const FileStamp& stamp) { return InodeKey{stamp.device, stamp.inode}; }

using ProbeCache = std::unordered_map<FileStamp, ProbeResult, FileStampHash>;

// Where each file of a snapshot is, by device and inode.
struct SnapshotIndex {
  explicit SnapshotIndex(const CatalogSnapshot& snapshot) {
    assets.reserve(snapshot.assets.size());
    for (size_t i = 0; i < snapshot.assets.size(); ++i) assets.emplace(keyOf(snapshot.assets[i].stamp), i);
    for (size_t i = 0; i < snapshot.failures.size(); ++i) failures.emplace(keyOf(snapshot.failures[i]), i);
  }
  std::unordered_map<InodeKey, size_t, InodeKeyHash> assets;
  std::unordered_map<InodeKey, size_t, InodeKeyHash> failures;
};

// How a file found by the walk relates to the catalog.
struct Match {
  const CatalogEntry* entry = nullptr;  // the catalogued file with the same device and inode
  size_t entryIndex = 0;
  bool unchanged = false;       // same size and modification time: kept as it is, perhaps renamed
  bool editedInPlace = false;   // same path, content changed: re-read under the same identifier
  bool knownFailure = false;    // failed to probe before, and has not changed since
  std::optional<size_t> failureIndex;
};

Match match(const CatalogSnapshot& snapshot, const SnapshotIndex& index, const FoundFile& file) {
  Match result;
  if (auto found = index.assets.find(keyOf(file.stamp)); found != index.assets.end()) {
    result.entryIndex = found->second;
    result.entry = &snapshot.assets[found->second];
    result.unchanged = result.entry->stamp == file.stamp;
    // A changed file at a new path may be a new file that reuses a deleted
    // file's inode; it must not inherit that file's identifier.
    result.editedInPlace = !result.unchanged && result.entry->path == file.path;
  }
  if (auto failed = index.failures.find(keyOf(file.stamp)); failed != index.failures.end()) {
    result.failureIndex = failed->second;
    result.knownFailure = !result.unchanged && !result.editedInPlace && snapshot.failures[failed->second] == file.stamp;
  }
  return result;
}

bool needsProbe(const Match& match) { return !match.unchanged && !match.knownFailure; }

std::vector<size_t> filesToProbe(const CatalogSnapshot& snapshot, const SnapshotIndex& index,
                                 const std::vector<FoundFile>& found, const ProbeCache& cache) {
  std::vector<size_t> files;
  for (size_t i = 0; i < found.size(); ++i) {
    if (needsProbe(match(snapshot, index, found[i])) && !cache.contains(found[i].stamp)) files.push_back(i);
  }
  return files;
}

// Probes on every core: the main thread works alongside the pool.
void probeInParallel(const std::vector<FoundFile>& found, const std::vector<size_t>& which, ProbeCache& cache) {
  if (which.empty()) return;
  MediaBackend& media = mediaBackend();
  std::vector<ProbeResult> results(which.size());
  std::atomic<size_t> next{0};
  std::exception_ptr failure;
  std::atomic<bool> failed{false};
  auto work = [&] {
    try {
      for (size_t k = next.fetch_add(1); k < which.size() && !failed; k = next.fetch_add(1)) {
        const FoundFile& file = found[which[k]];
        results[k] = media.probeFile(file.path, file.stamp, file.kind);
      }
    } catch (...) {
      if (!failed.exchange(true)) failure = std::current_exception();
    }
  };
  size_t threadCount = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), which.size());
  std::vector<std::thread> pool;
  for (size_t t = 1; t < threadCount; ++t) {
    try {
      pool.emplace_back([&] {
        work();
        media.releaseThread();
      });
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& thread : pool) thread.join();
  if (failure) std::rethrow_exception(failure);
  for (size_t k = 0; k < which.size(); ++k) cache.emplace(found[which[k]].stamp, results[k]);
}

struct Reconciliation {
  std::vector<CatalogEntry> listed;  // the assets as they now are, in the order of the walk (by path)
  CatalogChanges changes;
};

// Compares the walk with the catalog and decides what the catalog becomes.
// Every file that needs a probe must have its result in the cache. Moves the
// entries out of the snapshot.
Reconciliation reconcile(CatalogSnapshot snapshot, const SnapshotIndex& index, const std::vector<FoundFile>& found,
                         const ProbeCache& cache, const std::function<std::string()>& newIdentifier) {
  Reconciliation result;
  std::vector<bool> keptAssets(snapshot.assets.size(), false);
  std::vector<bool> keptFailures(snapshot.failures.size(), false);
  result.listed.reserve(found.size());

  for (const FoundFile& file : found) {
    Match m = match(snapshot, index, file);
    if (m.unchanged) {
      keptAssets[m.entryIndex] = true;
      CatalogEntry entry = std::move(snapshot.assets[m.entryIndex]);
      if (entry.path != file.path) {
        entry.path = file.path;
        result.changes.savedAssets.push_back(entry);
      }
      result.listed.push_back(std::move(entry));
      continue;
    }
    if (m.knownFailure) {
      keptFailures[*m.failureIndex] = true;
      continue;
    }
    auto probed = cache.find(file.stamp);
    ProbeResult::Status status = probed != cache.end() ? probed->second.status : ProbeResult::Status::kUnreadable;
    switch (status) {
      case ProbeResult::Status::kMedia: {
        std::string identifier;
        if (m.editedInPlace) {
          keptAssets[m.entryIndex] = true;
          identifier = std::move(snapshot.assets[m.entryIndex].localIdentifier);
        } else {
          identifier = newIdentifier();
        }
        CatalogEntry entry{std::move(identifier), file.path, file.stamp, probed->second.facts};
        result.changes.savedAssets.push_back(entry);
        result.listed.push_back(std::move(entry));
        break;
      }
      case ProbeResult::Status::kNotMedia:
        if (m.failureIndex) keptFailures[*m.failureIndex] = true;
        result.changes.savedFailures.push_back(file.stamp);
        break;
      case ProbeResult::Status::kUnreadable:
        // Not listed this time, but a catalogued file keeps its identifier
        // until it can be read again or is gone.
        if (m.entry != nullptr) keptAssets[m.entryIndex] = true;
        break;
    }
  }

  for (size_t i = 0; i < snapshot.assets.size(); ++i) {
    if (!keptAssets[i]) result.changes.removedAssets.push_back(std::move(snapshot.assets[i].localIdentifier));
  }
  for (size_t i = 0; i < snapshot.failures.size(); ++i) {
    if (!keptFailures[i]) result.changes.removedFailures.push_back(snapshot.failures[i]);
  }
  return result;
}

IndexedAsset indexedAsset(CatalogEntry&& entry) {
  IndexedAsset asset;
  asset.asset.localIdentifier = std::move(entry.localIdentifier);
  asset.asset.mediaType = entry.facts.mediaType;
  asset.asset.pixelWidth = entry.facts.pixelWidth;
  asset.asset.pixelHeight = entry.facts.pixelHeight;
  asset.asset.creationDate = entry.facts.creationDate;
  asset.asset.duration = entry.facts.duration;
  asset.path = std::move(entry.path);
  return asset;
}

bool isSameFile(const std::string& path, const FileStamp& stamp) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         static_cast<uint64_t>(info.st_dev) == stamp.device && static_cast<uint64_t>(info.st_ino) == stamp.inode;
}

std::mt19937_64 seededEngine() {
  std::random_device device;
  std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
  return std::mt19937_64(seed);
}

}  // namespace

MediaIndex::MediaIndex(LibraryLocation location)
    : location_(std::move(location)), catalog_(location_.catalogPath), random_(seededEngine()) {}

int64_t MediaIndex::authorizationStatus() const { return authorizationStatusForRoots(location_.roots); }

template <typename Operation>
auto MediaIndex::rebuildingOnCorruption(Operation operation) {
  try {
    return operation();
  } catch (const CatalogCorruptError&) {
    catalog_.rebuild();
    return operation();
  }
}

std::string MediaIndex::newIdentifier() {
  uint64_t high = random_();
  uint64_t low = random_();
  // A version 4 (random) UUID in the variant of RFC 4122.
  high = (high & ~uint64_t{0xF000}) | 0x4000;
  low = (low & ~(uint64_t{0xC} << 60)) | (uint64_t{0x8} << 60);
  char text[64];
  std::snprintf(text, sizeof text, "%08" PRIX64 "-%04" PRIX64 "-%04" PRIX64 "-%04" PRIX64 "-%012" PRIX64 "/L0/001",
                high >> 32, (high >> 16) & 0xFFFF, high & 0xFFFF, low >> 48, low & 0xFFFFFFFFFFFF);
  return text;
}

std::vector<CatalogEntry> MediaIndex::synchronize(const std::vector<FoundFile>& found, CatalogSnapshot snapshot) {
  auto identifiers = [this] { return newIdentifier(); };
  const int64_t seenVersion = snapshot.dataVersion;
  ProbeCache cache;
  std::optional<SnapshotIndex> index(std::in_place, snapshot);
  probeInParallel(found, filesToProbe(snapshot, *index, found, cache), cache);
  Reconciliation plan = reconcile(std::move(snapshot), *index, found, cache, identifiers);
  if (plan.changes.empty()) return std::move(plan.listed);

  Catalog::WriteTransaction transaction(catalog_);
  // Another helper wrote in the meantime: decide again on what it wrote, so
  // both agree on one identifier per file. Its probes are mostly ours too.
  if (catalog_.dataVersion() != seenVersion) {
    CatalogSnapshot fresh = catalog_.load();
    index.emplace(fresh);
    probeInParallel(found, filesToProbe(fresh, *index, found, cache), cache);
    plan = reconcile(std::move(fresh), *index, found, cache, identifiers);
  }
  catalog_.apply(plan.changes);
  transaction.commit();
  return std::move(plan.listed);
}

std::vector<IndexedAsset> MediaIndex::list(int64_t mediaType, bool newestFirst) {
  // Dates without a zone are read in the machine's zone as it is now.
  tzset();
  // The catalog is read while the folders are walked; nothing else uses it
  // until both are done.
  auto loading = std::async(std::launch::async | std::launch::deferred, [this] { return catalog_.load(); });
  std::vector<FoundFile> found = scanLibrary(distinctRoots(location_.roots));
  std::optional<CatalogSnapshot> loaded;
  try {
    loaded = loading.get();
  } catch (const CatalogCorruptError&) {
    // Reading again below meets the same damage and rebuilds the catalog.
  }
  std::vector<CatalogEntry> entries = rebuildingOnCorruption([&] {
    CatalogSnapshot snapshot = loaded ? std::move(*loaded) : catalog_.load();
    loaded.reset();
    return synchronize(found, std::move(snapshot));
  });
  found = {};

  // The entries come in path order, so a stable sort by date alone leaves
  // ties in path order without comparing paths.
  std::vector<size_t> order;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].facts.mediaType == mediaType) order.push_back(i);
  }
  auto dateOf = [&entries](size_t i) { return entries[i].facts.creationDate.value_or(0); };
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return newestFirst ? dateOf(a) > dateOf(b) : dateOf(a) < dateOf(b);
  });
  std::vector<IndexedAsset> assets;
  assets.reserve(order.size());
  for (size_t i : order) assets.push_back(indexedAsset(std::move(entries[i])));
  return assets;
}

std::vector<IndexedAsset> MediaIndex::lookup(const std::vector<std::string>& localIdentifiers) {
  std::vector<CatalogEntry> entries = rebuildingOnCorruption([&] { return catalog_.find(localIdentifiers); });
  std::vector<IndexedAsset> assets;
  for (CatalogEntry& entry : entries) {
    if (isSameFile(entry.path, entry.stamp)) assets.push_back(indexedAsset(std::move(entry)));
  }
  return assets;
}

void MediaIndex::forget(const std::vector<std::string>& localIdentifiers) {
  rebuildingOnCorruption([&] { catalog_.remove(localIdentifiers); });
}

}  // namespace vek::linux_library
