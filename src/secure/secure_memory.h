// The memory behind SecureBuffer, from the operating system:
// secure_memory_posix.cpp and secure_memory_windows.cpp provide it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolbrek5::memory {

// Buffers from this size on come straight from the system, so pages never
// written never become resident.
inline constexpr std::size_t kLarge = std::size_t{2} << 20;

// `size` bytes, all zero, or nullptr when memory is short.
void* AllocateZeroed(std::size_t size) noexcept;
// Returns memory from AllocateZeroed(size).
void Free(void* p, std::size_t size) noexcept;
// Asks for huge pages for a buffer from AllocateZeroed(size); may do nothing.
void AdviseHugePages(void* p, std::size_t size) noexcept;
// Zeroes, with stores the compiler cannot remove, the pages of [p, p + n)
// that are resident in a buffer of kLarge bytes or more (p page-aligned).
// Pages never made resident hold nothing and are left alone, so wiping costs
// no memory.
void WipeResidentPages(std::uint8_t* p, std::size_t n) noexcept;

}  // namespace tolbrek5::memory
