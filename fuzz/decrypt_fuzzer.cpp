// Decrypts arbitrary bytes with an arbitrary key through the engine, one
// block as the block driver runs it. It must never crash or trip a
// sanitizer or an invariant check, and a block that passes its check must
// encrypt back to the very bytes it came from.
//
// Input layout:
//   byte 0      bit 0: round trip (encrypt the data, then decrypt it: the
//               plaintext must come back); bit 1: long key
//   bytes 1-2   key length: 10 + n mod 291, or 10 + n mod 12000 for a long
//               key (longer than the block, as a text key may be)
//   then        the key bytes (zeros where the input runs out), then the
//               data, padded with zeros to the smallest block (5004 bytes
//               to decrypt, 5000 to encrypt)
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cipher/cipher_state.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// One block through the engine, as the block driver runs it; empty when it
// fails its check.
Bytes RunBlock(const Bytes& data, const Bytes& key, bool decrypting) {
  using namespace tolbrek5;
  CipherState s;
  s.Decrypting = decrypting;
  s.Key.Assign(key.data(), key.size(), static_cast<std::size_t>(BufferCapacity));
  s.BeginBlockPhase();
  std::memcpy(s.InBlock.data(), data.data(), data.size());
  s.BlockLen = static_cast<std::int32_t>(data.size());
  const bool ok = ProcessBlock(s);
  Bytes out(s.OutBlock.data(), s.OutBlock.data() + (ok ? s.BlockLen : 0));
  s.ReleaseAll(static_cast<std::int32_t>(data.size()) + CheckValueSize);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
  if (size < 3) return 0;
  const unsigned n = in[1] | (unsigned{in[2]} << 8);
  const std::size_t keyLength = 10 + ((in[0] & 2) != 0 ? n % 12000 : n % 291);
  const std::size_t keyTaken = size - 3 < keyLength ? size - 3 : keyLength;
  Bytes key(in + 3, in + 3 + keyTaken);
  key.resize(keyLength, 0);
  Bytes data(in + 3 + keyTaken, in + size);
  if ((in[0] & 1) != 0) {
    if (data.size() < 5000) data.resize(5000, 0);
    const Bytes cipher = RunBlock(data, key, false);
    if (cipher.size() != data.size() + 4 || RunBlock(cipher, key, true) != data) std::abort();
    return 0;
  }
  if (data.size() < 5004) data.resize(5004, 0);
  const Bytes plain = RunBlock(data, key, true);
  // Encryption is deterministic: an accepted plaintext encrypts back to the input.
  if (!plain.empty() && RunBlock(plain, key, false) != data) std::abort();
  return 0;
}
