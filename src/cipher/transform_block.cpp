#include <cstdlib>

#include "cipher/cipher_state.h"

namespace tolbrek5 {

void TransformBlock(CipherState&) { std::abort(); }

}  // namespace tolbrek5
