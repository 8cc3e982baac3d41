// Random use of the library's C interface, for a given time: random keys (text
// and key files, some longer than the plaintext) and inputs of 5000 to 100000
// bytes, pushed in random pieces with random output room, with and without a
// declared size, both ways; damaged ciphertexts.
// Every split must give the bytes of the one-piece run, decryption must give
// the plaintext back, and nothing may crash or trip a sanitizer.
//
//   fuzz_stream [SECONDS [SEED]]    10 s by default; prints the seed: the same seed,
//                                   the same cases
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "tolbrek5/tolbrek5.h"

namespace {

using Bytes = std::vector<unsigned char>;
std::mt19937_64 rng;
unsigned long long seed = 0;

long long SizeOf(const Bytes& b) { return static_cast<long long>(b.size()); }

std::size_t Uniform(std::size_t lo, std::size_t hi) {
  return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
}

#define CHECK(cond)                                                                 \
  if (!(cond)) {                                                                    \
    std::fprintf(stderr, "line %d: %s fails (seed %llu)\n", __LINE__, #cond, seed); \
    std::abort();                                                                   \
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

struct Key {
  Bytes bytes;
  bool file = false;
};

struct Run {
  int code = TOLBREK5_MORE;
  Bytes output;
};

void SetKey(tolbrek5_stream* s, const Key& key) {
  const int code = key.file ? tolbrek5_stream_set_key_file(s, key.bytes.size(), key.bytes.data(),
                                                           key.bytes.size())
                            : tolbrek5_stream_set_key(s, key.bytes.data(), key.bytes.size());
  CHECK(code == TOLBREK5_OK);
  CHECK(tolbrek5_stream_set_key(s, key.bytes.data(), key.bytes.size()) ==
        TOLBREK5_ERROR_INVALID_CALL);
}

// One stream over `input`, in one piece when `split` is false. `declared`
// is the size declared, or -1.
Run Process(int direction, const Bytes& input, const Key& key, long long declared, bool split) {
  Run r;
  tolbrek5_stream* s = tolbrek5_stream_create(direction);
  CHECK(s != nullptr);
  const bool keyFirst = !split || Uniform(0, 1) == 0;
  if (keyFirst) SetKey(s, key);
  if (declared >= 0) r.code = tolbrek5_stream_set_input_size(s, static_cast<uint64_t>(declared));
  if (r.code == TOLBREK5_OK) r.code = TOLBREK5_MORE;
  const std::size_t maxPiece = split ? Largest(input.size()) : input.size();
  const std::size_t maxRoom = split ? Largest(200000) : 200000;
  Bytes room(maxRoom);
  std::size_t at = 0;
  while (r.code == TOLBREK5_MORE || r.code == TOLBREK5_NEED_KEY) {
    const std::size_t n = std::min(Uniform(1, maxPiece), input.size() - at);
    tolbrek5_in_buffer in{input.data() + at, n, 0};
    const int directive = at + n == input.size() ? TOLBREK5_END : TOLBREK5_CONTINUE;
    do {
      tolbrek5_out_buffer out{room.data(), Uniform(1, maxRoom), 0};
      r.code = tolbrek5_stream_process(s, &in, &out, directive);
      CHECK(in.pos <= in.size && out.pos <= out.size);
      r.output.insert(r.output.end(), room.begin(), room.begin() + static_cast<long>(out.pos));
      if (r.code == TOLBREK5_NEED_KEY) {
        CHECK(!keyFirst);
        SetKey(s, key);
        r.code = TOLBREK5_MORE;
      }
    } while (r.code == TOLBREK5_MORE && (in.pos < in.size || directive == TOLBREK5_END));
    at += in.pos;
  }
  tolbrek5_out_buffer out{room.data(), room.size(), 0};
  if (r.code == TOLBREK5_OK && at < input.size()) {  // done at the declared size: more is refused
    tolbrek5_in_buffer rest{input.data() + at, input.size() - at, 0};
    r.code = tolbrek5_stream_process(s, &rest, &out, TOLBREK5_END);
  }
  CHECK(r.code >= TOLBREK5_ERROR_INVALID_CALL && r.code <= TOLBREK5_OK);
  // The stream has ended: going on, or calling after an error, is refused.
  CHECK(tolbrek5_stream_process(s, nullptr, &out, TOLBREK5_CONTINUE) ==
        TOLBREK5_ERROR_INVALID_CALL);
  CHECK(r.code == TOLBREK5_OK ||
        tolbrek5_stream_process(s, nullptr, &out, TOLBREK5_END) == TOLBREK5_ERROR_INVALID_CALL);
  tolbrek5_stream_free(s);
  return r;
}

// A ciphertext flipped, cut short or made longer; decrypting it must fail
// cleanly. A flip changes only a few bytes of the decrypted block, and the
// check value is a weighted sum of them, so a flip may pass (rarely): then the
// result must still differ from the plaintext. Such passes are counted.
void Damaged(const Bytes& cipher, const Bytes& plain, const Key& key, long& coincidences) {
  Bytes bad = cipher;
  const std::size_t kind = Uniform(0, 2);
  if (kind == 0) {
    for (std::size_t i = Uniform(1, 8); i > 0; --i) {
      bad[Uniform(0, bad.size() - 1)] ^= static_cast<unsigned char>(Uniform(1, 255));
    }
  } else {
    bad.resize(kind == 1 ? Uniform(0, cipher.size() - 1) : cipher.size() + Uniform(1, 20000));
  }
  const bool declareTrue = Uniform(0, 1) == 0;
  const long long declared = declareTrue ? SizeOf(bad) : Uniform(0, 1) == 0 ? SizeOf(cipher) : -1;
  const Run r = Process(TOLBREK5_DECRYPT, bad, key, declared, true);
  CHECK(r.output.size() <= bad.size());
  if (bad.size() < 5004 && declared != SizeOf(cipher)) {
    CHECK(r.code == TOLBREK5_ERROR_INPUT_TOO_SHORT);
  } else if (declared == SizeOf(cipher) && kind != 0) {
    CHECK(r.code == (kind == 1 ? TOLBREK5_ERROR_INPUT_ENDED : TOLBREK5_ERROR_INVALID_CALL));
  } else if (r.code == TOLBREK5_OK) {
    CHECK(kind == 0 && r.output != plain && r.output.size() == plain.size());
    ++coincidences;
  } else {
    CHECK(r.code == TOLBREK5_ERROR_DECRYPTION_FAILED);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const auto seconds = std::chrono::seconds(argc > 1 ? std::atol(argv[1]) : 10);
  seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : std::random_device{}();
  std::printf("seed %llu\n", seed);
  rng.seed(seed);
  const auto deadline = std::chrono::steady_clock::now() + seconds;
  long cases = 0;
  long coincidences = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    const Bytes plain = RandomBytes(Uniform(5000, 100000));
    Key key;
    key.file = Uniform(0, 1) == 0;
    const bool longKey = key.file || Uniform(0, 3) == 0;
    key.bytes = RandomBytes(Uniform(10, longKey ? 2 * plain.size() : 300));
    const Run sealed = Process(TOLBREK5_ENCRYPT, plain, key, SizeOf(plain), false);
    CHECK(sealed.code == TOLBREK5_OK && sealed.output.size() == plain.size() + 4);
    const bool declare = Uniform(0, 1) == 0;
    const Run split = Process(TOLBREK5_ENCRYPT, plain, key, declare ? SizeOf(plain) : -1, true);
    CHECK(split.code == TOLBREK5_OK && split.output == sealed.output);
    const Run opened =
        Process(TOLBREK5_DECRYPT, sealed.output, key, declare ? SizeOf(sealed.output) : -1, true);
    CHECK(opened.code == TOLBREK5_OK && opened.output == plain);
    Damaged(sealed.output, plain, key, coincidences);
    ++cases;
  }
  std::printf("%ld cases, %ld damaged ciphertexts passed their check\n", cases, coincidences);
  return 0;
}
