#pragma once

#include <memory>

#include "platform/linux/ffmpeg/video_input.hpp"

namespace vek::linux_library {

// The open video `file` ready to be remuxed: its demuxer at the start of
// the file, with every stream's parameters read. A QuickTime-family file
// whose sample descriptions give the picture and sound formats is read
// without a decoder.
VideoInput::Opened openForRemux(std::shared_ptr<const UniqueFd> file);

}  // namespace vek::linux_library
