// Known answers for a two-block vector, v6: the only check of the state
// carried from one block to the next (its second pad generation of block 1
// also starts with the cursor past the end of the shortened key). About a
// minute, more on a busy machine. (v5, the other two-block vector, differs
// only by its text key.)
#include <gtest/gtest.h>

#include "support/support.h"

namespace tolbrek5::test {
namespace {

TEST(TwoBlockVector, MatchesTheTraceBothWays) { ExpectVectorRoundTrip(FindVector("v6")); }

}  // namespace
}  // namespace tolbrek5::test
