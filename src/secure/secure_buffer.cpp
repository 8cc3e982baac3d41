#include "secure/secure_buffer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "secure/secure_memory.h"

namespace tolbrek5 {
namespace {

// Whether n bytes at p are all zero (read a word at a time).
bool AllZero(const std::uint8_t* p, std::size_t n) noexcept {
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + sizeof any <= n; i += sizeof any) {
    std::uint64_t word = 0;
    std::memcpy(&word, p + i, sizeof word);
    any |= word;
  }
  for (; i < n; ++i) any |= p[i];
  return any == 0;
}

}  // namespace

SecureBuffer::SecureBuffer(std::size_t size) : SecureBuffer(size, std::nothrow) {
  if (size != 0 && data_ == nullptr) throw std::bad_alloc();
}

SecureBuffer::SecureBuffer(std::size_t size, const std::nothrow_t&) noexcept {
  if (size == 0) return;
  void* p = memory::AllocateZeroed(size);
  if (p == nullptr) return;
  data_ = static_cast<std::uint8_t*>(p);
  size_ = size;
}

SecureBuffer::~SecureBuffer() { Release(); }

SecureBuffer::SecureBuffer(SecureBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      locked_(std::exchange(other.locked_, 0)),
      lockRefused_(std::exchange(other.lockRefused_, false)) {}

SecureBuffer& SecureBuffer::operator=(SecureBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    locked_ = std::exchange(other.locked_, 0);
    lockRefused_ = std::exchange(other.lockRefused_, false);
  }
  return *this;
}

void SecureBuffer::AdviseHugePages() noexcept {
  if (data_ != nullptr) memory::AdviseHugePages(data_, size_);
}

void SecureBuffer::LockFirst(std::size_t n) noexcept {
  if (size_ < memory::kLarge || lockRefused_) return;
  // Whole pages: a large buffer's mapping extends to a page boundary at least.
  n = (std::min(n, size_) + memory::kPage - 1) / memory::kPage * memory::kPage;
  if (n <= locked_) return;
  const std::size_t want = n - locked_;
  const std::size_t got = memory::Lock(data_ + locked_, want);
  locked_ += got;
  if (got < want) lockRefused_ = true;
}

void SecureBuffer::Wipe(std::size_t used) noexcept {
  const std::size_t n = std::min(used, size_);
  // Runs of pages that hold anything are wiped whole; a page that was
  // swapped out is read back here and wiped like the others.
  std::size_t dirtyFrom = n;
  for (std::size_t off = 0; off < n; off += memory::kPage) {
    const std::size_t len = std::min(memory::kPage, n - off);
    if (!AllZero(data_ + off, len)) {
      dirtyFrom = std::min(dirtyFrom, off);
    } else if (dirtyFrom < off) {
      SecureWipe(data_ + dirtyFrom, off - dirtyFrom);
      dirtyFrom = n;
    }
  }
  if (dirtyFrom < n) SecureWipe(data_ + dirtyFrom, n - dirtyFrom);
}

void SecureBuffer::Release(std::size_t used) noexcept {
  if (data_ == nullptr) return;
  Wipe(used);
  if (locked_ > 0) memory::Unlock(data_, locked_);
  memory::Free(data_, size_);
  data_ = nullptr;
  size_ = 0;
  locked_ = 0;
  lockRefused_ = false;
}

}  // namespace tolbrek5
