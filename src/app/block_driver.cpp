// The block phase. The input is read in pieces and pushed into the stream;
// the key is given when the stream asks for it (its size check has passed
// then), which is also when the information line can say the input's size.
// Each finished block comes out whole and is written at once. A decrypted
// block that fails its check ends the run, and the output (blocks already
// written included) is thrown away; only standard output cannot take back
// what went out, so there the message and the exit status say it.
#include "app/block_driver.h"

#include <memory>
#include <optional>

#include "app/progress_line.h"
#include "secure/secure_buffer.h"

namespace tolbrek5 {
namespace {

// The size of the pieces the input is read and the output written in.
constexpr std::size_t kPiece = std::size_t{1} << 18;
// Decrypting to a terminal: how much of the first block must look like text.
constexpr std::size_t kTextProbe = 1024;

struct StreamFree {
  void operator()(tolbrek5_stream* s) const noexcept { tolbrek5_stream_free(s); }
};
using StreamPtr = std::unique_ptr<tolbrek5_stream, StreamFree>;

// The progress line, fed by the stream's progress calls.
struct Progress {
  std::optional<ProgressLine> line;  // from the information line on
  std::int32_t shown = 0;            // the last block whose counter is shown

  static int OnProgress(void* user, std::int32_t blockNo, std::int32_t blockTotal, double done) {
    auto* p = static_cast<Progress*>(user);
    if (!p->line) return 0;
    if (blockNo != p->shown) {
      p->line->ShowBlock(blockNo, blockTotal);
      p->shown = blockNo;
    }
    p->line->SetBlockDone(done);
    return 0;
  }
};

// Text: no byte below 32 but tab, line feed and carriage return.
bool LooksLikeText(const std::uint8_t* data, std::size_t n) {
  for (std::size_t i = 0; i < n && i < kTextProbe; ++i) {
    if (data[i] < 32 && data[i] != '\t' && data[i] != '\n' && data[i] != '\r') return false;
  }
  return true;
}

int Fail(std::string_view message) {
  platform::WriteLine(message);
  return ExitFailure;
}

// A name as the console shows it: each control byte (below 32, and 127) as
// "?", so that no name can move the cursor, set the title or fake a line.
std::string Shown(std::string name) {
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
  }
  return name;
}

void WriteInformationLine(const BlockRun& run, std::int64_t size) {
  const std::string shown = size >= 0 ? std::to_string(size) + " bytes" : "unknown";
  platform::WriteLine("inputfile=" + Shown(run.inName) + ", outputfile=" + Shown(run.outName) +
                      ", inputfilesize=" + shown);
  platform::WriteLine("");
}

}  // namespace

int RunBlocks(const BlockRun& run) {
  const StreamPtr owner(
      tolbrek5_stream_create(run.decrypting ? TOLBREK5_DECRYPT : TOLBREK5_ENCRYPT));
  tolbrek5_stream* const stream = owner.get();
  if (stream == nullptr) return Fail("Not enough memory");
  if (run.inputSize >= 0) {
    const int declared =
        tolbrek5_stream_set_input_size(stream, static_cast<std::uint64_t>(run.inputSize));
    if (declared != TOLBREK5_OK) return Fail(tolbrek5_message(declared));
  }
  Progress progress;
  tolbrek5_stream_set_progress(stream, &Progress::OnProgress, &progress);

  SecureBuffer inPiece(kPiece);
  SecureBuffer outPiece(kPiece);
  tolbrek5_in_buffer in{inPiece.data(), 0, 0};
  std::int64_t taken = 0;  // input bytes read so far
  bool ended = false;      // the input's end was read
  bool written = false;    // output went out
  bool readFailed = false;
  std::string_view failure;
  int code = TOLBREK5_MORE;
  for (;;) {
    tolbrek5_out_buffer out{outPiece.data(), outPiece.size(), 0};
    code = tolbrek5_stream_process(stream, &in, &out, ended ? TOLBREK5_END : TOLBREK5_CONTINUE);
    if (out.pos > 0) {
      if (run.textOnly && !written && !LooksLikeText(outPiece.data(), out.pos)) {
        failure = "Refusing to write binary data to a terminal";
        break;
      }
      written = true;
      if (!run.output->Write(outPiece.data(), static_cast<std::int64_t>(out.pos))) {
        failure = "Cannot write outputfile...";
        break;
      }
    }
    if (code == TOLBREK5_NEED_KEY) {
      const std::string_view keyFailure = run.setKey(stream);
      if (!keyFailure.empty()) return Fail(keyFailure);
      WriteInformationLine(run, tolbrek5_stream_input_size(stream));
      progress.line.emplace(run.decrypting);
      continue;
    }
    if (code != TOLBREK5_MORE) break;
    // The stream wants more input, or more room for its output.
    if (in.pos < in.size || ended) continue;
    std::int64_t want = static_cast<std::int64_t>(kPiece);
    // A file is read up to the size its check was made on, never further.
    if (run.inputSize >= 0 && run.inputSize - taken < want) want = run.inputSize - taken;
    const std::int64_t got = want > 0 ? platform::ReadSome(*run.input, inPiece.data(), want) : 0;
    if (got < 0) {
      readFailed = true;
      break;
    }
    ended = got == 0;
    taken += got;
    in = tolbrek5_in_buffer{inPiece.data(), static_cast<std::size_t>(got), 0};
  }

  if (progress.line) {
    // The input failed while a block was being read: that block's counter.
    if (readFailed || code == TOLBREK5_ERROR_INPUT_ENDED)
      progress.line->ShowBlock(progress.shown + 1, tolbrek5_stream_block_total(stream));
    progress.line->End();
  }
  if (failure.empty() && code == TOLBREK5_OK) {
    // The output becomes final before success is reported.
    if (run.output->Commit()) {
      platform::WriteLine("Everything ok");
      return ExitOk;
    }
    failure = "Cannot write outputfile...";
  }
  run.output->Remove();
  if (readFailed) failure = tolbrek5_message(TOLBREK5_ERROR_INPUT_ENDED);
  const bool checkFailed = failure.empty() && code == TOLBREK5_ERROR_DECRYPTION_FAILED;
  if (failure.empty()) failure = tolbrek5_message(code);
  platform::WriteLine(failure);
  if (checkFailed) platform::WriteLine("");
  return ExitFailure;
}

}  // namespace tolbrek5
