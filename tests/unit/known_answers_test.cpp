// Known answers from independent readings of the cipher: every engine state
// of every block, and the ciphertext digest, for the single-block vectors,
// through both engine forms.
#include <gtest/gtest.h>

#include "cipher/reference/reference_engine.h"
#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

class SingleBlockVector : public ::testing::TestWithParam<std::string> {};

TEST_P(SingleBlockVector, BothFormsMatchTraceAndDigestBothWays) {
  const Vector v = FindVector(GetParam());
  ExpectVectorRoundTrip(v);
  ExpectVectorRoundTrip(v, reference::ReferenceEngine);
}

INSTANTIATE_TEST_SUITE_P(Vectors, SingleBlockVector, ::testing::Values("v1", "v2", "v3", "v4"));

}  // namespace
}  // namespace tolbrek5::test
