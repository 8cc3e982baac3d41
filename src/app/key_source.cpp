#include "app/key_source.h"

#include <algorithm>
#include <cstring>

#include "app/output_file.h"
#include "secure/secure_buffer.h"

namespace tolbrek5 {
namespace {

constexpr std::string_view kMissing = "Keyfile does not exist";
constexpr std::string_view kUnreachable = "Cannot communicate with keyfile";

// The message of a library call's outcome; empty when it succeeded.
std::string_view MessageOf(std::int64_t code) {
  if (code >= 0) return {};
  return tolbrek5_message(static_cast<int>(code));
}

}  // namespace

bool TakeTextKey(char* argument, platform::SecretLine& key) {
  const std::size_t n = std::strlen(argument);
  const bool longEnough = static_cast<std::int64_t>(n) >= MinKeyLength;
  if (longEnough) {
    key.bytes = SecureBuffer(n);
    std::memcpy(key.bytes.data(), argument, n);
    key.length = n;
  }
  SecureWipe(argument, n);
  return longEnough;
}

AskedKeyOutcome AskKey(bool confirm, bool inputIsData, platform::SecretLine& key) {
  const bool onTerminal = inputIsData || platform::InputIsTerminal();
  auto read = [inputIsData](std::string_view prompt, platform::SecretLine& line) {
    switch (inputIsData ? platform::ReadKeyLineOnTerminal(prompt, line)
                        : platform::ReadKeyLine(prompt, line)) {
      case platform::LineRead::Ok:
        return AskedKeyOutcome::Taken;
      case platform::LineRead::TooLong:
        return AskedKeyOutcome::TooLong;
      case platform::LineRead::Failed:
        return AskedKeyOutcome::ReadFailed;
      case platform::LineRead::NoTerminal:
        break;
    }
    return AskedKeyOutcome::NoTerminal;
  };
  if (const AskedKeyOutcome first = read("Key: ", key); first != AskedKeyOutcome::Taken)
    return first;
  // Nobody should type a key twice to learn that it is too short.
  if (static_cast<std::int64_t>(key.length) < MinKeyLength) {
    key.bytes.Release();
    return AskedKeyOutcome::TooShort;
  }
  if (confirm && onTerminal) {
    platform::SecretLine again;
    const AskedKeyOutcome second = read("Repeat the key: ", again);
    if (second != AskedKeyOutcome::Taken) {
      key.bytes.Release();
      return second;
    }
    if (!std::equal(key.bytes.data(), key.bytes.data() + key.length, again.bytes.data(),
                    again.bytes.data() + again.length)) {
      key.bytes.Release();
      return AskedKeyOutcome::Mismatch;
    }
  }
  return AskedKeyOutcome::Taken;
}

std::string_view SetTextKey(tolbrek5_stream* stream, platform::SecretLine& key) {
  const int code = tolbrek5_stream_set_key(stream, key.bytes.data(), key.length);
  key.bytes.Release();
  key.length = 0;
  return MessageOf(code);
}

std::string_view SetKeyFromFile(tolbrek5_stream* stream, const std::string& argument,
                                const OutputFile& output, platform::File& keyStream) {
  const std::optional<std::string> cwd = platform::CurrentDirectory();
  const std::string path = platform::CompleteKeyPath(cwd.value_or(""), argument);
  // A relative key path means nothing without a current directory.
  if (!cwd && path != argument) return kMissing;

  // The output is never read as a key: it is being replaced.
  if (output.IsNamedBy(path)) return kUnreachable;
  if (platform::KindOf(path) != platform::PathKind::Regular) return kMissing;
  keyStream = platform::OpenForReading(path);
  if (!keyStream.IsOpen()) return kUnreachable;
  const std::int64_t size = platform::SizeOf(keyStream);
  if (size < 0) return kUnreachable;

  const std::int64_t length =
      tolbrek5_stream_key_file_length(stream, static_cast<std::uint64_t>(size));
  if (length < 0) return MessageOf(length);
  SecureBuffer bytes(static_cast<std::size_t>(length));
  if (platform::Read(keyStream, bytes.data(), length) != length) {
    return MessageOf(TOLBREK5_ERROR_KEY_FILE_READ);
  }
  return MessageOf(tolbrek5_stream_set_key_file(stream, static_cast<std::uint64_t>(size),
                                                bytes.data(), static_cast<std::size_t>(length)));
}

}  // namespace tolbrek5
