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

struct Result {
  bool ok;
  Bytes output;
};

// One block through the engine, as the block driver runs it.
Result RunBlock(const Bytes& data, const Bytes& key, bool decrypting) {
  using namespace tolbrek5;
  CipherState s;
  s.Decrypting = decrypting;
  s.Key.Assign(key.data(), key.size(), static_cast<std::size_t>(BufferCapacity));
  s.BeginBlockPhase();
  std::memcpy(s.InBlock.data(), data.data(), data.size());
  s.BlockLen = static_cast<std::int32_t>(data.size());
  Result r;
  r.ok = ProcessBlock(s);
  r.output.assign(s.OutBlock.data(), s.OutBlock.data() + s.BlockLen);
  s.ReleaseAll(static_cast<std::int32_t>(data.size()) + CheckValueSize);
  return r;
}

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
  if (size < 3) return 0;
  const bool roundTrip = (in[0] & 1) != 0;
  const bool longKey = (in[0] & 2) != 0;
  const unsigned n = in[1] | (unsigned{in[2]} << 8);
  const std::size_t keyLength = 10 + (longKey ? n % 12000 : n % 291);
  in += 3;
  size -= 3;

  const std::size_t keyTaken = size < keyLength ? size : keyLength;
  Bytes key(in, in + keyTaken);
  key.resize(keyLength, 0);
  Bytes data(in + keyTaken, in + size);

  if (roundTrip) {
    if (data.size() < 5000) data.resize(5000, 0);
    const Result encrypted = RunBlock(data, key, false);
    Require(encrypted.ok && encrypted.output.size() == data.size() + 4);
    const Result decrypted = RunBlock(encrypted.output, key, true);
    Require(decrypted.ok && decrypted.output == data);
    return 0;
  }

  if (data.size() < 5004) data.resize(5004, 0);
  const Result decrypted = RunBlock(data, key, true);
  if (!decrypted.ok) return 0;
  Require(decrypted.output.size() == data.size() - 4);
  // Encryption is deterministic: the accepted plaintext seals and encrypts
  // back to the input.
  const Result again = RunBlock(decrypted.output, key, false);
  Require(again.ok && again.output == data);
  return 0;
}
