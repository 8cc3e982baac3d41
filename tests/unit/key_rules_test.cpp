// Where the key comes from: how much of a key file is the key, where a
// relative key-file path points, and the wiping of a text key's argument.
#include <gtest/gtest.h>

#include <cstring>

#include "app/key_source.h"
#include "cipher/cipher_state.h"

namespace tolbrek5 {
namespace {

constexpr std::int64_t kGiB = std::int64_t{1} << 30;

struct LengthCase {
  std::int64_t keyFileSize;
  std::int64_t inputSize;
  bool decrypting;
  std::int64_t expected;
};

class KeyFileLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(KeyFileLength, IsAtMostThePlaintextSize) {
  const LengthCase& c = GetParam();
  EXPECT_EQ(KeyFileKeyLength(c.keyFileSize, c.inputSize, c.decrypting), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, KeyFileLength,
    ::testing::Values(
        // Encrypting: the whole key file, or the first S bytes of a longer one.
        LengthCase{10, 5000, false, 10}, LengthCase{5000, 5000, false, 5000}, LengthCase{5001, 5000, false, 5000},
        // Decrypting: the plaintext is one check value shorter per block, so a
        // key file longer than the plaintext gives the key encryption used.
        LengthCase{5004, 5004, true, 5000}, LengthCase{100000, 20004, true, 20000},
        LengthCase{4999, 5004, true, 4999},
        // 30000008 bytes decrypt as two blocks; 30000007 as one.
        LengthCase{40000000, 30000008, true, 30000000}, LengthCase{40000000, 30000007, true, 30000003},
        // The full 64-bit size counts: 4 GiB + 20 bytes is not a 20-byte key.
        LengthCase{4 * kGiB + 20, 5000, false, 5000}, LengthCase{4 * kGiB + 20, 5004, true, 5000},
        // Never more than 2147483647 bytes.
        LengthCase{5 * kGiB, 3 * kGiB, false, 2147483647}, LengthCase{5 * kGiB, 3 * kGiB, true, 2147483647}));

TEST(KeyFilePath, RelativeArgumentsJoinTheCurrentDirectoryWithOneSlash) {
  EXPECT_EQ(KeyFilePath("/home/u", "key.bin"), "/home/u/key.bin");
  EXPECT_EQ(KeyFilePath("/home/u/", "key.bin"), "/home/u/key.bin");
  EXPECT_EQ(KeyFilePath("/", "key.bin"), "/key.bin");
  EXPECT_EQ(KeyFilePath("/home/u", "keys/k.bin"), "/home/u/keys/k.bin");
  EXPECT_EQ(KeyFilePath("/home/u", "./k"), "/home/u/./k");
  // Only a leading "/" makes a path absolute; a colon means nothing here.
  EXPECT_EQ(KeyFilePath("/home/u", "d:\\k.bin"), "/home/u/d:\\k.bin");
  EXPECT_EQ(KeyFilePath("/home/u", "/etc/k"), "/etc/k");
}

TEST(TextKey, IsCopiedAndTheArgumentWiped) {
  char argument[] = "Some words here";
  KeyStore key;
  ASSERT_TRUE(TakeTextKey(argument, key));
  ASSERT_EQ(key.Length(), 15);
  EXPECT_EQ(std::memcmp(key.data(), "Some words here", 15), 0);
  EXPECT_GE(key.Capacity(), static_cast<std::size_t>(BufferCapacity));
  for (char c : argument) EXPECT_EQ(c, '\0');
  key.Release();
}

TEST(TextKey, ShorterThanTenBytesIsRefusedAndStillWiped) {
  char argument[] = "123456789";
  KeyStore key;
  EXPECT_FALSE(TakeTextKey(argument, key));
  EXPECT_EQ(key.Length(), 0);
  for (char c : argument) EXPECT_EQ(c, '\0');
}

}  // namespace
}  // namespace tolbrek5
