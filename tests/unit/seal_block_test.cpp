// The block seal: check values, the 4 bytes appended when encrypting, and
// the check when decrypting.
#include <gtest/gtest.h>

#include <cstring>

#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

TEST(CheckValue, KnownSums) {
  auto of = [](const Bytes& bytes) { return CheckValue(bytes.data(), static_cast<std::int32_t>(bytes.size())); };
  EXPECT_EQ(of({97, 98, 99}), 1312u);
  EXPECT_EQ(of({0}), 1u);
  EXPECT_EQ(of({255}), 758u);
  EXPECT_EQ(of(Bytes(5000, 0)), 12502500u);
  EXPECT_EQ(of(Bytes(5000, 255)), 3203150000u);
  EXPECT_EQ(of(Bytes(10000, 255)), 4216365408u);  // reduced mod 2^32
}

TEST(SealBlock, SealsThenChecksAndRejectsEverySingleBitFlip) {
  CipherState s;
  s.InBlock = SecureBuffer(32);
  s.OutBlock = SecureBuffer(32);
  const Bytes sealed = {97, 98, 99, 0x00, 0x00, 0x05, 0x20};
  std::memcpy(s.InBlock.data(), sealed.data(), 3);
  s.BlockLen = 3;
  EXPECT_TRUE(SealBlock(s));
  ASSERT_EQ(s.BlockLen, 7);
  EXPECT_EQ(Bytes(s.InBlock.data(), s.InBlock.data() + 7), sealed);

  // The intact block, then every flip of a data or check-value bit; the
  // length drops by 4 either way.
  s.Decrypting = true;
  for (std::size_t flip = 0; flip <= 8 * sealed.size(); ++flip) {
    Bytes damaged = sealed;
    if (flip > 0) damaged[(flip - 1) / 8] ^= static_cast<std::uint8_t>(1u << ((flip - 1) % 8));
    std::memcpy(s.OutBlock.data(), damaged.data(), damaged.size());
    s.BlockLen = 7;
    EXPECT_EQ(SealBlock(s), flip == 0) << "flip " << flip;
    EXPECT_EQ(s.BlockLen, 3);
  }
}

}  // namespace
}  // namespace tolbrek5::test
