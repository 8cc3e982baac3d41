// The block seal: check values, the 4 bytes appended when encrypting, and
// the check when decrypting.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "cipher/cipher_state.h"
#include "support/vectors.h"

namespace tolbrek5 {
namespace {

std::uint32_t CheckValueOf(const std::vector<std::uint8_t>& bytes) {
  return CheckValue(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

TEST(CheckValue, KnownSums) {
  EXPECT_EQ(CheckValueOf({97, 98, 99}), 1312u);
  EXPECT_EQ(CheckValueOf({0}), 1u);
  EXPECT_EQ(CheckValueOf({255}), 758u);
  EXPECT_EQ(CheckValueOf(std::vector<std::uint8_t>(5000, 0)), 12502500u);
  EXPECT_EQ(CheckValueOf(std::vector<std::uint8_t>(5000, 255)), 3203150000u);
  EXPECT_EQ(CheckValueOf(std::vector<std::uint8_t>(10000, 255)), 4216365408u);  // reduced mod 2^32
}

TEST(SealBlock, SealsThenChecksAndRejectsEverySingleBitFlip) {
  CipherState s;
  s.InBlock = SecureBuffer(32);
  s.OutBlock = SecureBuffer(32);
  const std::vector<std::uint8_t> data = {97, 98, 99};
  std::memcpy(s.InBlock.data(), data.data(), data.size());
  s.BlockLen = 3;
  EXPECT_TRUE(SealBlock(s));
  ASSERT_EQ(s.BlockLen, 7);
  const std::vector<std::uint8_t> sealed(s.InBlock.data(), s.InBlock.data() + 7);
  EXPECT_EQ(sealed, (std::vector<std::uint8_t>{97, 98, 99, 0x00, 0x00, 0x05, 0x20}));

  s.Decrypting = true;
  std::memcpy(s.OutBlock.data(), sealed.data(), sealed.size());
  EXPECT_TRUE(SealBlock(s));
  EXPECT_EQ(s.BlockLen, 3);

  // Data bits and check-value bits alike; the length drops by 4 either way.
  for (std::size_t byte = 0; byte < sealed.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      std::vector<std::uint8_t> damaged = sealed;
      damaged[byte] = static_cast<std::uint8_t>(damaged[byte] ^ (1u << bit));
      std::memcpy(s.OutBlock.data(), damaged.data(), damaged.size());
      s.BlockLen = 7;
      EXPECT_FALSE(SealBlock(s)) << "byte " << byte << " bit " << bit;
      EXPECT_EQ(s.BlockLen, 3);
    }
  }
}

}  // namespace
}  // namespace tolbrek5
