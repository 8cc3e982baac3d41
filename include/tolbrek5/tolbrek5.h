/*
 * tolbrek5: the cipher of the tolbrek5 file format as a library.
 *
 * One header, usable from C, C++ and any language with a C foreign-function
 * interface (and from WebAssembly). Nothing here throws or aborts: every call
 * reports its outcome as an int code, and checks its arguments at run time
 * (a call that breaks the rules gets TOLBREK5_ERROR_INVALID_CALL). Any number
 * of streams may run at once on different threads (one thread at a time per
 * stream). They share one thing only, on POSIX systems: a count, kept
 * atomically, of the memory their buffers hold locked out of swap, so that
 * all streams of the process together keep within its limit on locked
 * memory (RLIMIT_MEMLOCK), also where the system would allow more.
 *
 * A stream turns a whole plaintext into its encrypted file, or an encrypted
 * file back into its plaintext, byte for byte as the tolbrek5 program does:
 *
 *     tolbrek5_stream *s = tolbrek5_stream_create(TOLBREK5_DECRYPT);
 *     tolbrek5_stream_set_key(s, key, key_length);
 *     int code = TOLBREK5_MORE;
 *     while (code == TOLBREK5_MORE) {
 *       size_t n = fread(chunk, 1, sizeof chunk, stdin);
 *       tolbrek5_in_buffer in = {chunk, n, 0};
 *       int directive = n < sizeof chunk ? TOLBREK5_END : TOLBREK5_CONTINUE;
 *       do {   // until the chunk is taken (and, at the end, all is done)
 *         tolbrek5_out_buffer out = {room, sizeof room, 0};
 *         code = tolbrek5_stream_process(s, &in, &out, directive);
 *         fwrite(room, 1, out.pos, stdout);
 *       } while (code == TOLBREK5_MORE && (in.pos < in.size || directive == TOLBREK5_END));
 *     }
 *     puts(tolbrek5_message(code));   // "Everything ok", or what went wrong
 *     tolbrek5_stream_free(s);
 *
 * (examples/decrypt.c is a complete program.)
 *
 * Blocks. The format cuts its input into blocks of 15000000 plaintext bytes
 * (the last block takes the rest, up to 29999999 bytes) and every block
 * depends on all blocks before it. A stream therefore holds one whole block
 * before it can work on it, and hands out a block's result only when the
 * whole block is done (and, decrypting, has passed its check). Working on a
 * block takes about a second per megabyte; tolbrek5_stream_process returns
 * only after the blocks it could complete.
 *
 * Sizes. When the input's size is known (a regular file), declare it with
 * tolbrek5_stream_set_input_size. Otherwise the stream reads ahead: before
 * each block it holds input until more than two blocks' worth is there or
 * the input has ended, which is all the block layout needs, so a stream of
 * unknown size gives exactly the bytes that the same input of known size
 * gives.
 *
 * Memory. A stream needs at most 160 MiB besides its key (the block buffers
 * are allocated at the first block; a small input touches only a small part
 * of them). Every byte that held key or data material is wiped when the
 * stream is freed, whether it completed, failed or was cancelled; what a
 * block's work holds for a while is wiped when the work ends or is cancelled.
 *
 * Not authentication. "Everything ok" (TOLBREK5_OK when decrypting) means
 * that every block passed its check. The check value is a position-weighted
 * sum of the block's bytes: it catches a wrong key and most accidental
 * damage, but not a forgery, which anyone can compute. Authenticate the
 * encrypted file by other means where an attacker may have changed it.
 */
#ifndef TOLBREK5_TOLBREK5_H
#define TOLBREK5_TOLBREK5_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(TOLBREK5_SHARED_LIBRARY)
#if defined(TOLBREK5_BUILDING_LIBRARY)
#define TOLBREK5_API __declspec(dllexport)
#else
#define TOLBREK5_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TOLBREK5_API __attribute__((visibility("default")))
#else
#define TOLBREK5_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version, and one number for comparisons: major * 10000 +
 * minor * 100 + patch (50000 for 5.0.0). */
#define TOLBREK5_VERSION_MAJOR 5
#define TOLBREK5_VERSION_MINOR 0
#define TOLBREK5_VERSION_PATCH 0
#define TOLBREK5_VERSION_NUMBER \
  (TOLBREK5_VERSION_MAJOR * 10000 + TOLBREK5_VERSION_MINOR * 100 + TOLBREK5_VERSION_PATCH)

/* ---- Outcomes ----
 *
 * Every call that can fail returns one of these codes. Codes of 0 and above
 * are not errors; tolbrek5_is_error tells the two kinds apart. The values
 * are stable: a value never changes its meaning, and new codes come with new
 * values (so a caller may store them or pass them across a language
 * boundary as plain numbers). After an error
 * from tolbrek5_stream_process (or from a setter that ends the stream, as
 * marked below) the only valid call on that stream is tolbrek5_stream_free. */
enum {
  TOLBREK5_OK = 0,       /* "Everything ok": the stream is complete, all output handed out */
  TOLBREK5_MORE = 1,     /* not done: give more input, or drain the output buffer, and call again */
  TOLBREK5_NEED_KEY = 2, /* no key yet and the first block could begin; set the key, call again */

  TOLBREK5_ERROR_DECRYPTION_FAILED = -1,  /* " Decryption failed": wrong key or damaged input */
  TOLBREK5_ERROR_INPUT_TOO_SHORT = -2,    /* fewer than 5000 plaintext / 5004 encrypted bytes */
  TOLBREK5_ERROR_KEY_TOO_SHORT = -3,      /* a key of fewer than 10 bytes */
  TOLBREK5_ERROR_KEY_FILE_TOO_SHORT = -4, /* a key file of fewer than 10 bytes */
  TOLBREK5_ERROR_KEY_FILE_READ = -5,      /* fewer key-file bytes given than the key needs */
  TOLBREK5_ERROR_KEY_FILE_TOO_LONG = -6,  /* key file over 30000000 bytes, input of unknown size */
  TOLBREK5_ERROR_INPUT_ENDED = -7,        /* the input ended before its declared size */
  TOLBREK5_ERROR_OUT_OF_MEMORY = -8,      /* the stream's buffers could not be allocated */
  TOLBREK5_ERROR_CANCELLED = -9,          /* the progress callback asked to stop */
  TOLBREK5_ERROR_INVALID_CALL = -10       /* a caller's error: see each call's preconditions */
};

/* Nonzero when `code` is an error (below 0). */
TOLBREK5_API int tolbrek5_is_error(int code);

/* The text the tolbrek5 program prints for `code`: "Everything ok",
 * " Decryption failed" (with its leading blank), "Inputfile must be 5000
 * (encryption) and 5004 bytes (decryption with crc32) or larger", ... A
 * static string, never NULL (an unknown code gives "Unknown outcome"). */
TOLBREK5_API const char *tolbrek5_message(int code);

/* The version of the library in use, "5.0.0" for instance: a static string.
 * (The macros above give the version of the header a caller was built with.) */
TOLBREK5_API const char *tolbrek5_version(void);

/* ---- Streams ---- */

typedef struct tolbrek5_stream tolbrek5_stream;

#define TOLBREK5_ENCRYPT 0
#define TOLBREK5_DECRYPT 1

/* A new stream in the direction TOLBREK5_ENCRYPT or TOLBREK5_DECRYPT. NULL
 * when the direction is neither or memory is short. Cheap: the block
 * buffers come at the first block. */
TOLBREK5_API tolbrek5_stream *tolbrek5_stream_create(int direction);

/* Wipes every buffer that held key or data material and frees the stream.
 * NULL is accepted and ignored. */
TOLBREK5_API void tolbrek5_stream_free(tolbrek5_stream *stream);

/* The key as bytes: a copy of the first min(length, 2147483647) bytes is
 * taken (the caller may wipe its own copy at once). TOLBREK5_ERROR_KEY_TOO_SHORT
 * for fewer than 10 bytes (the stream is unchanged and a key may still be
 * set). TOLBREK5_ERROR_OUT_OF_MEMORY when the key's storage cannot be had
 * (it is set aside for the longest key the stream may grow, about 30 MB).
 * TOLBREK5_ERROR_INVALID_CALL when `key` is NULL with a nonzero
 * length, a key was set before, or the first block has begun. */
TOLBREK5_API int tolbrek5_stream_set_key(tolbrek5_stream *stream, const void *key, size_t length);

/* The key as a key file of `file_size` bytes whose first `length` bytes are
 * at `bytes`; as with tolbrek5_stream_set_key, the bytes are copied, so the
 * caller may wipe and free its own copy at once. The key is the key file's
 * first min(file_size, plaintext size, 2147483647) bytes; decrypting, the
 * plaintext size is the input's size less 4 bytes per block, so a key file
 * longer than the plaintext works both ways. Giving the first
 * min(file_size, 2147483647) bytes always suffices;
 * tolbrek5_stream_key_file_length tells how many are needed once
 * the input's size is known. The rule is applied when the first block
 * begins:
 *   - fewer bytes given than the key needs: TOLBREK5_ERROR_KEY_FILE_READ;
 *   - an input of unknown size that is still going after the read-ahead
 *     (so its plaintext is longer than 30000000 bytes) with a key file
 *     longer than 30000000 bytes: TOLBREK5_ERROR_KEY_FILE_TOO_LONG.
 * Returns TOLBREK5_ERROR_KEY_FILE_TOO_SHORT for a file_size below 10 (the
 * stream is unchanged), TOLBREK5_ERROR_OUT_OF_MEMORY and
 * TOLBREK5_ERROR_INVALID_CALL as tolbrek5_stream_set_key. */
TOLBREK5_API int tolbrek5_stream_set_key_file(tolbrek5_stream *stream, uint64_t file_size,
                                              const void *bytes, size_t length);

/* How many bytes of a key file of `file_size` bytes this stream will use as
 * its key, or a negative code: TOLBREK5_ERROR_KEY_FILE_TOO_SHORT,
 * TOLBREK5_ERROR_KEY_FILE_TOO_LONG, or the stream's own error once it has
 * ended with one (after a refused input size, for instance);
 * TOLBREK5_ERROR_INVALID_CALL for a NULL stream. While the input's size is
 * still unknown (no size declared, the first read-ahead not complete) it
 * returns min(file_size, 2147483647), which always suffices. */
TOLBREK5_API int64_t tolbrek5_stream_key_file_length(const tolbrek5_stream *stream,
                                                     uint64_t file_size);

/* Declares the input's whole size in bytes (the plaintext's when encrypting,
 * the encrypted file's when decrypting). Optional; once at most, before the
 * first call of tolbrek5_stream_process (later, or a second time, it is
 * refused with TOLBREK5_ERROR_INVALID_CALL and the stream is unchanged).
 * With it, no read-ahead is needed; input that ends before this
 * size gives TOLBREK5_ERROR_INPUT_ENDED, input beyond it
 * TOLBREK5_ERROR_INVALID_CALL once the stream reaches it (blocks before it
 * may have been handed out). Returns TOLBREK5_ERROR_INPUT_TOO_SHORT at
 * once for a size below 5000 (encrypting) or 5004 (decrypting); the stream
 * is then ended. */
TOLBREK5_API int tolbrek5_stream_set_input_size(tolbrek5_stream *stream, uint64_t size);

/* The input's size: declared, or found by the read-ahead once the input
 * ended within it; -1 while it is not known, and for a NULL stream. */
TOLBREK5_API int64_t tolbrek5_stream_input_size(const tolbrek5_stream *stream);

/* The number of blocks the input has, or 0 while it is not known; at most
 * 2147483647 (an input of over 32 petabytes gives that); 0 for a NULL
 * stream. */
TOLBREK5_API int32_t tolbrek5_stream_block_total(const tolbrek5_stream *stream);

/* Progress, called on the thread that runs tolbrek5_stream_process: when a
 * block begins (block_done 0), every few tens of milliseconds while it is
 * worked on, and when it ends (block_done 1). block_no counts from 1;
 * block_total is 0 while the total is not known (only the last block is
 * sure to know it). block_done is the part of the block's work done, 0 to
 * 1. Return 0 to go on; anything else cancels the stream: the current call
 * returns TOLBREK5_ERROR_CANCELLED soon after. From inside the callback, the
 * queries on the same stream answer as at any other time; tolbrek5_stream_process
 * and the setters are refused with TOLBREK5_ERROR_INVALID_CALL, and the
 * stream's work goes on unharmed. Freeing the stream from inside its own
 * callback is not allowed (return nonzero, and free it once the call returned). */
typedef int (*tolbrek5_progress_fn)(void *user, int32_t block_no, int32_t block_total,
                                    double block_done);

/* Sets (or, with NULL, removes) the progress callback; `user` is handed to
 * it unchanged. TOLBREK5_ERROR_INVALID_CALL for a NULL stream, or from
 * inside the stream's own callback. */
TOLBREK5_API int tolbrek5_stream_set_progress(tolbrek5_stream *stream, tolbrek5_progress_fn fn,
                                              void *user);

/* Caller-owned buffers. The stream reads src[pos, size) and moves pos on by
 * what it took; it writes into dst[pos, size) and moves pos on by what it
 * gave. A buffer must have pos <= size <= PTRDIFF_MAX, and src or dst must
 * not be NULL when size is above 0. */
typedef struct tolbrek5_in_buffer {
  const void *src;
  size_t size;
  size_t pos;
} tolbrek5_in_buffer;

typedef struct tolbrek5_out_buffer {
  void *dst;
  size_t size;
  size_t pos;
} tolbrek5_out_buffer;

#define TOLBREK5_CONTINUE 0 /* more input may follow */
#define TOLBREK5_END 1      /* the input ends with this buffer's bytes */

/* Takes input, works on every block that can be completed, and hands out
 * results:
 *   - input is taken as long as the stream has room for it (up to a block
 *     and its read-ahead; all of it, as a rule, until a block is complete);
 *   - a block is worked on as soon as it is complete and its layout known;
 *     this is where the time goes;
 *   - a finished block's result is copied into `out` as room allows; the
 *     rest waits for the next call.
 * Returns TOLBREK5_OK once the input has ended, every block is done and all
 * output is handed out. The input has ended when a call with TOLBREK5_END
 * took all of its input or, with a declared size, as soon as that many bytes
 * were taken (TOLBREK5_END is then not needed); TOLBREK5_MORE when the call can go
 * no further (all input taken, or `out` full); TOLBREK5_NEED_KEY when no key
 * is set and the first block could begin (the input's size is then known,
 * or known to be over two blocks; set the key and call again); otherwise an
 * error, after which the stream can only be freed. Decrypting, blocks
 * handed out before an error stay handed out: a caller who must not keep a
 * partial result discards what it wrote when the outcome is an error.
 * With TOLBREK5_END, `in` must hold all the rest of the input, and later
 * calls must pass TOLBREK5_END too; once a call with TOLBREK5_END took all of
 * its input, later calls give no more (they only drain the output), and the
 * input's size never changes after the stream reported it. `in` may be NULL
 * when there is no input to give. The stream checks every call, reads and
 * writes nothing for a refused one, and ends with
 * TOLBREK5_ERROR_INVALID_CALL for: a NULL out, a buffer that breaks the
 * rules above, a directive other than the two,
 * TOLBREK5_CONTINUE after TOLBREK5_END, input after a call with TOLBREK5_END
 * took all of its input, a call after an error (the stream keeps its first
 * error). A NULL stream, or a call
 * from inside the stream's progress callback, is refused with the same code
 * and leaves the stream as it was. Input beyond a declared size ends the
 * stream with that code too, once the stream reaches it. */
TOLBREK5_API int tolbrek5_stream_process(tolbrek5_stream *stream, tolbrek5_in_buffer *in,
                                         tolbrek5_out_buffer *out, int directive);

#ifdef __cplusplus
}
#endif

#endif /* TOLBREK5_TOLBREK5_H */
