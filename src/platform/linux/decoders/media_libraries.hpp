#pragma once

namespace vek::linux_library {

// Starts libvips and FFmpeg for this process, once, from any thread: only the
// loaders that are safe for untrusted files, no operation cache (files change
// under a long-running helper), and every library message silenced, since
// stderr and stdout are not ours to write to. Safe to call many times.
void startMediaLibraries();

}  // namespace vek::linux_library
