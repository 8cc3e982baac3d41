#include "testing/engine_forms.h"

#include <cstring>

namespace tolbrek5 {

const EngineForm ProductionEngine = {&EvolveKey, &GeneratePad, &TransformBlock};

BlockOutcome ProcessBlockWith(CipherState& s, BlockObserver* observer, const EngineForm& form) {
  if (!BlockFits(s, s.BlockLen)) return BlockOutcome::Unfit;
  return RunBlockSteps(s, form.evolveKey, form.generatePad, form.transformBlock,
                       [&](BlockStep step) {
                         if (observer != nullptr) observer->AfterStep(step, s);
                       });
}

EngineRun RunEngine(const std::vector<std::uint8_t>& input, const std::vector<std::uint8_t>& key,
                    bool decrypting, BlockObserver* observer, const EngineForm& form,
                    bool hugePages) {
  CipherState s;
  s.Decrypting = decrypting;
  s.Key.Assign(key.data(), key.size(), static_cast<std::size_t>(BufferCapacity));
  s.BeginBlockPhase();
  if (hugePages) s.AdviseHugePages();
  EngineRun run;
  const auto total = static_cast<std::int64_t>(input.size());
  for (std::int64_t pos = 0; run.ok && pos < total;) {
    const std::int64_t len = NextBlockLength(total - pos, s.BlockSize);
    run.ok = len <= BufferCapacity;
    if (!run.ok) break;
    std::memcpy(s.InBlock.data(), input.data() + pos, static_cast<std::size_t>(len));
    pos += len;
    s.BlockLen = static_cast<std::int32_t>(len);
    run.ok = ProcessBlockWith(s, observer, form) == BlockOutcome::Done;
    if (run.ok) {
      run.output.insert(run.output.end(), s.OutBlock.data(), s.OutBlock.data() + s.BlockLen);
    }
  }
  if (!run.ok) run.output.clear();
  s.ReleaseAll(BufferCapacity);
  return run;
}

}  // namespace tolbrek5
