// Where the key comes from: how much of a key file is the key, where a
// relative key-file path points, and the wiping of a text key's argument.
#include <gtest/gtest.h>

#include <cstring>

#include "app/key_source.h"
#include "cipher/cipher_state.h"

namespace tolbrek5 {
namespace {

TEST(KeyFileLength, IsAtMostThePlaintextSize) {
  constexpr std::int64_t kGiB = std::int64_t{1} << 30;
  struct Case {
    std::int64_t keyFileSize, inputSize;
    bool decrypting;
    std::int64_t expected;
  };
  const Case cases[] = {
      // Encrypting: the whole key file, or the first S bytes of a longer one.
      {10, 5000, false, 10}, {5000, 5000, false, 5000}, {5001, 5000, false, 5000},
      // Decrypting: the plaintext is one check value shorter per block, so a
      // key file longer than the plaintext gives the key encryption used.
      {5004, 5004, true, 5000}, {100000, 20004, true, 20000}, {4999, 5004, true, 4999},
      // 30000008 bytes decrypt as two blocks; 30000007 as one.
      {40000000, 30000008, true, 30000000}, {40000000, 30000007, true, 30000003},
      // The full 64-bit size counts: 4 GiB + 20 bytes is not a 20-byte key.
      {4 * kGiB + 20, 5000, false, 5000}, {4 * kGiB + 20, 5004, true, 5000},
      // Never more than 2147483647 bytes.
      {5 * kGiB, 3 * kGiB, false, 2147483647}, {5 * kGiB, 3 * kGiB, true, 2147483647}};
  for (const Case& c : cases) {
    EXPECT_EQ(KeyFileKeyLength(c.keyFileSize, c.inputSize, c.decrypting), c.expected)
        << c.keyFileSize << " " << c.inputSize << " " << c.decrypting;
  }
}

TEST(KeyFilePath, RelativeArgumentsJoinTheCurrentDirectoryWithOneSeparator) {
#ifdef _WIN32
  EXPECT_EQ(platform::CompleteKeyPath("C:\\u", "keys\\k.bin"), "C:\\u\\keys\\k.bin");
  EXPECT_EQ(platform::CompleteKeyPath("C:\\", "keys/k.bin"), "C:\\keys/k.bin");
  // Only a colon makes a path complete.
  EXPECT_EQ(platform::CompleteKeyPath("C:\\u", "d:\\k.bin"), "d:\\k.bin");
  EXPECT_EQ(platform::CompleteKeyPath("C:\\u", "\\k.bin"), "C:\\u\\\\k.bin");
#else
  EXPECT_EQ(platform::CompleteKeyPath("/home/u", "keys/k.bin"), "/home/u/keys/k.bin");
  EXPECT_EQ(platform::CompleteKeyPath("/home/u/", "key.bin"), "/home/u/key.bin");
  EXPECT_EQ(platform::CompleteKeyPath("/", "key.bin"), "/key.bin");
  // Only a leading "/" makes a path absolute; a colon means nothing here.
  EXPECT_EQ(platform::CompleteKeyPath("/home/u", "d:\\k.bin"), "/home/u/d:\\k.bin");
  EXPECT_EQ(platform::CompleteKeyPath("/home/u", "/etc/k"), "/etc/k");
#endif
}

TEST(TextKey, IsTakenFromTenBytesOnAndTheArgumentAlwaysWiped) {
  for (const char* text : {"Some words here", "123456789"}) {
    std::string argument = text;
    KeyStore key;
    const bool taken = TakeTextKey(argument.data(), key);
    EXPECT_EQ(taken, argument.size() >= 10) << text;
    EXPECT_EQ(argument, std::string(argument.size(), '\0')) << text;
    ASSERT_EQ(key.Length(), taken ? 15 : 0) << text;
    if (!taken) continue;
    EXPECT_EQ(std::memcmp(key.data(), text, 15), 0);
    EXPECT_GE(key.Capacity(), static_cast<std::size_t>(BufferCapacity));
    key.Release();
  }
}

}  // namespace
}  // namespace tolbrek5
