#include <cstdlib>

#include "cipher/cipher_state.h"

namespace tolbrek5 {

void EvolveKey(CipherState&) { std::abort(); }

}  // namespace tolbrek5
