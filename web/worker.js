'use strict';
// The worker: runs the cipher (the library compiled to WebAssembly) over a file read by slices,
// and hands the page its progress and, when all went well, the result as a Blob. It is loaded
// by a small script from a blob: URL, which sets tolbrek5Base to the page's directory.
/* global createTolbrek5, tolbrek5Base */

importScripts(tolbrek5Base + 'tolbrek5_web.js');

const ENCRYPT = 0;
const DECRYPT = 1;
const OK = 0;
const MORE = 1;
const KEY_FILE_READ = -5;
const INPUT_ENDED = -7;
const OUT_OF_MEMORY = -8;
const CONTINUE = 0;
const END = 1;
const SLICE = 4 << 20;      // bytes read from the file at a time
const PROGRESS_GAP = 50;    // milliseconds between progress reports within a block

const ready = createTolbrek5({ locateFile: (name) => tolbrek5Base + name });
let queue = Promise.resolve();

self.onmessage = (event) => {
  queue = queue.then(() => run(event.data));
};

// Bytes in the module's memory, wiped and freed together at the end of a run.
class Buffers {
  constructor(module) {
    this.module = module;
    this.held = [];
  }
  take(size) {
    const at = this.module._malloc(Math.max(size, 1));
    if (at === 0) throw new RangeError('out of memory');
    this.held.push([at, size]);
    return at;
  }
  copyIn(bytes) {
    const at = this.take(bytes.length);
    this.module.HEAPU8.set(bytes, at);
    return at;
  }
  release() {
    for (const [at, size] of this.held) {
      this.module.HEAPU8.fill(0, at, at + size);
      this.module._free(at);
    }
    this.held = [];
  }
}

async function run(job) {
  let module;
  try {
    module = await ready;
  } catch (error) {
    self.postMessage({ status: 'The cipher could not be loaded: ' + error.message });
    return;
  }
  const stream = module._tolbrek5_stream_create(job.decrypting ? DECRYPT : ENCRYPT);
  const buffers = new Buffers(module);
  let report = 0;
  try {
    if (stream === 0) {
      self.postMessage({ status: module.UTF8ToString(module._tolbrek5_message(OUT_OF_MEMORY)) });
      return;
    }
    const code = await start(module, stream, buffers, job);
    if (code !== OK) {
      self.postMessage({ status: module.UTF8ToString(module._tolbrek5_message(code)) });
      return;
    }
    let last = 0;
    report = module.addFunction((user, block, total, done) => {
      const now = Date.now();
      if (done === 0 || done === 1 || now - last >= PROGRESS_GAP) {
        last = now;
        self.postMessage({ progress: { block, total, done } });
      }
      return 0;
    }, 'iiiid');
    module._tolbrek5_stream_set_progress(stream, report, 0);
    const parts = [];
    const outcome = await pushInput(module, stream, buffers, job.input, parts);
    const status = module.UTF8ToString(module._tolbrek5_message(outcome));
    if (outcome === OK) {
      // Typed, so that the browser keeps the name as it is (it adds an extension of its own to
      // the name of an untyped download whose content looks like text, for instance).
      const result = new Blob(parts, { type: 'application/octet-stream' });
      self.postMessage({ status, result, name: job.name });
    } else {
      self.postMessage({ status });
    }
  } catch (error) {
    // Memory short in the module, or the file gone or changed since it was chosen.
    const code = error instanceof RangeError ? OUT_OF_MEMORY : INPUT_ENDED;
    self.postMessage({ status: module.UTF8ToString(module._tolbrek5_message(code)) });
  } finally {
    module._tolbrek5_stream_free(stream);
    buffers.release();
    if (report) module.removeFunction(report);
  }
}

// The checks of the command line, in its order: a typed key, the input's size, a key file.
// Returns OK or the code of the first check that fails.
async function start(module, stream, buffers, job) {
  if (job.keyBytes) {
    const key = buffers.copyIn(job.keyBytes);
    job.keyBytes.fill(0);
    const code = module._tolbrek5_stream_set_key(stream, key, job.keyBytes.length);
    if (code !== OK) return code;
  }
  const sized = module._tolbrek5_stream_set_input_size(stream, BigInt(job.input.size));
  if (sized !== OK || !job.keyFile) return sized;
  const needed = module._tolbrek5_stream_key_file_length(stream, BigInt(job.keyFile.size));
  if (needed < 0n) return Number(needed);
  let bytes;
  try {
    bytes = new Uint8Array(await job.keyFile.slice(0, Number(needed)).arrayBuffer());
  } catch {
    return KEY_FILE_READ;  // gone or changed since it was chosen
  }
  const key = buffers.copyIn(bytes);
  bytes.fill(0);
  return module._tolbrek5_stream_set_key_file(stream, BigInt(job.keyFile.size), key,
    bytes.length);
}

// Pushes the file through the stream slice by slice and collects the output as Blob parts.
// Returns the stream's last code.
async function pushInput(module, stream, buffers, file, parts) {
  const chunk = buffers.take(SLICE);
  const out = buffers.take(SLICE);
  const inBuffer = buffers.take(12);  // {src, size, pos}: three 32-bit words
  const outBuffer = buffers.take(12);
  const words = (at) => module.HEAPU32.subarray(at >> 2, (at >> 2) + 3);
  let code = MORE;
  for (let offset = 0; code === MORE;) {
    const bytes = new Uint8Array(await file.slice(offset, offset + SLICE).arrayBuffer());
    offset += bytes.length;
    const directive = offset >= file.size ? END : CONTINUE;
    if (bytes.length === 0 && directive === CONTINUE) return INPUT_ENDED;
    module.HEAPU8.set(bytes, chunk);
    bytes.fill(0);
    words(inBuffer).set([chunk, bytes.length, 0]);
    do {
      words(outBuffer).set([out, SLICE, 0]);
      code = module._tolbrek5_stream_process(stream, inBuffer, outBuffer, directive);
      const given = words(outBuffer)[2];
      if (given > 0) parts.push(new Blob([module.HEAPU8.slice(out, out + given)]));
      const [, size, pos] = words(inBuffer);
      if (code !== MORE || (pos >= size && directive !== END)) break;
    } while (true);
  }
  return code;
}
