// The engine's reference form: each operation a line-by-line transcription of
// its algorithm, every working value in its own width, no shortcuts. (Key
// evolution and the block seal have a single form, already line by line.) The
// production forms (declared in cipher_state.h) must give bit-identical
// results; the tests compare the two on many random states and the
// benchmarks measure them side by side.
#pragma once

#include <cstdint>

#include "cipher/cipher_state.h"
#include "testing/engine_forms.h"

namespace tolbrek5::reference {

void GeneratePad(CipherState& s, std::int32_t n);
void TransformBlock(CipherState& s);

}  // namespace tolbrek5::reference

namespace tolbrek5::reference {

// The reference operations as one set, for ProcessBlock.
extern const EngineForm ReferenceEngine;

}  // namespace tolbrek5::reference
