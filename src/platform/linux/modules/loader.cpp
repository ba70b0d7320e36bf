#include "platform/linux/modules/backends.hpp"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <mutex>
#include <stdexcept>
#include <string>

// Each module exports one function, which starts its libraries and returns
// its backend; the names carry the version of the interfaces, so a helper
// left running across an upgrade refuses a module built for other ones. An
// executable that links the media code in itself (the tests do) has these
// already, and loads no module.
extern "C" {
vek::linux_library::MediaBackend* vek_media_backend_v3() __attribute__((weak));
vek::linux_library::ExportBackend* vek_export_backend_v2() __attribute__((weak));
}

namespace vek::linux_library {
namespace {

// Never the working folder: a module is code, and only the helper's own
// installation may supply it.
std::string executableFolder() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) throw std::runtime_error("the helper cannot tell where it is installed");
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

  // Beside the executable, in a build tree and in an installation alike, so
  // the helper works wherever it is installed. Never unloaded: the libraries
  // keep threads and handlers of their own for the life of the process.
  const std::string path = executableFolder() + "/" + moduleName;
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* error = dlerror();
    throw std::runtime_error(std::string(moduleName) + " could not be loaded: " + (error != nullptr ? error : path));
  }
  auto entry = reinterpret_cast<Backend* (*)()>(dlsym(module, entryName));
  if (entry == nullptr) throw std::runtime_error(path + " lacks " + entryName);
  return *(backend = entry());
}

}  // namespace

MediaBackend& mediaBackend() {
  return loaded<MediaBackend>(vek_media_backend_v3, "vek-photokit-media.so", "vek_media_backend_v3");
}

ExportBackend& exportBackend() {
  return loaded<ExportBackend>(vek_export_backend_v2, "vek-photokit-export.so", "vek_export_backend_v2");
}

}  // namespace vek::linux_library
