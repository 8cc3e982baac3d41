// Known-answer vectors: their inputs (made from recipes), their traces and
// the digests the traces use; and a file-free run of the engine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cipher/cipher_state.h"

namespace tolbrek5::test {

using Bytes = std::vector<std::uint8_t>;

// FNV-1a 64 and SHA-256 of n bytes, as lowercase hex digits.
std::string Fnv1a64Hex(const std::uint8_t* data, std::size_t n);
std::string Sha256Hex(const std::uint8_t* data, std::size_t n);
inline std::string Sha256Hex(const Bytes& bytes) { return Sha256Hex(bytes.data(), bytes.size()); }

// Bytes made by a recipe: "zero", "text" (a 56-byte sentence repeated) or
// "xs<seed>" (xorshift32 bytes).
Bytes MakeBytes(const std::string& recipe, std::size_t size);

struct Vector {
  std::string name;
  std::size_t size = 0;  // plaintext size
  std::string plaintextRecipe;
  bool keyIsFile = false;
  std::string keyText;        // text key, when !keyIsFile
  std::string keyFileRecipe;  // key file recipe and length, when keyIsFile
  std::size_t keyFileLength = 0;
  std::string ciphertextSha256;

  Bytes Plaintext() const { return MakeBytes(plaintextRecipe, size); }
  // The key bytes as the front end obtains them (a key file's first
  // min(length, plaintext size) bytes).
  Bytes KeyBytes() const;
};

// The vector named `name` (a test failure when there is none).
Vector FindVector(const std::string& name);

// Runs a whole input through the engine in the cipher's block order,
// without any file: encrypting returns the ciphertext, decrypting the
// plaintext (empty when a check fails). Every block step goes to `observer`.
struct EngineRun {
  Bytes output;
  bool ok = true;
};
class NumberedObserver : public BlockObserver {
 public:
  std::int32_t blockNo = 0;
};
EngineRun RunEngine(const Bytes& input, const Bytes& key, bool decrypting, NumberedObserver* observer = nullptr,
                    const EngineForm& form = ProductionEngine);
inline Bytes Encrypt(const Bytes& plain, const std::string& key) {
  return RunEngine(plain, {key.begin(), key.end()}, false).output;
}

// Encrypts the vector's plaintext checking every trace line and the
// ciphertext digest, then decrypts it checking the same engine states and
// the plaintext. A differing trace line names the step and block that went
// wrong; the first difference stops each direction.
void ExpectVectorRoundTrip(const Vector& v, const EngineForm& form = ProductionEngine);

}  // namespace tolbrek5::test
