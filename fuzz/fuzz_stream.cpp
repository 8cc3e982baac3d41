// Random use of the library's C interface, for a given time: random inputs of
// 5000 to 100000 bytes and keys (text, or key files, some longer than the
// input), pushed in random pieces into random output room, with and without a
// declared size, both ways, and damaged ciphertexts. Every split must give
// what the same input gives in one piece, and nothing may crash or trip a
// sanitizer.
//
//   fuzz_stream [SECONDS [SEED]]    10 s by default; prints the seed: the same seed,
//                                   the same cases
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

#include "tolbrek5/tolbrek5.h"

namespace {

using Bytes = std::vector<unsigned char>;
std::mt19937_64 rng;

std::size_t Uniform(std::size_t lo, std::size_t hi) {
  return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
}

Bytes RandomBytes(std::size_t n) {
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(rng());
  return b;
}

// Largest piece of input, or of output room, a run uses: one byte, all at
// once, or anything between.
std::size_t Largest(std::size_t all) {
  const std::size_t kind = Uniform(0, 3);
  return kind == 0 ? 1 : kind == 1 ? all : Uniform(1, all);
}

using Run = std::pair<int, Bytes>;  // the outcome, and the output handed out

// One stream over `input`: in one piece, its size declared and its key given
// first; or (`split`) in random pieces, declared or not, the key given first
// or when the stream asks for it.
Run Process(int direction, const Bytes& input, const Bytes& key, bool keyFile, bool split) {
  tolbrek5_stream* s = tolbrek5_stream_create(direction);
  auto setKey = [&] {
    return keyFile ? tolbrek5_stream_set_key_file(s, key.size(), key.data(), key.size())
                   : tolbrek5_stream_set_key(s, key.data(), key.size());
  };
  int code = TOLBREK5_MORE;
  Bytes output;
  if (!split || Uniform(0, 1) == 0) code = setKey() == TOLBREK5_OK ? TOLBREK5_MORE : 99;
  if (!split || Uniform(0, 1) == 0) code = tolbrek5_stream_set_input_size(s, input.size());
  if (code == TOLBREK5_OK) code = TOLBREK5_MORE;
  const std::size_t piece = split ? Largest(input.size()) : input.size();
  Bytes room(split ? Largest(200000) : 200000);
  for (std::size_t at = 0; code == TOLBREK5_MORE;) {
    const std::size_t n = std::min(Uniform(1, piece), input.size() - at);
    tolbrek5_in_buffer in{input.data() + at, n, 0};
    const int directive = at + n == input.size() ? TOLBREK5_END : TOLBREK5_CONTINUE;
    do {
      tolbrek5_out_buffer out{room.data(), Uniform(1, room.size()), 0};
      code = tolbrek5_stream_process(s, &in, &out, directive);
      output.insert(output.end(), room.begin(), room.begin() + static_cast<long>(out.pos));
      if (code == TOLBREK5_NEED_KEY) code = setKey() == TOLBREK5_OK ? TOLBREK5_MORE : 99;
    } while (code == TOLBREK5_MORE && (in.pos < in.size || directive == TOLBREK5_END));
    at += in.pos;
  }
  tolbrek5_stream_free(s);
  return {code, output};
}

}  // namespace

int main(int argc, char** argv) {
  const auto seconds = std::chrono::seconds(argc > 1 ? std::atol(argv[1]) : 10);
  const unsigned long long seed =
      argc > 2 ? std::strtoull(argv[2], nullptr, 10) : std::random_device{}();
  std::printf("seed %llu\n", seed);
  rng.seed(seed);
  long cases = 0;
#define CHECK(cond)                                                               \
  if (!(cond)) {                                                                  \
    std::fprintf(stderr, "case %ld: %s fails (seed %llu)\n", cases, #cond, seed); \
    return 1;                                                                     \
  }
  for (const auto end = std::chrono::steady_clock::now() + seconds;
       std::chrono::steady_clock::now() < end; ++cases) {
    const Bytes plain = RandomBytes(Uniform(5000, 100000));
    const bool file = Uniform(0, 1) == 0;
    const Bytes key = RandomBytes(Uniform(10, file || Uniform(0, 3) == 0 ? 2 * plain.size() : 300));
    const Run sealed = Process(TOLBREK5_ENCRYPT, plain, key, file, false);
    CHECK(Process(TOLBREK5_ENCRYPT, plain, key, file, true) == sealed);
    CHECK((Process(TOLBREK5_DECRYPT, sealed.second, key, file, true) == Run{TOLBREK5_OK, plain}));
    // Damaged: a byte flipped, and cut short or made longer half the time. A
    // flip may pass the check (the check value is a sum), but never gives the
    // plaintext back.
    Bytes bad = sealed.second;
    bad[Uniform(0, bad.size() - 1)] ^= static_cast<unsigned char>(Uniform(1, 255));
    if (Uniform(0, 1) == 0) bad.resize(Uniform(0, bad.size() + 20000));
    const Run failed = Process(TOLBREK5_DECRYPT, bad, key, file, false);
    CHECK(failed.first < TOLBREK5_OK || failed.second != plain);
    CHECK(Process(TOLBREK5_DECRYPT, bad, key, file, true) == failed);
  }
  std::printf("%ld cases\n", cases);
  return 0;
}
