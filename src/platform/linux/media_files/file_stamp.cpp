#include "platform/linux/media_files/file_stamp.hpp"

namespace vek::linux_library {

FileStamp stampOf(const struct stat& info) {
  constexpr int64_t kNs = 1'000'000'000;
  return FileStamp{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
                   static_cast<int64_t>(info.st_size),
                   static_cast<int64_t>(info.st_mtim.tv_sec) * kNs + info.st_mtim.tv_nsec,
                   static_cast<int64_t>(info.st_ctim.tv_sec) * kNs + info.st_ctim.tv_nsec};
}

std::optional<FileStamp> stampOfFile(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return stampOf(info);
}

void putStamp(ByteWriter& writer, const FileStamp& stamp) {
  writer.put(stamp.device).put(stamp.inode).put(stamp.size).put(stamp.mtimeNs).put(stamp.ctimeNs);
}

bool getStamp(ByteReader& reader, FileStamp& stamp) {
  return reader.get(stamp.device) && reader.get(stamp.inode) && reader.get(stamp.size) &&
         reader.get(stamp.mtimeNs) && reader.get(stamp.ctimeNs);
}

}  // namespace vek::linux_library
