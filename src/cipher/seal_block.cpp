// Block seal: a 4-byte check value appended to every plaintext block before
// it is transformed, and verified and removed after decryption.
//
// The check value is a position-weighted sum of the block's bytes modulo 2^32
// (not a CRC). It is stored right after the data, most significant byte
// first; the transform then encrypts data and check value together.
#include <cstddef>
#include <cstdint>

#include "cipher/cipher_state.h"

namespace tolbrek5 {
namespace {

// What a set bit of a byte adds to the sum: the bit's value times its rank
// counted from the most significant bit (rank 1 for 128, rank 8 for 1).
struct BitWeight {
  std::uint8_t bit;
  std::int64_t weight;
};
constexpr BitWeight kBitWeights[] = {
    {128, 128}, {64, 128}, {32, 96}, {16, 64}, {8, 40}, {4, 24}, {2, 14}, {1, 8},
};

std::uint8_t& At(SecureBuffer& buffer, std::int32_t i) {
  return buffer[static_cast<std::size_t>(i)];
}

}  // namespace

std::uint32_t CheckValue(const std::uint8_t* data, std::int32_t n) {
  // For blocks up to BufferCapacity bytes the sum stays below 1.2e17, so the
  // 64-bit accumulator neither overflows nor turns negative.
  std::int64_t sum = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    const std::int64_t b = data[i];
    sum += (b + 1) * (std::int64_t{i} + 1);
    for (const BitWeight& w : kBitWeights) {
      if ((b & w.bit) != 0) sum += w.weight;
    }
  }
  if (sum > 0xFFFFFFFF) sum = sum % 0x100000000;
  return static_cast<std::uint32_t>(sum);
}

bool SealBlock(CipherState& s) {
  if (!s.Decrypting) {
    const std::uint32_t v = CheckValue(s.InBlock.data(), s.BlockLen);
    At(s.InBlock, s.BlockLen) = static_cast<std::uint8_t>(v >> 24);
    At(s.InBlock, s.BlockLen + 1) = static_cast<std::uint8_t>((v >> 16) & 255);
    At(s.InBlock, s.BlockLen + 2) = static_cast<std::uint8_t>((v >> 8) & 255);
    At(s.InBlock, s.BlockLen + 3) = static_cast<std::uint8_t>(v & 255);
    s.BlockLen += CheckValueSize;
    return true;
  }

  // The length drops first and stays dropped on a mismatch.
  s.BlockLen -= CheckValueSize;
  const std::uint32_t computed = CheckValue(s.OutBlock.data(), s.BlockLen);
  const std::uint32_t stored = (std::uint32_t{At(s.OutBlock, s.BlockLen)} << 24) |
                               (std::uint32_t{At(s.OutBlock, s.BlockLen + 1)} << 16) |
                               (std::uint32_t{At(s.OutBlock, s.BlockLen + 2)} << 8) |
                               std::uint32_t{At(s.OutBlock, s.BlockLen + 3)};
  return computed == stored;
}

}  // namespace tolbrek5
