#include "cipher/stream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace tolbrek5 {
namespace {

// Longest key taken, from bytes or from a key file.
constexpr std::int64_t kMaxKeyLength = 2147483647;
constexpr std::int64_t kMinKeyLength = 10;
constexpr std::int64_t kMinPlaintext = 5000;
// Inputs from this size on are processed on huge pages: the cipher's
// scattered reads over the key and the pad then miss the address
// translation caches far less. Smaller inputs stay on small pages, where
// they need less memory.
constexpr std::int64_t kHugePageInput = std::int64_t{8} << 20;
// Engine work per block byte, roughly: two key evolutions of three to five
// passes over a key about as long as the block, two pad generations and the
// transform.
constexpr double kWorkPerByte = 11;

// Thrown from the engine's loops when the progress callback cancels; caught
// in Process, never beyond.
struct Cancelled {};

// Plaintext size of an input of `size` bytes.
std::int64_t PlaintextSize(std::int64_t size, bool decrypting) {
  if (!decrypting) return size;
  return size - CheckValueSize * std::int64_t{BlockCount(size, PlainBlockSize + CheckValueSize)};
}

// Whether a caller's buffer can be real: its position within its size, a
// size no larger than any object can have, and memory behind any room.
bool Fits(const void* data, std::size_t size, std::size_t pos) {
  return pos <= size && size <= static_cast<std::size_t>(PTRDIFF_MAX) &&
         (data != nullptr || size == 0);
}

}  // namespace

Stream::Stream(bool decrypting, BlockRunner runBlock) noexcept
    : runBlock_(runBlock), minInput_(kMinPlaintext + (decrypting ? CheckValueSize : 0)) {
  state_.Decrypting = decrypting;
  state_.BlockSize = PlainBlockSize + (decrypting ? CheckValueSize : 0);
  state_.onWork = &Stream::OnWork;
  state_.workUser = this;
}

Stream::~Stream() {
  state_.ReleaseAll(dataLen_);
  ahead_.Release(aheadWritten_);
}

bool Stream::KeyMaySet() const noexcept { return !keySet_ && !begun_ && ended_ == TOLBREK5_MORE; }

int Stream::SetKey(const std::uint8_t* key, std::size_t length) noexcept {
  if ((key == nullptr && length > 0) || !KeyMaySet()) return TOLBREK5_ERROR_INVALID_CALL;
  if (static_cast<std::int64_t>(std::min<std::size_t>(length, kMaxKeyLength)) < kMinKeyLength) {
    return TOLBREK5_ERROR_KEY_TOO_SHORT;
  }
  const auto n = std::min<std::size_t>(length, kMaxKeyLength);
  try {
    state_.Key.Assign(key, n, static_cast<std::size_t>(BufferCapacity));
  } catch (const std::bad_alloc&) {
    return TOLBREK5_ERROR_OUT_OF_MEMORY;
  }
  keySet_ = true;
  return TOLBREK5_OK;
}

int Stream::SetKeyFile(std::uint64_t fileSize, const std::uint8_t* bytes,
                       std::size_t length) noexcept {
  if ((bytes == nullptr && length > 0) || !KeyMaySet()) return TOLBREK5_ERROR_INVALID_CALL;
  if (fileSize < static_cast<std::uint64_t>(kMinKeyLength)) {
    return TOLBREK5_ERROR_KEY_FILE_TOO_SHORT;
  }
  const std::uint64_t usable = std::min<std::uint64_t>(fileSize, kMaxKeyLength);
  const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, usable));
  try {
    state_.Key.Assign(bytes, n, static_cast<std::size_t>(BufferCapacity));
  } catch (const std::bad_alloc&) {
    return TOLBREK5_ERROR_OUT_OF_MEMORY;
  }
  keySet_ = true;
  keyFromFile_ = true;
  keyFileSize_ = fileSize;
  return TOLBREK5_OK;
}

std::int64_t Stream::KeyFileLength(std::uint64_t fileSize) const noexcept {
  if (ended_ < 0) return ended_;
  if (fileSize < static_cast<std::uint64_t>(kMinKeyLength)) {
    return TOLBREK5_ERROR_KEY_FILE_TOO_SHORT;
  }
  const auto usable = static_cast<std::int64_t>(std::min<std::uint64_t>(fileSize, kMaxKeyLength));
  const std::int64_t size = InputSize();
  if (size >= 0) return std::min(usable, PlaintextSize(size, state_.Decrypting));
  // The read-ahead holds more than two blocks: the plaintext is longer than
  // 30000000 bytes, so a key file up to that size is used whole.
  if (declared_ < 0 && held_ > 2 * std::int64_t{state_.BlockSize}) {
    if (usable > 2 * std::int64_t{PlainBlockSize}) return TOLBREK5_ERROR_KEY_FILE_TOO_LONG;
  }
  return usable;
}

int Stream::SetInputSize(std::uint64_t size) noexcept {
  if (started_ || ended_ != TOLBREK5_MORE || declared_ >= 0 ||
      size > static_cast<std::uint64_t>(INT64_MAX)) {
    return TOLBREK5_ERROR_INVALID_CALL;
  }
  declared_ = static_cast<std::int64_t>(size);
  if (declared_ < minInput_) ended_ = TOLBREK5_ERROR_INPUT_TOO_SHORT;
  return declared_ < minInput_ ? TOLBREK5_ERROR_INPUT_TOO_SHORT : TOLBREK5_OK;
}

std::int64_t Stream::InputSize() const noexcept {
  if (declared_ >= 0) return declared_;
  return endSeen_ ? cut_ + held_ : -1;
}

std::int32_t Stream::BlockTotal() const noexcept {
  const std::int64_t size = InputSize();
  return size < 0 ? 0 : BlockCount(size, state_.BlockSize);
}

int Stream::SetProgress(tolbrek5_progress_fn fn, void* user) noexcept {
  if (busy_) return TOLBREK5_ERROR_INVALID_CALL;
  progress_ = fn;
  progressUser_ = user;
  return TOLBREK5_OK;
}

int Stream::Process(tolbrek5_in_buffer* in, tolbrek5_out_buffer* out, int directive) noexcept {
  // A call from the progress callback is refused; the call it came from goes on.
  if (busy_) return TOLBREK5_ERROR_INVALID_CALL;
  const bool inBad = in != nullptr && !Fits(in->src, in->size, in->pos);
  const bool outBad = out == nullptr || !Fits(out->dst, out->size, out->pos);
  const bool directiveBad = directive != TOLBREK5_CONTINUE && directive != TOLBREK5_END;
  const bool endBroken = directive == TOLBREK5_CONTINUE && endGiven_;
  // The input's size is fixed once all of it was given.
  const bool beyondEnd = endTaken_ && in != nullptr && in->pos < in->size;
  // Once ended, a stream takes no more input, and after an error no call at all.
  const bool afterEnd =
      ended_ != TOLBREK5_MORE && (ended_ != TOLBREK5_OK || (in != nullptr && in->pos < in->size));
  if (inBad || outBad || directiveBad || endBroken || beyondEnd || afterEnd) {
    // A caller's error ends the stream too: only freeing it is valid then. A stream that
    // ended with an error keeps that one.
    if (ended_ >= 0) ended_ = TOLBREK5_ERROR_INVALID_CALL;
    return TOLBREK5_ERROR_INVALID_CALL;
  }
  if (directive == TOLBREK5_END) endGiven_ = true;
  if (ended_ == TOLBREK5_OK) return TOLBREK5_OK;
  const auto allTaken = [in] { return in == nullptr || in->pos == in->size; };
  int code = TOLBREK5_MORE;
  busy_ = true;
  try {
    code = Step(in, out);
    if (code == TOLBREK5_MORE && directive == TOLBREK5_END && allTaken()) {
      endSeen_ = true;
      code = Step(in, out);
    }
  } catch (const std::bad_alloc&) {
    code = TOLBREK5_ERROR_OUT_OF_MEMORY;
  } catch (const Cancelled&) {
    code = TOLBREK5_ERROR_CANCELLED;
  }
  busy_ = false;
  if (directive == TOLBREK5_END && allTaken()) endTaken_ = true;
  if (code != TOLBREK5_MORE && code != TOLBREK5_NEED_KEY) ended_ = code;
  return code;
}

// Everything one call can do: hand out output, take input, run blocks.
int Stream::Step(tolbrek5_in_buffer* in, tolbrek5_out_buffer* out) {
  for (;;) {
    Drain(out);
    if (outPos_ < outLen_) return TOLBREK5_MORE;
    // With a declared size the first block can begin before any input is
    // taken: the key is asked for first, as a file's reader expects.
    if (!begun_ && declared_ >= 0) {
      if (const int allocated = Take(nullptr); allocated != TOLBREK5_OK) return allocated;
      if (const int begin = BeginBlocks(); begin != TOLBREK5_OK) return begin;
    }
    if (const int taken = Take(in); taken != TOLBREK5_OK) return taken;
    const std::int64_t length = ReadyBlockLength();
    if (length < 0) {
      // Input ended before a declared size was reached.
      if (endSeen_) return TOLBREK5_ERROR_INPUT_ENDED;
      return TOLBREK5_MORE;
    }
    if (!begun_) {
      const int begin = BeginBlocks();
      if (begin != TOLBREK5_OK) return begin;
    }
    if (length == 0) return TOLBREK5_OK;
    const int ran = RunBlock(length);
    if (ran != TOLBREK5_OK) return ran;
  }
}

void Stream::Drain(tolbrek5_out_buffer* out) noexcept {
  const std::size_t n = std::min(out->size - out->pos, static_cast<std::size_t>(outLen_ - outPos_));
  if (n == 0) return;
  std::memcpy(static_cast<std::uint8_t*>(out->dst) + out->pos, state_.OutBlock.data() + outPos_, n);
  out->pos += n;
  outPos_ += static_cast<std::int64_t>(n);
}

int Stream::Take(tolbrek5_in_buffer* in) {
  if (!started_) {
    state_.AllocateBlockBuffers();
    if (declared_ < 0) ahead_ = SecureBuffer(2 * static_cast<std::size_t>(state_.BlockSize) + 1);
    started_ = true;
  }
  if (in == nullptr || in->pos == in->size) return TOLBREK5_OK;
  std::int64_t room = 0;
  std::uint8_t* into = nullptr;
  if (declared_ >= 0) {
    const std::int64_t length = NextBlockLength(declared_ - cut_, state_.BlockSize);
    // A block too long for the buffers is refused unread when it begins.
    if (length > BufferCapacity || (length == 0 && in->pos < in->size)) {
      return length == 0 ? TOLBREK5_ERROR_INVALID_CALL : TOLBREK5_OK;
    }
    room = length - held_;
    into = state_.InBlock.data() + held_;
    dataLen_ = std::max(dataLen_, static_cast<std::int32_t>(length) + CheckValueSize);
  } else {
    room = static_cast<std::int64_t>(ahead_.size()) - held_;
    into = ahead_.data() + held_;
  }
  const std::size_t n = std::min(static_cast<std::size_t>(room), in->size - in->pos);
  if (n == 0) return TOLBREK5_OK;
  std::memcpy(into, static_cast<const std::uint8_t*>(in->src) + in->pos, n);
  in->pos += n;
  held_ += static_cast<std::int64_t>(n);
  if (declared_ < 0) aheadWritten_ = std::max(aheadWritten_, static_cast<std::size_t>(held_));
  return TOLBREK5_OK;
}

std::int64_t Stream::ReadyBlockLength() const noexcept {
  if (declared_ >= 0) {
    const std::int64_t length = NextBlockLength(declared_ - cut_, state_.BlockSize);
    if (length > BufferCapacity) return length;  // refused when it begins
    return held_ == length ? length : -1;
  }
  const auto full = static_cast<std::int64_t>(ahead_.size());
  if (held_ < full && !endSeen_) return -1;
  if (endSeen_) return NextBlockLength(held_, state_.BlockSize);
  return state_.BlockSize;
}

// The first block can begin: the input's size is checked, the key must be
// there and, from a key file, takes its length.
int Stream::BeginBlocks() {
  const std::int64_t size = InputSize();
  if (size >= 0 && size < minInput_) return TOLBREK5_ERROR_INPUT_TOO_SHORT;
  if (!keySet_) return TOLBREK5_NEED_KEY;
  if (keyFromFile_) {
    const std::int64_t length = KeyFileLength(keyFileSize_);
    if (length < 0) return static_cast<int>(length);
    if (length > state_.Key.Length()) return TOLBREK5_ERROR_KEY_FILE_READ;
    state_.Key.Truncate(static_cast<std::int32_t>(length));
  }
  begun_ = true;
  if (size < 0 || size >= kHugePageInput) state_.AdviseHugePages();
  return TOLBREK5_OK;
}

int Stream::RunBlock(std::int64_t length) {
  if (blockNo_ < INT32_MAX) ++blockNo_;
  blockLen_ = length;
  workAtStart_ = state_.Work;
  lastPermille_ = -1;
  Report(0);
  const std::int64_t sealRoom = state_.Decrypting ? 0 : CheckValueSize;
  // Only a damaged ciphertext ends in a block longer than any encryption
  // forms; it is rejected unread, as a block that fails its check (counted
  // as begun, like any other block).
  if (length + sealRoom > BufferCapacity) return TOLBREK5_ERROR_DECRYPTION_FAILED;
  if (declared_ < 0) {
    dataLen_ = std::max(dataLen_, static_cast<std::int32_t>(length) + CheckValueSize);
    std::memcpy(state_.InBlock.data(), ahead_.data(), static_cast<std::size_t>(length));
    std::memmove(ahead_.data(), ahead_.data() + length, static_cast<std::size_t>(held_ - length));
  }
  held_ -= length;
  cut_ += length;
  state_.BlockLen = static_cast<std::int32_t>(length);
  switch (runBlock_(state_)) {
    case BlockOutcome::Done:
      break;
    case BlockOutcome::CheckFailed:
      return TOLBREK5_ERROR_DECRYPTION_FAILED;
    case BlockOutcome::Unfit:
      return TOLBREK5_ERROR_INVALID_CALL;
  }
  Report(1);
  outPos_ = 0;
  outLen_ = state_.BlockLen;
  return TOLBREK5_OK;
}

void Stream::Report(double done) {
  if (progress_ == nullptr) return;
  const int permille = static_cast<int>(done * 1000);
  if (permille == lastPermille_) return;
  lastPermille_ = permille;
  const std::int32_t total = BlockTotal();
  if (progress_(progressUser_, blockNo_, total, done) != 0) throw Cancelled{};
}

void Stream::OnWork(void* user, std::int64_t work) {
  auto* stream = static_cast<Stream*>(user);
  const double expected = kWorkPerByte * static_cast<double>(stream->blockLen_);
  const double done = static_cast<double>(work - stream->workAtStart_) / expected;
  stream->Report(std::min(done, 0.999));
}

}  // namespace tolbrek5
