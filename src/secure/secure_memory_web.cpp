// The memory behind SecureBuffer in a WebAssembly build. A WebAssembly
// module has one linear memory that only grows and has no pages to map,
// advise or query: buffers come from the allocator and are wiped whole.
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

// Every page of a WebAssembly memory is resident: wipe all of it.
void WipeResidentPages(std::uint8_t* p, std::size_t n) noexcept { SecureWipe(p, n); }

void* AllocateZeroed(std::size_t size) noexcept { return std::calloc(size, 1); }

void Free(void* p, std::size_t /*size*/) noexcept { std::free(p); }

void AdviseHugePages(void* /*p*/, std::size_t /*size*/) noexcept {}

}  // namespace memory
}  // namespace tolbrek5
