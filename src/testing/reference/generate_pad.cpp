// Pad generation: turns the working key into the pad of one block and
// rewrites the key as it goes.
//
// Each pad byte comes from one iteration: fold the key byte under the cursor
// (and PadSum) into a byte-sized accumulator, walk the key with a probe whose
// stride keeps growing, mix the outcome with two pad bytes (feedback), store
// a new key byte under the cursor, form the pad byte and move the cursor on.
// The feedback reads see whatever Pad holds at that moment: bytes already
// rewritten by this call, or those the previous call left behind. Pad is
// therefore never cleared between calls.
//
// Every working value is signed 64-bit and stays far from overflow; only the
// walk sum goes negative, and mod, div and shifts are applied to
// non-negative values only.
#include <cassert>
#include <cstdint>

#include "cipher/cipher_state.h"
#include "testing/reference/reference_engine.h"

namespace tolbrek5::reference {
namespace {

// Where the walk of one iteration left its two positions.
struct WalkEnd {
  std::int64_t walkPos;  // key position chased by the walk, 0 to H
  std::int64_t probe;    // first probe position above the key (keyAcc when the walk did not run)
};

// One call's generation of n pad bytes. Holds the working values that carry
// from one iteration to the next; nothing of it outlives the call.
class PadGenerator {
 public:
  PadGenerator(CipherState& s, std::int32_t n)
      : s_(s), n_(n), keyLen_(s.Key.Length()), last_(keyLen_ - 1), feedPos_(n - 1) {}

  void Run() {
    std::int64_t cur = s_.PadKeyCursor;
    for (std::int64_t i = 0; i < n_; ++i) {
      // While PadSum is 2, each position reads as 0 from the start of its own
      // iteration on, so iteration i never sees the old byte at i.
      if (s_.PadSum == 2) Pad(i) = 0;

      FoldKeyByte(cur);
      const WalkEnd walk = WalkKey();
      SettleWalkSum();

      s_.Key[cur] = NewKeyByte(cur, walk.walkPos);
      const std::uint8_t padByte = PadByte(cur, walk);  // reads Pad[feedPos] before Pad[i] changes
      Pad(i) = padByte;

      MoveFeedPos(walk.walkPos);

      cur = cur + 1;
      if (cur > last_) cur = cur - keyLen_;
    }
    s_.PadKeyCursor = static_cast<std::int32_t>(cur);
  }

 private:
  std::uint8_t& Pad(std::int64_t x) { return s_.Pad.data()[x]; }

  // A read of the pad at a position past its end yields 0: a key longer
  // than the pad can lead the key-byte mixing there.
  std::int64_t PadOrZero(std::int64_t x) const {
    return x < static_cast<std::int64_t>(s_.Pad.size()) ? s_.Pad.data()[x] : 0;
  }

  std::int64_t Key(std::int64_t x) const { return s_.Key[x]; }

  // Adds the key byte under the cursor, one and PadSum to the accumulator and
  // brings it back to a byte: first by a shift of 0 to 7 bits, and only if
  // that is not enough, by keeping the low 8 bits.
  void FoldKeyByte(std::int64_t cur) {
    keyAcc_ = keyAcc_ + Key(cur) + 1 + s_.PadSum;
    if (keyAcc_ > 255) {
      keyAcc_ = keyAcc_ >> (keyAcc_ % 8);
      if (keyAcc_ > 255) keyAcc_ = keyAcc_ % 256;
    }
    assert(keyAcc_ >= 0 && keyAcc_ <= 255);
  }

  // Walks the key from the accumulator's position with a probe that climbs
  // by growing strides, chasing a second position through the key bytes and
  // summing the bytes met (subtracting where the probed byte is odd). With a
  // key no longer than the accumulator the walk does not run.
  WalkEnd WalkKey() {
    std::int64_t walkPos = (keyAcc_ + 1) ^ keyLen_;
    if (walkPos > last_) walkPos = walkPos % keyLen_;
    assert(walkPos >= 0 && walkPos <= last_);

    std::int64_t probe = keyAcc_;
    while (probe <= last_) {
      const std::int64_t both = Key(probe) + Key(walkPos);
      if ((Key(probe) & 1) != 0) {
        walkSum_ = walkSum_ - both;
      } else {
        walkSum_ = walkSum_ + both;
      }
      walkPos = walkPos + Key(walkPos) + probe;
      while (walkPos > last_) walkPos = walkPos % keyLen_;
      assert(walkPos >= 0 && walkPos <= last_);
      probe = probe + ((keyLen_ - walkPos) % (probe + 1)) + 1;
    }
    return {walkPos, probe};
  }

  // Brings the walk sum back into 0 to 255: negative sums by whole turns of
  // 256, large ones by shifts of 1 to 8 bits.
  void SettleWalkSum() {
    while (walkSum_ < 0) walkSum_ = walkSum_ + 256;
    while (walkSum_ > 255) walkSum_ = walkSum_ >> ((walkSum_ % 8) + 1);
    assert(walkSum_ >= 0 && walkSum_ <= 255);
  }

  // The value stored as the new key byte under the cursor. On the way it is
  // a key position, used to read one pad byte as feedback.
  std::uint8_t NewKeyByte(std::int64_t cur, std::int64_t walkPos) {
    mixVal_ = (mixVal_ | feedPos_) + (keyAcc_ ^ walkSum_);
    if ((mixVal_ & 1) != 0) {
      mixVal_ = (mixVal_ ^ (255 - Key(walkPos))) + (cur ^ walkSum_);
    } else {
      mixVal_ = (mixVal_ + walkPos) ^ Key(walkPos);
    }
    if (mixVal_ > last_) mixVal_ = mixVal_ % keyLen_;
    assert(mixVal_ >= 0 && mixVal_ <= last_);

    mixVal_ = mixVal_ + (PadOrZero(mixVal_) | keyAcc_);
    if (mixVal_ > 255) mixVal_ = mixVal_ % 256;
    assert(mixVal_ >= 0 && mixVal_ <= 255);
    return static_cast<std::uint8_t>(mixVal_);
  }

  // The pad byte of this iteration, from the key byte just stored, the walk's
  // end and the pad byte under the feedback position.
  std::uint8_t PadByte(std::int64_t cur, const WalkEnd& walk) const {
    const std::int64_t t1 = (walk.probe + walk.walkPos) / 256;
    const std::int64_t t2 = walk.walkPos % 256;
    const std::int64_t t3 = ((walkSum_ + 1) * ((cur + walk.walkPos) ^ (walk.probe | keyAcc_)) +
                             s_.Pad.data()[feedPos_]) %
                            256;
    return static_cast<std::uint8_t>((t1 ^ Key(cur) ^ t2 ^ t3) & 255);
  }

  // Moves the feedback position down; when it falls below 0 it comes back
  // from above n and steps down until it is below n again.
  void MoveFeedPos(std::int64_t walkPos) {
    feedPos_ = feedPos_ - (((keyAcc_ + walkSum_) * walkPos) % 256);
    if (feedPos_ < 0) {
      feedPos_ = n_ - feedPos_;
      while (feedPos_ >= n_)
        feedPos_ = feedPos_ - ((((2 * keyAcc_ + walkSum_) * walkPos) % 256) + 1);
      assert(feedPos_ >= n_ - 256);
    }
    assert(feedPos_ >= 0 && feedPos_ <= n_ - 1);
  }

  CipherState& s_;
  const std::int64_t n_;
  const std::int64_t keyLen_;  // length of the key, constant during the call
  const std::int64_t last_;    // its last index
  std::int64_t keyAcc_ = 0;    // folded running sum of key bytes
  std::int64_t walkSum_ = 0;   // signed sum of the key bytes met on the walk
  std::int64_t mixVal_ = 0;    // new key byte, and on the way a pad position
  std::int64_t feedPos_;       // pad position read as feedback
};

}  // namespace

// A cursor at or past the key's end on entry (the driver shortened the key
// under it) reads and writes the byte kept in storage at that position; the
// first advance then brings it back into the key.
void GeneratePad(CipherState& s, std::int32_t n) {
  assert(n >= 256 && n <= BufferCapacity);
  assert(s.Key.Length() >= 1);
  assert(s.PadKeyCursor >= 0 && static_cast<std::size_t>(s.PadKeyCursor) < s.Key.Capacity());
  assert(s.PadSum >= 0 && s.PadSum <= 255);
  assert(s.Pad.size() == static_cast<std::size_t>(BufferCapacity));
  PadGenerator(s, n).Run();
}

}  // namespace tolbrek5::reference
