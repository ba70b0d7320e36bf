#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace vek::linux_library {

// How this process uses glibc's heap, decided here alone. By default glibc
// maps large buffers afresh and unmaps them when freed, and trims the top of
// the heap as soon as it is free, so each request or decode pays again for
// faulting in and zeroing its pages, which on a virtual machine can cost more
// than the work itself.

// From start-up on: the buffers of a reply (the cached entry, its Base64,
// the line; some hundred kilobytes each) and anything up to 4 MiB stay in
// the heap for the next request. A rescan served from the render cache is
// about a quarter quicker for it. Call once, before the first request.
void keepReplyBuffers();

// Called before each decode: once its background thread runs, freed
// buffers of up to 32 MiB stay in the heap for the next decode (at most
// 32 MiB of free memory at its end, any amount in holes between buffers
// still in use), and once no decode has begun for `idle`, that thread hands
// the freed memory back to the system, so a process left waiting holds only
// what it uses. Where the thread cannot start, nothing changes until a
// later call starts it. Thread: any.
void reuseDecoderMemory(std::chrono::steady_clock::duration idle = std::chrono::seconds(2));

// Hands the heap's free memory back to the system now: after a large piece
// of work freed much of it in the middle of the heap (a listing's walk, a
// full-size render about to be encoded), so that it does not add to the
// next peak. Thread: any.
void returnFreedMemory();

// What this process may still take of memory without pushing others out:
// the kernel's estimate of memory available for new work (MemAvailable),
// and no more than is left below the memory limit (memory.max) of the
// cgroup the process is in or of any above it. nullopt when the kernel
// says neither. Thread: any.
std::optional<uint64_t> availableMemory();

}  // namespace vek::linux_library
