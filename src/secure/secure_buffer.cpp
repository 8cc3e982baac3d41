#include "secure/secure_buffer.h"

#include <new>
#include <utility>

#include "secure/secure_memory.h"

namespace tolbrek5 {

SecureBuffer::SecureBuffer(std::size_t size) {
  if (size == 0) return;
  void* p = memory::AllocateZeroed(size);
  if (p == nullptr) throw std::bad_alloc();
  data_ = static_cast<std::uint8_t*>(p);
  size_ = size;
}

SecureBuffer::~SecureBuffer() { Release(); }

SecureBuffer::SecureBuffer(SecureBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

SecureBuffer& SecureBuffer::operator=(SecureBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void SecureBuffer::AdviseHugePages() noexcept {
  if (data_ != nullptr) memory::AdviseHugePages(data_, size_);
}

void SecureBuffer::Wipe(std::size_t used) noexcept {
  const std::size_t n = used < size_ ? used : size_;
  if (size_ >= memory::kLarge) {
    memory::WipeResidentPages(data_, n);
  } else {
    SecureWipe(data_, n);
  }
}

void SecureBuffer::Release(std::size_t used) noexcept {
  if (data_ == nullptr) return;
  Wipe(used);
  memory::Free(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace tolbrek5
