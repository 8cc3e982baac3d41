// The working key: a byte array whose length the cipher changes every block.
//
// Shortening only lowers the length: the dropped bytes stay in storage, at
// their positions, with their values, because a pad generation that starts
// with its cursor past the new end reads and writes the byte stored there.
// Growing sets every position from the old length up to the new one to zero.
// Storage is allocated once, large enough for any length the cipher can
// reach, so growing never moves the key. The part that holds key bytes is
// kept out of swap where the system allows it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "secure/secure_buffer.h"

namespace tolbrek5 {

class KeyStore {
 public:
  KeyStore() = default;

  // Replaces the key with a copy of n bytes. Storage holds at least
  // `minCapacity` bytes so that later growth stays in place.
  void Assign(const std::uint8_t* bytes, std::size_t n, std::size_t minCapacity);
  // Makes an all-zero key of n bytes that the caller fills through data().
  void AssignZero(std::size_t n, std::size_t minCapacity);

  std::int32_t Length() const noexcept { return length_; }
  std::size_t Capacity() const noexcept { return store_.size(); }

  // Byte at a storage position; positions at or above Length() are valid up
  // to Capacity() and hold what was last stored there.
  std::uint8_t& operator[](std::int64_t i) noexcept { return store_[static_cast<std::size_t>(i)]; }
  std::uint8_t operator[](std::int64_t i) const noexcept {
    return store_[static_cast<std::size_t>(i)];
  }
  std::uint8_t* data() noexcept { return store_.data(); }
  const std::uint8_t* data() const noexcept { return store_.data(); }

  // New length n (0 < n <= Capacity()). Growing zero-fills [Length(), n).
  void Resize(std::int32_t n) noexcept;
  // Drops `count` bytes from the end (the bytes stay in storage).
  void Shorten(std::int32_t count) noexcept { Resize(length_ - count); }

  // Cuts a freshly assigned key to its first n bytes (0 < n <= Length()) as
  // if only those had been assigned: the bytes after them are wiped.
  void Truncate(std::int32_t n) noexcept;

  // Moves the key to storage backed by huge pages (bytes already written
  // would otherwise stay on small pages). When that storage cannot be had,
  // the key stays where it is: the run goes on without the advice.
  void AdviseHugePages() noexcept;

  // Wipes every byte the key ever held and frees the storage.
  void Release() noexcept;

 private:
  SecureBuffer store_;
  std::int32_t length_ = 0;
  std::size_t highWater_ = 0;  // one past the highest position ever part of the key
};

}  // namespace tolbrek5
