// The stream behind the library's C interface: it takes input in pieces of
// any size, cuts it into the format's blocks (reading ahead when the input's
// size is not known), runs each block through the engine and hands out the
// results. Every outcome is a code of the public header; nothing it does
// throws out of it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cipher/cipher_state.h"
#include "secure/secure_buffer.h"
#include "tolbrek5/tolbrek5.h"

namespace tolbrek5 {

class Stream {
 public:
  // What runs one block; the library's is the engine itself.
  using BlockRunner = BlockOutcome (*)(CipherState&);

  explicit Stream(bool decrypting, BlockRunner runBlock = &ProcessBlock) noexcept;
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  int SetKey(const std::uint8_t* key, std::size_t length) noexcept;
  int SetKeyFile(std::uint64_t fileSize, const std::uint8_t* bytes, std::size_t length) noexcept;
  std::int64_t KeyFileLength(std::uint64_t fileSize) const noexcept;
  int SetInputSize(std::uint64_t size) noexcept;
  std::int64_t InputSize() const noexcept;
  std::int32_t BlockTotal() const noexcept;
  int SetProgress(tolbrek5_progress_fn fn, void* user) noexcept;
  int Process(tolbrek5_in_buffer* in, tolbrek5_out_buffer* out, int directive) noexcept;

 private:
  // Whether the key may still be set, and records the key's kind.
  bool KeyMaySet() const noexcept;
  int Step(tolbrek5_in_buffer* in, tolbrek5_out_buffer* out);
  void Drain(tolbrek5_out_buffer* out) noexcept;
  int Take(tolbrek5_in_buffer* in);
  // The next block's length once its bytes are held, 0 when the input is
  // done, -1 while more input is needed.
  std::int64_t ReadyBlockLength() const noexcept;
  int BeginBlocks();
  int RunBlock(std::int64_t length);
  void Report(double done);
  static void OnWork(void* user, std::int64_t work);

  CipherState state_;
  const BlockRunner runBlock_;
  const std::int64_t minInput_;  // smallest input accepted
  SecureBuffer ahead_;           // the read-ahead of an input of unknown size
  std::size_t aheadWritten_ = 0;
  std::int64_t declared_ = -1;  // the declared input size, -1 when none
  std::int64_t cut_ = 0;        // input bytes of the blocks already begun
  std::int64_t held_ = 0;       // input bytes held for the next block
  bool endGiven_ = false;       // the caller has passed TOLBREK5_END
  bool endTaken_ = false;       // a call with TOLBREK5_END took all of its input
  bool busy_ = false;           // inside Process: a call now comes from the progress callback
  bool endSeen_ = false;        // the input has ended and all of it has been taken
  bool keySet_ = false;
  bool keyFromFile_ = false;
  std::uint64_t keyFileSize_ = 0;
  bool started_ = false;       // buffers allocated
  bool begun_ = false;         // the first block has begun: the key is fixed
  int ended_ = TOLBREK5_MORE;  // the final code once the stream has ended
  std::int32_t blockNo_ = 0;
  std::int64_t blockLen_ = 0;  // the block being worked on, for progress
  std::int32_t dataLen_ = 0;   // longest stretch of the block buffers that held data
  std::int64_t outPos_ = 0;    // output of the last block handed out so far
  std::int64_t outLen_ = 0;
  std::int64_t workAtStart_ = 0;
  int lastPermille_ = -1;
  tolbrek5_progress_fn progress_ = nullptr;
  void* progressUser_ = nullptr;
};

}  // namespace tolbrek5
