'use strict';
// The worker: runs the cipher (the library compiled to WebAssembly) over a file read by slices,
// and hands the page its progress and, when all went well, the result as a Blob. The page
// starts it from a blob: URL that holds the module's glue (createTolbrek5) and this script, and
// hands it the compiled module first: it loads nothing from the network.
/* global createTolbrek5 */

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

let ready = null;
let memory = null;          // the module's WebAssembly.Memory
let queue = Promise.resolve();

self.onmessage = (event) => {
  if (event.data.wasm) {
    ready = instantiate(event.data.wasm);
    return;
  }
  // Whatever a run did not expect leaves the module in an unknown state: the page replaces it.
  queue = queue.then(() => run(event.data)).catch((error) => {
    const trap = error instanceof WebAssembly.RuntimeError;
    const what = trap ? 'The cipher stopped on an internal error: ' : 'The page failed: ';
    self.postMessage({ broken: what + error.message });
  });
};

// The module, from the code the page compiled. Its memory is read through views made on the
// WebAssembly.Memory itself (the module object of newer Emscripten releases no longer carries
// HEAPU8 and HEAPU32): the one memory among the module's exports, whose names are minified, or
// among its imports when it is built to import it.
function instantiate(compiled) {
  return new Promise((resolve, reject) => {
    const instantiateWasm = (imports, receive) => {
      WebAssembly.instantiate(compiled, imports).then((instance) => {
        memory = [instance.exports, ...Object.values(imports)].flatMap(Object.values)
          .find((value) => value instanceof WebAssembly.Memory);
        receive(instance, compiled);
      }, reject);
      return {};
    };
    createTolbrek5({ instantiateWasm }).then(resolve, reject);
  });
}

// Views on the module's memory, made afresh at each use: growing the memory replaces its buffer.
const heap = () => new Uint8Array(memory.buffer);
const words = (at) => new Uint32Array(memory.buffer, at, 3);  // {pointer, size, pos}

// Bytes in the module's memory, each wiped when it is freed; what is left is freed at the end of
// a run.
class Buffers {
  constructor(module) {
    this.module = module;
    this.held = new Map();  // address: size
  }
  take(size) {
    const at = this.module._malloc(Math.max(size, 1));
    if (at === 0) throw new RangeError('out of memory');
    this.held.set(at, size);
    return at;
  }
  copyIn(bytes) {
    const at = this.take(bytes.length);
    heap().set(bytes, at);
    return at;
  }
  drop(at) {
    heap().fill(0, at, at + this.held.get(at));
    this.module._free(at);
    this.held.delete(at);
  }
  release() {
    for (const at of this.held.keys()) this.drop(at);
  }
}

// Hands the page the outcome in the program's words, by the library's code.
function report(module, code, result) {
  const status = module.UTF8ToString(module._tolbrek5_message(code));
  self.postMessage({ code, status, ...result });
}

async function run(job) {
  const module = await ready;
  const stream = module._tolbrek5_stream_create(job.decrypting ? DECRYPT : ENCRYPT);
  const buffers = new Buffers(module);
  let progress = 0;
  let unexpected = false;
  try {
    if (stream === 0) return report(module, OUT_OF_MEMORY);
    const code = await start(module, stream, buffers, job);
    if (code !== OK) return report(module, code);
    let last = 0;
    progress = module.addFunction((user, block, total, done) => {
      const now = Date.now();
      if (done === 0 || done === 1 || now - last >= PROGRESS_GAP) {
        last = now;
        self.postMessage({ progress: { block, total, done } });
      }
      return 0;
    }, 'iiiid');
    module._tolbrek5_stream_set_progress(stream, progress, 0);
    const parts = [];
    const outcome = await pushInput(module, stream, buffers, job.input, parts);
    if (outcome !== OK) return report(module, outcome);
    // Typed, so that the browser keeps the name as it is (it adds an extension of its own to
    // the name of an untyped download whose content looks like text, for instance). A Blob made
    // of Blobs refers to their bytes: the result is not copied again.
    const result = new Blob(parts, { type: 'application/octet-stream' });
    return report(module, OK, { result, name: job.name });
  } catch (error) {
    // Memory short (in the module or for a slice of the file), or the file gone or changed
    // since it was chosen; anything else is for the caller (the module is not called again).
    if (error instanceof RangeError) return report(module, OUT_OF_MEMORY);
    if (error instanceof DOMException) return report(module, INPUT_ENDED);
    unexpected = true;
    throw error;
  } finally {
    if (!unexpected) {
      module._tolbrek5_stream_free(stream);
      buffers.release();
      if (progress) module.removeFunction(progress);
    }
  }
}

// The checks of the command line, in its order: a typed key, the input's size, a key file.
// Returns OK or the code of the first check that fails.
async function start(module, stream, buffers, job) {
  if (job.keyBytes) {
    const key = buffers.copyIn(job.keyBytes);
    job.keyBytes.fill(0);
    const code = module._tolbrek5_stream_set_key(stream, key, job.keyBytes.length);
    buffers.drop(key);  // the stream holds its own copy
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
  const code = module._tolbrek5_stream_set_key_file(stream, BigInt(job.keyFile.size), key,
    bytes.length);
  buffers.drop(key);  // the stream holds its own copy
  return code;
}

// Pushes the file through the stream slice by slice and collects the output as Blob parts, each
// copied once, from the module's memory into the Blob. Returns the stream's last code.
async function pushInput(module, stream, buffers, file, parts) {
  const chunk = buffers.take(SLICE);
  const out = buffers.take(SLICE);
  const inBuffer = buffers.take(12);  // {src, size, pos}: three 32-bit words
  const outBuffer = buffers.take(12);
  let code = MORE;
  for (let offset = 0; code === MORE;) {
    const bytes = new Uint8Array(await file.slice(offset, offset + SLICE).arrayBuffer());
    offset += bytes.length;
    const directive = offset >= file.size ? END : CONTINUE;
    if (bytes.length === 0 && directive === CONTINUE) return INPUT_ENDED;
    heap().set(bytes, chunk);
    bytes.fill(0);
    words(inBuffer).set([chunk, bytes.length, 0]);
    do {
      words(outBuffer).set([out, SLICE, 0]);
      code = module._tolbrek5_stream_process(stream, inBuffer, outBuffer, directive);
      const given = words(outBuffer)[2];
      if (given > 0) parts.push(new Blob([heap().subarray(out, out + given)]));
      const [, size, pos] = words(inBuffer);
      if (code !== MORE || (pos >= size && directive !== END)) break;
    } while (true);
  }
  return code;
}
