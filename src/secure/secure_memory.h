// The memory behind SecureBuffer, from the operating system:
// secure_memory_posix.cpp and secure_memory_windows.cpp provide it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolbrek5::memory {

// Buffers from this size on come straight from the system, so pages never
// written never become resident.
inline constexpr std::size_t kLarge = std::size_t{2} << 20;
// Granularity of locking and of the wipe's skipping of untouched memory.
inline constexpr std::size_t kPage = 4096;

// `size` bytes, all zero, or nullptr when memory is short.
void* AllocateZeroed(std::size_t size) noexcept;
// Returns memory from AllocateZeroed(size).
void Free(void* p, std::size_t size) noexcept;
// Asks for huge pages for a buffer from AllocateZeroed(size); may do nothing.
void AdviseHugePages(void* p, std::size_t size) noexcept;
// Keeps pages from the start of [p, p + n) (p and n whole pages, in a buffer
// of kLarge bytes or more) out of swap, as far as the system's limit on locked
// memory allows, less what this process already locked this way. Returns
// the number of bytes locked (whole pages, possibly 0); never fails.
std::size_t Lock(void* p, std::size_t n) noexcept;
// Releases `n` bytes locked by Lock(p, ...).
void Unlock(void* p, std::size_t n) noexcept;

}  // namespace tolbrek5::memory
