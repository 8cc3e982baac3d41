// Known answer for the first key evolution of a vector: from the run's
// starting state (the vector's key bytes, BlockLen as on the trace's seal
// line, EvolveCursor 0, StirState 1), EvolveKey must reach the key length,
// key digest, EvolveCursor and StirState of the trace's evolve1 line.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "cipher/cipher_state.h"
#include "support/vectors.h"

namespace tolbrek5::test {

// The value of `name=` on a trace line ("" when absent).
inline std::string TraceField(const std::string& line, const std::string& name) {
  const auto at = line.find(" " + name + "=");
  if (at == std::string::npos) return "";
  const auto start = at + name.size() + 2;
  return line.substr(start, line.find(' ', start) - start);
}

// What key evolution may change, in the trace's terms.
inline std::string EvolutionOutcome(const CipherState& s) {
  return "klen=" + std::to_string(s.Key.Length()) +
         " key=" + Fnv1a64Hex(s.Key.data(), static_cast<std::size_t>(s.Key.Length())) +
         " ec=" + std::to_string(s.EvolveCursor) + " ss=" + std::to_string(s.StirState);
}

inline void ExpectFirstEvolutionMatchesTrace(const std::string& name) {
  const auto trace = LoadTrace(name);
  ASSERT_TRUE(trace.size() >= 2 && TraceField(trace[1], "op") == "evolve1");
  for (const Vector& v : LoadVectors()) {
    if (v.name != name) continue;
    const auto key = v.KeyBytes();
    CipherState s;
    s.Key.Assign(key.data(), key.size(), static_cast<std::size_t>(BufferCapacity));
    s.BlockLen = std::stoi(TraceField(trace[0], "len"));
    EvolveKey(s);
    const std::string& line = trace[1];
    EXPECT_EQ(EvolutionOutcome(s), "klen=" + TraceField(line, "klen") + " key=" + TraceField(line, "key") +
                                       " ec=" + TraceField(line, "ec") + " ss=" + TraceField(line, "ss"));
    return;
  }
  FAIL() << "no vector named " << name;
}

}  // namespace tolbrek5::test
