#include "platform/linux/media_files/file_stamp.hpp"

#include <fcntl.h>

#include "platform/linux/posix/no_links.hpp"

namespace vek::linux_library {

FileStamp stampOf(const struct stat& info) {
  constexpr int64_t kNs = 1'000'000'000;
  return FileStamp{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
                   static_cast<int64_t>(info.st_size),
                   static_cast<int64_t>(info.st_mtim.tv_sec) * kNs + info.st_mtim.tv_nsec,
                   static_cast<int64_t>(info.st_ctim.tv_sec) * kNs + info.st_ctim.tv_nsec};
}

std::optional<FileStamp> stampOfFile(const std::string& path) {
  const UniqueFd fd = openWithoutLinks(path, O_PATH);
  struct stat info {};
  if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return stampOf(info);
}

bool isCatalogued(const FileStamp& now, const FileStamp& catalogued) {
  if (keyOf(now) == keyOf(catalogued) && now.size == catalogued.size && now.mtimeNs == catalogued.mtimeNs) return true;
  return catalogued.ctimeNs != kUnknownChangeTime && sameVisibleState(now, catalogued);
}

std::optional<OpenedFile> openMediaFile(const std::string& path) {
  auto fd = std::make_shared<const UniqueFd>(openWithoutLinks(path, O_RDONLY | O_NONBLOCK));
  struct stat info {};
  if (!*fd || fstat(fd->get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return OpenedFile{std::move(fd), path, stampOf(info)};
}

std::optional<OpenedFile> openCatalogued(const CataloguedFile& file) {
  std::optional<OpenedFile> opened = openMediaFile(file.path);
  if (!opened || !isCatalogued(opened->stamp, file.stamp)) return std::nullopt;
  return opened;
}

void putStamp(ByteWriter& writer, const FileStamp& stamp) {
  writer.put(stamp.device).put(stamp.inode).put(stamp.size).put(stamp.mtimeNs).put(stamp.ctimeNs);
}

bool getStamp(ByteReader& reader, FileStamp& stamp) {
  return reader.get(stamp.device) && reader.get(stamp.inode) && reader.get(stamp.size) &&
         reader.get(stamp.mtimeNs) && reader.get(stamp.ctimeNs);
}

}  // namespace vek::linux_library
