// For tests and benchmarks only, never part of the shipped library: the
// engine's operations as exchangeable sets, and a block run that reports the
// state after every step.
#pragma once

#include <cstdint>
#include <vector>

#include "cipher/block_steps.h"
#include "cipher/cipher_state.h"

namespace tolbrek5 {

// A set of the engine's operations. The production set is the library's; the
// reference set (testing/reference/reference_engine.h) is the line-by-line
// form that the production set must match bit for bit.
struct EngineForm {
  void (*evolveKey)(CipherState&);
  void (*generatePad)(CipherState&, std::int32_t);
  void (*transformBlock)(CipherState&);
};
extern const EngineForm ProductionEngine;

class BlockObserver {
 public:
  virtual ~BlockObserver() = default;
  virtual void AfterStep(BlockStep step, const CipherState& s) = 0;
};

// ProcessBlock with the operations of `form`, reporting every step to
// `observer` (when not null).
BlockOutcome ProcessBlockWith(CipherState& s, BlockObserver* observer,
                              const EngineForm& form = ProductionEngine);

// A whole input through the engine in the block driver's order, without
// files, for tests and benchmarks: the ciphertext or the plaintext (empty,
// and `ok` false, when a block fails its check or does not fit).
struct EngineRun {
  std::vector<std::uint8_t> output;
  bool ok = true;
};
EngineRun RunEngine(const std::vector<std::uint8_t>& input, const std::vector<std::uint8_t>& key,
                    bool decrypting, BlockObserver* observer = nullptr,
                    const EngineForm& form = ProductionEngine, bool hugePages = false);

}  // namespace tolbrek5
