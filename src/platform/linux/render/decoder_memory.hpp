#pragma once

#include <chrono>

namespace vek::linux_library {

// Decoding a photo allocates and frees buffers of megabytes, tile after tile
// and photo after photo. By default glibc maps many of them afresh and
// unmaps them when freed, so every decode pays again for faulting its memory
// in, which on a virtual machine can cost more than the decoding itself.
//
// Called before each decode: from the first call on, freed buffers of up to
// 32 MiB stay in the heap for the next decode (at most 32 MiB of free memory
// at its end, any amount in holes between buffers still in use), and once no
// decode has begun for `idle`, a background thread hands the freed memory
// back to the system, so a helper left waiting holds only what it uses.
// Where that thread cannot start, nothing changes. Safe from any thread.
void reuseDecoderMemory(std::chrono::steady_clock::duration idle = std::chrono::seconds(2));

// Hands the memory that decoding freed back to the system now: for a render
// that holds a whole photo's pixels, so that the heap kept for decoders does
// not add to its peak while it is encoded. Thread: any.
void returnFreedDecoderMemory();

}  // namespace vek::linux_library
