// Known answers from independent readings of the cipher: every engine state
// of every block, and the ciphertext digest, for the single-block vectors.
#include <gtest/gtest.h>

#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

class SingleBlockVector : public ::testing::TestWithParam<std::string> {};

TEST_P(SingleBlockVector, MatchesTraceAndDigestBothWays) {
  for (const Vector& v : LoadVectors()) {
    if (v.name == GetParam()) return ExpectVectorRoundTrip(v);
  }
  FAIL() << "no vector named " << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Vectors, SingleBlockVector, ::testing::Values("v1", "v2", "v3", "v4"));

}  // namespace
}  // namespace tolbrek5::test
