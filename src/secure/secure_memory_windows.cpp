#include <windows.h>
// clang-format off
#include <psapi.h>
// clang-format on

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

void WipeResidentPages(std::uint8_t* p, std::size_t n) noexcept {
  constexpr std::size_t kPage = 4096;
  constexpr std::size_t kChunkPages = 512;
  PSAPI_WORKING_SET_EX_INFORMATION pages[kChunkPages];
  for (std::size_t off = 0; off < n; off += kChunkPages * kPage) {
    const std::size_t len = std::min(n - off, kChunkPages * kPage);
    const std::size_t count = (len + kPage - 1) / kPage;
    for (std::size_t i = 0; i < count; ++i) pages[i].VirtualAddress = p + off + i * kPage;
    if (!::QueryWorkingSetEx(::GetCurrentProcess(), pages,
                             static_cast<DWORD>(count * sizeof pages[0]))) {
      SecureWipe(p + off, len);  // cannot tell: wipe it all
      continue;
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (pages[i].VirtualAttributes.Valid == 0) continue;
      const std::size_t start = off + i * kPage;
      SecureWipe(p + start, std::min(n, start + kPage) - start);
    }
  }
}

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
}  // namespace memory
}  // namespace tolbrek5
