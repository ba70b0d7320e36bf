#include "platform/linux/library/live_photos.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace vek::linux_library {
namespace {

std::string_view folderOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

// The name a still and its movie have in common. Exporters mark the movie
// of a pair ("IMG_1234_HEVC.MOV", "<UUID>_3.mov"), never the still.
std::string baseNameOf(const LivePhotoFile& file) {
  std::string_view name = file.path.substr(file.path.rfind('/') + 1);
  name = name.substr(0, name.rfind('.'));
  std::string base(name);
  for (char& c : base) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (file.kind == MediaKind::kVideo) {
    for (std::string_view suffix : {std::string_view("_hevc"), std::string_view("_3")}) {
      if (base.size() > suffix.size() && base.ends_with(suffix)) {
        base.resize(base.size() - suffix.size());
        break;
      }
    }
  }
  return base;
}

void pairGroup(std::span<const LivePhotoFile> files, std::span<const size_t> group,
               std::vector<LivePhotoPair>& pairs) {
  auto pairOf = [&](size_t a, size_t b) {
    if (files[a].kind == files[b].kind) return;
    pairs.push_back(files[a].kind == MediaKind::kImage ? LivePhotoPair{a, b} : LivePhotoPair{b, a});
  };
  if (group.size() < 2) return;
  if (group.size() == 2) {
    pairOf(group[0], group[1]);
    return;
  }
  std::vector<std::pair<std::string, size_t>> named;
  named.reserve(group.size());
  for (size_t index : group) named.emplace_back(baseNameOf(files[index]), index);
  std::sort(named.begin(), named.end());
  for (size_t begin = 0; begin < named.size();) {
    size_t end = begin + 1;
    while (end < named.size() && named[end].first == named[begin].first) ++end;
    if (end - begin == 2) pairOf(named[begin].second, named[begin + 1].second);
    begin = end;
  }
}

}  // namespace

std::vector<LivePhotoPair> pairLivePhotos(std::span<const LivePhotoFile> files) {
  // Grouped by a hash of folder and identifier first: sorting numbers that
  // sit side by side is many times faster than sorting by texts that lie
  // all over the heap, and a listing may hold a whole phone's photos. Files
  // that share a hash are then told apart by their texts.
  struct Hashed {
    uint64_t hash;
    size_t index;
  };
  const std::hash<std::string_view> hashText;
  std::vector<Hashed> hashed;
  for (size_t i = 0; i < files.size(); ++i) {
    if (files[i].contentIdentifier.empty()) continue;
    hashed.push_back({hashText(files[i].contentIdentifier) * 0x9E3779B97F4A7C15u + hashText(folderOf(files[i].path)), i});
  }
  std::sort(hashed.begin(), hashed.end(),
            [](const Hashed& a, const Hashed& b) { return a.hash != b.hash ? a.hash < b.hash : a.index < b.index; });
  auto byGroup = [&](size_t a, size_t b) {
    if (const int order = files[a].contentIdentifier.compare(files[b].contentIdentifier)) return order < 0;
    if (const int order = folderOf(files[a].path).compare(folderOf(files[b].path))) return order < 0;
    return a < b;
  };
  auto sameGroup = [&](size_t a, size_t b) {
    return files[a].contentIdentifier == files[b].contentIdentifier && folderOf(files[a].path) == folderOf(files[b].path);
  };
  std::vector<LivePhotoPair> pairs;
  std::vector<size_t> run;
  for (size_t begin = 0; begin < hashed.size();) {
    size_t end = begin + 1;
    while (end < hashed.size() && hashed[end].hash == hashed[begin].hash) ++end;
    if (end - begin == 2) {
      // A still and its movie, as almost every run is: nothing to sort.
      const size_t both[] = {hashed[begin].index, hashed[begin + 1].index};
      if (sameGroup(both[0], both[1])) pairGroup(files, both, pairs);
    } else if (end - begin > 2) {
      run.clear();
      for (size_t i = begin; i < end; ++i) run.push_back(hashed[i].index);
      std::sort(run.begin(), run.end(), byGroup);
      for (size_t first = 0; first < run.size();) {
        size_t last = first + 1;
        while (last < run.size() && sameGroup(run[first], run[last])) ++last;
        pairGroup(files, std::span<const size_t>(run).subspan(first, last - first), pairs);
        first = last;
      }
    }
    begin = end;
  }
  std::sort(pairs.begin(), pairs.end(), [](const LivePhotoPair& a, const LivePhotoPair& b) { return a.still < b.still; });
  return pairs;
}

}  // namespace vek::linux_library
