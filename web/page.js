'use strict';
// The page: reads the controls, hands the work to a worker and shows its progress and outcome.
// The worker holds the file, the key and the cipher; Cancel ends it and starts a fresh one.

const $ = (id) => document.getElementById(id);
const controls = ['input', 'key', 'keyfile', 'typedkey', 'encrypt', 'decrypt'].map($);
let worker = null;
let resultUrl = null;

// A worker loaded from its own URL would not be under the page's Content-Security-Policy; one
// started from a blob: URL is. It loads the real worker script, which then obeys the policy too.
function startWorker() {
  const base = new URL('.', location.href).href;
  const source = `self.tolbrek5Base = ${JSON.stringify(base)};\n` +
    `importScripts(${JSON.stringify(base + 'worker.js')});\n`;
  const url = URL.createObjectURL(new Blob([source], { type: 'text/javascript' }));
  worker = new Worker(url);
  URL.revokeObjectURL(url);
  worker.onmessage = (event) => onMessage(event.data);
  // A worker that cannot start is dropped; the next run tries a new one.
  worker.onerror = (event) => {
    event.preventDefault();
    worker.terminate();
    worker = null;
    finish('The page could not start its worker: ' + (event.message || 'unknown error'));
  };
}

function setBusy(busy) {
  for (const control of controls) control.disabled = busy;
  $('cancel').disabled = !busy;
}

function clearResult() {
  if (resultUrl) URL.revokeObjectURL(resultUrl);
  resultUrl = null;
  const link = $('download');
  link.hidden = true;
  link.removeAttribute('href');
  link.removeAttribute('download');
}

function finish(status) {
  $('status').textContent = status;
  setBusy(false);
}

// The result's name: ".enc" added when encrypting; when decrypting, ".enc" taken off, or ".dec"
// added when the name does not end in ".enc".
function resultName(name, decrypting) {
  if (!decrypting) return name + '.enc';
  return name.endsWith('.enc') && name.length > 4 ? name.slice(0, -4) : name + '.dec';
}

function onMessage(message) {
  if (message.progress) {
    const { block, total, done } = message.progress;
    const progress = $('progress');
    if (total > 0) {
      progress.max = total;
      progress.value = block - 1 + done;
      $('blocks').textContent = `block ${block} of ${total}`;
    } else {
      progress.removeAttribute('value');
      $('blocks').textContent = `block ${block}`;
    }
    return;
  }
  if (message.result) {
    resultUrl = URL.createObjectURL(message.result);
    const link = $('download');
    link.href = resultUrl;
    link.download = message.name;
    link.textContent = `Download ${message.name} (${message.result.size} bytes)`;
    link.hidden = false;
    const progress = $('progress');
    progress.value = progress.max;
  }
  finish(message.status);
}

function run(decrypting) {
  clearResult();
  const input = $('input').files[0];
  if (!input) {
    $('status').textContent = 'Choose a file first.';
    return;
  }
  const keyFile = $('keyfile').files[0] || null;
  const keyBytes = keyFile ? null : new TextEncoder().encode($('key').value);
  $('status').textContent = decrypting ? 'Decrypting...' : 'Encrypting...';
  $('blocks').textContent = '';
  $('progress').max = 1;
  $('progress').value = 0;
  setBusy(true);
  const name = resultName(input.name, decrypting);
  if (!worker) startWorker();
  worker.postMessage({ decrypting, input, keyBytes, keyFile, name },
    keyBytes ? [keyBytes.buffer] : []);
}

$('encrypt').addEventListener('click', () => run(false));
$('decrypt').addEventListener('click', () => run(true));
$('cancel').addEventListener('click', () => {
  if (worker) worker.terminate();
  startWorker();
  $('blocks').textContent = '';
  $('progress').value = 0;
  finish('Cancelled: nothing was written.');
  $('encrypt').focus();
});
// A result belongs to the file and key it was made with: changing either takes it away.
for (const id of ['input', 'key', 'keyfile']) $(id).addEventListener('input', clearResult);
$('typedkey').addEventListener('click', () => {
  $('keyfile').value = '';
  clearResult();
});
// Leaving the page ends the work: ask first.
window.addEventListener('beforeunload', (event) => {
  if ($('cancel').disabled) return;
  event.preventDefault();
  event.returnValue = '';
});
startWorker();
