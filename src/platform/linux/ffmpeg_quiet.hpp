#pragma once

namespace vek::linux_library {

// Silences FFmpeg's log for this process, once, from any thread: stderr is
// not ours to write to.
void silenceFFmpeg();

}  // namespace vek::linux_library
