// Pad generation, fast form.
//
// Every pad byte comes from one iteration, and most of an iteration's work
// is its walk: a chain of dependent, data-driven loads through the key, with
// a division per hop. The walk of an iteration is a function of its key
// accumulator alone (0 to 255) and of the key bytes it reads; within one call
// the key changes only under the cursor, one byte per iteration, moving
// forward. So each of the 256 possible walks is kept once computed, together
// with the number of iterations it stays valid: until the cursor reaches the
// first key position that the walk read. A kept walk is reused until then and
// recomputed afterwards. The result is identical to walking every time.
#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdint>

#include "cipher/cipher_state.h"
#include "cipher/engine_work.h"

namespace tolbrek5 {
namespace {

struct Walk {
  std::int64_t walkPos;
  std::int64_t probe;
  std::int64_t delta;  // what the walk adds to walkSum
};

// Where the walk of an iteration starts.
inline std::int64_t WalkStart(std::int64_t keyAcc, std::int64_t L, std::int64_t H) {
  std::int64_t walkPos = (keyAcc + 1) ^ L;
  if (walkPos > H) walkPos = walkPos % L;
  return walkPos;
}

// One hop of a walk. Positions and the probe stay below the key's length,
// under 2^31, so 32-bit unsigned division is exact here; the sum of a
// position, a key byte and the probe is formed in 64 bits, as its bound
// (2L + 255) passes 2^32 for the longest keys.
struct Hop {
  std::uint32_t walkPos;
  std::uint32_t probe;
};

inline void StepWalk(const std::uint8_t* key, std::uint32_t L, Hop& w, std::int64_t& delta) {
  const std::uint32_t kp = key[w.probe];
  const std::uint32_t kw = key[w.walkPos];
  const std::int64_t sum = static_cast<std::int64_t>(kp + kw);
  delta += (kp & 1u) ? -sum : sum;
  std::uint64_t reach = std::uint64_t{w.walkPos} + kw + w.probe;  // below 2L + 255
  if (reach >= L) reach -= L;
  auto pos = static_cast<std::uint32_t>(reach);  // below L + 255: fits
  if (pos >= L) pos = pos % L;
  w.walkPos = pos;
  w.probe = w.probe + (L - pos) % (w.probe + 1) + 1;
}

// The walk of one iteration on the key as it is now. `validFor` receives how
// many further iterations may reuse it: the distance from the cursor `cur`
// (whose byte is rewritten at the end of this iteration) to the nearest key
// position the walk read, counting forward and wrapping.
inline Walk RunWalk(const std::uint8_t* key, std::int64_t L, std::int64_t H, std::int64_t keyAcc,
                    std::int64_t cur, std::int64_t& validFor) {
  Walk out{WalkStart(keyAcc, L, H), keyAcc, 0};
  validFor = INT64_MAX;
  if (keyAcc > H) return out;
  Hop w{static_cast<std::uint32_t>(out.walkPos), static_cast<std::uint32_t>(keyAcc)};
  const auto l32 = static_cast<std::uint32_t>(L);
  const auto h32 = static_cast<std::uint32_t>(H);
  const auto distance = [&](std::uint32_t pos) {
    std::int64_t d = static_cast<std::int64_t>(pos) - cur;
    return d < 0 ? d + L : d;
  };
  while (w.probe <= h32) {
    const std::int64_t d = std::min(distance(w.probe), distance(w.walkPos));
    if (d < validFor) validFor = d;
    StepWalk(key, l32, w, out.delta);
  }
  out.walkPos = w.walkPos;
  out.probe = w.probe;
  return out;
}

// Pad bytes beyond the pad's storage read as zero.
inline std::int64_t PadAt(const std::uint8_t* pad, std::int64_t padSize, std::int64_t x) {
  return x < padSize ? pad[x] : 0;
}

struct PadRun {
  std::uint8_t* key;
  std::uint8_t* pad;
  std::int64_t padSize;
  std::int64_t L;
  std::int64_t H;
  std::int64_t n;
  std::int64_t padSum;
  // Carried from iteration to iteration.
  std::int64_t keyAcc = 0;
  std::int64_t walkSum = 0;
  std::int64_t mixVal = 0;
  std::int64_t feedPos = 0;
  std::int64_t cur = 0;

  std::int64_t FoldKeyAcc(std::int64_t acc, std::int64_t keyByte) const {
    acc = acc + keyByte + 1 + padSum;
    if (acc > 255) {
      acc = acc >> (acc & 7);
      if (acc > 255) acc = acc & 255;
    }
    return acc;
  }

  // Everything of iteration i after the walk: walkSum, the new key byte
  // under the cursor, the pad byte, the feedback position, the cursor.
  void Complete(std::int64_t i, const Walk& w) {
    const std::int64_t walkPos = w.walkPos;
    const std::int64_t probe = w.probe;
    walkSum += w.delta;
    if (walkSum < 0) {
      walkSum %= 256;
      if (walkSum < 0) walkSum += 256;
    }
    while (walkSum > 255) walkSum = walkSum >> ((walkSum & 7) + 1);

    mixVal = (mixVal | feedPos) + (keyAcc ^ walkSum);
    if (mixVal & 1) {
      mixVal = (mixVal ^ (255 - key[walkPos])) + (cur ^ walkSum);
    } else {
      mixVal = (mixVal + walkPos) ^ key[walkPos];
    }
    if (mixVal > H) mixVal = mixVal % L;
    mixVal = mixVal + (PadAt(pad, padSize, mixVal) | keyAcc);
    if (mixVal > 255) mixVal = mixVal & 255;

    key[cur] = static_cast<std::uint8_t>(mixVal);

    const std::int64_t t1 = (probe + walkPos) >> 8;
    const std::int64_t t2 = walkPos & 255;
    const std::int64_t t3 =
        ((walkSum + 1) * ((cur + walkPos) ^ (probe | keyAcc)) + pad[feedPos]) & 255;
    pad[i] = static_cast<std::uint8_t>(t1 ^ mixVal ^ t2 ^ t3);

    feedPos = feedPos - (((keyAcc + walkSum) * walkPos) & 255);
    if (feedPos < 0) {
      feedPos = n - feedPos;
      const std::int64_t step = (((2 * keyAcc + walkSum) * walkPos) & 255) + 1;
      while (feedPos >= n) feedPos -= step;
    }

    cur = cur + 1;
    if (cur > H) cur = cur - L;
  }

  // The walks computed so far in this call, by key accumulator, each with
  // the last iteration that may reuse it.
  struct KeptWalk {
    std::int64_t lastUse = -1;
    Walk walk{};
  };
  KeptWalk kept[256];

  // Iteration i: zero rule, fold, walk (kept or new), the rest.
  void Iterate(std::int64_t i, bool keep) {
    if (padSum == 2) pad[i] = 0;
    keyAcc = FoldKeyAcc(keyAcc, key[cur]);
    KeptWalk& k = kept[keyAcc];
    if (i > k.lastUse || !keep) {
      std::int64_t validFor = 0;
      k.walk = RunWalk(key, L, H, keyAcc, cur, validFor);
      k.lastUse = keep ? (validFor > INT64_MAX - i ? INT64_MAX : i + validFor) : -1;
    }
    Complete(i, k.walk);
  }
};

}  // namespace

void GeneratePad(CipherState& s, std::int32_t n) {
  PadRun run;
  run.key = s.Key.data();
  run.pad = s.Pad.data();
  run.padSize = static_cast<std::int64_t>(s.Pad.size());
  run.L = s.Key.Length();
  run.H = run.L - 1;
  run.n = n;
  run.padSum = s.PadSum;
  run.feedPos = n - 1;
  run.cur = s.PadKeyCursor;
  assert(run.L >= 1 && n >= 1 && n <= run.padSize);

  std::int64_t i = 0;
  // A cursor left past the end of a shortened key: its first iteration uses
  // the byte still stored there and brings the cursor back into the key. Its
  // walk is not kept, since its write lies outside the key.
  if (i < n && run.cur > run.H) run.Iterate(i++, false);
  for (; i < n; ++i) {
    CountPosition(s, i);
    run.Iterate(i, true);
  }

  s.PadKeyCursor = static_cast<std::int32_t>(run.cur);
}

}  // namespace tolbrek5
