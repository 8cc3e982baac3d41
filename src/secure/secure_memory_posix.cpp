#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
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

// Bytes this process locked through Lock and has not unlocked: they count
// against the limit on locked memory, which the system may not enforce for
// a privileged process (this code keeps to it all the same).
std::atomic<std::size_t> g_locked{0};

}  // namespace

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

std::size_t Lock(void* p, std::size_t n) noexcept {
  rlimit limit{};
  if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0) return 0;
  std::size_t room = n;
  if (limit.rlim_cur != RLIM_INFINITY) {
    const std::size_t cap = static_cast<std::size_t>(limit.rlim_cur);
    const std::size_t used = g_locked.load();
    room = std::min(n, cap > used ? cap - used : 0);
  }
  room -= room % kPage;
  if (room == 0 || mlock(p, room) != 0) return 0;
  g_locked += room;
  return room;
}

void Unlock(void* p, std::size_t n) noexcept {
  munlock(p, n);
  g_locked -= n;
}
}  // namespace memory
}  // namespace tolbrek5
