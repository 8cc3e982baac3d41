// The first key evolution of the two-block vectors: keys of about 15 million
// bytes (v5 grows a 28-byte key to that length; v6 stirs a 15000104-byte key
// file without growing it).
#include <gtest/gtest.h>

#include "support/first_evolution.h"

namespace tolbrek5::test {
namespace {

class LargeFirstEvolution : public ::testing::TestWithParam<std::string> {};

TEST_P(LargeFirstEvolution, MatchesTheTrace) { ExpectFirstEvolutionMatchesTrace(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Vectors, LargeFirstEvolution, ::testing::Values("v5", "v6"));

}  // namespace
}  // namespace tolbrek5::test
