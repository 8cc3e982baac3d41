/* decrypt: decrypts standard input to standard output with libtolbrek5.
 *
 *     decrypt 'the text key' < file.enc > file
 *
 * Exits 0 when the whole input decrypted and passed its checks. Otherwise it
 * prints why on standard error and exits 1; blocks written before a failure
 * stay written, so throw the output away then. */
#include <stdio.h>
#include <string.h>
#include <tolbrek5/tolbrek5.h>

static unsigned char chunk[1 << 16]; /* input read from standard input */
static unsigned char room[1 << 16];  /* output handed out by the stream */
#define WRITE_FAILED 1000            /* not a tolbrek5 code */

/* Pushes all of standard input through the stream and writes out what it
 * hands back. Returns the stream's last code, or WRITE_FAILED. */
static int decrypt(tolbrek5_stream* stream) {
  int code = TOLBREK5_MORE;
  while (code == TOLBREK5_MORE) {
    tolbrek5_in_buffer in = {chunk, 0, 0};
    in.size = fread(chunk, 1, sizeof chunk, stdin);
    if (ferror(stdin)) return TOLBREK5_ERROR_INPUT_ENDED;
    int directive = in.size < sizeof chunk ? TOLBREK5_END : TOLBREK5_CONTINUE;
    /* Until the chunk is taken; after the end, until the stream is done. */
    do {
      tolbrek5_out_buffer out = {room, sizeof room, 0};
      code = tolbrek5_stream_process(stream, &in, &out, directive);
      if (fwrite(room, 1, out.pos, stdout) != out.pos) return WRITE_FAILED;
    } while (code == TOLBREK5_MORE && (in.pos < in.size || directive == TOLBREK5_END));
  }
  return code;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fputs("usage: decrypt KEY < INPUT > OUTPUT\n", stderr);
    return 2;
  }
  tolbrek5_stream* stream = tolbrek5_stream_create(TOLBREK5_DECRYPT);
  if (stream == NULL) {
    fprintf(stderr, "%s\n", tolbrek5_message(TOLBREK5_ERROR_OUT_OF_MEMORY));
    return 1;
  }
  int code = tolbrek5_stream_set_key(stream, argv[1], strlen(argv[1]));
  if (!tolbrek5_is_error(code)) code = decrypt(stream);
  tolbrek5_stream_free(stream);
  if (code == WRITE_FAILED || fflush(stdout) != 0) {
    perror("decrypt: writing standard output");
    return 1;
  }
  if (code != TOLBREK5_OK) {
    fprintf(stderr, "%s\n", tolbrek5_message(code));
    return 1;
  }
  return 0;
}
