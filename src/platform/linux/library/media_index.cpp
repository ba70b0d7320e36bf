#include "platform/linux/library/media_index.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <exception>
#include <functional>
#include <thread>
#include <unordered_map>

#include "photos/uuid.hpp"
#include "platform/linux/library/access.hpp"
#include "platform/linux/modules/backends.hpp"
#include "platform/linux/posix/memory_policy.hpp"

namespace vek::linux_library {
namespace {

struct FileStampHash {
  size_t operator()(const FileStamp& stamp) const {
    return std::hash<uint64_t>()((stamp.inode * 31 + stamp.device) ^
                                 (static_cast<uint64_t>(stamp.mtimeNs) * 17 + static_cast<uint64_t>(stamp.size)));
  }
};

// The catalog keeps no change times: a file counts as unchanged while its
// device, inode, size and modification time are.
bool unchanged(const FileStamp& catalogued, const FileStamp& now) {
  return keyOf(catalogued) == keyOf(now) && catalogued.size == now.size && catalogued.mtimeNs == now.mtimeNs;
}

using ProbeCache = std::unordered_map<FileStamp, ProbeResult, FileStampHash>;

// A first listing of a large library commits the new files it probes in
// pieces, so that a helper stopped half way leaves them to the next one.
// Pieces grow with the work done, up to a bound on the memory a piece
// holds: few commits (each rewrites much of the identifier index, whose
// random keys spread over all its pages), and a stop loses little.
constexpr size_t kFirstPiece = 1024;
constexpr size_t kLargestPiece = 65536;
size_t pieceAfter(size_t probed) { return std::clamp(probed / 4, kFirstPiece, kLargestPiece); }

constexpr uint32_t kNoIdentifier = UINT32_MAX;

// A file whose content must be read, and what the catalog knows of it.
struct Pending {
  size_t file = 0;                       // in the walk's files
  uint32_t identifier = kNoIdentifier;   // in Plan::identifiers: the catalogued asset with the same device and inode
  bool editedInPlace = false;            // that asset is at the same path: its identifier goes on
  bool failed = false;                   // a failure with the same device and inode is on record

  bool isNew() const { return identifier == kNoIdentifier; }
};

// What a listing decides from the walk and the catalog before probing.
struct Plan {
  std::vector<ListedAsset> listed;  // of the requested media type
  std::vector<Pending> pending;     // in walk order
  std::vector<std::string> identifiers;
  CatalogChanges changes;  // renames and removals, known without probing
  int64_t dataVersion = 0;
};

void addListed(std::vector<ListedAsset>& listed, CatalogEntry&& entry, size_t walkIndex, int64_t mediaType) {
  if (entry.facts.mediaType != mediaType) return;
  PhotoAsset asset;
  asset.localIdentifier = std::move(entry.localIdentifier);
  asset.mediaType = entry.facts.mediaType;
  asset.pixelWidth = entry.facts.pixelWidth;
  asset.pixelHeight = entry.facts.pixelHeight;
  asset.creationDate = entry.facts.creationDate;
  asset.duration = entry.facts.duration;
  listed.push_back(ListedAsset{std::move(asset), walkIndex});
}

// A path no longer needed once its file is settled in the catalog: a large
// listing holds the walk's paths only while they are of use.
void dropPath(FoundFile& file) { std::string().swap(file.path); }

// Compares the walk with the catalog. Both are in path order, so most files
// meet their catalogued entry in one pass over the rows, with no copy of the
// catalog held; only entries whose path the walk does not hold with the same
// file (renamed, replaced or gone) are kept aside, to be matched by device
// and inode. The paths of files found unchanged are dropped as the rows pass.
Plan makePlan(Catalog& catalog, std::vector<FoundFile>& found, int64_t mediaType) {
  Plan plan;
  plan.listed.reserve(found.size());
  std::vector<size_t> unmatched;
  std::unordered_map<InodeKey, CatalogEntry, InodeKeyHash> aside;
  size_t next = 0;
  CatalogState state = catalog.read([&](CatalogEntry&& entry) {
    while (next < found.size() && found[next].path < entry.path) unmatched.push_back(next++);
    if (next < found.size() && found[next].path == entry.path && keyOf(found[next].stamp) == keyOf(entry.stamp)) {
      if (unchanged(entry.stamp, found[next].stamp)) {
        addListed(plan.listed, std::move(entry), next, mediaType);
        dropPath(found[next]);
      } else {
        plan.pending.push_back(Pending{next, static_cast<uint32_t>(plan.identifiers.size()), true});
        plan.identifiers.push_back(std::move(entry.localIdentifier));
      }
      ++next;
      return;
    }
    aside.emplace(keyOf(entry.stamp), std::move(entry));
  });
  while (next < found.size()) unmatched.push_back(next++);
  plan.dataVersion = state.dataVersion;

  // Failures not claimed below are of files gone or changed into media.
  std::unordered_map<InodeKey, std::pair<FileStamp, bool>, InodeKeyHash> failures;
  for (const FileStamp& failure : state.failures) failures.emplace(keyOf(failure), std::make_pair(failure, false));
  auto claimFailure = [&](const FileStamp& stamp) {
    auto failure = failures.find(keyOf(stamp));
    if (failure == failures.end()) return false;
    failure->second.second = true;
    return true;
  };
  for (Pending& pending : plan.pending) pending.failed = claimFailure(found[pending.file].stamp);

  for (size_t i : unmatched) {
    const FoundFile& file = found[i];
    auto entry = aside.find(keyOf(file.stamp));
    if (entry != aside.end() && unchanged(entry->second.stamp, file.stamp)) {
      // Renamed or moved, content unchanged.
      entry->second.path = file.path;
      plan.changes.savedAssets.push_back(entry->second);
      addListed(plan.listed, std::move(entry->second), i, mediaType);
      aside.erase(entry);
      continue;
    }
    auto failure = failures.find(keyOf(file.stamp));
    if (failure != failures.end() && unchanged(failure->second.first, file.stamp)) {
      // Failed before and has not changed since. A changed asset of the same
      // inode at another path stays aside, to be removed.
      failure->second.second = true;
      continue;
    }
    Pending pending{i};
    pending.failed = claimFailure(file.stamp);
    // A changed file at a new path may be a new file that reuses a deleted
    // file's inode; it must not inherit that file's identifier, but the old
    // entry is kept while the file cannot be read.
    if (entry != aside.end()) {
      pending.identifier = static_cast<uint32_t>(plan.identifiers.size());
      plan.identifiers.push_back(std::move(entry->second.localIdentifier));
      aside.erase(entry);
    }
    plan.pending.push_back(pending);
  }
  std::sort(plan.pending.begin(), plan.pending.end(),
            [](const Pending& a, const Pending& b) { return a.file < b.file; });
  for (auto& [key, entry] : aside) plan.changes.removedAssets.push_back(std::move(entry.localIdentifier));
  for (auto& [key, failure] : failures) {
    if (!failure.second) plan.changes.removedFailures.push_back(failure.first);
  }
  return plan;
}

// Decides what the catalog becomes for a file once its content was read.
void settle(Plan& plan, const Pending& pending, const FoundFile& file, const ProbeResult& probe, int64_t mediaType,
            CatalogChanges& changes, const std::function<std::string()>& newIdentifier) {
  switch (probe.status) {
    case ProbeResult::Status::kMedia: {
      std::string identifier;
      if (pending.editedInPlace) {
        identifier = std::move(plan.identifiers[pending.identifier]);
      } else {
        if (!pending.isNew()) changes.removedAssets.push_back(std::move(plan.identifiers[pending.identifier]));
        identifier = newIdentifier();
      }
      if (pending.failed) changes.removedFailures.push_back(file.stamp);
      CatalogEntry entry{std::move(identifier), file.path, file.stamp, probe.facts};
      changes.savedAssets.push_back(entry);
      addListed(plan.listed, std::move(entry), pending.file, mediaType);
      break;
    }
    case ProbeResult::Status::kNotMedia:
      if (!pending.isNew()) changes.removedAssets.push_back(std::move(plan.identifiers[pending.identifier]));
      changes.savedFailures.push_back(file.stamp);
      break;
    case ProbeResult::Status::kUnreadable:
      // Not listed this time, but a catalogued file keeps its identifier
      // until it can be read again or is gone.
      if (pending.failed) changes.removedFailures.push_back(file.stamp);
      break;
  }
}

// The media module's probe, loaded on the first file to probe.
class ModuleProber : public Prober {
 public:
  ProbeResult probe(const std::string& path, const FileStamp& expected, MediaKind kind) override {
    return mediaBackend().probeFile(path, expected, kind);
  }
  void releaseThread() override { mediaBackend().releaseThread(); }
};

// Probes the files on every core: the main thread works alongside the pool.
std::vector<ProbeResult> probeInParallel(Prober& prober, const std::vector<FoundFile>& found,
                                         const std::vector<size_t>& which) {
  std::vector<ProbeResult> results(which.size());
  if (which.empty()) return results;
  std::atomic<size_t> next{0};
  std::exception_ptr failure;
  std::atomic<bool> failed{false};
  auto work = [&] {
    try {
      for (size_t k = next.fetch_add(1); k < which.size() && !failed; k = next.fetch_add(1)) {
        const FoundFile& file = found[which[k]];
        results[k] = prober.probe(file.path, file.stamp, file.kind);
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
        prober.releaseThread();
      });
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& thread : pool) thread.join();
  if (failure) std::rethrow_exception(failure);
  return results;
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
  asset.stamp = entry.stamp;
  return asset;
}

bool isSameFile(const std::string& path, const FileStamp& stamp) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         static_cast<uint64_t>(info.st_dev) == stamp.device && static_cast<uint64_t>(info.st_ino) == stamp.inode;
}

}  // namespace

MediaIndex::MediaIndex(LibraryLocation location, std::unique_ptr<Prober> prober)
    : location_(std::move(location)),
      catalog_(location_.catalogPath),
      prober_(prober ? std::move(prober) : std::make_unique<ModuleProber>()) {}

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

std::vector<ListedAsset> MediaIndex::synchronize(int64_t mediaType) {
  const std::function<std::string()> identifiers = [] { return newUuidString() + "/L0/001"; };
  std::vector<FoundFile> found = scanLibrary(distinctRoots(location_.roots));
  Plan plan = makePlan(catalog_, found, mediaType);
  const int64_t seenVersion = plan.dataVersion;
  bool othersWrote = false;
  // Files the catalog knew in another state wait for the last commit, which
  // also removes what is gone; only new files go in the pieces, as nothing
  // else in the catalog can stand in their way.
  std::vector<std::pair<size_t, ProbeResult>> waiting;
  for (size_t start = 0; start < plan.pending.size();) {
    const size_t end = std::min(plan.pending.size(), start + pieceAfter(start));
    std::vector<size_t> files;
    for (size_t k = start; k < end; ++k) files.push_back(plan.pending[k].file);
    std::vector<ProbeResult> results = probeInParallel(*prober_, found, files);
    CatalogChanges piece;
    for (size_t k = start; k < end; ++k) {
      const Pending& pending = plan.pending[k];
      if (pending.isNew()) {
        settle(plan, pending, found[pending.file], results[k - start], mediaType, piece, identifiers);
      } else {
        waiting.emplace_back(k, results[k - start]);
      }
    }
    if (!piece.empty()) {
      Catalog::WriteTransaction transaction(catalog_);
      othersWrote = othersWrote || catalog_.dataVersion() != seenVersion;
      // A file another helper catalogued meanwhile keeps its entry; the last
      // commit below decides again on what that helper wrote.
      catalog_.apply(piece, Catalog::Existing::kKept);
      transaction.commit();
    }
    for (size_t k = start; k < end; ++k) {
      if (plan.pending[k].isNew()) dropPath(found[plan.pending[k].file]);
    }
    start = end;
  }
  for (auto& [k, result] : waiting) {
    settle(plan, plan.pending[k], found[plan.pending[k].file], result, mediaType, plan.changes, identifiers);
  }
  if (!othersWrote && plan.changes.empty()) return std::move(plan.listed);

  Catalog::WriteTransaction transaction(catalog_);
  // Another helper wrote in the meantime: decide again on what it wrote, so
  // both agree on one identifier per file. Its probes are mostly ours too.
  if (othersWrote || catalog_.dataVersion() != seenVersion) {
    ProbeCache probed;
    for (auto& [k, result] : waiting) probed.emplace(found[plan.pending[k].file].stamp, std::move(result));
    waiting = {};
    plan = Plan{};
    // Walked again, as the paths of settled files were let go.
    found = scanLibrary(distinctRoots(location_.roots));
    plan = makePlan(catalog_, found, mediaType);
    std::vector<size_t> files;
    for (const Pending& pending : plan.pending) {
      if (!probed.contains(found[pending.file].stamp)) files.push_back(pending.file);
    }
    std::vector<ProbeResult> results = probeInParallel(*prober_, found, files);
    for (size_t k = 0; k < files.size(); ++k) probed.emplace(found[files[k]].stamp, std::move(results[k]));
    for (const Pending& pending : plan.pending) {
      const FoundFile& file = found[pending.file];
      settle(plan, pending, file, probed.at(file.stamp), mediaType, plan.changes, identifiers);
    }
  }
  catalog_.apply(plan.changes);
  transaction.commit();
  return std::move(plan.listed);
}

std::vector<PhotoAsset> MediaIndex::list(int64_t mediaType, bool newestFirst) {
  // Dates without a zone are read in the machine's zone as it is now.
  tzset();
  std::vector<ListedAsset> listed = rebuildingOnCorruption([&] { return synchronize(mediaType); });
  // The walk's paths were freed in the middle of the heap, below what is
  // still listed; handing their pages back keeps the peak near the reply's
  // own size while the reply is made.
  returnFreedMemory();

  auto dateOf = [](const ListedAsset& listed) { return listed.asset.creationDate.value_or(0); };
  std::sort(listed.begin(), listed.end(), [&](const ListedAsset& a, const ListedAsset& b) {
    if (dateOf(a) != dateOf(b)) return newestFirst ? dateOf(a) > dateOf(b) : dateOf(a) < dateOf(b);
    return a.walkIndex < b.walkIndex;
  });
  std::vector<PhotoAsset> assets;
  assets.reserve(listed.size());
  for (ListedAsset& entry : listed) assets.push_back(std::move(entry.asset));
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
