// The three index sequences of the block transform: mixing positions,
// scatter slots and chain targets.
//
// They depend only on the pad and the block length N, so encryption and
// decryption compute the same ones. Each is a small generator that yields the
// values of index 0, 1, ..., N - 1 in this order, one call per index; the
// transform either uses them on the spot or keeps them. All arithmetic is
// signed 32-bit; no value comes near overflow for N up to BufferCapacity.
// Internal to the engine (exposed for its tests).
#pragma once

#include <cassert>
#include <cstdint>

namespace tolbrek5::reference {

// The indices that position i of the block is mixed with: the pad bytes at
// b, d, p and m, and the block byte at m.
struct MixingPosition {
  std::int32_t b;  // base index
  std::int32_t d;  // offset index
  std::int32_t p;  // sum index, (b + d) mod N
  std::int32_t m;  // partner index, never i
};

// Yields the mixing positions. The offset index and the base index run on
// from one position to the next; the base index wraps past N with a growing
// wrap count.
class MixingPositions {
 public:
  MixingPositions(const std::uint8_t* pad, std::int32_t n)
      : pad_(pad), n_(n), b_((pad[pad[0]] * pad[pad[2]]) % n), d_(pad[pad[1]]) {}

  // The values of the next position. Once they are taken, the base index
  // moves on for the positions after it.
  MixingPosition Next() {
    assert(i_ < n_);
    const std::int32_t i = i_;

    d_ = d_ + (i > b_ ? i - b_ : b_ - i);
    if (d_ >= n_) d_ = (d_ - n_ + pad_[i]) / 2;
    assert(d_ >= 0 && d_ < n_);

    const std::int32_t p = (b_ + d_) % n_;
    // How far ahead the partner lies: the room left to the block's end in
    // units of the pad byte at the sum index; a zero pad byte counts 255.
    const std::int32_t h = pad_[p] != 0 ? (n_ - i - 1) / pad_[p] : 255;
    std::int32_t m = (2 * h + i) % n_;
    if (m == i) {
      m = (i + pad_[i]) % n_;
      if (m == i) m = (i + 1) % n_;
    }
    assert(m >= 0 && m < n_ && m != i);

    const MixingPosition taken{b_, d_, p, m};
    AdvanceBase(i);
    ++i_;
    return taken;
  }

 private:
  // The base index moves on by the pad byte of the position just used; on
  // passing N it also gains a share of itself (by its parity and the wrap
  // count) before N is taken off.
  void AdvanceBase(std::int32_t i) {
    b_ = b_ + pad_[i];
    if (b_ >= n_) {
      if ((b_ & 1) != 0) {
        b_ = b_ + (b_ % e_);
      } else {
        b_ = b_ + (b_ / (3 * e_));
      }
      b_ = b_ - n_;
      e_ = e_ + 1;
    }
    assert(b_ >= 0 && b_ < n_);
  }

  const std::uint8_t* pad_;
  std::int32_t n_;
  std::int32_t i_ = 0;  // position the next call yields
  std::int32_t b_;      // base index
  std::int32_t d_;      // offset index
  std::int32_t e_ = 1;  // wrap count of the base index
};

// Yields the scatter slots: slot s_j is where source byte j goes. A cursor
// steps down from N by each pad byte plus one (wrapping below 0) and then
// walks further down past slots already taken, so the slots form a
// permutation of 0 to N - 1. Uses taken[0, N) as occupancy marks, one byte
// each, and leaves them all set once N slots are yielded.
class ScatterSlots {
 public:
  ScatterSlots(const std::uint8_t* pad, std::uint8_t* taken, std::int32_t n)
      : pad_(pad), taken_(taken), n_(n), cursor_(n) {
    for (std::int32_t j = 0; j < n_; ++j) taken_[j] = 0;
  }

  std::int32_t Next() {
    assert(j_ < n_);
    cursor_ = cursor_ - (pad_[j_] + 1);
    if (cursor_ < 0) cursor_ = cursor_ + n_;
    while (taken_[cursor_] != 0) {
      cursor_ = cursor_ - 1;
      if (cursor_ < 0) cursor_ = n_ - 1;
    }
    assert(cursor_ >= 0 && cursor_ < n_);
    taken_[cursor_] = 1;
    ++j_;
    return cursor_;
  }

 private:
  const std::uint8_t* pad_;
  std::uint8_t* taken_;
  std::int32_t n_;
  std::int32_t j_ = 0;   // source index the next call serves
  std::int32_t cursor_;  // the slot taken last (N before the first)
};

// Yields the chain targets: byte j of the scattered block is xored with the
// byte at t_j, never j itself. A cursor climbs by each pad byte plus one; on
// passing N it restarts low, at the pad byte plus the number of restarts so
// far.
class ChainTargets {
 public:
  ChainTargets(const std::uint8_t* pad, std::int32_t n) : pad_(pad), n_(n) {}

  std::int32_t Next() {
    assert(j_ < n_);
    const std::int32_t j = j_;
    cursor_ = cursor_ + pad_[j] + 1;
    if (cursor_ >= n_) {
      cursor_ = pad_[j] + restarts_;
      restarts_ = restarts_ + 1;
    }
    if (cursor_ == j) {
      cursor_ = cursor_ + 1;
      if (cursor_ == n_) cursor_ = 0;
    }
    assert(cursor_ >= 0 && cursor_ < n_ && cursor_ != j);
    ++j_;
    return cursor_;
  }

 private:
  const std::uint8_t* pad_;
  std::int32_t n_;
  std::int32_t j_ = 0;        // index the next call serves
  std::int32_t cursor_ = -1;  // the target given last
  std::int32_t restarts_ = 0;
};

}  // namespace tolbrek5::reference
