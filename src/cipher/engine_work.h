// Progress counting inside the engine's long loops.
#pragma once

#include <atomic>
#include <cstdint>

#include "cipher/cipher_state.h"

namespace tolbrek5 {

// Counts position i of a long loop: every 65536th position adds 65536 to
// EngineWork(). One test and, rarely, one relaxed add.
inline void CountPosition(std::int64_t i) noexcept {
  if ((i & 0xffff) == 0xffff) EngineWork().fetch_add(0x10000, std::memory_order_relaxed);
}

}  // namespace tolbrek5
