// The memory behind SecureBuffer in a WebAssembly build. A WebAssembly
// module has one linear memory that only grows: there are no pages to map,
// advise or lock (and no swap it could go to), so buffers come from the
// allocator.
#include <cstdlib>
#include <cstring>

#include "secure/secure_buffer.h"
#include "secure/secure_memory.h"

namespace tolbrek5 {

void SecureWipe(void* p, std::size_t n) noexcept {
  if (p == nullptr || n == 0) return;
  // A store the optimiser must keep even when the memory is freed right
  // afterwards.
  explicit_bzero(p, n);
}

namespace memory {

void* AllocateZeroed(std::size_t size) noexcept { return std::calloc(size, 1); }

void Free(void* p, std::size_t /*size*/) noexcept { std::free(p); }

void AdviseHugePages(void* /*p*/, std::size_t /*size*/) noexcept {}

std::size_t Lock(void* /*p*/, std::size_t /*n*/) noexcept { return 0; }

void Unlock(void* /*p*/, std::size_t /*n*/) noexcept {}

}  // namespace memory
}  // namespace tolbrek5
