// The engine's speed through each way in: its blocks run directly (the
// baseline), the library's stream (input in 64 KiB pieces, its size declared
// or left unknown), and the program on a file and on a stream from a pipe.
// Each round runs every way once, encrypting and decrypting the same input,
// so that a change in the machine's load spreads over all of them; the
// medians of the rounds are compared with the baseline's.
//
//   library_bench [size] [rounds] [program]     default 20000000 bytes, 5 rounds,
//                                               the program built beside it
//   library_bench --memory [size]               peak memory of one stream of
//                                               unknown size (default 44999999:
//                                               a block, then the longest last one)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cipher/cipher_state.h"
#include "testing/engine_forms.h"
#include "tolbrek5/tolbrek5.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
const std::string kKey = "a library benchmark key";
constexpr std::size_t kPiece = 65536;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "library_bench: %s\n", what.c_str());
  std::exit(1);
}

// Deterministic input bytes, generated in pieces: the same state gives the
// same bytes however the input is cut.
struct Xorshift {
  std::uint32_t x = 2463534242u;
  void Fill(std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      p[i] = static_cast<std::uint8_t>(x);
    }
  }
};

// The baseline: every block through the engine directly, as the program's
// block phase does it, without files.
Bytes Engine(const Bytes& input, bool decrypting) {
  const Bytes key(kKey.begin(), kKey.end());
  tolbrek5::EngineRun run =
      tolbrek5::RunEngine(input, key, decrypting, nullptr, tolbrek5::ProductionEngine, true);
  if (!run.ok) Fail("the engine refused a block");
  return std::move(run.output);
}

// One stream over an input that `next` hands out a piece at a time (0 bytes
// at its end); every piece of output goes to `sink`. Returns the outcome.
int Stream(bool decrypting, std::int64_t declared,
           const std::function<std::size_t(std::uint8_t*)>& next,
           const std::function<void(const std::uint8_t*, std::size_t)>& sink) {
  tolbrek5_stream* s = tolbrek5_stream_create(decrypting ? TOLBREK5_DECRYPT : TOLBREK5_ENCRYPT);
  if (s == nullptr || tolbrek5_stream_set_key(s, kKey.data(), kKey.size()) != TOLBREK5_OK) {
    Fail("no stream");
  }
  if (declared >= 0) tolbrek5_stream_set_input_size(s, static_cast<std::uint64_t>(declared));
  Bytes piece(kPiece);
  Bytes room(kPiece);
  int code = TOLBREK5_MORE;
  while (code == TOLBREK5_MORE) {
    const std::size_t n = next(piece.data());
    tolbrek5_in_buffer in{piece.data(), n, 0};
    const int directive = n == 0 ? TOLBREK5_END : TOLBREK5_CONTINUE;
    do {
      tolbrek5_out_buffer out{room.data(), room.size(), 0};
      code = tolbrek5_stream_process(s, &in, &out, directive);
      sink(room.data(), out.pos);
    } while (code == TOLBREK5_MORE && (in.pos < in.size || directive == TOLBREK5_END));
  }
  tolbrek5_stream_free(s);
  return code;
}

Bytes Library(const Bytes& input, bool decrypting, bool declare) {
  Bytes out;
  out.reserve(input.size() + 64);
  std::size_t at = 0;
  const int code = Stream(
      decrypting, declare ? static_cast<std::int64_t>(input.size()) : -1,
      [&](std::uint8_t* p) {
        const std::size_t n = std::min(kPiece, input.size() - at);
        std::memcpy(p, input.data() + at, n);
        at += n;
        return n;
      },
      [&](const std::uint8_t* p, std::size_t n) { out.insert(out.end(), p, p + n); });
  if (code != TOLBREK5_OK) Fail(std::string("the library says: ") + tolbrek5_message(code));
  return out;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

void WriteFile(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    Fail("cannot write " + path);
  }
  std::fclose(f);
}

Bytes ReadFile(const std::string& path) {
  Bytes bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  std::uint8_t buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  std::fclose(f);
  return bytes;
}

// The program on `in`, given by name or through a pipe; its output file.
Bytes Program(const std::string& program, const std::string& dir, const std::string& in,
              bool decrypting, bool piped) {
  const std::string out = dir + "/out";
  std::remove(out.c_str());
  const std::string args = std::string(decrypting ? " dc " : " ec ") + (piped ? "-" : Quote(in)) +
                           " " + Quote(out) + " " + Quote(kKey);
  const std::string command = (piped ? "cat " + Quote(in) + " | " : std::string()) +
                              Quote(program) + args + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return {};
  return ReadFile(out);
}

double Seconds(const std::function<void()>& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int Speed(std::size_t size, int rounds, const std::string& program) {
  char dirTemplate[] = "/tmp/tolbrek5-bench-XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) Fail("no scratch directory");
  const std::string dir = dirTemplate;
  Bytes plain(size);
  Xorshift().Fill(plain.data(), size);
  const Bytes cipher = Engine(plain, false);
  WriteFile(dir + "/plain", plain);
  WriteFile(dir + "/cipher", cipher);

  struct Way {
    const char* name;
    std::function<Bytes(bool)> run;
    std::vector<double> times[2];
  };
  std::vector<Way> ways = {
      {"engine blocks (baseline)", [&](bool d) { return Engine(d ? cipher : plain, d); }, {}},
      {"library, size declared", [&](bool d) { return Library(d ? cipher : plain, d, true); }, {}},
      {"library, size unknown", [&](bool d) { return Library(d ? cipher : plain, d, false); }, {}},
  };
  auto programWay = [&](bool piped) {
    return [&, piped](bool d) {
      return Program(program, dir, dir + (d ? "/cipher" : "/plain"), d, piped);
    };
  };
  ways.push_back({"program, file", programWay(false), {}});
  // The program reads a pipe only where it has stream support: tried on a
  // small input first.
  const Bytes small(plain.begin(), plain.begin() + 5000);
  WriteFile(dir + "/small", small);
  if (Program(program, dir, dir + "/small", false, true) == Engine(small, false)) {
    ways.push_back({"program, stream", programWay(true), {}});
  } else {
    std::printf("program, stream: not supported by %s, skipped\n", program.c_str());
  }

  std::printf("%zu bytes, %d block(s), %d rounds\n", size,
              tolbrek5::BlockCount(static_cast<std::int64_t>(size), tolbrek5::PlainBlockSize),
              rounds);
  for (int round = 1; round <= rounds; ++round) {
    for (Way& way : ways) {
      for (const bool d : {false, true}) {
        Bytes out;
        way.times[d ? 1 : 0].push_back(Seconds([&] { out = way.run(d); }));
        if (out != (d ? plain : cipher)) Fail(std::string(way.name) + ": wrong output");
      }
    }
    std::printf("round %d done\n", round);
    std::fflush(stdout);
  }
  for (const char* name : {"/plain", "/cipher", "/small", "/out"})
    std::remove((dir + name).c_str());
  rmdir(dir.c_str());

  std::printf("\n%-26s %10s %8s %10s %8s\n", "median of the rounds", "encrypt", "loss", "decrypt",
              "loss");
  const double base[2] = {Median(ways[0].times[0]), Median(ways[0].times[1])};
  bool defect = false;
  for (const Way& way : ways) {
    std::printf("%-26s", way.name);
    for (const int d : {0, 1}) {
      const double loss = (Median(way.times[d]) / base[d] - 1) * 100;
      defect = defect || loss > 3;
      std::printf(" %9.2fs %+7.1f%%", Median(way.times[d]), loss);
    }
    std::printf("\n");
  }
  if (defect) std::printf("a median loss above 3 %% against the engine's blocks\n");
  return 0;
}

// One stream of unknown size in a process of its own, generating its input
// and discarding its output as it goes; returns the process's peak resident
// memory in KiB.
long PeakOfOneStream(std::size_t size, bool decrypting, const std::string& cipherPath) {
  const pid_t child = fork();
  if (child == 0) {
    Xorshift input;
    std::size_t left = size;
    FILE* cipher = std::fopen(cipherPath.c_str(), decrypting ? "rb" : "wb");
    if (cipher == nullptr) std::_Exit(2);
    auto fromInput = [&](std::uint8_t* p) {
      const std::size_t n = std::min(kPiece, left);
      input.Fill(p, n);
      left -= n;
      return n;
    };
    auto fromCipher = [&](std::uint8_t* p) { return std::fread(p, 1, kPiece, cipher); };
    Xorshift expected;
    bool same = true;
    auto check = [&](const std::uint8_t* p, std::size_t n) {
      Bytes want(n);
      expected.Fill(want.data(), n);
      same = same && std::memcmp(want.data(), p, n) == 0;
    };
    auto keep = [&](const std::uint8_t* p, std::size_t n) { std::fwrite(p, 1, n, cipher); };
    const int code =
        decrypting ? Stream(true, -1, fromCipher, check) : Stream(false, -1, fromInput, keep);
    std::fclose(cipher);
    std::_Exit(code == TOLBREK5_OK && same ? 0 : 1);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) != child || status != 0) {
    Fail("the stream failed");
  }
  return usage.ru_maxrss;
}

int Memory(std::size_t size) {
  char path[] = "/tmp/tolbrek5-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) Fail("no scratch file");
  close(fd);
  std::printf("one stream of unknown size, %zu bytes, peak resident memory of its process:\n",
              size);
  for (const bool d : {false, true}) {
    const long kib = PeakOfOneStream(size, d, path);
    std::printf("  %s %8.1f MiB\n", d ? "decrypt" : "encrypt", static_cast<double>(kib) / 1024);
    std::fflush(stdout);
  }
  std::remove(path);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--memory") {
    return Memory(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 44999999u);
  }
  const std::size_t size = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000000u;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  return Speed(std::max<std::size_t>(size, 5000), std::max(rounds, 1),
               argc > 3 ? argv[3] : TOLBREK5_PROGRAM);
}
