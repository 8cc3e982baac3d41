#include "cipher/key_store.h"

#include <cassert>
#include <cstring>
#include <new>
#include <utility>

namespace tolbrek5 {

void KeyStore::AssignZero(std::size_t n, std::size_t minCapacity) {
  assert(n <= 0x7fffffffu);
  Release();
  store_ = SecureBuffer(n > minCapacity ? n : minCapacity);
  store_.LockFirst(n);  // before any key byte is written there
  length_ = static_cast<std::int32_t>(n);
  highWater_ = n;
}

void KeyStore::Assign(const std::uint8_t* bytes, std::size_t n, std::size_t minCapacity) {
  AssignZero(n, minCapacity);
  if (n > 0) std::memcpy(store_.data(), bytes, n);
}

void KeyStore::Resize(std::int32_t n) noexcept {
  assert(n > 0 && static_cast<std::size_t>(n) <= store_.size());
  if (n > length_) {
    if (static_cast<std::size_t>(n) > highWater_) {
      highWater_ = static_cast<std::size_t>(n);
      store_.LockFirst(highWater_);
    }
    std::memset(store_.data() + length_, 0, static_cast<std::size_t>(n - length_));
  }
  length_ = n;
}

void KeyStore::Truncate(std::int32_t n) noexcept {
  if (n <= 0 || n > length_) return;
  SecureWipe(store_.data() + n, highWater_ - static_cast<std::size_t>(n));
  length_ = n;
  highWater_ = static_cast<std::size_t>(n);
}

void KeyStore::AdviseHugePages() noexcept {
  SecureBuffer fresh(store_.size(), std::nothrow);
  // Only an optimisation: without memory for the copy, the key stays where
  // it is.
  if (fresh.empty()) return;
  fresh.AdviseHugePages();
  if (highWater_ > 0) std::memcpy(fresh.data(), store_.data(), highWater_);
  store_.Release(highWater_);
  store_ = std::move(fresh);
  // Locked once the old copy gave its share of the limit back.
  store_.LockFirst(highWater_);
}

void KeyStore::Release() noexcept {
  store_.Release(highWater_);
  length_ = 0;
  highWater_ = 0;
}

}  // namespace tolbrek5
