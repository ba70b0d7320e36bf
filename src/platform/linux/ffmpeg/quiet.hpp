#pragma once

namespace vek::linux_library {

// Silences FFmpeg's log for the process, from any thread: stderr is not ours
// to write to. Safe to call many times.
void silenceFFmpeg();

}  // namespace vek::linux_library
