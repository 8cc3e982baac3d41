// The library's streams: the block layout of the read-ahead, with a stand-in
// for the engine at the sizes around two blocks; the outcomes a caller meets
// that the random round trips of fuzz/ do not. (The known answers reach the
// library through the program's runs and the installed example.)
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <utility>

#include "cipher/stream.h"
#include "support/support.h"
#include "tolbrek5/tolbrek5.h"

namespace tolbrek5::test {
namespace {

using Outcome = std::pair<int, Bytes>;  // the outcome, and the output handed out

// Pushes `input` in random pieces (all at once when `maxPiece` is 0), drains
// into random small buffers, and ends the input with the last piece.
Outcome Push(Stream& s, const Bytes& input, std::size_t maxPiece, std::mt19937& rng) {
  Outcome r{TOLBREK5_MORE, {}};
  std::uniform_int_distribution<std::size_t> piece(1, maxPiece == 0 ? 1 : maxPiece);
  Bytes room(70000);
  for (std::size_t at = 0; r.first == TOLBREK5_MORE;) {
    const std::size_t n = maxPiece == 0 ? input.size() : std::min(piece(rng), input.size() - at);
    tolbrek5_in_buffer in{input.data() + at, n, 0};
    const int directive = at + n == input.size() ? TOLBREK5_END : TOLBREK5_CONTINUE;
    do {
      tolbrek5_out_buffer out{room.data(), 1 + piece(rng) % room.size(), 0};
      r.first = s.Process(&in, &out, directive);
      r.second.insert(r.second.end(), room.begin(), room.begin() + static_cast<long>(out.pos));
    } while (r.first == TOLBREK5_MORE && (in.pos < in.size || directive == TOLBREK5_END));
    at += in.pos;
  }
  return r;
}

// Stand-in engine: the block as it came, and its length in 4 bytes where
// sealing puts the check value.
BlockOutcome Echo(CipherState& s) {
  std::memcpy(s.OutBlock.data(), s.InBlock.data(), static_cast<std::size_t>(s.BlockLen));
  const auto n = static_cast<std::uint32_t>(s.BlockLen);
  std::memcpy(s.OutBlock.data() + s.BlockLen, &n, 4);
  s.BlockLen += 4;
  return BlockOutcome::Done;
}

TEST(Stream, ReadAheadCutsTheBlocksOfAFileOfTheSameSize) {
  std::mt19937 rng(3);
  const std::int64_t twice = 2 * std::int64_t{PlainBlockSize};
  for (const std::int64_t size : {twice - 1, twice, twice + 1, 3 * std::int64_t{PlainBlockSize}}) {
    SCOPED_TRACE(size);
    Stream s(false, &Echo);
    ASSERT_EQ(s.SetKey(Bytes(10, 'k').data(), 10), TOLBREK5_OK);
    const Outcome r = Push(s, Bytes(static_cast<std::size_t>(size), 1), 4000000, rng);
    ASSERT_EQ(r.first, TOLBREK5_OK);
    Bytes blocks;  // each block as it came, then its length
    for (std::int64_t left = size; left > 0;) {
      const std::int64_t length = NextBlockLength(left, PlainBlockSize);
      const auto stored = static_cast<std::uint32_t>(length);
      blocks.resize(blocks.size() + static_cast<std::size_t>(length), 1);
      blocks.resize(blocks.size() + 4);
      std::memcpy(blocks.data() + blocks.size() - 4, &stored, 4);
      left -= length;
    }
    EXPECT_TRUE(r.second == blocks);
  }
}

// What a caller meets besides a whole run: keys too short, an input that
// goes beyond its declared size, no key yet, calls that break the rules.
TEST(Stream, OutcomesACallerCanMeet) {
  std::mt19937 rng(5);
  const Bytes key(12, 'k');
  auto keyed = [&key](std::uint64_t declared = 0) {
    auto s = std::make_unique<Stream>(false);
    EXPECT_EQ(s->SetKey(key.data(), key.size()), TOLBREK5_OK);
    EXPECT_EQ(declared > 0 ? s->SetInputSize(declared) : TOLBREK5_OK, TOLBREK5_OK);
    return s;
  };
  EXPECT_EQ(Stream(false).SetKey(key.data(), 9), TOLBREK5_ERROR_KEY_TOO_SHORT);
  EXPECT_EQ(Stream(false).SetKeyFile(9, key.data(), 9), TOLBREK5_ERROR_KEY_FILE_TOO_SHORT);
  EXPECT_EQ(Push(*keyed(6000), Bytes(6001, 0), 0, rng).first, TOLBREK5_ERROR_INVALID_CALL);
  // A refused size ends the stream: the key file's length is its error, a
  // later call is refused.
  const auto refusedSize = keyed();
  EXPECT_EQ(refusedSize->SetInputSize(4999), TOLBREK5_ERROR_INPUT_TOO_SHORT);
  EXPECT_EQ(refusedSize->KeyFileLength(300), TOLBREK5_ERROR_INPUT_TOO_SHORT);
  // A block total beyond its type's range is the largest it has.
  EXPECT_EQ(keyed(32212254720000000)->BlockTotal(), INT32_MAX);

  // No key yet: the stream asks for one once it knows the input's size.
  Stream later(false);
  const Bytes plain(6000, 3);
  tolbrek5_in_buffer in{plain.data(), plain.size(), 0};
  Bytes room(7000);
  tolbrek5_out_buffer out{room.data(), room.size(), 0};
  ASSERT_EQ(later.Process(&in, &out, TOLBREK5_END), TOLBREK5_NEED_KEY);
  EXPECT_EQ(later.InputSize(), 6000);
  ASSERT_EQ(later.SetKey(key.data(), key.size()), TOLBREK5_OK);
  EXPECT_EQ(later.Process(&in, &out, TOLBREK5_END), TOLBREK5_OK);
  const Bytes sealed(room.begin(), room.begin() + static_cast<long>(out.pos));

  // From its own progress callback, a stream refuses the calls that change
  // it and answers the queries; the call in progress goes on unharmed. (The
  // callback cancels when it sees otherwise.)
  auto reenter = [](void* user, std::int32_t, std::int32_t, double) {
    auto* s = static_cast<Stream*>(user);
    tolbrek5_in_buffer more{"0123456789", 10, 0};
    tolbrek5_out_buffer none{nullptr, 0, 0};
    const bool refused = s->Process(&more, &none, TOLBREK5_END) == TOLBREK5_ERROR_INVALID_CALL &&
                         s->SetProgress(nullptr, nullptr) == TOLBREK5_ERROR_INVALID_CALL;
    return refused && s->InputSize() == 6000 ? 0 : 1;
  };
  const auto watched = keyed();
  ASSERT_EQ(watched->SetProgress(reenter, watched.get()), TOLBREK5_OK);
  EXPECT_TRUE(Push(*watched, plain, 0, rng) == Outcome(TOLBREK5_OK, sealed));

  // Calls that break the rules are refused and touch no buffer.
  auto refused = [](tolbrek5_in_buffer* from, tolbrek5_out_buffer* to, int directive) {
    return Stream(false).Process(from, to, directive) == TOLBREK5_ERROR_INVALID_CALL;
  };
  tolbrek5_in_buffer whole{plain.data(), plain.size(), 0};
  tolbrek5_in_buffer past{plain.data(), 1, 2};
  tolbrek5_out_buffer spare{room.data(), room.size(), 0};
  EXPECT_EQ(tolbrek5_stream_process(nullptr, &whole, &spare, TOLBREK5_END),
            TOLBREK5_ERROR_INVALID_CALL);
  EXPECT_TRUE(refused(&whole, nullptr, TOLBREK5_END));
  EXPECT_TRUE(refused(&past, &spare, TOLBREK5_END));
  EXPECT_TRUE(refused(&whole, &spare, 2));
  // Sizes no buffer can have.
  tolbrek5_in_buffer huge{plain.data(), SIZE_MAX, SIZE_MAX};
  tolbrek5_out_buffer endless{room.data(), std::size_t{PTRDIFF_MAX} + 1, 0};
  EXPECT_TRUE(refused(&huge, &spare, TOLBREK5_END));
  EXPECT_TRUE(refused(&whole, &endless, TOLBREK5_END));
  EXPECT_EQ(whole.pos + spare.pos, 0u);
  // Once the end was given, the input does not go on; once a call with the
  // end took all of its input, it does not grow either. After an error,
  // nothing is taken.
  Stream ended(false);
  Stream sized(false);
  ASSERT_EQ(sized.SetInputSize(6000), TOLBREK5_OK);
  for (auto [s, then] : {std::pair{&ended, TOLBREK5_END}, std::pair{&sized, TOLBREK5_CONTINUE}}) {
    tolbrek5_in_buffer all{plain.data(), plain.size(), 0};
    ASSERT_EQ(s->Process(&all, &spare, TOLBREK5_END), TOLBREK5_NEED_KEY);
    all.pos = 0;
    EXPECT_EQ(s->Process(&all, &spare, then), TOLBREK5_ERROR_INVALID_CALL);
  }
  EXPECT_EQ(ended.InputSize(), 6000);
  EXPECT_EQ(refusedSize->Process(nullptr, &spare, TOLBREK5_END), TOLBREK5_ERROR_INVALID_CALL);
  EXPECT_EQ(refusedSize->KeyFileLength(300), TOLBREK5_ERROR_INPUT_TOO_SHORT);  // still its own

  // The header's version number is the library's version.
  int major = 0, minor = 0, patch = 0;
  ASSERT_EQ(std::sscanf(tolbrek5_version(), "%d.%d.%d", &major, &minor, &patch), 3);
  EXPECT_EQ(TOLBREK5_VERSION_NUMBER, major * 10000 + minor * 100 + patch);
}

}  // namespace
}  // namespace tolbrek5::test
