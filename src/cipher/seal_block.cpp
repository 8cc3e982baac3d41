#include <cstdlib>

#include "cipher/cipher_state.h"

namespace tolbrek5 {

std::uint32_t CheckValue(const std::uint8_t*, std::int32_t) { std::abort(); }
bool SealBlock(CipherState&) { std::abort(); }

}  // namespace tolbrek5
