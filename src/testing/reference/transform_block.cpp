// Block transform: the only operation that changes the data bytes.
//
// Encrypting mixes every byte (first to last) with four pad bytes and one
// other block byte, feeding each mixed byte back into the key; scatters the
// mixed bytes to the slots of a pad-driven permutation; and chains every byte
// of the result (first to last) with one other byte of it. Decrypting undoes
// these in the opposite order: it unchains last to first, gathers, feeds the
// still mixed bytes back into the key in the same order as encrypting did,
// and unmixes last to first. Each inverse step reads its partner byte in the
// state the forward step saw it in, and both directions leave the same key.
//
// This is the plain form: the decrypting direction keeps the chain targets,
// the scatter slots and the mixing positions in Perm and Triples, which live
// only within the call.
#include <cassert>
#include <cstdint>
#include <vector>

#include "cipher/cipher_state.h"
#include "testing/reference/reference_engine.h"
#include "testing/reference/transform_positions.h"

namespace tolbrek5::reference {
namespace {

// The key byte at i mod (key length) becomes the sum of its complement and
// the mixed byte's complement, modulo 256. Positions come in ascending order,
// so a key shorter than the block has its bytes rewritten several times.
void FeedBackIntoKey(KeyStore& key, std::int32_t i, std::uint8_t mixed) {
  const std::int64_t r = i % key.Length();
  key[r] = static_cast<std::uint8_t>(((255 - key[r]) + (255 - mixed)) % 256);
}

// What the byte at a mixing position is xored with: the pad bytes at its
// base, offset, sum and partner indices and the partner byte of the block.
std::uint8_t MixMask(const std::uint8_t* pad, const MixingPosition& at, std::uint8_t partner) {
  return static_cast<std::uint8_t>(pad[at.b] ^ pad[at.d] ^ partner ^ pad[at.p] ^ pad[at.m]);
}

// Overwrites the scratch with zeros and gives its memory back.
template <typename T>
void WipeAndEmpty(std::vector<T>& scratch) {
  SecureWipe(scratch.data(), scratch.size() * sizeof(T));
  std::vector<T>().swap(scratch);
}

void Encrypt(CipherState& s, std::int32_t n) {
  const std::uint8_t* pad = s.Pad.data();
  std::uint8_t* in = s.InBlock.data();
  std::uint8_t* out = s.OutBlock.data();

  // Mix in place, first to last: a partner below i is already mixed, one
  // above i still holds the sealed input byte.
  MixingPositions positions(pad, n);
  for (std::int32_t i = 0; i < n; ++i) {
    const MixingPosition at = positions.Next();
    in[i] = static_cast<std::uint8_t>(in[i] ^ MixMask(pad, at, in[at.m]));
    FeedBackIntoKey(s.Key, i, in[i]);
  }

  // Scatter the mixed bytes into the output.
  ScatterSlots slots(pad, s.Taken.data(), n);
  for (std::int32_t j = 0; j < n; ++j) out[slots.Next()] = in[j];

  // Chain, first to last: a target below j has already been chained.
  ChainTargets targets(pad, n);
  for (std::int32_t j = 0; j < n; ++j)
    out[j] = static_cast<std::uint8_t>(out[j] ^ out[targets.Next()]);
}

void Decrypt(CipherState& s, std::int32_t n) {
  const std::uint8_t* pad = s.Pad.data();
  std::uint8_t* in = s.InBlock.data();
  std::uint8_t* out = s.OutBlock.data();
  const auto count = static_cast<std::size_t>(n);

  // Unchain in place, last to first, so every target is read in the state
  // the chaining read it in.
  assert(s.Perm.empty());
  s.Perm.resize(count);
  std::int32_t* perm = s.Perm.data();
  ChainTargets targets(pad, n);
  for (std::int32_t j = 0; j < n; ++j) perm[j] = targets.Next();
  for (std::int32_t j = n - 1; j >= 0; --j) in[j] = static_cast<std::uint8_t>(in[j] ^ in[perm[j]]);

  // Gather: mixed byte k sits in slot s_k.
  for (std::int32_t j = 0; j < n; ++j) perm[j] = 0;
  ScatterSlots slots(pad, s.Taken.data(), n);
  for (std::int32_t j = 0; j < n; ++j) perm[j] = slots.Next();
  for (std::int32_t k = n - 1; k >= 0; --k) out[k] = in[perm[k]];

  WipeAndEmpty(s.Perm);

  // Feed the still mixed bytes back into the key, in the order encrypting
  // did, and keep every position's indices for the unmixing.
  assert(s.Triples.empty());
  s.Triples.resize(count);
  Triple* triples = s.Triples.data();
  MixingPositions positions(pad, n);
  for (std::int32_t i = 0; i < n; ++i) {
    FeedBackIntoKey(s.Key, i, out[i]);
    const MixingPosition at = positions.Next();
    triples[i] = Triple{at.d, at.b, at.m};
  }

  // Unmix, last to first: a partner above i is already restored, one below
  // i is still mixed, as encrypting saw them.
  for (std::int32_t i = n - 1; i >= 0; --i) {
    const Triple t = triples[i];
    const MixingPosition at{t.b, t.d, (t.b + t.d) % n, t.m};
    out[i] = static_cast<std::uint8_t>(out[i] ^ MixMask(pad, at, out[at.m]));
  }

  WipeAndEmpty(s.Triples);
}

}  // namespace

void TransformBlock(CipherState& s) {
  const std::int32_t n = s.BlockLen;
  assert(n >= MinBlockLen && n <= BufferCapacity);
  assert(s.Key.Length() >= 1);
  assert(s.Pad.size() >= static_cast<std::size_t>(n) &&
         s.Taken.size() >= static_cast<std::size_t>(n));

  s.StirState = 1;
  if (s.Decrypting) {
    Decrypt(s, n);
  } else {
    Encrypt(s, n);
  }

#ifndef NDEBUG
  // Every slot received exactly one source byte.
  for (std::int32_t j = 0; j < n; ++j) assert(s.Taken.data()[j] == 1);
#endif
}

}  // namespace tolbrek5::reference
