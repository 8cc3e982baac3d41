// The C interface: each call checks its arguments and hands over to the
// stream; nothing thrown inside ever leaves these functions.
#include <new>
#include <string_view>

#include "cipher/stream.h"
#include "tolbrek5/tolbrek5.h"

// The header's version numbers are the project's version.
#define TOLBREK5_TEXT(x) #x
#define TOLBREK5_NUMBER_TEXT(x) TOLBREK5_TEXT(x)
static_assert(std::string_view(TOLBREK5_VERSION) ==
              TOLBREK5_NUMBER_TEXT(TOLBREK5_VERSION_MAJOR) "." TOLBREK5_NUMBER_TEXT(
                  TOLBREK5_VERSION_MINOR) "." TOLBREK5_NUMBER_TEXT(TOLBREK5_VERSION_PATCH));

struct tolbrek5_stream {
  explicit tolbrek5_stream(bool decrypting) : stream(decrypting) {}
  tolbrek5::Stream stream;
};

extern "C" {

int tolbrek5_is_error(int code) { return code < 0 ? 1 : 0; }

const char* tolbrek5_message(int code) {
  switch (code) {
    case TOLBREK5_OK:
      return "Everything ok";
    case TOLBREK5_MORE:
      return "More input or output room is needed";
    case TOLBREK5_NEED_KEY:
      return "The key is needed";
    case TOLBREK5_ERROR_DECRYPTION_FAILED:
      return " Decryption failed";
    case TOLBREK5_ERROR_INPUT_TOO_SHORT:
      return "Inputfile must be 5000 (encryption) and 5004 bytes (decryption with crc32) or larger";
    case TOLBREK5_ERROR_KEY_TOO_SHORT:
      return "Your key must consist of at least 10 characters.";
    case TOLBREK5_ERROR_KEY_FILE_TOO_SHORT:
      return "Key must be consist of at least 10 bytes";
    case TOLBREK5_ERROR_KEY_FILE_READ:
      return "Keyfile read error";
    case TOLBREK5_ERROR_KEY_FILE_TOO_LONG:
      return "Keyfile too long for a streamed input";
    case TOLBREK5_ERROR_INPUT_ENDED:
      return "Cannot read inputfile...";
    case TOLBREK5_ERROR_OUT_OF_MEMORY:
      return "Not enough memory";
    case TOLBREK5_ERROR_CANCELLED:
      return "Cancelled";
    case TOLBREK5_ERROR_INVALID_CALL:
      return "Invalid call";
    default:
      return "Unknown outcome";
  }
}

const char* tolbrek5_version(void) { return TOLBREK5_VERSION; }

tolbrek5_stream* tolbrek5_stream_create(int direction) {
  if (direction != TOLBREK5_ENCRYPT && direction != TOLBREK5_DECRYPT) return nullptr;
  return new (std::nothrow) tolbrek5_stream(direction == TOLBREK5_DECRYPT);
}

void tolbrek5_stream_free(tolbrek5_stream* stream) { delete stream; }

int tolbrek5_stream_set_key(tolbrek5_stream* stream, const void* key, size_t length) {
  if (stream == nullptr) return TOLBREK5_ERROR_INVALID_CALL;
  return stream->stream.SetKey(static_cast<const std::uint8_t*>(key), length);
}

int tolbrek5_stream_set_key_file(tolbrek5_stream* stream, uint64_t file_size, const void* bytes,
                                 size_t length) {
  if (stream == nullptr) return TOLBREK5_ERROR_INVALID_CALL;
  return stream->stream.SetKeyFile(file_size, static_cast<const std::uint8_t*>(bytes), length);
}

int64_t tolbrek5_stream_key_file_length(const tolbrek5_stream* stream, uint64_t file_size) {
  if (stream == nullptr) return TOLBREK5_ERROR_INVALID_CALL;
  return stream->stream.KeyFileLength(file_size);
}

int tolbrek5_stream_set_input_size(tolbrek5_stream* stream, uint64_t size) {
  if (stream == nullptr) return TOLBREK5_ERROR_INVALID_CALL;
  return stream->stream.SetInputSize(size);
}

int64_t tolbrek5_stream_input_size(const tolbrek5_stream* stream) {
  return stream == nullptr ? -1 : stream->stream.InputSize();
}

int32_t tolbrek5_stream_block_total(const tolbrek5_stream* stream) {
  return stream == nullptr ? 0 : stream->stream.BlockTotal();
}

int tolbrek5_stream_set_progress(tolbrek5_stream* stream, tolbrek5_progress_fn fn, void* user) {
  if (stream == nullptr) return TOLBREK5_ERROR_INVALID_CALL;
  return stream->stream.SetProgress(fn, user);
}

int tolbrek5_stream_process(tolbrek5_stream* stream, tolbrek5_in_buffer* in,
                            tolbrek5_out_buffer* out, int directive) {
  if (stream == nullptr) return TOLBREK5_ERROR_INVALID_CALL;
  return stream->stream.Process(in, out, directive);
}

}  // extern "C"
