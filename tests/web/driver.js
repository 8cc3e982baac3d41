'use strict';
// Drives the built page in headless Chromium as a person would: files chosen in the pickers, a
// button clicked, the result taken from a real download. For the page's tests and benchmark.
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const puppeteer = require('puppeteer-core');

const TYPES = { html: 'text/html', js: 'text/javascript', css: 'text/css',
  wasm: 'application/wasm' };

// A static server on the loopback interface for the files of one directory (no subdirectories).
function serve(root) {
  const server = http.createServer((req, res) => {
    const file = path.join(root, path.basename(req.url) || 'index.html');
    const type = TYPES[path.extname(file).slice(1)];
    if (!type || !fs.existsSync(file)) return res.writeHead(404).end();
    res.writeHead(200, { 'Content-Type': type });
    fs.createReadStream(file).pipe(res);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// The page of TOLBREK5_WEB_ROOT in a new headless Chromium, downloading into `downloads`.
async function openPage(downloads) {
  const server = await serve(process.env.TOLBREK5_WEB_ROOT);
  const browser = await puppeteer.launch({ executablePath: process.env.CHROMIUM ||
    '/usr/bin/chromium', args: ['--no-sandbox', '--disable-dev-shm-usage'] });
  const page = await browser.newPage();
  const events = await browser.target().createCDPSession();
  await events.send('Browser.setDownloadBehavior',
    { behavior: 'allow', downloadPath: downloads, eventsEnabled: true });
  await page.goto(`http://127.0.0.1:${server.address().port}/`);
  // Loaded when it no longer says it is loading its files.
  await page.waitForFunction(() => !document.getElementById('status').textContent);
  const close = () => browser.close().then(() => server.close());
  return { page, downloads, events, close, server };
}

// Drops a file on the page as the browser delivers one dragged from the desktop.
async function drop(page, file) {
  const input = await page.createCDPSession();
  const data = { items: [], files: [file], dragOperationsMask: 1 };
  for (const type of ['dragEnter', 'dragOver', 'drop']) {
    await input.send('Input.dispatchDragEvent', { type, x: 20, y: 20, data });
  }
  await input.detach();
}

// Sets the controls (the input chosen, or dropped on the page), clicks Encrypt or Decrypt once
// it can be clicked, and waits for the outcome: the status and, when a result is offered, its
// name, the control that has the focus, and the bytes (read once the browser reports the download
// complete: the file of that name may exist, empty, before).
async function run(session, { input, key = '', keyFile = '', decrypt = false, dropped = false }) {
  const { page, downloads, events } = session;
  await page.$eval('#key', (field, text) => { field.value = text; }, key);
  if (await page.$eval('#typedkey', (button) => !button.disabled)) await page.click('#typedkey');
  if (keyFile) await (await page.$('#keyfile')).uploadFile(keyFile);
  if (dropped) await drop(page, input);
  else await (await page.$('#input')).uploadFile(input);
  const button = decrypt ? '#decrypt' : '#encrypt';
  await page.waitForSelector(`${button}:not([disabled])`);
  await page.click(button);
  await page.waitForFunction(() => document.getElementById('cancel').disabled, { timeout: 0 });
  const status = await page.$eval('#status', (element) => element.textContent);
  const name = await page.$eval('#download', (link) => (link.hidden ? '' : link.download));
  if (!name) return { status };
  const focused = await page.evaluate(() => document.activeElement.id);
  const downloaded = new Promise((resolve, reject) => {
    events.on('Browser.downloadProgress', function listener({ state }) {
      if (state === 'inProgress') return;
      events.off('Browser.downloadProgress', listener);
      if (state === 'completed') resolve();
      else reject(new Error(`the download of ${name} was ${state}`));
    });
  });
  await page.click('#download');
  await downloaded;
  const file = path.join(downloads, name);
  const bytes = fs.readFileSync(file);
  fs.rmSync(file);
  return { status, name, focused, bytes };
}

module.exports = { openPage, run, serve };
