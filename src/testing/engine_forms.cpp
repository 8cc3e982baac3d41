#include "testing/engine_forms.h"

namespace tolbrek5 {

const EngineForm ProductionEngine = {&EvolveKey, &GeneratePad, &TransformBlock};

BlockOutcome ProcessBlockWith(CipherState& s, BlockObserver* observer, const EngineForm& form) {
  if (!BlockFits(s, s.BlockLen)) return BlockOutcome::Unfit;
  return RunBlockSteps(s, form.evolveKey, form.generatePad, form.transformBlock,
                       [&](BlockStep step) {
                         if (observer != nullptr) observer->AfterStep(step, s);
                       });
}

}  // namespace tolbrek5
