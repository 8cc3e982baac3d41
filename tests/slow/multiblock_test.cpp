// Known answers for a two-block vector, v6: the only check of the state
// carried from one block to the next (its second pad generation of block 1
// also starts with the cursor past the end of the shortened key). About a
// minute, more on a busy machine. (v5, the other two-block vector, differs
// only by its text key.)
#include <gtest/gtest.h>

#include "support/support.h"

namespace tolbrek5::test {
namespace {

TEST(TwoBlockVector, MatchesBothWays) { ExpectVectorRoundTrip(FindVector("v6")); }

// v5 (exactly twice the block size) through pipes, standard input to
// standard output: the listed ciphertext. Then that ciphertext with two
// bytes more, so that its size is still unknown after the read-ahead: the
// first block goes out whole before the second fails its check, and the
// message and exit status say so.
TEST(TwoBlockStream, PipedGivesTheFileBytesAndAFailureAfterABlockWentOut) {
  const Vector v = FindVector("v5");
  ScratchDir dir;
  WriteBytes(dir / "plain", v.plaintext);
  const ProgramRun encrypted = RunTolbrek5({"ec", "-", "-", v.keyText}, dir.path(), "pipe:plain");
  EXPECT_EQ(encrypted.status, 0);
  EXPECT_TRUE(
      encrypted.out.ends_with("inputfilesize=30000000 bytes\n\n"
                              "Encrypting block 1/2\b\b\b2/2\b\b\b\nEverything ok\n"))
      << encrypted.out;
  Bytes cipher = ReadBytes(dir / "stdout");
  EXPECT_EQ(Fnv1a64Hex(cipher), v.ciphertextFnv);

  cipher.insert(cipher.end(), 2, 0);
  WriteBytes(dir / "cipher", cipher);
  const ProgramRun decrypted = RunTolbrek5({"dc", "-", "-", v.keyText}, dir.path(), "pipe:cipher");
  EXPECT_EQ(decrypted.status, 1);
  EXPECT_TRUE(decrypted.out.ends_with(
      "inputfilesize=unknown\n\nDecrypting block 1/?\b\b\b2/2\b\b\b\n Decryption failed\n\n"))
      << decrypted.out;
  const Bytes out = ReadBytes(dir / "stdout");
  EXPECT_TRUE(out == Bytes(v.plaintext.begin(), v.plaintext.begin() + PlainBlockSize));
}

}  // namespace
}  // namespace tolbrek5::test
