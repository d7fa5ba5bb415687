// Storage of sample buffers. Small buffers that are freed wait in a few slots to be handed out
// again for the same size: a pass over records of one size then reuses a handful of buffers
// instead of asking malloc for every record, which costs a tenth of a small event. The slots hold
// at most kSlots x kMaxRecycledBytes, so memory stays flat.
#pragma once

#include <cstddef>

namespace pluvo::recycled_storage {

inline constexpr std::size_t kSlots = 4;
inline constexpr std::size_t kMaxRecycledBytes = std::size_t{64} * 1024;

// malloc-compatible storage of `bytes` (> 0) bytes, or null when memory is exhausted.
void* allocate(std::size_t bytes) noexcept;
// Takes back storage from allocate(), malloc() or realloc() of `bytes` bytes.
void release(void* data, std::size_t bytes) noexcept;

}  // namespace pluvo::recycled_storage
