#include "platform/linux/trash/deletion.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "platform/linux/trash/portal.hpp"
#include "platform/linux/trash/trash.hpp"

namespace vek::linux_library {

bool deletesThroughPortal() {
  const char* portals = std::getenv("GIO_USE_PORTALS");
  return access("/.flatpak-info", F_OK) == 0 || std::getenv("SNAP") != nullptr ||
         (portals != nullptr && std::string_view(portals) == "1");
}

TrashOutcome trashFiles(const std::vector<CataloguedFile>& files) {
  if (deletesThroughPortal()) return trashThroughPortal(files);
  std::vector<std::string> paths;
  paths.reserve(files.size());
  for (const CataloguedFile& file : files) paths.push_back(file.path);
  if (auto refusal = moveToTrash(paths, trashSettingsFromEnvironment())) return {{}, std::move(refusal)};
  return {std::move(paths), std::nullopt};
}

}  // namespace vek::linux_library
