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
  await (await page.createCDPSession()).send('Page.setDownloadBehavior',
    { behavior: 'allow', downloadPath: downloads });
  await page.goto(`http://127.0.0.1:${server.address().port}/`);
  return { page, downloads, close: () => browser.close().then(() => server.close()) };
}

// Sets the controls, clicks Encrypt or Decrypt and waits for the outcome: the status and, when
// a result is offered, its name and bytes (the downloaded file appears under its name once
// complete; a minute after the click at the latest, or it is not coming).
async function run({ page, downloads }, { input, key = '', keyFile = '', decrypt = false }) {
  await page.$eval('#key', (field, text) => { field.value = text; }, key);
  await page.$eval('#keyfile', (field) => { field.value = ''; });
  if (keyFile) await (await page.$('#keyfile')).uploadFile(keyFile);
  await (await page.$('#input')).uploadFile(input);
  await page.click(decrypt ? '#decrypt' : '#encrypt');
  await page.waitForFunction(() => document.getElementById('cancel').disabled, { timeout: 0 });
  const status = await page.$eval('#status', (element) => element.textContent);
  const name = await page.$eval('#download', (link) => (link.hidden ? '' : link.download));
  if (!name) return { status };
  await page.click('#download');
  const file = path.join(downloads, name);
  for (let waited = 0; !fs.existsSync(file); waited += 20) {
    if (waited > 60000) throw new Error(`no ${name} among ${fs.readdirSync(downloads)}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  const bytes = fs.readFileSync(file);
  fs.rmSync(file);
  return { status, name, bytes };
}

module.exports = { openPage, run, serve };
