#pragma once

#include <functional>
#include <optional>

#include "platform/linux/replies/render_cache.hpp"
#include "platform/linux/replies/worker_wire.hpp"

namespace vek::linux_library {

using WorkerRender = std::function<std::optional<CachedRender>(const AheadJob&)>;

// The loop of a render-ahead worker process: calls `warmUp` (loading what
// its renders need), says it is ready with an empty frame, then answers each
// job read from `socket` with its render, until the helper closes the
// socket or dies (which closes it too: a killed helper's workers end after
// the render in hand). No parent-death signal: the thread that forks a
// worker ends at once, and that would kill it. It runs at the priority it
// was started at (WorkerPool starts it at the lowest), as does every
// thread it and its libraries start. Returns the process's exit status.
int runWorkerLoop(int socket, const std::function<void()>& warmUp, const WorkerRender& render);

}  // namespace vek::linux_library
