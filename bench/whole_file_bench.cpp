// Whole inputs through the engine, production form beside reference form:
// encryption and decryption time of each, and the ratio. The input stays in
// memory, so the figures are the cipher's alone (the program adds one read
// and one write per block).
//
//   whole_file_bench [size] [forms]     size in bytes (default 45000000),
//                                       forms: both (default) or production
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cipher/cipher_state.h"
#include "testing/reference/reference_engine.h"

namespace tolbrek5 {
namespace {

std::vector<std::uint8_t> Xorshift(std::size_t size, std::uint32_t x) {
  std::vector<std::uint8_t> out(size);
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return out;
}

// Runs every block of `input` in the cipher's order; returns the output.
std::vector<std::uint8_t> Run(const std::vector<std::uint8_t>& input, const std::string& key,
                              bool decrypting, const EngineForm& form) {
  const std::vector<std::uint8_t> keyBytes(key.begin(), key.end());
  EngineRun run = RunEngine(input, keyBytes, decrypting, nullptr, form, true);
  if (!run.ok) {
    std::fprintf(stderr, "check failed\n");
    std::exit(1);
  }
  return std::move(run.output);
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Timing {
  double encrypt = 0;
  double decrypt = 0;
};

Timing Measure(const char* name, const EngineForm& form, const std::vector<std::uint8_t>& plain,
               const std::string& key, std::vector<std::uint8_t>& cipher) {
  Timing t;
  auto start = std::chrono::steady_clock::now();
  cipher = Run(plain, key, false, form);
  t.encrypt = Seconds(start);
  start = std::chrono::steady_clock::now();
  const auto back = Run(cipher, key, true, form);
  t.decrypt = Seconds(start);
  if (back != plain) {
    std::fprintf(stderr, "%s: decryption did not restore the input\n", name);
    std::exit(1);
  }
  std::printf("%-10s encrypt %7.2f s   decrypt %7.2f s\n", name, t.encrypt, t.decrypt);
  std::fflush(stdout);
  return t;
}

}  // namespace
}  // namespace tolbrek5

int main(int argc, char** argv) {
  using namespace tolbrek5;
  const std::size_t size = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 45000000u;
  const bool both = argc <= 2 || std::string(argv[2]) != "production";
  const std::string key = "a whole-file benchmark key";
  const auto plain = Xorshift(size, 2463534242u);
  std::printf("%zu bytes, %d blocks\n", size,
              BlockCount(static_cast<std::int64_t>(size), PlainBlockSize));

  std::vector<std::uint8_t> fastCipher, slowCipher;
  const Timing fast = Measure("production", ProductionEngine, plain, key, fastCipher);
  if (!both) return 0;
  const Timing slow = Measure("reference", reference::ReferenceEngine, plain, key, slowCipher);
  if (fastCipher != slowCipher) {
    std::fprintf(stderr, "the two forms encrypt differently\n");
    return 1;
  }
  std::printf("speed-up   encrypt %7.2fx  decrypt %7.2fx\n", slow.encrypt / fast.encrypt,
              slow.decrypt / fast.decrypt);
  return 0;
}
