#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "secure/secure_buffer.h"
#include "secure/secure_memory.h"

namespace tolbrek5 {

void SecureWipe(void* p, std::size_t n) noexcept {
  if (p == nullptr || n == 0) return;
  // explicit_bzero is a store the optimiser must keep even when the memory
  // is freed right afterwards.
  explicit_bzero(p, n);
}

namespace memory {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Large buffers are mapped directly: the pages are zero and become resident
// only when written, and they sit on huge-page boundaries so that the kernel
// can back them with huge pages when asked.
bool IsLarge(std::size_t size) { return size >= kLarge; }

std::size_t MappedLength(std::size_t size) {
  return (size + kHugePage - 1) / kHugePage * kHugePage;
}

void* MapAligned(std::size_t size) {
  const std::size_t length = MappedLength(size);
  void* raw =
      mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t end = start + length + kHugePage;
  if (end > aligned + length)
    munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
  return reinterpret_cast<void*>(aligned);
}

}  // namespace

void WipeResidentPages(std::uint8_t* p, std::size_t n) noexcept {
  constexpr std::size_t kPage = 4096;
  constexpr std::size_t kChunkPages = 4096;
  unsigned char resident[kChunkPages];
  for (std::size_t off = 0; off < n; off += kChunkPages * kPage) {
    const std::size_t len = std::min(n - off, kChunkPages * kPage);
    if (mincore(p + off, len, resident) != 0) {
      SecureWipe(p + off, len);  // cannot tell: wipe it all
      continue;
    }
    const std::size_t pages = (len + kPage - 1) / kPage;
    for (std::size_t i = 0; i < pages; ++i) {
      if ((resident[i] & 1) == 0) continue;
      std::size_t j = i;
      while (j + 1 < pages && (resident[j + 1] & 1) != 0) ++j;
      const std::size_t start = off + i * kPage;
      SecureWipe(p + start, std::min(n, off + (j + 1) * kPage) - start);
      i = j;
    }
  }
}

void* AllocateZeroed(std::size_t size) noexcept {
  return IsLarge(size) ? MapAligned(size) : std::calloc(size, 1);
}

void Free(void* p, std::size_t size) noexcept {
  if (IsLarge(size)) {
    munmap(p, MappedLength(size));
  } else {
    std::free(p);
  }
}

void AdviseHugePages(void* p, std::size_t size) noexcept {
  if (IsLarge(size)) madvise(p, MappedLength(size), MADV_HUGEPAGE);
}
}  // namespace memory
}  // namespace tolbrek5
