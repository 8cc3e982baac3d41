'use strict';
// The page: reads the controls, hands the work to a worker and shows its progress and outcome.
// The worker holds the file, the key and the cipher; Cancel ends it and starts a fresh one.

const $ = (id) => document.getElementById(id);
const BLOCK = 15000000;  // plaintext bytes in every block but the last
let workerUrl = null;    // the worker's script with the module's glue, fetched once
let wasm = null;         // the compiled module, handed to every new worker
let worker = null;
let busy = false;
let job = null;          // the run under way: its direction, input size and start
let resultUrl = null;

// What each outcome means and what to do, in one plain sentence: by the library's code for the
// program's messages.
const ADVICE = {
  encrypted: 'Your file is encrypted: download it below, and keep the key, without which it ' +
    'cannot be decrypted.',
  decrypted: 'Your file is decrypted and passed its check: download it below.',
  [-1]: 'Either the key is not the one this file was encrypted with, or the file is damaged or ' +
    'incomplete: check the key (or key file) and that you chose the whole encrypted file.',
  [-2]: 'This file is too small: only files of at least 5000 bytes can be encrypted, and an ' +
    'encrypted file is never smaller than 5004 bytes.',
  [-3]: 'The typed key is too short: type at least 10 bytes (English letters, digits and ' +
    'signs such as ! or - are one byte each, other characters 2 to 4).',
  [-4]: 'The key file is too small: choose a key file of at least 10 bytes.',
  [-5]: 'The key file could not be read, perhaps moved or changed since you chose it: choose ' +
    'it again.',
  [-6]: 'The key file is too long for this file: choose one of at most 30000000 bytes.',
  [-7]: 'The file could not be read to its end, perhaps moved, changed or deleted since you ' +
    'chose it: choose it again.',
  [-8]: 'The browser could not give the page enough memory: close other tabs and try again, or ' +
    'use the tolbrek5 program.',
  [-10]: 'This is a fault of the page, not of your file or key: please report it.',
  broken: 'Nothing was written and the page has restarted its cipher: try again, and if this ' +
    'happens again, please report it.',
  load: 'Reload the page while connected: once it has loaded, it works without a connection.',
  cancelled: 'Choose Encrypt or Decrypt to start again.',
};

// Every file a worker needs, fetched once: its script and the module's glue, joined in one blob:
// URL (a worker started from a blob: URL is under this page's Content-Security-Policy; one
// loaded from its own URL would not be), and the module, compiled. Every new worker starts from
// these, so once loaded the page needs no network, Cancel and later runs included.
async function load() {
  const files = ['tolbrek5_web.js', 'worker.js', 'tolbrek5_web.wasm'].map(async (name) => {
    const response = await fetch(name);
    if (!response.ok) throw new Error(`${name}: ${response.status} ${response.statusText}`);
    return name.endsWith('.wasm') ? response.arrayBuffer() : response.text();
  });
  const [glue, script, binary] = await Promise.all(files);
  wasm = await WebAssembly.compile(binary);
  // The worker's own script in a function of its own, so that it is strict and the glue is not.
  const source = [glue, '\n(() => {\n', script, '\n})();\n'];
  workerUrl = URL.createObjectURL(new Blob(source, { type: 'text/javascript' }));
  startWorker();
}

function startWorker() {
  worker = new Worker(workerUrl);
  worker.onmessage = (event) => onMessage(event.data);
  // A worker that failed on its own is dropped; the next run starts a new one.
  worker.onerror = (event) => {
    event.preventDefault();
    worker.terminate();
    worker = null;
    finish('The page\'s worker stopped: ' + (event.message || 'unknown error'), ADVICE.broken);
  };
  worker.postMessage({ wasm });
}

function replaceWorker() {
  if (worker) worker.terminate();
  startWorker();
}

// Enables exactly the controls that do something now.
function update() {
  const keyFile = $('keyfile').files.length > 0;
  $('input').disabled = $('keyfile').disabled = busy;
  $('key').disabled = busy || keyFile;
  $('typedkey').disabled = busy || !keyFile;
  $('encrypt').disabled = $('decrypt').disabled =
    busy || !workerUrl || $('input').files.length === 0;
  $('cancel').disabled = !busy;
}

function show(status, advice) {
  $('status').textContent = status;
  $('advice').textContent = advice;
}

function clearResult() {
  if (resultUrl) URL.revokeObjectURL(resultUrl);
  resultUrl = null;
  const link = $('download');
  link.hidden = true;
  link.removeAttribute('href');
  link.removeAttribute('download');
}

// Ends a run: the progress shows it whole when a result is offered, and is cleared otherwise.
function finish(status, advice) {
  show(status, advice);
  $('done').textContent = resultUrl ? '100%' : '';
  if (!resultUrl) $('progress').value = 0;
  busy = false;
  update();
}

// The result's name: ".enc" added when encrypting; when decrypting, ".enc" taken off, or ".dec"
// added when the name does not end in ".enc".
function resultName(name, decrypting) {
  if (!decrypting) return name + '.enc';
  return name.endsWith('.enc') && name.length > 4 ? name.slice(0, -4) : name + '.dec';
}

// "about 40 seconds", "about 3 minutes".
function duration(seconds) {
  if (seconds < 90) return `about ${Math.max(2, Math.round(seconds))} seconds`;
  return `about ${Math.round(seconds / 60)} minutes`;
}

// Progress as the part of the whole input done: every block holds BLOCK plaintext bytes but the
// last, which holds the rest. The time left is estimated once 2% and 2 seconds have passed.
function showProgress({ block, total, done }) {
  const progress = $('progress');
  if (total === 0) {
    progress.removeAttribute('value');
    $('done').textContent = `block ${block}`;
    return;
  }
  const plain = job.decrypting ? job.size - 4 * total : job.size;
  const length = block < total ? BLOCK : plain - BLOCK * (total - 1);
  const part = Math.min(1, (BLOCK * (block - 1) + done * length) / plain);
  progress.value = part;
  const seconds = (performance.now() - job.since) / 1000;
  let text = `${Math.floor(100 * part)}% (block ${block} of ${total})`;
  if (part >= 0.02 && seconds >= 2) text += `, ${duration((seconds * (1 - part)) / part)} left`;
  $('done').textContent = text;
}

function onMessage(message) {
  if (message.progress) return showProgress(message.progress);
  if (message.broken) {
    // The module failed in a way that leaves it unusable: a fresh worker loads a fresh one.
    replaceWorker();
    return finish(message.broken, ADVICE.broken);
  }
  if (message.result) {
    resultUrl = URL.createObjectURL(message.result);
    const link = $('download');
    link.href = resultUrl;
    link.download = message.name;
    link.textContent = `Download ${message.name} (${message.result.size} bytes)`;
    link.hidden = false;
    $('progress').value = $('progress').max;
  }
  const ok = message.code === 0;
  finish(message.status, ok ? ADVICE[job.decrypting ? 'decrypted' : 'encrypted'] :
    ADVICE[message.code] || '');
  if (message.result) $('download').focus();
}

function run(decrypting) {
  const input = $('input').files[0];
  if (busy || !input || !workerUrl) return;
  clearResult();
  const keyFile = $('keyfile').files[0] || null;
  const keyBytes = keyFile ? null : new TextEncoder().encode($('key').value);
  show(decrypting ? 'Decrypting...' : 'Encrypting...', '');
  $('done').textContent = '';
  $('progress').max = 1;
  $('progress').value = 0;
  job = { decrypting, size: input.size, since: performance.now() };
  busy = true;
  update();
  const name = resultName(input.name, decrypting);
  if (!worker) startWorker();
  worker.postMessage({ decrypting, input, keyBytes, keyFile, name },
    keyBytes ? [keyBytes.buffer] : []);
}

function cancel() {
  if (!busy) return;
  replaceWorker();
  finish('Cancelled: nothing was written.', ADVICE.cancelled);
  $('encrypt').focus();
}

$('encrypt').addEventListener('click', () => run(false));
$('decrypt').addEventListener('click', () => run(true));
$('cancel').addEventListener('click', cancel);
document.addEventListener('keydown', (event) => {
  if (event.key === 'Escape') cancel();
});
// A result belongs to the file and key it was made with: changing either takes it away.
for (const id of ['input', 'key', 'keyfile']) {
  $(id).addEventListener('input', () => {
    clearResult();
    update();
  });
}
$('typedkey').addEventListener('click', () => {
  $('keyfile').value = '';
  clearResult();
  update();
  $('key').focus();
});

// A file dropped anywhere on the page is the file to work on (dropped on the key file's picker,
// the key file).
document.addEventListener('dragover', (event) => {
  event.preventDefault();
  event.dataTransfer.dropEffect = busy ? 'none' : 'copy';
  document.body.classList.toggle('dropping', !busy);
});
document.addEventListener('dragleave', () => document.body.classList.remove('dropping'));
document.addEventListener('drop', (event) => {
  event.preventDefault();
  document.body.classList.remove('dropping');
  if (busy || event.dataTransfer.files.length !== 1) return;
  const picker = event.target === $('keyfile') ? $('keyfile') : $('input');
  picker.files = event.dataTransfer.files;
  picker.dispatchEvent(new Event('input', { bubbles: true }));
});

// Leaving the page ends the work: ask first.
window.addEventListener('beforeunload', (event) => {
  if (!busy) return;
  event.preventDefault();
  event.returnValue = '';
});

update();
load().then(() => {
  show('', '');
  update();
}, (error) => show('The page could not load its files: ' + error.message, ADVICE.load));
