// Known answers for the two-block vectors: the only ones that check the
// state carried from one block to the next (v6 also starts a pad generation
// with its cursor past the end of the shortened key).
#include <gtest/gtest.h>

#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

class MultiBlockVector : public ::testing::TestWithParam<std::string> {};

TEST_P(MultiBlockVector, MatchesTraceAndDigestBothWays) { ExpectVectorRoundTrip(FindVector(GetParam())); }

INSTANTIATE_TEST_SUITE_P(Vectors, MultiBlockVector, ::testing::Values("v5", "v6"));

}  // namespace
}  // namespace tolbrek5::test
