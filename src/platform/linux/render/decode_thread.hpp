#pragma once

#include <functional>

namespace vek::linux_library {

// Runs `job` on the decode thread, one long-lived thread that runs the jobs
// given to it in order. A waiting thread starts a job within microseconds; a
// new thread is often not scheduled until the thread that created it
// blocks, which on two cores can hold a decode back by most of a
// millisecond. Returns false, with `job` not run, when there is no such
// thread (it could not be started, and is tried again on the next call);
// the caller then runs the job itself. Thread: any.
bool runOnDecodeThread(std::function<void()> job);

// From now on runOnDecodeThread() refuses every job, so that callers run
// them on their own threads. Thread: any.
void keepDecodingInline();

}  // namespace vek::linux_library
