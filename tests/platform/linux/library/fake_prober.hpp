#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/linux/helper_home.hpp"
#include "platform/linux/library/media_index.hpp"

namespace vek::linux_library {

// The files a fake prober was asked about, as paths below its base folder.
struct ProbeLog {
  std::mutex mutex;
  std::vector<std::string> paths;
  std::function<void()> atFirstProbe;  // called once, outside the lock

  // The paths probed since the last call, sorted.
  std::vector<std::string> taken() {
    std::lock_guard lock(mutex);
    std::vector<std::string> taken = std::exchange(paths, {});
    std::sort(taken.begin(), taken.end());
    return taken;
  }
};

// Stands in for the media module: a file holding "WxH" or "WxH@seconds" is
// media of that displayed size (and creation date), with the content
// identifier that follows " live=" if any; one holding "unreadable" cannot
// be read at the moment, one holding "fail" makes the probe throw, anything
// else is not media.
class FakeProber : public Prober {
 public:
  FakeProber(ProbeLog& log, std::filesystem::path base) : log_(log), base_(std::move(base)) {}

  ProbeResult probe(const std::string& path, const FileStamp&, MediaKind kind) override {
    std::function<void()> first;
    {
      std::lock_guard lock(log_.mutex);
      log_.paths.push_back(std::filesystem::relative(path, base_));
      first = std::exchange(log_.atFirstProbe, nullptr);
    }
    if (first) first();
    const std::string content = vek::testing::readAll(path);
    ProbeResult result;
    if (content == "unreadable") return result;
    if (content == "fail") throw std::runtime_error("probe failed");
    unsigned width = 0, height = 0;
    double date = 0;
    const int read = std::sscanf(content.c_str(), "%ux%u@%lf", &width, &height, &date);
    result.status = read >= 2 ? ProbeResult::Status::kMedia : ProbeResult::Status::kNotMedia;
    result.facts.mediaType = kind == MediaKind::kImage ? kMediaTypeImage : kMediaTypeVideo;
    result.facts.pixelWidth = width;
    result.facts.pixelHeight = height;
    if (read == 3) result.facts.creationDate = date;
    if (const size_t live = content.find(" live="); live != std::string::npos) {
      result.facts.contentIdentifier = content.substr(live + 6);
    }
    return result;
  }

 private:
  ProbeLog& log_;
  const std::filesystem::path base_;
};

// A listing's identifiers of images by path below `base`, as lookups give
// the paths.
inline std::map<std::string, std::string> listedByPath(MediaIndex& index, const std::filesystem::path& base) {
  std::vector<std::string> listed;
  for (const PhotoAsset& asset : index.list(kMediaTypeImage, true)) listed.push_back(asset.localIdentifier);
  std::map<std::string, std::string> byPath;
  for (const IndexedAsset& found : index.lookup(listed)) {
    byPath[std::filesystem::relative(found.path, base)] = found.asset.localIdentifier;
  }
  EXPECT_EQ(byPath.size(), listed.size());
  return byPath;
}

}  // namespace vek::linux_library
