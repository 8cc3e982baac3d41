// The memory behind SecureBuffer, from the operating system:
// secure_memory_posix.cpp and secure_memory_windows.cpp provide it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolbrek5::memory {

// `size` bytes, all zero, or nullptr when memory is short. Large buffers come
// straight from the system, so pages never written never become resident.
void* AllocateZeroed(std::size_t size) noexcept;
// Returns memory from AllocateZeroed(size).
void Free(void* p, std::size_t size) noexcept;
// Asks for huge pages for a buffer from AllocateZeroed(size); may do nothing.
void AdviseHugePages(void* p, std::size_t size) noexcept;
// Zeroes the first `used` bytes of a buffer from AllocateZeroed(size) with
// stores the compiler cannot remove. Pages that were never made resident
// hold nothing and may be left alone, so wiping costs no memory.
void WipeUsed(std::uint8_t* p, std::size_t used, std::size_t size) noexcept;

}  // namespace tolbrek5::memory
