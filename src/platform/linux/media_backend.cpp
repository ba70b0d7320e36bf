#include "platform/linux/media_backend.hpp"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <mutex>
#include <stdexcept>
#include <string>

// Each module exports one function, which starts its libraries and returns
// its backend. An executable that links the media code in itself (the tests
// do) has these already, and loads no module.
extern "C" {
vek::linux_library::MediaBackend* vek_media_backend() __attribute__((weak));
vek::linux_library::ExportBackend* vek_export_backend() __attribute__((weak));
}

namespace vek::linux_library {
namespace {

std::string executableFolder() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  std::string folder(path, static_cast<size_t>(length));
  return folder.substr(0, folder.rfind('/'));
}

template <typename Backend>
Backend& loaded(Backend* (*linkedIn)(), const char* moduleName, const char* entryName) {
  static Backend* backend = nullptr;
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  if (backend != nullptr) return *backend;
  if (linkedIn != nullptr) return *(backend = linkedIn());

  const std::string folder = executableFolder();
  std::string failures;
  for (const std::string& candidate :
       {folder + "/" + moduleName, folder + "/../lib/vek-photokit-helper/" + moduleName}) {
    // Never unloaded: the libraries keep threads and handlers of their own
    // for the life of the process.
    void* module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      const char* error = dlerror();
      failures += std::string("; ") + (error != nullptr ? error : candidate.c_str());
      continue;
    }
    auto entry = reinterpret_cast<Backend* (*)()>(dlsym(module, entryName));
    if (entry == nullptr) throw std::runtime_error(candidate + " lacks " + entryName);
    return *(backend = entry());
  }
  throw std::runtime_error(std::string(moduleName) + " could not be loaded" + failures);
}

}  // namespace

MediaBackend& mediaBackend() {
  return loaded<MediaBackend>(vek_media_backend, "vek-photokit-media.so", "vek_media_backend");
}

ExportBackend& exportBackend() {
  return loaded<ExportBackend>(vek_export_backend, "vek-photokit-export.so", "vek_export_backend");
}

}  // namespace vek::linux_library
