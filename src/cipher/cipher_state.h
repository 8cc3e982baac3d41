// The cipher engine: the run-wide state and the operations that every block
// goes through.
//
// One CipherState lives for a whole run. The front end fills in the key and
// the direction, sizes the block buffers, and then hands every block to the
// engine; the engine owns no resources of its own (apart from the decrypting
// transform's scratch, allocated and wiped within one call). Several fields
// carry from one operation to the next and from block to block, and the
// encrypted format depends on that carrying, so nothing here is reset between
// blocks except where an operation says so.
//
// Arithmetic follows the stated widths exactly: signed 32-bit unless a value
// is declared otherwise, truncating division and remainder, logical right
// shifts. Changing any width, sign or order of reads and writes changes the
// encrypted format.
#pragma once

#include <cstdint>
#include <vector>

#include "cipher/key_store.h"
#include "secure/secure_buffer.h"

namespace tolbrek5 {

// Length of each of the four block buffers: the longest block that encryption
// forms (twice the block size, less one) plus its 4-byte check value.
inline constexpr std::int32_t BufferCapacity = 30000003;
// Nominal plaintext block size; a decrypting run reads blocks 4 bytes longer.
inline constexpr std::int32_t PlainBlockSize = 15000000;
// Bytes of the check value that sealing appends to every block.
inline constexpr std::int32_t CheckValueSize = 4;
// Smallest block any engine operation sees (smallest input plus check value).
inline constexpr std::int32_t MinBlockLen = 5004;

// One record of the decrypting transform's per-position scratch.
struct Triple {
  std::int32_t d;  // offset index
  std::int32_t b;  // base index
  std::int32_t m;  // partner index
};

struct CipherState {
  KeyStore Key;                    // the working key; length and bytes change every block
  SecureBuffer Pad;                // pad of the current block; earlier content is fed back
  SecureBuffer InBlock;            // block as read (plus check value when encrypting)
  SecureBuffer OutBlock;           // transformed block
  SecureBuffer Taken;              // occupancy marks of the scatter (bytes or bits)
  std::vector<std::int32_t> Perm;  // decrypting transform scratch, empty between calls
  std::vector<Triple> Triples;     // decrypting transform scratch, empty between calls

  std::int32_t BlockLen = 0;      // meaningful bytes in InBlock / OutBlock
  std::int32_t PadKeyCursor = 0;  // key position carried between pad generations
  std::int32_t EvolveCursor = 0;  // key position carried between key evolutions
  std::int32_t PadSum = 2;        // running sum mod 256 of the first 256 bytes of every pad
  std::int32_t StirState = 1;     // last stirring pass state; the transform resets it to 1
  bool Decrypting = false;
  std::int32_t BlockSize = 0;  // bytes requested per block

  // Work done by the engine's long loops, counted a position at a time in
  // steps of 65536; each step calls `onWork` (when set) with `workUser`,
  // which may end the block early by throwing.
  std::int64_t Work = 0;
  void (*onWork)(void* user, std::int64_t work) = nullptr;
  void* workUser = nullptr;

  // Sizes InBlock, OutBlock, Taken and Pad (in this order) to BufferCapacity,
  // all zero. Throws std::bad_alloc.
  void AllocateBlockBuffers();
  // Starts the block phase: allocates the block buffers, sets BlockSize for
  // the direction and PadSum to its starting value 2. Throws std::bad_alloc.
  void BeginBlockPhase();
  // Asks for huge pages for the key and the block buffers (worth it for
  // large blocks, whose scattered reads otherwise miss the address
  // translation caches; not for small ones, which it would make bigger).
  // Only advice: it never fails.
  void AdviseHugePages() noexcept;
  // Wipes every buffer over the part that held data (`maxBlockLen` bytes of
  // the block buffers, the key's whole history) and releases them, together
  // with any transform scratch.
  void ReleaseAll(std::int32_t maxBlockLen) noexcept;
};

// Encrypting: appends the check value of InBlock[0, BlockLen) and adds 4 to
// BlockLen; returns true. Decrypting: subtracts 4 from BlockLen and returns
// whether the 4 bytes after OutBlock[0, BlockLen) match its check value.
bool SealBlock(CipherState& s);

// Check value of n bytes: position-weighted sum modulo 2^32.
std::uint32_t CheckValue(const std::uint8_t* data, std::int32_t n);

// Grows (when much shorter than the block) and stirs the key.
void EvolveKey(CipherState& s);

// Fills Pad[0, n) from the key, rewriting n key bytes from PadKeyCursor on.
void GeneratePad(CipherState& s, std::int32_t n);

// Turns InBlock[0, BlockLen) into OutBlock[0, BlockLen) in the run's
// direction and feeds every mixed byte back into the key.
void TransformBlock(CipherState& s);

// Adds Pad[0..255] into PadSum, modulo 256.
void AddPadSum(CipherState& s);
// Shortens the key by 500 plus the value of its first byte; false (and the
// key unchanged) when it is not longer than that.
bool ShortenKey(CipherState& s);

// Why a block could not be run: its length or the key's is outside what the
// engine can work on. The stream driver never lets this happen; the check
// stands so that a fault there cannot write outside the buffers.
enum class BlockOutcome { Done, CheckFailed, Unfit };

// Runs one block that the caller has read into InBlock[0, BlockLen): seal
// (encrypting), evolve, pad, pad sum, shorten, evolve, pad, pad sum,
// transform, check (decrypting). CheckFailed only when a decrypted block
// fails its check; on Done, OutBlock[0, BlockLen) is the block to write.
BlockOutcome ProcessBlock(CipherState& s);

// Whether a block of `blockLen` bytes (as read, before sealing) fits the
// engine in the state's direction.
bool BlockFits(const CipherState& s, std::int64_t blockLen);

}  // namespace tolbrek5

namespace tolbrek5 {

// Block layout of a file: the number of bytes the next block takes when
// `remaining` input bytes are left (a last block takes the whole remainder
// below twice the block size), and the number of blocks of a file of `size`
// bytes (at least 1).
std::int64_t NextBlockLength(std::int64_t remaining, std::int32_t blockSize);
std::int32_t BlockCount(std::int64_t size, std::int32_t blockSize);

}  // namespace tolbrek5
