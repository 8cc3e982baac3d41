// Known-answer vectors: their inputs (made from recipes), their traces and
// the digests the traces use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cipher/cipher_state.h"

namespace tolbrek5::test {

// FNV-1a 64 of n bytes, as 16 lowercase hex digits.
std::string Fnv1a64Hex(const std::uint8_t* data, std::size_t n);

// Bytes made by a recipe: "zero", "text" (a 56-byte sentence repeated) or
// "xs<seed>" (xorshift32 bytes).
std::vector<std::uint8_t> MakeBytes(const std::string& recipe, std::size_t size);

struct Vector {
  std::string name;
  std::size_t size = 0;          // plaintext size
  std::string plaintextRecipe;
  bool keyIsFile = false;
  std::string keyText;           // text key, when !keyIsFile
  std::string keyFileRecipe;     // key file recipe and length, when keyIsFile
  std::size_t keyFileLength = 0;
  std::string ciphertextSha256;

  std::vector<std::uint8_t> Plaintext() const { return MakeBytes(plaintextRecipe, size); }
  // The key bytes as the front end obtains them (a key file's first
  // min(length, plaintext size) bytes).
  std::vector<std::uint8_t> KeyBytes() const;
};

std::vector<Vector> LoadVectors();
// The trace lines of a vector, in order.
std::vector<std::string> LoadTrace(const std::string& name);

// The trace line for the state after a block step, in the vectors' format.
std::string TraceLine(std::int32_t blockNo, BlockStep step, const CipherState& s);

// Runs a whole input through the engine in the cipher's block order,
// without any file: encrypting returns the ciphertext, decrypting the
// plaintext (empty when a check fails). Every block step goes to `observer`.
struct EngineRun {
  std::vector<std::uint8_t> output;
  bool ok = true;
};
class NumberedObserver : public BlockObserver {
 public:
  std::int32_t blockNo = 0;
};
EngineRun RunEngine(const std::vector<std::uint8_t>& input, const std::vector<std::uint8_t>& key,
                    bool decrypting, NumberedObserver* observer = nullptr,
                    const EngineForm& form = ProductionEngine);

}  // namespace tolbrek5::test

namespace tolbrek5::test {

// Encrypts the vector's plaintext checking every trace line and the
// ciphertext digest, then decrypts it checking the same engine states and
// the plaintext. A differing trace line names the step and block that went
// wrong; the first difference stops each direction.
void ExpectVectorRoundTrip(const Vector& v, const EngineForm& form = ProductionEngine);

}  // namespace tolbrek5::test
