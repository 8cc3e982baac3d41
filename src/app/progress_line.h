// The progress line of the block phase: "Encrypting block " or "Decrypting
// block ", then a counter such as "2/3" that every block overwrites in place
// (written, then stepped back over with one backspace per character, each
// piece flushed).
//
// On a terminal a block can take tens of seconds, so there the line also
// shows how far the current block's work has come, as a percentage after the
// counter, redrawn a few times a second by a thread of its own and erased
// again before the next counter: the line ends exactly as the counter alone
// would leave it. Anywhere else the bytes written are the counter's alone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace tolbrek5 {

class ProgressLine {
 public:
  explicit ProgressLine(bool decrypting);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Shows the counter of a block that is about to be processed; a
  // `blockTotal` of 0 (not known yet) shows as "?".
  void ShowBlock(std::int32_t blockNo, std::int32_t blockTotal);
  // How far the current block's work has come, 0 to 1; shown by the redraw
  // thread. Callable from any thread.
  void SetBlockDone(double done) noexcept { done_.store(done, std::memory_order_relaxed); }

  // Ends the line; later messages start on a line of their own.
  void End();

 private:
  void RedrawLoop();
  // With mutex_ held: the percentage, drawn after the counter, or erased.
  void DrawPercent(int percent);
  void ErasePercent();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread redraw_;
  bool stopping_ = false;
  bool open_ = true;
  std::string counter_;
  std::size_t percentWidth_ = 0;  // characters of " NN%" now on screen
  int percentShown_ = -1;
  std::atomic<double> done_{0};
};

}  // namespace tolbrek5
