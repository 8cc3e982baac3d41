// Block transform, fast form.
//
// Encrypting mixes every byte with pad bytes and one partner byte (feeding
// each mixed byte back into the key), scatters the bytes to new slots and
// chains every byte with another. Decrypting runs the inverse stages in the
// opposite order with the same key feedback.
//
// The three index sequences (mixing positions, scatter slots, chain targets)
// depend only on the pad and the block length. Decrypting needs two of them
// last to first; instead of keeping them for the whole block, it keeps the
// small state that produces them at the start of every segment and
// recomputes one segment at a time, so its scratch memory is a few tens of
// kilobytes whatever the block length. Scatter occupancy is a bitset kept in
// the bytes of `Taken`, scanned a word at a time.
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <vector>

#include "cipher/cipher_state.h"
#include "cipher/engine_work.h"
#include "secure/secure_buffer.h"

namespace tolbrek5 {
namespace {

// Positions per recomputed segment when decrypting.
constexpr std::int32_t kSegment = 4096;

// Scratch derived from the pad: wiped however its scope is left, also when a
// cancel throws out of the loops that fill it.
template <class T>
struct Scratch {
  std::vector<T> v;
  ~Scratch() { SecureWipe(v.data(), v.capacity() * sizeof(T)); }
};

// Yields the mixing positions in ascending order: base b, offset d, sum p,
// partner m, carrying b, d and the wrap count e.
struct MixPositions {
  const std::uint8_t* pad;
  std::int32_t n;
  std::int32_t b;
  std::int32_t d;
  std::int32_t e;

  static MixPositions Start(const std::uint8_t* pad, std::int32_t n) {
    MixPositions mp{pad, n, 0, 0, 1};
    mp.d = pad[pad[1]];
    mp.b = (pad[pad[0]] * pad[pad[2]]) % n;
    return mp;
  }

  struct At {
    std::int32_t b, d, p, m;
  };

  // Positions of index i (b is the current base); then advances the base.
  At Next(std::int32_t i) {
    d = d + (i > b ? i - b : b - i);
    if (d >= n) d = (d - n + pad[i]) / 2;
    std::int32_t p = b + d;
    if (p >= n) p -= n;
    const std::int32_t padP = pad[p];
    const std::int32_t h = padP != 0 ? (n - i - 1) / padP : 255;
    std::int32_t m = 2 * h + i;
    while (m >= n) m -= n;
    if (m == i) {
      m = i + pad[i];
      if (m >= n) m -= n;
      if (m == i) m = (i + 1 == n) ? 0 : i + 1;
    }
    assert(m != i && m >= 0 && m < n && p >= 0 && p < n && d >= 0 && d < n);
    const At at{b, d, p, m};
    Advance(i);
    return at;
  }

  void Advance(std::int32_t i) {
    b = b + pad[i];
    if (b >= n) {
      if (b & 1) {
        b = b + (b % e);
      } else {
        b = b + (b / (3 * e));
      }
      b = b - n;
      e = e + 1;
    }
  }
};

// Yields the chain targets in ascending order.
struct ChainTargets {
  const std::uint8_t* pad;
  std::int32_t n;
  std::int32_t L = -1;
  std::int32_t c = 0;

  std::int32_t Next(std::int32_t j) {
    L = L + pad[j] + 1;
    if (L >= n) {
      L = pad[j] + c;
      c = c + 1;
    }
    if (L == j) {
      L = L + 1;
      if (L == n) L = 0;
    }
    assert(L != j && L >= 0 && L < n);
    return L;
  }
};

// Yields the scatter slots, with the occupancy marks as a bitset of 64-bit
// words in the bytes of `Taken`. The words are read and written through
// memcpy, which compiles to plain loads and stores: the storage is bytes.
struct ScatterSlots {
  std::uint8_t* taken;
  std::int32_t n;
  std::int32_t cursor;

  ScatterSlots(std::uint8_t* storage, std::int32_t count)
      : taken(storage), n(count), cursor(count) {
    std::memset(taken, 0, WordCount(n) * sizeof(std::uint64_t));
  }

  static std::size_t WordCount(std::int32_t count) {
    return (static_cast<std::size_t>(count) + 63) / 64;
  }

  std::uint64_t Word(std::int32_t w) const {
    std::uint64_t word = 0;
    std::memcpy(&word, taken + static_cast<std::size_t>(w) * sizeof word, sizeof word);
    return word;
  }

  std::int32_t Next(std::int32_t step) {
    cursor = cursor - step;
    if (cursor < 0) cursor += n;
    cursor = HighestFreeAtOrBelow(cursor);
    const std::uint64_t word = Word(cursor >> 6) | std::uint64_t{1} << (cursor & 63);
    std::memcpy(taken + static_cast<std::size_t>(cursor >> 6) * sizeof word, &word, sizeof word);
    return cursor;
  }

  // The first free slot met walking down from `at`, wrapping from 0 to n - 1.
  std::int32_t HighestFreeAtOrBelow(std::int32_t at) const {
    std::int32_t w = at >> 6;
    const unsigned bit = static_cast<unsigned>(at & 63);
    std::uint64_t mask = bit == 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (bit + 1)) - 1;
    std::uint64_t free = ~Word(w) & mask;
    while (free == 0) {
      if (--w < 0) {
        w = static_cast<std::int32_t>(WordCount(n)) - 1;
        const unsigned tail = static_cast<unsigned>(n & 63);
        mask = tail == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << tail) - 1;
      } else {
        mask = ~std::uint64_t{0};
      }
      free = ~Word(w) & mask;
    }
    return w * 64 + 63 - std::countl_zero(free);
  }
};

// Rewrites the key byte of position i with mixed byte v; r runs through the
// key cyclically.
struct KeyFeedback {
  std::uint8_t* key;
  std::int32_t len;
  std::int32_t r = 0;

  void Feed(std::uint8_t v) {
    key[r] = static_cast<std::uint8_t>((255 - key[r]) + (255 - v));
    if (++r == len) r = 0;
  }
};

void Encrypt(CipherState& s, std::int32_t n) {
  const std::uint8_t* pad = s.Pad.data();
  std::uint8_t* in = s.InBlock.data();
  std::uint8_t* out = s.OutBlock.data();

  MixPositions mix = MixPositions::Start(pad, n);
  KeyFeedback feedback{s.Key.data(), s.Key.Length()};
  for (std::int32_t i = 0; i < n; ++i) {
    CountPosition(s, i);
    const auto at = mix.Next(i);
    in[i] =
        static_cast<std::uint8_t>(in[i] ^ pad[at.b] ^ pad[at.d] ^ in[at.m] ^ pad[at.p] ^ pad[at.m]);
    feedback.Feed(in[i]);
  }

  ScatterSlots slots(s.Taken.data(), n);
  for (std::int32_t j = 0; j < n; ++j) out[slots.Next(pad[j] + 1)] = in[j];

  ChainTargets chain{pad, n};
  for (std::int32_t j = 0; j < n; ++j)
    out[j] = static_cast<std::uint8_t>(out[j] ^ out[chain.Next(j)]);
}

// Runs `forward(i)` for i = 0 .. n - 1, then `backward(i, value)` for
// i = n - 1 down to 0, with the value `generator` yields for index i. Only
// the generator's state at the start of every segment is kept; each segment's
// values are recomputed from it when the backward run reaches the segment.
template <class Generator, class Forward, class Backward>
void ForwardThenBackward(Generator generator, std::int32_t n, Forward&& forward,
                         Backward&& backward) {
  using Value = decltype(generator.Next(0));
  const std::int32_t segments = (n + kSegment - 1) / kSegment;
  Scratch<Generator> starts;
  starts.v.reserve(static_cast<std::size_t>(segments));
  for (std::int32_t i = 0; i < n; ++i) {
    if (i % kSegment == 0) starts.v.push_back(generator);
    forward(i);
    generator.Next(i);
  }
  Scratch<Value> values{std::vector<Value>(static_cast<std::size_t>(kSegment))};
  for (std::int32_t seg = segments - 1; seg >= 0; --seg) {
    Generator g = starts.v[static_cast<std::size_t>(seg)];
    const std::int32_t first = seg * kSegment;
    const std::int32_t last = first + kSegment < n ? first + kSegment : n;
    for (std::int32_t i = first; i < last; ++i)
      values.v[static_cast<std::size_t>(i - first)] = g.Next(i);
    for (std::int32_t i = last - 1; i >= first; --i)
      backward(i, values.v[static_cast<std::size_t>(i - first)]);
  }
}

void Decrypt(CipherState& s, std::int32_t n) {
  const std::uint8_t* pad = s.Pad.data();
  std::uint8_t* in = s.InBlock.data();
  std::uint8_t* out = s.OutBlock.data();

  // Unchain, last to first.
  ForwardThenBackward(
      ChainTargets{pad, n}, n, [](std::int32_t) {},
      [&](std::int32_t j, std::int32_t target) {
        in[j] = static_cast<std::uint8_t>(in[j] ^ in[target]);
      });

  // Gather: every slot was filled from exactly one source index.
  ScatterSlots slots(s.Taken.data(), n);
  for (std::int32_t j = 0; j < n; ++j) out[j] = in[slots.Next(pad[j] + 1)];

  // Key feedback of the still mixed bytes, first to last; then unmix, last
  // to first.
  KeyFeedback feedback{s.Key.data(), s.Key.Length()};
  ForwardThenBackward(
      MixPositions::Start(pad, n), n,
      [&](std::int32_t i) {
        CountPosition(s, i);
        feedback.Feed(out[i]);
      },
      [&](std::int32_t i, const MixPositions::At& at) {
        out[i] = static_cast<std::uint8_t>(out[i] ^ pad[at.b] ^ pad[at.d] ^ out[at.m] ^ pad[at.p] ^
                                           pad[at.m]);
      });
}

}  // namespace

void TransformBlock(CipherState& s) {
  s.StirState = 1;
  const std::int32_t n = s.BlockLen;
  assert(n >= MinBlockLen && n <= BufferCapacity && s.Key.Length() >= 1);
  if (s.Decrypting) {
    Decrypt(s, n);
  } else {
    Encrypt(s, n);
  }
}

}  // namespace tolbrek5
