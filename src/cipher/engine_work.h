// Progress counting inside the engine's long loops.
#pragma once

#include <cstdint>

#include "cipher/cipher_state.h"

namespace tolbrek5 {

// Counts position i of a long loop: every 65536th position adds 65536 to the
// state's work and tells its observer. One test and, rarely, a call.
inline void CountPosition(CipherState& s, std::int64_t i) {
  if ((i & 0xffff) != 0xffff) return;
  s.Work += 0x10000;
  if (s.onWork != nullptr) s.onWork(s.workUser, s.Work);
}

}  // namespace tolbrek5
