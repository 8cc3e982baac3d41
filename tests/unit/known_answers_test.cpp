// Known answers from independent readings of the cipher: every engine state
// of every block, and the ciphertext digest, for the single-block vectors.
#include <gtest/gtest.h>

#include <stdexcept>

#include "cipher/reference/reference_engine.h"
#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

class SingleBlockVector : public ::testing::TestWithParam<std::string> {};

Vector Named(const std::string& name) {
  for (const Vector& v : LoadVectors()) {
    if (v.name == name) return v;
  }
  throw std::invalid_argument("no vector named " + name);
}

TEST_P(SingleBlockVector, MatchesTraceAndDigestBothWays) { ExpectVectorRoundTrip(Named(GetParam())); }

TEST_P(SingleBlockVector, ReferenceFormMatchesTraceAndDigestBothWays) {
  ExpectVectorRoundTrip(Named(GetParam()), reference::ReferenceEngine);
}

INSTANTIATE_TEST_SUITE_P(Vectors, SingleBlockVector, ::testing::Values("v1", "v2", "v3", "v4"));

}  // namespace
}  // namespace tolbrek5::test
