#include "app/progress_line.h"

#include <chrono>
#include <system_error>

#include "app/platform.h"

namespace tolbrek5 {
namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(250);

void Backspaces(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    platform::WriteText("\b");
    platform::Flush();
  }
}

}  // namespace

ProgressLine::ProgressLine(bool decrypting) {
  platform::WriteText(decrypting ? "Decrypting block " : "Encrypting block ");
  platform::Flush();
  platform::NoteOpenLine(true);
  if (!platform::ConsoleIsTerminal()) return;
  try {
    redraw_ = platform::StartQuietThread([this] { RedrawLoop(); });
  } catch (const std::system_error&) {
    // No live percentage then; the counter alone still works.
  }
}

ProgressLine::~ProgressLine() { End(); }

void ProgressLine::ShowBlock(std::int32_t blockNo, std::int32_t blockTotal) {
  std::lock_guard lock(mutex_);
  ErasePercent();
  counter_ = std::to_string(blockNo) + "/" + (blockTotal > 0 ? std::to_string(blockTotal) : "?");
  platform::WriteText(counter_);
  platform::Flush();
  Backspaces(counter_.size());
  done_.store(0, std::memory_order_relaxed);
  percentShown_ = -1;
}

void ProgressLine::End() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (redraw_.joinable()) redraw_.join();
  std::lock_guard lock(mutex_);
  if (!open_) return;
  ErasePercent();
  platform::WriteLineEnd();
  platform::Flush();
  platform::NoteOpenLine(false);
  open_ = false;
}

void ProgressLine::RedrawLoop() {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, kRedrawEvery, [this] { return stopping_; })) {
    if (counter_.empty()) continue;
    std::int64_t percent = static_cast<std::int64_t>(done_.load(std::memory_order_relaxed) * 100);
    if (percent < 0) percent = 0;
    if (percent > 99) percent = 99;
    if (percent != percentShown_) DrawPercent(static_cast<int>(percent));
  }
}

void ProgressLine::DrawPercent(int percent) {
  const std::string text = counter_ + " " + std::to_string(percent) + "%";
  platform::WriteText(text);
  platform::Flush();
  Backspaces(text.size());
  if (text.size() - counter_.size() > percentWidth_) percentWidth_ = text.size() - counter_.size();
  percentShown_ = percent;
}

void ProgressLine::ErasePercent() {
  if (percentWidth_ == 0) return;
  platform::WriteText(counter_ + std::string(percentWidth_, ' '));
  platform::Flush();
  Backspaces(counter_.size() + percentWidth_);
  percentWidth_ = 0;
}

}  // namespace tolbrek5
