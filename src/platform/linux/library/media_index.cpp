#include "platform/linux/library/media_index.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <exception>
#include <functional>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "photos/uuid.hpp"
#include "platform/linux/library/access.hpp"
#include "platform/linux/library/live_photos.hpp"
#include "platform/linux/media_files/media_names.hpp"
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

bool sameSizeAndModificationTime(const FileStamp& a, const FileStamp& b) {
  return a.size == b.size && a.mtimeNs == b.mtimeNs;
}

// How the file found at a catalogued asset's path stands to that asset. A
// file in the same visible state (sameVisibleState) is the same file
// whatever its numbers now say; the same device and inode in another state
// is the same file changed, which is read again.
enum class AtPath {
  kUnchanged,
  kRenumbered,  // unchanged, under other device or inode numbers, or with its change time learnt
  kChanged,
  kOther,       // another file
};

AtPath compareAtPath(const FileStamp& catalogued, const FileStamp& found) {
  const bool sameInode = keyOf(catalogued) == keyOf(found);
  if (catalogued.ctimeNs == kUnknownChangeTime) {
    // Catalogued before change times were kept: the numbers decide, as they
    // did then, and the change time is learnt without reading the file.
    if (!sameInode) return AtPath::kOther;
    return sameSizeAndModificationTime(catalogued, found) ? AtPath::kRenumbered : AtPath::kChanged;
  }
  if (sameVisibleState(catalogued, found)) return sameInode ? AtPath::kUnchanged : AtPath::kRenumbered;
  return sameInode ? AtPath::kChanged : AtPath::kOther;
}

// A failure on record for the file as it is now. Failures keep no path, so
// a rename cannot be told from an edit by the change time: size and
// modification time decide.
bool sameFailure(const FileStamp& failure, const FileStamp& now) {
  return keyOf(failure) == keyOf(now) && sameSizeAndModificationTime(failure, now);
}

// A catalogued file that no listing could see for this long is forgotten:
// a drive not plugged in for a month is more likely gone for good than on a
// shelf, and its entries would otherwise stay for ever.
constexpr int64_t kKeptAwaySeconds = int64_t{30} * 24 * 60 * 60;

bool isInside(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

// Where a walk could not look. A catalogued file it did not find may still
// be there when it lies under no root walked (a root missing, or no longer
// named), in a folder that could not be read, or below an empty folder on
// its parent's file system while the file was on another one: a drive's
// mount point with the drive away. Anywhere else its folder was read and it
// is gone.
class Absences {
 public:
  Absences(const std::vector<std::string>& roots, const LibraryWalk& walk)
      : roots_(roots), unread_(walk.unreadFolders.begin(), walk.unreadFolders.end()) {
    for (const EmptyFolder& folder : walk.emptyFolders) empty_.emplace(folder.path, folder.device);
  }

  bool mayStillBeThere(const CatalogEntry& entry) const {
    const std::string& path = entry.path;
    auto root = std::find_if(roots_.begin(), roots_.end(), [&](const std::string& top) { return isInside(path, top); });
    if (root == roots_.end()) return true;
    if (unread_.empty() && empty_.empty()) return false;
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash >= root->size();
         slash = path.rfind('/', slash - 1)) {
      const std::string folder = path.substr(0, slash);
      if (unread_.contains(folder)) return true;
      auto empty = empty_.find(folder);
      if (empty != empty_.end() && empty->second != entry.stamp.device) return true;
    }
    return false;
  }

 private:
  const std::vector<std::string>& roots_;
  std::unordered_set<std::string> unread_;
  std::unordered_map<std::string, uint64_t> empty_;
};

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
  uint32_t identifier = kNoIdentifier;   // in Plan::identifiers: a catalogued asset with the same device and inode
  bool sameAsset = false;                // that asset is this file, changed: its identifier goes on
  bool failed = false;                   // a failure with the same device and inode is on record

  bool isNew() const { return identifier == kNoIdentifier; }
};

constexpr size_t kNotListed = SIZE_MAX;

// A listed file that carries a content identifier: what pairing Live
// Photos needs of it. Few files carry one, so a library without Live
// Photos pays nothing for pairing.
struct PairingCandidate {
  std::string path;
  int64_t mediaType = 0;
  std::string contentIdentifier;
  size_t listed = kNotListed;  // in Plan::listed, when of the listing's type
};

// A file catalogued before content identifiers were read, whose format may
// carry one.
struct Unread {
  CatalogEntry entry;
  size_t walkIndex = 0;
};

// What a listing decides from the walk and the catalog before probing.
struct Plan {
  std::vector<ListedAsset> listed;  // of the requested media type
  std::vector<PairingCandidate> candidates;
  std::vector<Unread> unread;       // listed once settled by readMissingIdentifiers()
  std::vector<Pending> pending;     // in walk order
  std::vector<std::string> identifiers;
  CatalogChanges changes;  // renames, new numbers, absences and removals, known without probing
  int64_t dataVersion = 0;
};

void listEntry(Plan& plan, CatalogEntry&& entry, size_t walkIndex, int64_t mediaType) {
  size_t listed = kNotListed;
  if (entry.facts.mediaType == mediaType) {
    PhotoAsset asset;
    asset.localIdentifier = std::move(entry.localIdentifier);
    asset.mediaType = entry.facts.mediaType;
    asset.pixelWidth = entry.facts.pixelWidth;
    asset.pixelHeight = entry.facts.pixelHeight;
    asset.creationDate = entry.facts.creationDate;
    asset.duration = entry.facts.duration;
    listed = plan.listed.size();
    plan.listed.push_back(ListedAsset{std::move(asset), walkIndex});
  }
  if (!entry.facts.contentIdentifier.empty()) {
    plan.candidates.push_back(PairingCandidate{std::move(entry.path), entry.facts.mediaType,
                                               std::move(entry.facts.contentIdentifier), listed});
  }
}

// Lists a file in the catalog's state, or holds it back until its content
// identifier is settled.
void addListed(Plan& plan, CatalogEntry&& entry, size_t walkIndex, int64_t mediaType) {
  if (!entry.contentIdentifierRead && mayCarryContentIdentifier(entry.path)) {
    plan.unread.push_back(Unread{std::move(entry), walkIndex});
    return;
  }
  listEntry(plan, std::move(entry), walkIndex, mediaType);
}

// A path no longer needed once its file is settled in the catalog: a large
// listing holds the walk's paths only while they are of use.
void dropPath(FoundFile& file) { std::string().swap(file.path); }

// Compares the walk with the catalog. Both are in path order, so most files
// meet their catalogued entry in one pass over the rows, with no copy of the
// catalog held; only entries whose path the walk does not hold with the same
// file (renamed, replaced, gone or away) are kept aside, to be matched by
// device and inode. The paths of files found unchanged are dropped as the
// rows pass.
Plan makePlan(Catalog& catalog, std::vector<FoundFile>& found, const Absences& absences, int64_t mediaType,
              int64_t now) {
  Plan plan;
  plan.listed.reserve(found.size());
  std::vector<size_t> unmatched;
  // Device and inode name one file among those found, not among the
  // catalogued: an asset away keeps the numbers its drive gave it.
  std::unordered_multimap<InodeKey, CatalogEntry, InodeKeyHash> aside;
  size_t next = 0;
  CatalogState state = catalog.read([&](CatalogEntry&& entry) {
    while (next < found.size() && found[next].path < entry.path) unmatched.push_back(next++);
    if (next < found.size() && found[next].path == entry.path) {
      const AtPath relation = compareAtPath(entry.stamp, found[next].stamp);
      if (relation == AtPath::kChanged) {
        plan.pending.push_back(Pending{next, static_cast<uint32_t>(plan.identifiers.size()), true});
        plan.identifiers.push_back(std::move(entry.localIdentifier));
        ++next;
        return;
      }
      if (relation != AtPath::kOther) {
        if (relation == AtPath::kRenumbered || entry.awaySince) {
          entry.stamp = found[next].stamp;
          entry.awaySince.reset();
          plan.changes.savedAssets.push_back(entry);
        }
        addListed(plan, std::move(entry), next, mediaType);
        dropPath(found[next]);
        ++next;
        return;
      }
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
    const auto [first, last] = aside.equal_range(keyOf(file.stamp));
    auto moved = std::find_if(first, last, [&](const auto& candidate) {
      return sameSizeAndModificationTime(candidate.second.stamp, file.stamp);
    });
    if (moved != last) {
      // Renamed or moved, content unchanged. The change time is not asked:
      // most file systems move it on a rename.
      CatalogEntry& entry = moved->second;
      entry.path = file.path;
      entry.stamp = file.stamp;
      entry.awaySince.reset();
      plan.changes.savedAssets.push_back(entry);
      addListed(plan, std::move(entry), i, mediaType);
      aside.erase(moved);
      continue;
    }
    auto failure = failures.find(keyOf(file.stamp));
    if (failure != failures.end() && sameFailure(failure->second.first, file.stamp)) {
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
    if (first != last) {
      pending.identifier = static_cast<uint32_t>(plan.identifiers.size());
      plan.identifiers.push_back(std::move(first->second.localIdentifier));
      aside.erase(first);
    }
    plan.pending.push_back(pending);
  }
  std::sort(plan.pending.begin(), plan.pending.end(),
            [](const Pending& a, const Pending& b) { return a.file < b.file; });
  for (auto& [key, entry] : aside) {
    if (!absences.mayStillBeThere(entry)) {
      plan.changes.removedAssets.push_back(std::move(entry.localIdentifier));
    } else if (!entry.awaySince) {
      entry.awaySince = now;
      plan.changes.savedAssets.push_back(std::move(entry));
    } else if (now - *entry.awaySince >= kKeptAwaySeconds) {
      plan.changes.removedAssets.push_back(std::move(entry.localIdentifier));
    }
  }
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
      if (pending.sameAsset) {
        identifier = std::move(plan.identifiers[pending.identifier]);
      } else {
        if (!pending.isNew()) changes.removedAssets.push_back(std::move(plan.identifiers[pending.identifier]));
        identifier = newIdentifier();
      }
      if (pending.failed) changes.removedFailures.push_back(file.stamp);
      CatalogEntry entry{std::move(identifier), file.path, file.stamp, probe.facts, std::nullopt};
      changes.savedAssets.push_back(entry);
      listEntry(plan, std::move(entry), pending.file, mediaType);
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

std::string_view folderOf(std::string_view path) { return path.substr(0, path.rfind('/')); }

// A folder, and whether a file of it is a movie.
struct FolderAndKind {
  std::string_view folder;
  bool video = false;
  bool operator==(const FolderAndKind&) const = default;
};

struct FolderAndKindHash {
  size_t operator()(const FolderAndKind& key) const { return std::hash<std::string_view>()(key.folder) ^ key.video; }
};

// Reads the content identifiers the catalog lacks (files catalogued before
// identifiers were read), keeping the files' identifiers as an edit in
// place does, but only of files whose folder holds a file of the other kind
// that carries an identifier or may carry one: anywhere else pairing has
// nothing to gain, and a whole library read again would be a first listing.
// The others are listed as they are and asked again at the next listing,
// so a movie copied later beside an old still still finds it. Then lists
// them all.
void readMissingIdentifiers(Plan& plan, Prober& prober, int64_t mediaType, CatalogChanges& changes) {
  if (plan.unread.empty()) return;
  std::unordered_set<FolderAndKind, FolderAndKindHash> present;
  for (const PairingCandidate& candidate : plan.candidates) {
    present.insert({folderOf(candidate.path), candidate.mediaType == kMediaTypeVideo});
  }
  for (const Unread& unread : plan.unread) {
    present.insert({folderOf(unread.entry.path), unread.entry.facts.mediaType == kMediaTypeVideo});
  }
  std::vector<FoundFile> files;
  std::vector<size_t> toRead;
  for (size_t k = 0; k < plan.unread.size(); ++k) {
    const CatalogEntry& entry = plan.unread[k].entry;
    const bool video = entry.facts.mediaType == kMediaTypeVideo;
    if (!present.contains({folderOf(entry.path), !video})) continue;
    files.push_back(FoundFile{entry.path, entry.stamp, video ? MediaKind::kVideo : MediaKind::kImage});
    toRead.push_back(k);
  }
  present.clear();
  std::vector<size_t> all(files.size());
  for (size_t k = 0; k < all.size(); ++k) all[k] = k;
  const std::vector<ProbeResult> results = probeInParallel(prober, files, all);
  for (size_t k = 0; k < toRead.size(); ++k) {
    CatalogEntry& entry = plan.unread[toRead[k]].entry;
    // A file that cannot be read now is asked again next time; one that no
    // longer reads as media keeps its entry, with no identifier.
    if (results[k].status == ProbeResult::Status::kUnreadable) continue;
    entry.facts.contentIdentifier = results[k].facts.contentIdentifier;
    entry.contentIdentifierRead = true;
    changes.savedAssets.push_back(entry);
  }
  for (Unread& unread : plan.unread) listEntry(plan, std::move(unread.entry), unread.walkIndex, mediaType);
  plan.unread.clear();
}

// The listing without the movies of Live Photos, which their stills stand
// for. Stills are listed either way: an image listing has nothing to leave
// out.
std::vector<ListedAsset> withoutPairedMovies(Plan& plan, int64_t mediaType) {
  if (mediaType != kMediaTypeVideo || plan.candidates.size() < 2) return std::move(plan.listed);
  std::vector<LivePhotoFile> files;
  files.reserve(plan.candidates.size());
  for (const PairingCandidate& candidate : plan.candidates) {
    files.push_back(LivePhotoFile{candidate.path,
                                  candidate.mediaType == kMediaTypeVideo ? MediaKind::kVideo : MediaKind::kImage,
                                  candidate.contentIdentifier});
  }
  const std::vector<LivePhotoPair> pairs = pairLivePhotos(files);
  if (pairs.empty()) return std::move(plan.listed);
  std::vector<bool> paired(plan.listed.size());
  for (const LivePhotoPair& pair : pairs) {
    if (const size_t movie = plan.candidates[pair.movie].listed; movie != kNotListed) paired[movie] = true;
  }
  std::vector<ListedAsset> listed;
  listed.reserve(plan.listed.size());
  for (size_t k = 0; k < plan.listed.size(); ++k) {
    if (!paired[k]) listed.push_back(std::move(plan.listed[k]));
  }
  return listed;
}

// Whether the path still holds the catalogued file, reached without a
// symbolic link (isCatalogued).
bool holdsCataloguedFile(const CatalogEntry& entry) {
  const std::optional<FileStamp> now = stampOfFile(entry.path);
  return now && isCatalogued(*now, entry.stamp);
}

}  // namespace

MediaIndex::MediaIndex(LibraryLocation location, std::unique_ptr<Prober> prober)
    : location_(std::move(location)),
      catalog_(location_.catalogPath),
      prober_(prober ? std::move(prober) : std::make_unique<ModuleProber>()) {}

int64_t MediaIndex::authorizationStatus() const { return authorizationStatusForRoots(location_.roots); }

// A damaged catalog is rebuilt, one whose disk refuses a write (full,
// read-only) is carried on in memory, and the operation runs again: reading
// never needs a writable catalog, and a listing that cannot record what it
// found still answers with the files as they are.
template <typename Operation>
auto MediaIndex::withCatalog(Operation operation) {
  try {
    return operation();
  } catch (const CatalogCorruptError&) {
    catalog_.rebuild();
  } catch (const CatalogUnwritableError&) {
    catalog_.continueInMemory();
  }
  return operation();
}

std::vector<ListedAsset> MediaIndex::synchronize(int64_t mediaType) {
  const std::function<std::string()> identifiers = [] { return newUuidString() + "/L0/001"; };
  const int64_t now = std::time(nullptr);
  const std::vector<std::string> roots = distinctRoots(location_.roots);
  std::vector<FoundFile> found;
  auto walkAndPlan = [&] {
    LibraryWalk walk = walkLibrary(roots);
    found = std::move(walk.files);
    return makePlan(catalog_, found, Absences(roots, walk), mediaType, now);
  };
  Plan plan = walkAndPlan();
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
  readMissingIdentifiers(plan, *prober_, mediaType, plan.changes);
  if (!othersWrote && plan.changes.empty()) return withoutPairedMovies(plan, mediaType);

  Catalog::WriteTransaction transaction(catalog_);
  // Another helper wrote in the meantime: decide again on what it wrote, so
  // both agree on one identifier per file. Its probes are mostly ours too.
  if (othersWrote || catalog_.dataVersion() != seenVersion) {
    ProbeCache probed;
    for (auto& [k, result] : waiting) probed.emplace(found[plan.pending[k].file].stamp, std::move(result));
    waiting = {};
    plan = Plan{};
    // Walked again, as the paths of settled files were let go.
    plan = walkAndPlan();
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
    readMissingIdentifiers(plan, *prober_, mediaType, plan.changes);
  }
  catalog_.apply(plan.changes);
  transaction.commit();
  return withoutPairedMovies(plan, mediaType);
}

std::vector<PhotoAsset> MediaIndex::list(int64_t mediaType, bool newestFirst) {
  // Dates without a zone are read in the machine's zone as it is now.
  tzset();
  std::vector<ListedAsset> listed = withCatalog([&] { return synchronize(mediaType); });
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
  std::vector<CatalogEntry> sharing;
  std::vector<CatalogEntry> entries = withCatalog([&] {
    sharing.clear();
    return catalog_.find(localIdentifiers, &sharing);
  });
  auto inPlace = [](const CatalogEntry& entry) { return !entry.awaySince && holdsCataloguedFile(entry); };
  // The files that carry each identifier, in place, as a listing would see
  // them now.
  std::unordered_multimap<std::string_view, const CatalogEntry*> byContent;
  for (const CatalogEntry& entry : sharing) {
    if (inPlace(entry)) byContent.emplace(entry.facts.contentIdentifier, &entry);
  }
  std::vector<IndexedAsset> assets;
  for (CatalogEntry& entry : entries) {
    if (!inPlace(entry)) continue;
    const CatalogEntry* movie = nullptr;
    if (!entry.facts.contentIdentifier.empty()) {
      std::vector<const CatalogEntry*> group;
      std::vector<LivePhotoFile> files;
      const auto [first, last] = byContent.equal_range(entry.facts.contentIdentifier);
      for (auto member = first; member != last; ++member) {
        if (folderOf(member->second->path) != folderOf(entry.path)) continue;
        group.push_back(member->second);
        files.push_back(LivePhotoFile{
            member->second->path,
            member->second->facts.mediaType == kMediaTypeVideo ? MediaKind::kVideo : MediaKind::kImage,
            member->second->facts.contentIdentifier});
      }
      bool isPairedMovie = false;
      for (const LivePhotoPair& pair : pairLivePhotos(files)) {
        if (group[pair.movie]->localIdentifier == entry.localIdentifier) isPairedMovie = true;
        if (group[pair.still]->localIdentifier == entry.localIdentifier) movie = group[pair.movie];
      }
      if (isPairedMovie) continue;
    }
    IndexedAsset asset = indexedAsset(std::move(entry));
    if (movie != nullptr) asset.movie = PairedMovie{movie->localIdentifier, movie->path, movie->stamp};
    assets.push_back(std::move(asset));
  }
  return assets;
}

void MediaIndex::forget(const std::vector<std::string>& localIdentifiers) {
  withCatalog([&] { catalog_.remove(localIdentifiers); });
}

}  // namespace vek::linux_library
