// The rules that single values decide, as tables: when key evolution grows
// the key and by how much, the pad sum, the seal's check, and how the key is taken from a
// key file or a text argument (check values themselves are in the vectors'
// traces); and the progress line's percentage.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <pty.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>

#include "app/key_source.h"
#include "app/progress_line.h"
#include "support/support.h"

namespace tolbrek5::test {
namespace {

TEST(Rules, KeyGrowthThresholdAndGrownLength) {
  // The key's length, the byte the double lookup from Key[0] selects, and the grown length (0:
  // the key does not grow). Key[0] = 3 selects Key[3] = 7, which selects Key[7]: the grown key
  // stays that byte plus one below the block, except that 255 gives 128.
  using Case = std::tuple<std::int32_t, std::uint8_t, std::int32_t>;
  for (const auto& [keyLen, selected, grownLen] : {Case{10, 255, MinBlockLen - 128},
                                                   {10, 254, MinBlockLen - 255},
                                                   {10, 0, MinBlockLen - 1},
                                                   {MinBlockLen - 256, 0, MinBlockLen - 1},
                                                   {MinBlockLen - 255, 0, 0}}) {
    Bytes key = MakeBytes("xs5", static_cast<std::size_t>(keyLen));
    key[0] = 3;
    key[3] = 7;
    key[7] = selected;
    CipherState s;
    s.Key.Assign(key.data(), key.size(), static_cast<std::size_t>(MinBlockLen));
    s.BlockLen = MinBlockLen;
    EvolveKey(s);
    EXPECT_EQ(s.Key.Length(), grownLen != 0 ? grownLen : keyLen) << keyLen << " " << int{selected};
  }
}

// The pad sum adds the pad's first 256 bytes modulo 256; 255 stays.
TEST(Rules, PadSumModulo256) {
  CipherState s;
  s.Pad = SecureBuffer(256);
  s.Pad[0] = 253;
  for (const std::int32_t expected : {255, 252}) {
    AddPadSum(s);
    EXPECT_EQ(s.PadSum, expected);
  }
}

// Sealing appends the check value; the check accepts the sealed block and
// rejects every single-bit flip of its data or check value.
TEST(Rules, SealRejectsEverySingleBitFlip) {
  CipherState s;
  s.InBlock = SecureBuffer(8);
  s.OutBlock = SecureBuffer(8);
  const Bytes sealed = {97, 98, 99, 0x00, 0x00, 0x05, 0x20};
  std::memcpy(s.InBlock.data(), sealed.data(), 3);
  s.BlockLen = 3;
  EXPECT_TRUE(SealBlock(s));
  EXPECT_EQ(Bytes(s.InBlock.data(), s.InBlock.data() + s.BlockLen), sealed);
  s.Decrypting = true;
  for (std::size_t flip = 0; flip <= 8 * sealed.size(); ++flip) {
    std::memcpy(s.OutBlock.data(), sealed.data(), sealed.size());
    if (flip > 0) s.OutBlock[(flip - 1) / 8] ^= static_cast<std::uint8_t>(1u << ((flip - 1) % 8));
    s.BlockLen = 7;
    EXPECT_EQ(SealBlock(s), flip == 0) << "flip " << flip;
    EXPECT_EQ(s.BlockLen, 3);
  }
}

// However long the key file and the input, a key file's key is at most 2147483647 bytes (the
// other lengths: rows of data/runs.tsv).
TEST(Rules, KeyFileKeyIsAtMost2147483647Bytes) {
  constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
  tolbrek5_stream* s = tolbrek5_stream_create(TOLBREK5_ENCRYPT);
  ASSERT_EQ(tolbrek5_stream_set_input_size(s, 3 * kGiB), TOLBREK5_OK);
  EXPECT_EQ(tolbrek5_stream_key_file_length(s, 5 * kGiB), 2147483647);
  tolbrek5_stream_free(s);
}

TEST(Rules, KeyPathsAndTextKeys) {
  // Each system's rule, checked on every system.
  EXPECT_EQ(platform::CompleteWindowsKeyPath("C:\\", "k"), "C:\\k");
  EXPECT_EQ(platform::CompleteWindowsKeyPath("C:\\u", "keys/k"), "C:\\u\\keys/k");
  // A colon makes a path complete, and so do two separators; one is not enough.
  EXPECT_EQ(platform::CompleteWindowsKeyPath("C:\\u", "d:k.bin"), "d:k.bin");
  EXPECT_EQ(platform::CompleteWindowsKeyPath("C:\\u", "\\\\srv\\share\\k"), "\\\\srv\\share\\k");
  EXPECT_EQ(platform::CompleteWindowsKeyPath("C:\\u", "//srv/share/k"), "//srv/share/k");
  EXPECT_EQ(platform::CompleteWindowsKeyPath("C:\\u", "\\k"), "C:\\u\\\\k");
  EXPECT_EQ(platform::CompletePosixKeyPath("/home/u", "keys/k.bin"), "/home/u/keys/k.bin");
  EXPECT_EQ(platform::CompletePosixKeyPath("/", "k"), "/k");
  // Only "/" makes a path absolute.
  EXPECT_EQ(platform::CompletePosixKeyPath("/home/u", "d:\\k.bin"), "/home/u/d:\\k.bin");
  // A text key is taken from 10 bytes on, and its argument always wiped.
  for (const std::string text : {"Some words here", "0123456789", "123456789"}) {
    std::string argument = text;
    platform::SecretLine key;
    EXPECT_EQ(TakeTextKey(argument.data(), key), text.size() >= 10) << text;
    EXPECT_EQ(argument, std::string(text.size(), '\0')) << text;
    EXPECT_EQ(std::string(key.bytes.data(), key.bytes.data() + key.length),
              text.size() >= 10 ? text : "");
  }
}

// Standard input redirected from a file is read from where it stands.
TEST(Rules, SizeLeftOfAnInputCountsFromItsPosition) {
  ScratchDir dir;
  WriteBytes(dir / "f", MakeBytes("zero", 5100));
  platform::File file = platform::OpenForReading((dir / "f").string());
  std::uint8_t skipped[100];
  ASSERT_EQ(platform::Read(file, skipped, 100), 100);
  EXPECT_EQ(platform::RegularSizeLeft(file), 5000);
}

#ifndef _WIN32  // a pseudo-terminal
// The progress line on a terminal: the percentage of the current block's
// work, held below 100 until the block ends, and erased again, all of it.

TEST(Rules, ProgressLineShowsTheBlocksShareOfWorkBelow100AndErasesIt) {
  int master = -1;
  int terminal = -1;
  ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
  std::fflush(stdout);
  const int console = ::dup(STDOUT_FILENO);
  ::dup2(terminal, STDOUT_FILENO);
  std::string raw;
  {
    ProgressLine line(false);
    line.SetBlockDone(0.7);  // what an earlier block reached does not count
    line.ShowBlock(1, 2);
    EXPECT_TRUE(ReadUntil(master, raw, "1/2 0%", 0, 10));
    line.SetBlockDone(0.5);
    EXPECT_TRUE(ReadUntil(master, raw, "1/2 50%", 0, 10));
    line.SetBlockDone(1.5);  // more than reckoned: held at 99 until the block ends
    EXPECT_TRUE(ReadUntil(master, raw, "1/2 99%", 0, 10));
    line.ShowBlock(2, 2);
    line.End();
  }
  std::fflush(stdout);
  ::dup2(console, STDOUT_FILENO);
  ::close(console);
  ::close(terminal);
  // The widest percentage drawn (" 99%") blanked out before the next counter.
  EXPECT_TRUE(ReadUntil(master, raw, "1/2    \b\b\b\b\b\b\b2/2", 0, 10)) << raw;
  ::close(master);
}
#endif

}  // namespace
}  // namespace tolbrek5::test
