// Multi-block files through the program. Each run costs tens of seconds, so
// this is the smallest set that reaches both sides of the block rule:
//  - 30,000,000 bytes (the two-block vector v5): a remainder of exactly twice
//    the block size is cut into two blocks (30,000,008 when decrypting), the
//    state carried from block 1 into block 2 gives the listed digest, and a
//    damaged byte in block 2 throws away the block 1 already written;
//  - 44,999,999 bytes: a remainder of twice the block size less one is taken
//    whole, so the last block fills the buffers exactly (29,999,999 + 4) and
//    decrypting takes a last block of 30,000,003 bytes;
//  - a short read in block 2 of a 30,000,000-byte file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/run_program.h"
#include "support/vectors.h"
#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

namespace fs = std::filesystem;

std::string Expected(const std::string& in, const std::string& out, std::size_t size, const char* prefix,
                     const std::string& counters, const std::string& ending) {
  return BannerText() + "inputfile=" + in + ", outputfile=" + out + ", inputfilesize=" + std::to_string(size) +
         " bytes\n\n" + prefix + counters + ending;
}

const char kTwoBlocks[] = "1/2\b\b\b2/2\b\b\b";

TEST(MultiBlock, TwoBlockVectorMatchesAndADamagedSecondBlockLeavesNothing) {
  const Vector v = FindVector("v5");
  ASSERT_FALSE(v.keyIsFile);
  ScratchDir dir;
  const auto plain = v.Plaintext();
  WriteBytes(dir / "plain", plain);

  const ProgramRun enc = RunTolbrek5({"ec", "plain", "cipher", v.keyText}, dir.path());
  EXPECT_EQ(enc.out, Expected("plain", "cipher", 30000000, "Encrypting block ", kTwoBlocks, "\nEverything ok\n"));
  ASSERT_EQ(enc.status, 0);
  auto cipher = ReadBytes(dir / "cipher");
  ASSERT_EQ(cipher.size(), 30000008u);
  EXPECT_EQ(Sha256Hex(cipher.data(), cipher.size()), v.ciphertextSha256);

  const ProgramRun dec = RunTolbrek5({"dc", "cipher", "back", v.keyText}, dir.path());
  EXPECT_EQ(dec.out, Expected("cipher", "back", 30000008, "Decrypting block ", kTwoBlocks, "\nEverything ok\n"));
  ASSERT_EQ(dec.status, 0);
  EXPECT_TRUE(ReadBytes(dir / "back") == plain);
  fs::remove(dir / "back");

  // One byte changed in block 2: block 1 decrypts and is written, block 2
  // fails its check, and the output goes with it.
  cipher[15000004 + 12345] ^= 0x01;
  WriteBytes(dir / "cipher", cipher);
  WriteBytes(dir / "back", MakeBytes("text", 99));
  const auto before = Snapshot(dir.path());
  const ProgramRun damaged = RunTolbrek5({"dc", "cipher", "back", v.keyText}, dir.path());
  EXPECT_EQ(damaged.out,
            Expected("cipher", "back", 30000008, "Decrypting block ", kTwoBlocks, "\n Decryption failed\n\n"));
  EXPECT_EQ(damaged.status, 1);
  EXPECT_EQ(Snapshot(dir.path()), before);
}

TEST(MultiBlock, LastBlockOfTwiceTheBlockSizeLessOneFillsTheBuffers) {
  ScratchDir dir;
  const auto plain = MakeBytes("xs11", 44999999);
  WriteBytes(dir / "plain", plain);
  const ProgramRun enc = RunTolbrek5({"ec", "plain", "cipher", "a key of some length"}, dir.path());
  EXPECT_EQ(enc.out, Expected("plain", "cipher", 44999999, "Encrypting block ", kTwoBlocks, "\nEverything ok\n"));
  ASSERT_EQ(enc.status, 0);
  ASSERT_EQ(fs::file_size(dir / "cipher"), 45000007u);

  const ProgramRun dec = RunTolbrek5({"dc", "cipher", "back", "a key of some length"}, dir.path());
  EXPECT_EQ(dec.out, Expected("cipher", "back", 45000007, "Decrypting block ", kTwoBlocks, "\nEverything ok\n"));
  ASSERT_EQ(dec.status, 0);
  EXPECT_TRUE(ReadBytes(dir / "back") == plain);
}

// The input shrinks while block 1 is in the engine: block 2's read comes up
// short. (Cutting the file as soon as the run shows its information line
// leaves block 1 whole; block 2 is read only after block 1's engine work.)
TEST(MultiBlock, ShortReadInBlockTwoIsReportedAndLeavesNothing) {
  ScratchDir dir;
  WriteBytes(dir / "plain", MakeBytes("xs12", 30000000));
  RunningProgram program({"ec", "plain", "cipher", "0123456789"}, dir.path());
  ASSERT_TRUE(program.WaitForOutput("inputfilesize="));
  fs::resize_file(dir / "plain", 15000100);
  const ProgramRun run = program.Finish();
  if (run.status == 0) GTEST_SKIP() << "block 2 was read before the file was cut";
  EXPECT_EQ(run.out,
            Expected("plain", "cipher", 30000000, "Encrypting block ", kTwoBlocks, "\nCannot read inputfile...\n"));
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(fs::exists(dir / "cipher"));
  EXPECT_EQ(Snapshot(dir.path()).size(), 1u);  // no temporary output left
}

}  // namespace
}  // namespace tolbrek5::test
