// Key evolution: reshapes the working key before every pad generation.
//
// Four phases, always in this order: growth (only for a key more than 255
// bytes shorter than the block: lengthen it to just below BlockLen and
// rewrite it in three steps), then three stirring passes that each rewrite
// every key byte once. EvolveCursor is the cursor of the growth phase and of
// the first pass and is carried to the next call; StirState drives the third
// pass and is carried too. Everything else lives for one call.
//
// Key evolution has one form, both production and reference: each function
// follows its phase line by line, with every working value in its own width.
// Its time goes into the latency of scattered key reads, each depending on
// the one before; cheaper arithmetic between them measured no faster, so the
// plain transcription stays. The encrypted format depends on
// each width, sign, truncation and the order of every key read and write:
//   - cur (EvolveCursor), S (StirState), n, h and the loop indices are signed
//     32-bit; M and C are unsigned 32-bit; the other working values are
//     signed 64-bit.
//   - Where a 32-bit value meets a 64-bit one the formula is computed in 64
//     bits, M, C and key bytes zero-extended, the signed 32-bit values
//     sign-extended. C++'s usual conversions do exactly that for int64_t
//     mixed with int32_t, uint32_t and bytes; formulas with no 64-bit operand
//     that need the 64-bit rule say so with int64_t{...}.
//   - A result stored into M, C, cur or S keeps its low 32 bits (Low32*).
//     These are the only places where a value can wrap; every other value is
//     bounded far inside its width under the preconditions (BlockLen >= 5004,
//     key >= 10 bytes), which the assertions below check.
//   - % and / truncate (as C++ does); shifts right are logical (Shr32, Shr64),
//     a 32-bit shift taking its count modulo 32; M and C compare unsigned.
#include <cassert>
#include <cstdint>
#include <cstdlib>

#include "cipher/cipher_state.h"
#include "cipher/engine_work.h"

namespace tolbrek5 {
namespace {

using std::int32_t;
using std::int64_t;
using std::uint32_t;
using std::uint64_t;
using std::uint8_t;

// Low 32 bits of a result, for a signed or an unsigned 32-bit variable.
int32_t Low32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }
uint32_t Low32Unsigned(int64_t v) { return static_cast<uint32_t>(v); }
// Low 8 bits, for a value stored into a key byte.
uint8_t Low8(int64_t v) { return static_cast<uint8_t>(v); }
// The bit pattern of a signed 32-bit value, for unsigned use.
uint32_t Bits32(int32_t v) { return static_cast<uint32_t>(v); }

// Logical right shifts of a value's bit pattern in its own width.
uint32_t Shr32(uint32_t v, int64_t count) { return v >> (count & 31); }
int64_t Shr64(int64_t v, int64_t count) {
  return static_cast<int64_t>(static_cast<uint64_t>(v) >> (count & 63));
}

bool IsOdd(int64_t v) { return (v & 1) != 0; }

// M and A leave the first pass for the second; M, U and W leave the second
// for the third.
struct StirCarry {
  uint32_t M = 0;
  int64_t A = 0;
  int64_t U = 0;
  int64_t W = 0;
};

// ---- Growth ----------------------------------------------------------------

// How far the grown key stays below BlockLen: the byte selected by a double
// lookup that starts from Key[0], plus one, halved while above 255 (so a
// selected 255 gives 128, anything else the byte plus one).
int32_t GrowthTrim(const KeyStore& key, int32_t L) {
  int32_t trim = key[key[key[0] % L] % L] + 1;
  while (trim > 255) trim = static_cast<int32_t>(Shr32(Bits32(trim), 1));
  return trim;
}

// One pass over the whole grown key: every byte is chained to the byte just
// rewritten before it and mixed with the cursor and the accumulator G.
void MixWholeKey(CipherState& s) {
  KeyStore& key = s.Key;
  int32_t& cur = s.EvolveCursor;
  const int32_t n = key.Length();
  const int32_t h = n - 1;
  int64_t G = key[0];
  for (int32_t i = 0; i <= h; ++i) {
    CountPosition(s, i);
    if (i > 0) key[i] = Low8((key[i - 1] + 255 - key[i]) % 256);
    key[i] = Low8(key[i] ^ cur ^ G ^ i);
    cur = cur + key[i] % 144;
    G = G + key[i] % 133;
    if (cur % 6 == 0) cur = cur + ((key[cur % n] ^ cur) + 177);
    if (cur > h) cur = 0;
    assert(0 <= cur && cur <= h);
    if (G % 17 == 0) G = G + 11;
    if (G % 3 == 0) G = G + (key[i] ^ (cur % 256) ^ 23);
    if (key[G % n] % 17 == 1) G = G + key[G % 256];
    if (G > h) G = G - n;  // once: G may stay above h
    assert(G >= 0);
  }
}

// Fills the zeroed tail [oldLen, n) from the three bytes before each position
// (tail bytes just written included), the cursor and the accumulator E.
void FillNewTail(CipherState& s, int32_t oldLen) {
  KeyStore& key = s.Key;
  int32_t& cur = s.EvolveCursor;
  const int32_t n = key.Length();
  const int32_t h = n - 1;
  cur = oldLen % 256;
  int64_t E = 777;
  for (int32_t j = oldLen; j <= h; ++j) {
    const uint32_t X = Shr32(Bits32(cur), cur % 9);
    key[j] =
        Low8(int64_t{X} ^ key[cur] ^ cur ^ key[j - 1] ^ key[j - 2] ^ key[j - 3] ^ j ^ (h - j) ^ E);
    cur = cur + key[j];
    if (cur > h) cur = cur % n;
    E = E + (cur + 777);
    if (cur % 256 == j % 17) cur = 11;
    assert(0 <= cur && cur <= h);
    if (E > 77777) E = 7;
    assert(E >= 0);
  }
}

// The byte that folding reads at a cursor position. Positions -1, -2 and -3
// stand for the bytes of the key length n from the most significant down;
// they are read only, and never reached from a valid starting state (the
// cursor is never 0 when it steps back), but they are what the fold defines.
int64_t FoldByte(const KeyStore& key, int32_t n, int32_t pos) {
  if (pos >= 0) return key[pos];
  assert(pos >= -3);
  return (Bits32(n) >> (8 * (4 + pos))) & 255;
}

// Folds the old part [0, oldLen) with bytes picked by a cursor that walks
// down from the end of the key in steps set by the bytes it reads.
void FoldOldPart(CipherState& s, int32_t oldLen) {
  KeyStore& key = s.Key;
  int32_t& cur = s.EvolveCursor;
  const int32_t n = key.Length();
  const int32_t h = n - 1;
  cur = h;
  for (int32_t j = 0; j < oldLen; ++j) {
    CountPosition(s, j);
    key[j] = Low8(FoldByte(key, n, cur) ^ key[j] ^ cur);
    // Read after the write above: when cur == j this is the new byte.
    cur = Low32(cur - ((n / (FoldByte(key, n, cur) + 1)) + 1));
    if (cur < 0) cur = cur + n;  // once
    if (cur % 3 == 0) {
      cur = cur % 177;
      if (cur % 2 == 0) cur = h - cur;
    }
  }
}

// Lengthens the key to a little below BlockLen and rewrites all of it. The
// cursor carried into the call is dropped here.
void GrowKey(CipherState& s) {
  const int32_t oldLen = s.Key.Length();
  const int32_t trim = GrowthTrim(s.Key, oldLen);
  s.Key.Resize(s.BlockLen - trim);
  s.EvolveCursor = s.Key[1];
  MixWholeKey(s);
  FillNewTail(s, oldLen);
  FoldOldPart(s, oldLen);
}

// ---- Stirring passes -------------------------------------------------------

// Rewrites every byte from the cursor and two accumulators; the cursor's last
// value is the EvolveCursor carried to the next call.
StirCarry FirstStirringPass(CipherState& s) {
  KeyStore& key = s.Key;
  int32_t& cur = s.EvolveCursor;
  const int32_t n = key.Length();
  const int32_t h = n - 1;
  uint32_t M = Low32Unsigned(255 - key[0]);
  int64_t A = key[h];
  int64_t T = 255;
  for (int32_t i = 0; i <= h; ++i) {
    CountPosition(s, i);
    assert(0 <= A && A <= h);
    M = Low32Unsigned(M + (n ^ ((key[i] + 1 + A) ^ i)));
    cur = Low32(int64_t{n ^ cur} + key[A] + key[i] + M);
    if (cur > 255) cur = cur % 256;
    assert(cur <= 255);
    key[i] = Low8(cur);
    A = (M ^ A) + (M % ((A ^ 8) + 1));
    while (A > 256) A = Shr64(A, (A % 8) + 1);
    A = A + A * (int64_t{M} & i);
    if (i > 0 && IsOdd(A)) {
      A = A & M;
      if (A > 65535) A = A % 65536;
      A = (M ^ A) * (key[i - 1] + 1);
    }
    if (A > h) A = A % n;
    if (M > 255) M = M & 255;
    if (!IsOdd(M)) {
      M = Low32Unsigned(M ^ (((A + 1) % 256) & ((M & 7) + 1)));
    } else {
      const int64_t D = std::abs(A - (T + 1));
      M = Low32Unsigned(std::abs(((i ^ A) ^ ((M - A) & (M ^ D))) % 256));
    }
    assert(M <= 255);
    T = T + (M ^ A);
    if (T > h) T = T + key[(M + T) % n];
    while (T > h) {
      T = Shr64(T, T % 8) + 1;  // a count of 0 leaves T unshifted
      A = A ^ T;
      if (A > h) A = A % n;
    }
  }
  StirCarry carry;
  carry.M = M;
  carry.A = A;
  return carry;
}

// Rewrites every byte by a chain of accumulators: W, U (with R, U one
// iteration earlier), V and the written value Z.
void SecondStirringPass(CipherState& s, StirCarry& carry) {
  KeyStore& key = s.Key;
  const int32_t n = key.Length();
  const int32_t h = n - 1;
  uint32_t M = carry.M;
  if (M > Bits32(h)) M = M % Bits32(n);
  int64_t U = h - (carry.A % n);
  int64_t W = 0;
  int64_t V = key[0];
  while (V > h) V = Shr64(V, (V % 8) + 1);
  int64_t Z = V;
  int64_t R = 0;
  for (int32_t j = 0; j <= h; ++j) {
    CountPosition(s, j);
    W = W + key[U] + key[M] + ((M & V) ^ R);
    if (j > 0) U = R;
    while (W > 4095) W = W % 4096;
    assert(0 <= W && W <= 4095);
    W = W + M + (W & U);
    if (IsOdd(W)) W = W + (j ^ ((U + 1) & (int64_t{M} + 1)));
    M = Low32Unsigned(M + (W & U));
    U = U + (W % 17) + key[V];
    if (IsOdd(U)) {
      U = U + (j & V);
      if (IsOdd(M)) M = Low32Unsigned(M + (U & M) + W);
    }
    if (IsOdd(M)) M = Low32Unsigned(M + V);
    Z = Z + ((M + U) ^ (V & W));
    if (Z > 255) Z = Z % 256;
    assert(0 <= Z && Z <= 255);
    key[j] = Low8(Z);
    if (M > Bits32(h)) M = M % Bits32(n);
    assert(M <= Bits32(h));
    R = U;
    while (U > h) U = Shr64(U, (V % 8) + 1);  // the count comes from V
    assert(0 <= U && U <= h);
    V = V + (key[M] ^ key[j]);
    while (V > h) V = Shr64(V, (V % 8) + 1);
    assert(0 <= V && V <= h);
    if (R > 65535) R = R % 65536;
    assert(0 <= R && R <= 65535);
  }
  carry.M = M;
  carry.U = U;
  carry.W = W;
}

// Rewrites every byte driven by StirState, whose last value is carried to the
// next call.
void ThirdStirringPass(CipherState& s, const StirCarry& carry) {
  KeyStore& key = s.Key;
  int32_t& S = s.StirState;
  const int32_t n = key.Length();
  const int32_t h = n - 1;
  int64_t W = carry.W;
  int64_t U = carry.U;
  uint32_t C = Bits32(h) - carry.M % Bits32(n);
  if (U > h) U = U % n;
  for (int32_t k = 0; k <= h; ++k) {
    CountPosition(s, k);
    if (IsOdd(C) && IsOdd(U)) {
      W = W + ((C + U) ^ std::abs(U - C));
    } else {
      W = W + ((k & W) ^ S ^ std::abs(C - U));
      S = Low32(int64_t{S} + Shr32(C, U % 8) + ((U + W) ^ S));
    }
    if (IsOdd(W)) W = W ^ S;
    while (W > h) W = W - n;
    assert(0 <= W && W <= h);
    key[k] = Low8((S ^ W) + key[W] + key[k]);
    U = U + C;
    C = C + key[k];
    if ((Bits32(S) & C) <= 99) {
      const int32_t Y = S ^ static_cast<int32_t>(Shr32(Bits32(S), S % 9));
      U = U + Y + ((C + (C % (U + 1))) ^ W);
    } else {
      U = U ^ (int64_t{S} + C);
      if (C < U) {
        S = Low32(S + U / (C + 1));
      } else {
        S = Low32(S + W);
      }
    }
    while (S > 65535) S = Low32((C + U + S) % 256);
    if (IsOdd(U)) C = Low32Unsigned(std::abs(C - int64_t{S}));
    if (U > h) U = U % n;
    while (C > Bits32(h)) C = Shr32(C, (C & 7) + 1);
    assert(C <= Bits32(h));
    if (S > 113) S = Low32(2 * int64_t{S} + 9988);
    if (S > 65535) S = Low32((C & int64_t{S} & U) % 333);
    assert(0 <= S && S <= 65535);
  }
}

}  // namespace

void EvolveKey(CipherState& s) {
  // Signed 32-bit comparison: a key of BlockLen - 256 bytes grows, one of
  // BlockLen - 255 does not.
  if (s.Key.Length() < s.BlockLen - 255) GrowKey(s);
  StirCarry carry = FirstStirringPass(s);
  SecondStirringPass(s, carry);
  ThirdStirringPass(s, carry);
}

}  // namespace tolbrek5
