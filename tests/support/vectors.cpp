#include "support/vectors.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tolbrek5::test {

std::string Fnv1a64Hex(const std::uint8_t* data, std::size_t n) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (std::size_t i = 0; i < n; ++i) h = (h ^ data[i]) * 0x100000001b3ull;
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

Bytes MakeBytes(const std::string& recipe, std::size_t size) {
  Bytes out(size);
  if (recipe == "text") {
    static const char kLine[] = "The quick brown fox jumps over the lazy dog. 0123456789\n";
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(kLine[i % (sizeof kLine - 1)]);
  } else if (recipe.rfind("xs", 0) == 0) {
    auto x = static_cast<std::uint32_t>(std::stoul(recipe.substr(2)));
    for (auto& b : out) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<std::uint8_t>(x & 255u);
    }
  } else if (recipe != "zero") {
    throw std::invalid_argument("unknown recipe " + recipe);
  }
  return out;
}

Bytes Vector::KeyBytes() const {
  if (!keyIsFile) return {keyText.begin(), keyText.end()};
  return MakeBytes(keyFileRecipe, std::min(keyFileLength, size));
}

// vectors.tsv: name, size, plaintext recipe, key ("t:text" or
// "f:recipe:length"), ciphertext digest; a line of column names first.
Vector FindVector(const std::string& name) {
  std::ifstream in(std::string(TOLBREK5_TEST_DATA) + "/vectors/vectors.tsv");
  std::string line, key;
  Vector v;
  while (std::getline(in, line)) {
    std::stringstream cols(line);
    std::getline(cols, v.name, '\t');
    if (v.name != name) continue;
    cols >> v.size >> v.plaintextRecipe;
    cols.ignore();
    std::getline(cols, key, '\t');
    cols >> v.ciphertextSha256;
    v.keyIsFile = key.rfind("f:", 0) == 0;
    if (v.keyIsFile) {
      v.keyFileRecipe = key.substr(2, key.rfind(':') - 2);
      v.keyFileLength = std::stoul(key.substr(key.rfind(':') + 1));
    } else {
      v.keyText = key.substr(2);
    }
    return v;
  }
  ADD_FAILURE() << "no vector named " << name;
  return {};
}

EngineRun RunEngine(const Bytes& input, const Bytes& key, bool decrypting, NumberedObserver* observer,
                    const EngineForm& form) {
  CipherState s;
  s.Decrypting = decrypting;
  s.Key.Assign(key.data(), key.size(), static_cast<std::size_t>(BufferCapacity));
  s.BeginBlockPhase();
  EngineRun run;
  const auto total = static_cast<std::int64_t>(input.size());
  for (std::int64_t pos = 0; run.ok && pos < total;) {
    const std::int64_t len = NextBlockLength(total - pos, s.BlockSize);
    run.ok = len <= BufferCapacity;
    if (!run.ok) break;
    std::memcpy(s.InBlock.data(), input.data() + pos, static_cast<std::size_t>(len));
    pos += len;
    s.BlockLen = static_cast<std::int32_t>(len);
    if (observer != nullptr) ++observer->blockNo;
    run.ok = ProcessBlock(s, observer, form);
    if (run.ok) run.output.insert(run.output.end(), s.OutBlock.data(), s.OutBlock.data() + s.BlockLen);
  }
  if (!run.ok) run.output.clear();
  s.ReleaseAll(BufferCapacity);
  return run;
}

namespace {

// Compares every block step with the next trace line, in the trace's format.
// A decrypting run checks its seal at the end of the block, where the trace
// (written while encrypting) has its seal line at the start: those are skipped.
class TraceChecker : public NumberedObserver {
 public:
  TraceChecker(const std::string& name, bool decrypting) : decrypting_(decrypting) {
    std::ifstream in(std::string(TOLBREK5_TEST_DATA) + "/vectors/" + name + ".trace");
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && !(decrypting && line.find(" op=seal ") != std::string::npos)) expected_.push_back(line);
    }
  }

  void AfterStep(BlockStep step, const CipherState& s) override {
    static const char* const kNames[] = {"seal",    "evolve1", "pad1",    "padsum1",   "shorten",
                                         "evolve2", "pad2",    "padsum2", "transform", "seal"};
    if (step == BlockStep::Check || (decrypting_ && step == BlockStep::Seal) || failed_) return;
    std::ostringstream os;
    os << "blk=" << blockNo << " op=" << kNames[static_cast<int>(step)] << " len=" << s.BlockLen
       << " klen=" << s.Key.Length()
       << " key=" << Fnv1a64Hex(s.Key.data(), static_cast<std::size_t>(s.Key.Length()))
       << " pad=" << Fnv1a64Hex(s.Pad.data(), static_cast<std::size_t>(s.BlockLen)) << " pkc=" << s.PadKeyCursor
       << " ec=" << s.EvolveCursor << " ss=" << s.StirState << " ps=" << s.PadSum;
    const std::size_t index = seen_++;
    const std::string expected = index < expected_.size() ? expected_[index] : "(no more trace lines)";
    failed_ = os.str() != expected;
    if (failed_) {
      ADD_FAILURE() << (decrypting_ ? "decrypting" : "encrypting") << ", trace line " << index + 1
                    << " differs\n  expected: " << expected << "\n  actual:   " << os.str();
    }
  }
  bool AllSeen() const { return seen_ == expected_.size(); }

 private:
  std::vector<std::string> expected_;
  bool decrypting_;
  bool failed_ = false;
  std::size_t seen_ = 0;
};

}  // namespace

void ExpectVectorRoundTrip(const Vector& v, const EngineForm& form) {
  SCOPED_TRACE("vector " + v.name);
  const Bytes plain = v.Plaintext();
  TraceChecker enc(v.name, false), dec(v.name, true);
  const EngineRun encrypted = RunEngine(plain, v.KeyBytes(), false, &enc, form);
  ASSERT_TRUE(encrypted.ok);
  EXPECT_TRUE(enc.AllSeen());
  EXPECT_EQ(Sha256Hex(encrypted.output), v.ciphertextSha256);
  const EngineRun decrypted = RunEngine(encrypted.output, v.KeyBytes(), true, &dec, form);
  EXPECT_TRUE(decrypted.ok && decrypted.output == plain) << "decryption did not restore the plaintext";
  EXPECT_TRUE(dec.AllSeen());
}

}  // namespace tolbrek5::test
