#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "secure/secure_buffer.h"
#include "secure/secure_memory.h"

namespace tolbrek5 {

void SecureWipe(void* p, std::size_t n) noexcept {
  if (p == nullptr || n == 0) return;
  // Volatile stores: kept by the optimiser even when the memory is freed
  // right afterwards.
  ::SecureZeroMemory(p, n);
}

namespace memory {
namespace {

bool IsLarge(std::size_t size) { return size >= kLarge; }

}  // namespace

void* AllocateZeroed(std::size_t size) noexcept {
  if (IsLarge(size)) return ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  return std::calloc(size, 1);
}

void Free(void* p, std::size_t size) noexcept {
  if (IsLarge(size)) {
    ::VirtualFree(p, 0, MEM_RELEASE);
  } else {
    std::free(p);
  }
}

// Huge pages need a privilege that ordinary accounts lack.
void AdviseHugePages(void*, std::size_t) noexcept {}

// The system bounds locked pages by the process's minimum working set:
// what does not fit is tried again in halves, down to a single page.
std::size_t Lock(void* p, std::size_t n) noexcept {
  for (std::size_t part = n; part >= kPage; part = part / 2 / kPage * kPage) {
    if (::VirtualLock(p, part)) return part;
  }
  return 0;
}

void Unlock(void* p, std::size_t n) noexcept { ::VirtualUnlock(p, n); }
}  // namespace memory
}  // namespace tolbrek5
