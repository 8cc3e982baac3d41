#include "support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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
    const std::size_t size = std::stoul(f[1]);
    Vector v{f[0], MakeBytes(f[2], size), f[3].substr(2), {}, f[5]};
    v.key.assign(v.keyText.begin(), v.keyText.end());
    if (f[3].rfind("f:", 0) == 0) {
      const std::size_t colon = f[3].rfind(':');
      const std::size_t length = std::stoul(f[3].substr(colon + 1));
      v.key = MakeBytes(f[3].substr(2, colon - 2), std::min(length, size));
      v.keyText.clear();
    }
    return v;
  }
  ADD_FAILURE() << "no vector named " << name;
  return {};
}

void ExpectVectorRoundTrip(const Vector& v, const EngineForm& form) {
  SCOPED_TRACE("vector " + v.name);
  const EngineRun encrypted = RunEngine(v.plaintext, v.key, false, nullptr, form);
  EXPECT_EQ(Fnv1a64Hex(encrypted.output), v.ciphertextFnv);
  const EngineRun decrypted = RunEngine(encrypted.output, v.key, true, nullptr, form);
  EXPECT_TRUE(decrypted.ok && decrypted.output == v.plaintext)
      << "decryption did not restore the plaintext";
}

RunningProgram::RunningProgram(const std::vector<std::string>& args, const fs::path& dir,
                               const std::string& fault, std::int64_t addressSpace) {
  // The request's kind, up to its colon, and the file of `dir` it names.
  const std::string kind = fault.substr(0, fault.find(':') + 1);
  const fs::path named = dir / fault.substr(kind.size());
  const bool shim = kind != "input:" && kind != "pipe:" && kind != "stdin:" && kind != "stdout:";
  fs::path out;
  if (args.size() == 4 && (args[2] == "-" || args[2] == "/dev/stdout"))
    out = kind == "stdout:" ? named : dir / "stdout";
  Bytes input = kind == "pipe:" ? ReadBytes(named) : Bytes();
  if (kind == "input:") input.assign(fault.begin() + 6, fault.end());
  Start(args, dir, kind == "stdin:" ? named : fs::path(), out,
        kind == "stdout:", shim || kind == "closed:" ? fault : "", addressSpace);
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
