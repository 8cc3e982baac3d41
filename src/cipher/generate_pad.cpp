// Pad generation, fast form.
//
// Every pad byte comes from one iteration, and almost all of an iteration's
// time goes into its walk: a chain of dependent, data-driven loads through the
// key, with a division per hop. The walk of one iteration depends only on its
// key accumulator and on the key bytes it reads, not on the walks before it.
// The accumulators of the next few iterations can be computed ahead (they read
// the key bytes under the cursor, which no earlier iteration of the batch
// rewrites), so the walks of a batch of iterations run interleaved, hop by hop,
// and their memory latencies overlap. The iterations are then completed in
// order. A walk that read a key byte which an earlier iteration of its batch
// rewrote before it completed saw a stale byte; it is run again, exactly, at
// its turn. The result is identical to running the iterations one by one.
#include <cassert>
#include <cstdint>

#include "cipher/cipher_state.h"

namespace tolbrek5 {
namespace {

// Walks run side by side in one batch. Enough to hide load and division
// latency; small enough that their state stays in registers and L1.
constexpr int kLanes = 16;

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

// One hop of a walk; returns the key positions it read through `readA/B`.
// Positions and the probe stay below 2^31, so 32-bit unsigned division is
// exact here.
struct Hop {
  std::uint32_t walkPos;
  std::uint32_t probe;
};

inline void StepWalk(const std::uint8_t* key, std::uint32_t L, Hop& w, std::int64_t& delta) {
  const std::uint32_t kp = key[w.probe];
  const std::uint32_t kw = key[w.walkPos];
  const std::int64_t sum = static_cast<std::int64_t>(kp + kw);
  delta += (kp & 1u) ? -sum : sum;
  std::uint32_t pos = w.walkPos + kw + w.probe;  // below 2L + 255
  if (pos >= L) pos -= L;
  if (pos >= L) pos = pos % L;
  w.walkPos = pos;
  w.probe = w.probe + (L - pos) % (w.probe + 1) + 1;
}

// The walk of one iteration, run alone on the key as it is now.
inline Walk RunWalk(const std::uint8_t* key, std::int64_t L, std::int64_t H, std::int64_t keyAcc) {
  Walk out{WalkStart(keyAcc, L, H), keyAcc, 0};
  if (keyAcc > H) return out;
  Hop w{static_cast<std::uint32_t>(out.walkPos), static_cast<std::uint32_t>(keyAcc)};
  const auto l32 = static_cast<std::uint32_t>(L);
  const auto h32 = static_cast<std::uint32_t>(H);
  while (w.probe <= h32) StepWalk(key, l32, w, out.delta);
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
    const std::int64_t t3 = ((walkSum + 1) * ((cur + walkPos) ^ (probe | keyAcc)) + pad[feedPos]) & 255;
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

  // One iteration on its own: fold, walk, complete.
  void Single(std::int64_t i) {
    if (padSum == 2) pad[i] = 0;
    keyAcc = FoldKeyAcc(keyAcc, key[cur]);
    Complete(i, RunWalk(key, L, H, keyAcc));
  }

  // kLanes iterations from i on, their walks interleaved. Requires the cursor
  // inside the key and more key bytes than lanes, so that the cursor visits
  // distinct positions within the batch.
  void Batch(std::int64_t i) {
    std::int64_t acc[kLanes];
    Hop hop[kLanes];
    std::int64_t delta[kLanes];
    bool stale[kLanes];
    const auto l32 = static_cast<std::uint32_t>(L);
    const auto h32 = static_cast<std::uint32_t>(H);
    const std::int64_t base = cur;

    std::int64_t a = keyAcc;
    std::int64_t c = cur;
    for (int k = 0; k < kLanes; ++k) {
      a = FoldKeyAcc(a, key[c]);
      acc[k] = a;
      hop[k] = {static_cast<std::uint32_t>(WalkStart(a, L, H)), static_cast<std::uint32_t>(a)};
      delta[k] = 0;
      stale[k] = false;
      if (++c > H) c -= L;
    }

    // Lane k reads a stale byte when it reads one of the k positions that
    // the iterations before it in this batch rewrite: base .. base + k - 1.
    auto staleRead = [&](std::uint32_t pos, int k) {
      std::int64_t d = static_cast<std::int64_t>(pos) - base;
      if (d < 0) d += L;
      return d < k;
    };

    bool active = true;
    while (active) {
      active = false;
      for (int k = 0; k < kLanes; ++k) {
        Hop& w = hop[k];
        if (w.probe > h32) continue;
        active = true;
        stale[k] |= staleRead(w.probe, k) | staleRead(w.walkPos, k);
        StepWalk(key, l32, w, delta[k]);
      }
    }

    for (int k = 0; k < kLanes; ++k) {
      const std::int64_t at = i + k;
      if (padSum == 2) pad[at] = 0;
      keyAcc = acc[k];
      const Walk w = stale[k] ? RunWalk(key, L, H, keyAcc)
                              : Walk{hop[k].walkPos, hop[k].probe, delta[k]};
      Complete(at, w);
    }
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
  // the byte still stored there and brings the cursor back into the key.
  if (i < n && run.cur > run.H) run.Single(i++);
  if (run.L > 2 * kLanes) {
    for (; i + kLanes <= n; i += kLanes) run.Batch(i);
  }
  for (; i < n; ++i) run.Single(i);

  s.PadKeyCursor = static_cast<std::int32_t>(run.cur);
}

}  // namespace tolbrek5
