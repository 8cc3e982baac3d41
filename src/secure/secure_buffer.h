// Zero-initialised, fixed-size byte storage for key and data material.
//
// Pages that are never written are never made resident: a small file does
// not pay for the full-size block buffers.
// Release() wipes the part that held data with a store the compiler cannot
// remove, then frees the memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace tolbrek5 {

// Overwrites n bytes at p with zeros; never optimised away.
void SecureWipe(void* p, std::size_t n) noexcept;

class SecureBuffer {
 public:
  SecureBuffer() = default;
  // Allocates size bytes, all zero. Throws std::bad_alloc when memory is short.
  explicit SecureBuffer(std::size_t size);
  // The same, but empty instead of throwing when memory is short.
  SecureBuffer(std::size_t size, const std::nothrow_t&) noexcept;
  ~SecureBuffer();

  SecureBuffer(const SecureBuffer&) = delete;
  SecureBuffer& operator=(const SecureBuffer&) = delete;
  SecureBuffer(SecureBuffer&& other) noexcept;
  SecureBuffer& operator=(SecureBuffer&& other) noexcept;

  std::uint8_t* data() noexcept { return data_; }
  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  std::uint8_t& operator[](std::size_t i) noexcept { return data_[i]; }
  const std::uint8_t& operator[](std::size_t i) const noexcept { return data_[i]; }

  // Asks for huge pages for the rest of the buffer's life: far fewer address
  // translation misses for the cipher's scattered reads over large blocks,
  // at the price of memory being committed 2 MiB at a time.
  void AdviseHugePages() noexcept;

  // Keeps the first `n` bytes out of swap, where the system allows it (a
  // copy written to swap could not be wiped): best effort within the limit
  // on locked memory, never failing. Only buffers from the system are
  // locked; a later call extends what an earlier one locked.
  void LockFirst(std::size_t n) noexcept;

  // Zeroes the first `used` bytes (clamped to the size): the part that held
  // data, whether its pages are in memory or in swap now. Pages that are all
  // zero already hold nothing and are not written, so untouched memory stays
  // untouched.
  void Wipe(std::size_t used) noexcept;
  // Wipes the first `used` bytes and frees the storage; the buffer is then empty.
  void Release(std::size_t used) noexcept;
  // Wipes everything and frees the storage.
  void Release() noexcept { Release(size_); }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t locked_ = 0;    // bytes from the start kept out of swap
  bool lockRefused_ = false;  // the limit was reached: no more attempts
};

}  // namespace tolbrek5
