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
  for (std::size_t i = 0; i < n; ++i) {
    h ^= data[i];
    h *= 0x100000001b3ull;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

std::vector<std::uint8_t> MakeBytes(const std::string& recipe, std::size_t size) {
  std::vector<std::uint8_t> out(size);
  if (recipe == "zero") return out;
  if (recipe == "text") {
    static const char kLine[] = "The quick brown fox jumps over the lazy dog. 0123456789\n";
    const std::size_t len = std::strlen(kLine);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(kLine[i % len]);
    return out;
  }
  if (recipe.rfind("xs", 0) == 0) {
    std::uint32_t x = static_cast<std::uint32_t>(std::stoul(recipe.substr(2)));
    for (std::size_t i = 0; i < size; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      out[i] = static_cast<std::uint8_t>(x & 255u);
    }
    return out;
  }
  throw std::invalid_argument("unknown recipe " + recipe);
}

std::vector<std::uint8_t> Vector::KeyBytes() const {
  if (!keyIsFile) return {keyText.begin(), keyText.end()};
  return MakeBytes(keyFileRecipe, keyFileLength < size ? keyFileLength : size);
}

std::vector<Vector> LoadVectors() {
  std::ifstream in(std::string(TOLBREK5_TEST_DATA) + "/vectors/vectors.tsv");
  if (!in) throw std::runtime_error("cannot open vectors.tsv");
  std::vector<Vector> out;
  std::string line;
  std::getline(in, line);  // column names
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() != 5) throw std::runtime_error("bad vectors.tsv line: " + line);
    Vector v;
    v.name = cols[0];
    v.size = std::stoul(cols[1]);
    v.plaintextRecipe = cols[2];
    if (cols[3].rfind("t:", 0) == 0) {
      v.keyText = cols[3].substr(2);
    } else {
      v.keyIsFile = true;
      const std::string keyRecipe = cols[3].substr(2);
      const auto colon = keyRecipe.rfind(':');
      v.keyFileRecipe = keyRecipe.substr(0, colon);
      v.keyFileLength = std::stoul(keyRecipe.substr(colon + 1));
    }
    v.ciphertextSha256 = cols[4];
    out.push_back(v);
  }
  return out;
}

std::vector<std::string> LoadTrace(const std::string& name) {
  std::ifstream in(std::string(TOLBREK5_TEST_DATA) + "/vectors/" + name + ".trace");
  if (!in) throw std::runtime_error("cannot open trace " + name);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::string TraceLine(std::int32_t blockNo, BlockStep step, const CipherState& s) {
  static const char* const kNames[] = {"seal",    "evolve1", "pad1",    "padsum1",   "shorten",
                                       "evolve2", "pad2",    "padsum2", "transform", "check"};
  const char* op = kNames[static_cast<int>(step)];
  if (step == BlockStep::Check) op = "seal";
  std::ostringstream os;
  os << "blk=" << blockNo << " op=" << op << " len=" << s.BlockLen << " klen=" << s.Key.Length()
     << " key=" << Fnv1a64Hex(s.Key.data(), static_cast<std::size_t>(s.Key.Length()))
     << " pad=" << Fnv1a64Hex(s.Pad.data(), static_cast<std::size_t>(s.BlockLen)) << " pkc=" << s.PadKeyCursor
     << " ec=" << s.EvolveCursor << " ss=" << s.StirState << " ps=" << s.PadSum;
  return os.str();
}

EngineRun RunEngine(const std::vector<std::uint8_t>& input, const std::vector<std::uint8_t>& key,
                    bool decrypting, NumberedObserver* observer, const EngineForm& form) {
  CipherState s;
  s.Decrypting = decrypting;
  s.Key.Assign(key.data(), key.size(), static_cast<std::size_t>(BufferCapacity));
  s.AllocateBlockBuffers();
  s.BlockSize = PlainBlockSize + (decrypting ? CheckValueSize : 0);
  s.PadSum = 2;
  EngineRun run;
  std::int64_t pos = 0;
  const auto total = static_cast<std::int64_t>(input.size());
  std::int32_t blockNo = 0;
  while (pos < total) {
    const std::int64_t len = NextBlockLength(total - pos, s.BlockSize);
    if (len > BufferCapacity) {
      run.ok = false;
      break;
    }
    std::memcpy(s.InBlock.data(), input.data() + pos, static_cast<std::size_t>(len));
    pos += len;
    s.BlockLen = static_cast<std::int32_t>(len);
    if (observer != nullptr) observer->blockNo = ++blockNo;
    if (!ProcessBlock(s, observer, form)) {
      run.ok = false;
      break;
    }
    run.output.insert(run.output.end(), s.OutBlock.data(), s.OutBlock.data() + s.BlockLen);
  }
  if (!run.ok) run.output.clear();
  s.ReleaseAll(BufferCapacity);
  return run;
}

}  // namespace tolbrek5::test

#include "support/sha256.h"

namespace tolbrek5::test {
namespace {

class TraceChecker : public NumberedObserver {
 public:
  TraceChecker(std::vector<std::string> expected, bool decrypting)
      : expected_(std::move(expected)), decrypting_(decrypting) {}

  void AfterStep(BlockStep step, const CipherState& s) override {
    // A decrypting run checks its seal at the end of the block, where the
    // trace (written while encrypting) has no line.
    if (step == BlockStep::Check) return;
    if (decrypting_ && step == BlockStep::Seal) return;
    if (failed_) return;
    std::size_t index = next_++;
    if (decrypting_) {
      // Skip the encryption's seal line of this block.
      while (index < expected_.size() && expected_[index].find(" op=seal ") != std::string::npos) index = next_++;
    }
    ASSERT_LT(index, expected_.size()) << "more engine steps than trace lines";
    const std::string actual = TraceLine(blockNo, step, s);
    if (actual != expected_[index]) {
      failed_ = true;
      ADD_FAILURE() << (decrypting_ ? "decrypting" : "encrypting") << ", trace line " << index + 1
                    << " differs\n  expected: " << expected_[index] << "\n  actual:   " << actual;
    }
  }
  bool Failed() const { return failed_; }
  std::size_t Seen() const { return next_; }

 private:
  std::vector<std::string> expected_;
  bool decrypting_;
  bool failed_ = false;
  std::size_t next_ = 0;
};

}  // namespace

void ExpectVectorRoundTrip(const Vector& v, const EngineForm& form) {
  SCOPED_TRACE("vector " + v.name);
  const auto plain = v.Plaintext();
  const auto key = v.KeyBytes();
  const auto trace = LoadTrace(v.name);

  TraceChecker enc(trace, false);
  const EngineRun encrypted = RunEngine(plain, key, false, &enc, form);
  ASSERT_TRUE(encrypted.ok);
  EXPECT_EQ(enc.Seen(), trace.size());
  EXPECT_EQ(encrypted.output.size(), plain.size() + 4 * static_cast<std::size_t>(BlockCount(
                                                            static_cast<std::int64_t>(plain.size()), PlainBlockSize)));
  EXPECT_EQ(Sha256Hex(encrypted.output.data(), encrypted.output.size()), v.ciphertextSha256);

  TraceChecker dec(trace, true);
  const EngineRun decrypted = RunEngine(encrypted.output, key, true, &dec, form);
  ASSERT_TRUE(decrypted.ok);
  EXPECT_TRUE(decrypted.output == plain) << "decryption did not restore the plaintext";
}

}  // namespace tolbrek5::test
