#include "cipher/secure_buffer.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace tolbrek5 {

void SecureWipe(void* p, std::size_t n) noexcept {
  if (p == nullptr || n == 0) return;
  // explicit_bzero is a store the optimiser must keep even when the memory
  // is freed right afterwards.
  explicit_bzero(p, n);
}

SecureBuffer::SecureBuffer(std::size_t size) {
  if (size == 0) return;
  void* p = std::calloc(size, 1);
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

void SecureBuffer::Wipe(std::size_t used) noexcept {
  SecureWipe(data_, used < size_ ? used : size_);
}

void SecureBuffer::Release(std::size_t used) noexcept {
  if (data_ == nullptr) return;
  Wipe(used);
  std::free(data_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace tolbrek5
