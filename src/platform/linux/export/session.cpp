#include "platform/linux/export/session.hpp"

#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "platform/linux/export/remux.hpp"

extern "C" {
#include <libavutil/error.h>
}

namespace vek::linux_library {
namespace {

constexpr const char* kErrorDomain = "FFmpeg";

class RemuxExportSession final : public vek::ExportSession {
 public:
  explicit RemuxExportSession(std::shared_ptr<VideoMedia> media) : media_(std::move(media)) {}

  ~RemuxExportSession() override {
    if (!worker_.joinable()) return;
    // Completion is the worker's last act, so a session destroyed from
    // inside it has nothing left to wait for.
    if (worker_.get_id() == std::this_thread::get_id()) {
      worker_.detach();
    } else {
      worker_.join();
    }
  }

  void setOutputURL(const std::string& path) override {
    std::lock_guard lock(mutex_);
    outputPath_ = path;
  }

  void setOutputFileType(const std::string& fileType) override {
    std::lock_guard lock(mutex_);
    fileType_ = fileType;
  }

  void exportAsynchronously(std::function<void()> completion) override {
    std::unique_lock lock(mutex_);
    if (started_) {
      lock.unlock();
      completion();
      return;
    }
    started_ = true;
    std::string outputPath = outputPath_;
    std::string fileType = fileType_;
    try {
      worker_ = std::thread([this, outputPath, fileType, completion] {
        std::optional<RemuxError> failure;
        try {
          failure = run(outputPath, fileType);
        } catch (const std::exception& error) {
          failure = RemuxError{AVERROR(ENOMEM), std::string("exporting: ") + error.what()};
        }
        finish(failure);
        completion();
      });
    } catch (const std::system_error& error) {
      lock.unlock();
      finish(RemuxError{AVERROR(error.code().value()), std::string("starting the export: ") + error.what()});
      completion();
    }
  }

  int64_t status() const override {
    std::lock_guard lock(mutex_);
    return status_;
  }

  std::optional<PlatformError> error() const override {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  std::optional<RemuxError> run(const std::string& outputPath, const std::string& fileType) {
    if (fileType != kFileTypeQuickTimeMovie) {
      return RemuxError{AVERROR(EINVAL), "unsupported output file type \"" + fileType + "\": only " +
                                             kFileTypeQuickTimeMovie + " can be written"};
    }
    if (outputPath.empty()) return RemuxError{AVERROR(EINVAL), "no output file was set"};
    return remuxToMovie(*media_, outputPath);
  }

  void finish(const std::optional<RemuxError>& failure) {
    std::lock_guard lock(mutex_);
    if (failure) {
      status_ = kExportStatusFailed;
      error_ = PlatformError{kErrorDomain, failure->code, failure->message};
    } else {
      status_ = kExportStatusCompleted;
    }
  }

  const std::shared_ptr<VideoMedia> media_;
  mutable std::mutex mutex_;
  std::string outputPath_;
  std::string fileType_;
  bool started_ = false;
  int64_t status_ = kExportStatusUnknown;
  std::optional<PlatformError> error_;
  std::thread worker_;
};

}  // namespace

std::unique_ptr<vek::ExportSession> makeRemuxExportSession(std::shared_ptr<vek::PlatformMedia> media,
                                                           const std::string& presetName) {
  if (presetName != kExportPresetPassthrough) return nullptr;
  auto video = std::dynamic_pointer_cast<VideoMedia>(std::move(media));
  if (!video) return nullptr;
  return std::make_unique<RemuxExportSession>(std::move(video));
}

}  // namespace vek::linux_library
