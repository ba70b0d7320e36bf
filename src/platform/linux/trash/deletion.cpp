#include "platform/linux/trash/deletion.hpp"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "platform/linux/trash/portal.hpp"
#include "platform/linux/trash/trash.hpp"

namespace vek::linux_library {

bool deletesThroughPortal() {
  const char* portals = std::getenv("GIO_USE_PORTALS");
  return access("/.flatpak-info", F_OK) == 0 || std::getenv("SNAP") != nullptr ||
         (portals != nullptr && std::string_view(portals) == "1");
}

TrashOutcome trashFiles(const std::vector<CataloguedFile>& files, const std::vector<size_t>& goesAfter) {
  if (deletesThroughPortal()) return trashThroughPortal(files, goesAfter);
  std::vector<TrashItem> items;
  std::vector<std::string> paths;
  items.reserve(files.size());
  paths.reserve(files.size());
  for (const CataloguedFile& file : files) {
    items.push_back(TrashItem{file.path, file.stamp});
    paths.push_back(file.path);
  }
  if (auto failure = moveToTrash(items, trashSettingsFromEnvironment())) {
    return {{}, std::move(failure->reason), failure->gone};
  }
  return {std::move(paths), std::nullopt};
}

void clearInterruptedDeletions() {
  if (deletesThroughPortal()) return;
  try {
    clearInterruptedMoves(trashSettingsFromEnvironment());
  } catch (const std::runtime_error&) {
    // No home: no deletion was ever noted there.
  }
}

}  // namespace vek::linux_library
