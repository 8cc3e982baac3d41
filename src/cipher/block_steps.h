// The steps of one block in the cipher's order. The engine runs them with its
// own operations and nothing to report; the reference forms and the step
// traces of the tests run the same order with theirs.
#pragma once

#include "cipher/cipher_state.h"

namespace tolbrek5 {

enum class BlockStep {
  Seal,
  Evolve1,
  Pad1,
  PadSum1,
  Shorten,
  Evolve2,
  Pad2,
  PadSum2,
  Transform,
  Check
};

// `evolve(s)`, `pad(s, n)` and `transform(s)` are the three long operations;
// `report(step)` is called after each step. The block must fit
// (BlockFits); a key too short to shorten ends the block as Unfit.
template <class Evolve, class Pad, class Transform, class Report>
BlockOutcome RunBlockSteps(CipherState& s, Evolve evolve, Pad pad, Transform transform,
                           Report report) {
  if (!s.Decrypting) {
    SealBlock(s);
    report(BlockStep::Seal);
  }
  // Key evolution, pad generation and pad sum: twice per block, the key
  // shortened in between.
  auto evolveAndPad = [&](BlockStep evolved, BlockStep padded, BlockStep summed) {
    evolve(s);
    report(evolved);
    pad(s, s.BlockLen);
    report(padded);
    AddPadSum(s);
    report(summed);
  };
  evolveAndPad(BlockStep::Evolve1, BlockStep::Pad1, BlockStep::PadSum1);
  if (!ShortenKey(s)) return BlockOutcome::Unfit;
  report(BlockStep::Shorten);
  evolveAndPad(BlockStep::Evolve2, BlockStep::Pad2, BlockStep::PadSum2);
  transform(s);
  report(BlockStep::Transform);
  if (s.Decrypting) {
    const bool ok = SealBlock(s);
    report(BlockStep::Check);
    return ok ? BlockOutcome::Done : BlockOutcome::CheckFailed;
  }
  return BlockOutcome::Done;
}

}  // namespace tolbrek5
