// Prefetching the samples a ray stream touches next.
//
// Both sides of a stream walk the sweep buffers ray by ray: the splitter
// reads each moment's slice of a ray out of the volume, the assembler
// appends it to the moment's buffer of the sweep. Between two slices of one
// buffer lie the other moments' slices and the messages' own work, and the
// hardware's prefetchers do not carry a stream across that gap, so every
// slice started on memory not yet in cache (a volume is far larger than
// the caches). Asking for the next slice while the current one is copied
// overlaps the two.
#pragma once

#include <cstddef>

namespace common_dto {
namespace stream {
namespace internal {

// Most bytes asked for at once: beyond this a ray's slice is long enough
// for the hardware to follow it by itself.
constexpr std::size_t kMaxPrefetch = 16 * 1024;

// Asks for the cache lines of [data, data + size) (at most kMaxPrefetch
// bytes of it), to be read (`for_write` false) or written.
inline void Prefetch(const char* data, std::size_t size, bool for_write) {
  constexpr std::size_t kLine = 64;
  const std::size_t n = size < kMaxPrefetch ? size : kMaxPrefetch;
  for (std::size_t off = 0; off < n; off += kLine) {
    if (for_write) {
      __builtin_prefetch(data + off, 1);
    } else {
      __builtin_prefetch(data + off, 0);
    }
  }
}

}  // namespace internal
}  // namespace stream
}  // namespace common_dto
