// The block phase, end to end: known answers through the program, the
// console text of whole runs, and the failures that must leave no output.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/vectors.h"
#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

namespace fs = std::filesystem;

std::string InfoLines(const std::string& in, const std::string& out, std::size_t size) {
  return "inputfile=" + in + ", outputfile=" + out + ", inputfilesize=" + std::to_string(size) + " bytes\n\n";
}

// ---- Known answers: the program's ciphertext is the vector's, and decrypts back ----

class KnownAnswer : public ::testing::TestWithParam<std::string> {};

TEST_P(KnownAnswer, EncryptsToTheListedDigestAndBack) {
  const Vector v = FindVector(GetParam());
  ScratchDir dir;
  WriteBytes(dir / "plain", v.Plaintext());
  std::string key = v.keyText;
  if (v.keyIsFile) {
    WriteBytes(dir / "key", MakeBytes(v.keyFileRecipe, v.keyFileLength));
    key = "key";
  }
  const ProgramRun enc = RunTolbrek5({v.keyIsFile ? "ef" : "ec", "plain", "cipher", key}, dir.path());
  ASSERT_EQ(enc.status, 0) << enc.out;
  EXPECT_EQ(Sha256Hex(ReadBytes(dir / "cipher")), v.ciphertextSha256);

  const ProgramRun dec = RunTolbrek5({v.keyIsFile ? "df" : "dc", "cipher", "back", key}, dir.path());
  ASSERT_EQ(dec.status, 0) << dec.out;
  EXPECT_TRUE(ReadBytes(dir / "back") == v.Plaintext());
}

INSTANTIATE_TEST_SUITE_P(Vectors, KnownAnswer, ::testing::Values("v1", "v2", "v3", "v4"));

// ---- Whole runs at the smallest sizes: console text, files, permissions ----

TEST(WholeRun, SmallestFileBothWays) {
  ScratchDir dir;
  const auto plain = MakeBytes("xs9", 5000);
  WriteBytes(dir / "a.bin", plain);
  const ProgramRun enc = RunTolbrek5({"ec", "a.bin", "b.bin", "0123456789"}, dir.path());
  EXPECT_EQ(enc.out, BannerText() + InfoLines("a.bin", "b.bin", 5000) +
                         "Encrypting block 1/1\b\b\b\nEverything ok\n");
  EXPECT_EQ(enc.status, 0);
  EXPECT_EQ(fs::file_size(dir / "b.bin"), 5004u);
  // A new output gets the permissions of a newly created file.
  const mode_t mask = ::umask(022);
  ::umask(mask);
  EXPECT_EQ(static_cast<mode_t>(fs::status(dir / "b.bin").permissions()), 0666 & ~mask);

  // Decrypting onto an existing file replaces it.
  WriteBytes(dir / "c.bin", MakeBytes("text", 100));
  const ProgramRun dec = RunTolbrek5({"dc", "b.bin", "c.bin", "0123456789"}, dir.path());
  EXPECT_EQ(dec.out, BannerText() + InfoLines("b.bin", "c.bin", 5004) +
                         "Decrypting block 1/1\b\b\b\nEverything ok\n");
  EXPECT_EQ(dec.status, 0);
  EXPECT_TRUE(ReadBytes(dir / "c.bin") == plain);
  EXPECT_EQ(Snapshot(dir.path()).size(), 3u);  // no temporary file left
}

// A character device and a symbolic link as outputs: written through, not replaced.
TEST(WholeRun, DevNullChecksTheKeyAndASymbolicLinkIsFollowed) {
  ScratchDir dir;
  WriteBytes(dir / "plain", MakeBytes("xs9", 6000));
  fs::create_directory(dir / "real");
  WriteBytes(dir / "real" / "target", MakeBytes("text", 10));
  fs::create_symlink("real/target", dir / "link");
  ASSERT_EQ(RunTolbrek5({"ec", "plain", "link", "0123456789"}, dir.path()).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(fs::file_size(dir / "real" / "target"), 6004u);
  const auto before = Snapshot(dir.path());
  EXPECT_EQ(RunTolbrek5({"dc", "link", "/dev/null", "0123456789"}, dir.path()).status, 0);
  EXPECT_EQ(RunTolbrek5({"dc", "link", "/dev/null", "9876543210"}, dir.path()).status, 1);
  EXPECT_EQ(Snapshot(dir.path()), before);
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// ---- Decryptions that fail: the message, status 1, no output, nothing changed ----

struct FailedDecryption {
  const char* name;
  std::size_t size;  // size of the file to decrypt
  const char* key;
};

void PrintTo(const FailedDecryption& c, std::ostream* os) { *os << c.name; }

class DecryptionFails : public ::testing::TestWithParam<FailedDecryption> {};

// "cipher" is made from a 20000-byte plaintext under "0123456789", then cut
// or extended with zeros to the case's size. A last block longer than the
// buffers is refused unread.
TEST_P(DecryptionFails, LeavesNoOutputAndTheExistingFileUntouched) {
  const FailedDecryption& c = GetParam();
  ScratchDir dir;
  WriteBytes(dir / "plain", MakeBytes("xs9", 20000));
  ASSERT_EQ(RunTolbrek5({"ec", "plain", "cipher", "0123456789"}, dir.path()).status, 0);
  fs::resize_file(dir / "cipher", c.size);
  WriteBytes(dir / "out", MakeBytes("text", 321));
  const auto before = Snapshot(dir.path());

  const ProgramRun run = RunTolbrek5({"dc", "cipher", "out", c.key}, dir.path());
  EXPECT_EQ(run.out, BannerText() + InfoLines("cipher", "out", c.size) +
                         "Decrypting block 1/1\b\b\b\n Decryption failed\n\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Snapshot(dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, DecryptionFails,
                         ::testing::Values(FailedDecryption{"WrongKey", 20004, "0123456788"},
                                           FailedDecryption{"Truncated", 20000, "0123456789"},
                                           FailedDecryption{"OverlongLastBlock", 30000004, "0123456789"},
                                           FailedDecryption{"OverlongLastBlockLongest", 30000007, "0123456789"}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tolbrek5::test
