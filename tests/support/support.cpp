#include "support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
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
    for (std::size_t i = 0; i < size; ++i)
      out[i] = static_cast<std::uint8_t>(kLine[i % (sizeof kLine - 1)]);
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

std::vector<std::vector<std::string>> ReadTable(const std::string& name) {
  std::ifstream in(std::string(TOLBREK5_TEST_DATA) + "/" + name);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream cols(line);
    rows.emplace_back();
    for (std::string col; std::getline(cols, col, '\t');) rows.back().push_back(col);
  }
  return rows;
}

// Columns: name, size, plaintext recipe, key ("t:text" or "f:recipe:length"),
// ciphertext SHA-256, ciphertext FNV-1a 64.
Vector FindVector(const std::string& name) {
  for (const auto& f : ReadTable("vectors/vectors.tsv")) {
    if (f[0] != name) continue;
    Vector v{f[0], f[2], f[3].substr(2), "", f[5], std::stoul(f[1])};
    v.keyIsFile = f[3].rfind("f:", 0) == 0;
    if (v.keyIsFile) {
      v.keyFileRecipe = f[3].substr(2, f[3].rfind(':') - 2);
      v.keyFileLength = std::stoul(f[3].substr(f[3].rfind(':') + 1));
    }
    return v;
  }
  ADD_FAILURE() << "no vector named " << name;
  return {};
}

namespace {

// Records every block step as a trace line.
struct Tracer : BlockObserver {
  explicit Tracer(bool backwards) : decrypting(backwards) {}
  void AfterStep(BlockStep step, const CipherState& s) override {
    static const char* const kNames[] = {"seal",    "evolve1", "pad1",    "padsum1",  "shorten",
                                         "evolve2", "pad2",    "padsum2", "transform"};
    if (step == (decrypting ? BlockStep::Evolve1 : BlockStep::Seal)) ++block;
    if (step == BlockStep::Check) return;
    std::ostringstream os;
    os << "blk=" << block << " op=" << kNames[static_cast<int>(step)] << " len=" << s.BlockLen
       << " klen=" << s.Key.Length()
       << " key=" << Fnv1a64Hex(s.Key.data(), static_cast<std::size_t>(s.Key.Length()))
       << " pad=" << Fnv1a64Hex(s.Pad.data(), static_cast<std::size_t>(s.BlockLen))
       << " pkc=" << s.PadKeyCursor << " ec=" << s.EvolveCursor << " ss=" << s.StirState
       << " ps=" << s.PadSum;
    lines.push_back(os.str());
  }
  bool decrypting;
  std::int32_t block = 0;
  std::vector<std::string> lines;
};

// Reports the first line where a run's trace differs from the vector's. The
// trace was written encrypting; decrypting checks the seal at the end of the
// block instead of its start, so seal lines are left out.
void ExpectTrace(const std::string& name, const Tracer& run) {
  std::vector<std::string> trace;
  for (const auto& line : ReadTable("vectors/" + name + ".trace")) {
    if (!run.decrypting || line[0].find(" op=seal ") == std::string::npos) trace.push_back(line[0]);
  }
  const auto [expected, actual] =
      std::mismatch(trace.begin(), trace.end(), run.lines.begin(), run.lines.end());
  if (expected == trace.end() && actual == run.lines.end()) return;
  ADD_FAILURE() << (run.decrypting ? "decrypting" : "encrypting") << ", trace line "
                << expected - trace.begin() + 1
                << "\n  expected: " << (expected == trace.end() ? "(end)" : *expected)
                << "\n  actual:   " << (actual == run.lines.end() ? "(end)" : *actual);
}

}  // namespace

void ExpectVectorRoundTrip(const Vector& v, const EngineForm& form) {
  SCOPED_TRACE("vector " + v.name);
  const Bytes plain = v.Plaintext();
  Tracer enc(false);
  Tracer dec(true);
  const EngineRun encrypted = RunEngine(plain, v.KeyBytes(), false, &enc, form);
  ExpectTrace(v.name, enc);
  EXPECT_EQ(Fnv1a64Hex(encrypted.output), v.ciphertextFnv);
  const EngineRun decrypted = RunEngine(encrypted.output, v.KeyBytes(), true, &dec, form);
  ExpectTrace(v.name, dec);
  EXPECT_TRUE(decrypted.ok && decrypted.output == plain)
      << "decryption did not restore the plaintext";
}

RunningProgram::RunningProgram(const std::vector<std::string>& args, const fs::path& dir,
                               const std::string& fault, std::int64_t addressSpace) {
  // The request's kind, up to its colon, and the file of `dir` it names.
  const std::string kind = fault.substr(0, fault.find(':') + 1);
  const fs::path named = dir / fault.substr(kind.size());
  const bool shim = kind != "input:" && kind != "pipe:" && kind != "stdin:" && kind != "stdout:";
  fs::path out;
  if (args.size() == 4 && args[2] == "-") out = kind == "stdout:" ? named : dir / "stdout";
  Bytes input = kind == "pipe:" ? ReadBytes(named) : Bytes();
  if (kind == "input:") input.assign(fault.begin() + 6, fault.end());
  Start(args, dir, kind == "stdin:" ? named : fs::path(), out, kind == "stdout:", shim ? fault : "",
        addressSpace);
  if (pipe_ != -1) feeder_ = std::jthread(Feed, pipe_, std::move(input));
}

ScratchDir::ScratchDir() {
  std::random_device seed;
  while (!fs::create_directory(path_ = fs::temp_directory_path() /
                                       ("tolbrek5-test-" + std::to_string(seed())))) {
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void WriteBytes(const fs::path& file, const Bytes& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

Bytes ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    // Lexically: relative() would follow a symbolic link to its target's name.
    std::string& what = out[entry.path().lexically_relative(dir).string()];
    if (entry.is_symlink()) {
      what = "-> " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      what = "<dir>";
    } else if (!entry.is_regular_file()) {
      what = "<special>";
    } else if (entry.file_size() < (1u << 20)) {
      what = Fnv1a64Hex(ReadBytes(entry.path()));
    } else {
      what = "size " + std::to_string(entry.file_size());
    }
  }
  return out;
}

}  // namespace tolbrek5::test
