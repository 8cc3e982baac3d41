'use strict';
// The page in headless Chromium: the site, the program's bytes, checks and messages, a phone's
// screen, a dropped file, and Cancel with the server gone. TOLBREK5_PROGRAM names the built
// program (without it, the two-block input is left out); TOLBREK5_SCREENSHOTS, a folder for
// the screenshots at a phone's width and a desktop's.
const assert = require('node:assert');
const { execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { after, before, test } = require('node:test');
const { openPage, run, serve } = require('./driver.js');

const VECTORS = fs.readFileSync(path.join(__dirname, '../data/vectors/vectors.tsv'), 'utf8')
  .trim().split('\n').slice(1).map((line) => line.split('\t'));
const PROGRAM = process.env.TOLBREK5_PROGRAM || '';
const LINE = 'The quick brown fox jumps over the lazy dog. 0123456789\n';
const scratch = fs.mkdtempSync(path.join(require('node:os').tmpdir(), 'tolbrek5-page-'));
const at = (name) => path.join(scratch, name);
const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');
let session;
before(async () => { session = await openPage(fs.mkdtempSync(at('downloads-'))); });
after(() => session.close().then(() => fs.rmSync(scratch, { recursive: true })));

// A file of bytes made by a recipe of the vectors: "zero", "text" or "xs<seed>" (xorshift32).
function file(name, recipe, size) {
  const bytes = Buffer.alloc(size, recipe === 'text' ? LINE : 0);
  for (let i = 0, x = Number(recipe.slice(2)); recipe.startsWith('xs') && i < size; i++) {
    x ^= x << 13;
    x ^= x >>> 17;
    x ^= x << 5;
    bytes[i] = x & 255;
  }
  fs.writeFileSync(at(name), bytes);
  return at(name);
}

test('the site folder holds the site and nothing else', () => {
  assert.deepStrictEqual(fs.readdirSync(process.env.TOLBREK5_WEB_ROOT).sort(), ['index.html',
    'page.js', 'style.css', 'tolbrek5_web.js', 'tolbrek5_web.wasm', 'worker.js']);
});

// Each input to its known encryption and back: the small vectors (typed keys and key files;
// v4's is as long as the plaintext, so decrypting needs the key-file length rule), and, as the
// program encrypts it, an odd-sized two-block input with a key typed beyond ASCII (UTF-8 bytes).
test('the same bytes as the program, both ways', async () => {
  const jobs = VECTORS.filter((v) => v[1] < 1e6).map(([name, size, recipe, key, digest]) => {
    const [kind, text, length] = key.split(':');
    const keys = kind === 't' ? { key: text } : { keyFile: file(`${name}.key`, text, +length) };
    return { name, input: file(`${name}.txt`, recipe, +size), digest, ...keys };
  });
  if (fs.existsSync(PROGRAM)) {
    const big = { name: 'big', input: file('big.txt', 'xs77', 30000123), key: 'clé à 鍵 0123' };
    execFileSync(PROGRAM, ['ec', big.input, at('big.enc'), big.key], { stdio: 'ignore' });
    jobs.push({ ...big, digest: sha256(fs.readFileSync(at('big.enc'))) });
  }
  for (const { name, digest, ...job } of jobs) {
    const encrypted = await run(session, job);
    assert.deepStrictEqual([encrypted.name, sha256(encrypted.bytes)], [`${name}.txt.enc`, digest]);
    fs.writeFileSync(at(encrypted.name), encrypted.bytes);
    const decrypted = await run(session, { ...job, input: at(encrypted.name), decrypt: true });
    const plain = fs.readFileSync(job.input);
    const same = decrypted.name === `${name}.txt` && decrypted.bytes.equals(plain);
    assert.ok(same, `${name}: ${decrypted.status}`);
  }
});

// The checks come first, in the program's words (the input's size before a key file); a failed
// run offers nothing to download and no progress, and what a failed decryption means is said
// beside it. A worker that failed is replaced, so the next run works. Idle, what would do
// nothing is disabled.
test('a failed worker, a wrong key, a short input', async () => {
  const input = file('short', 'text', 5000);
  await session.page.workers()[0].evaluate(() => { self.Blob = null; });
  assert.match((await run(session, { input, key: '0123456789' })).status, /^The page failed: /);
  fs.writeFileSync(at('short.enc'), (await run(session, { input, key: '0123456789' })).bytes);
  const wrong = { input: at('short.enc'), key: '0123456789+', decrypt: true };
  assert.deepStrictEqual(await run(session, wrong), { status: ' Decryption failed' });
  const [done, advice] = await session.page.$$eval('#done, #advice', (all) =>
    all.map((element) => element.textContent));
  assert.strictEqual(done, '');
  assert.match(advice, /the key is not the one .*, or the file is damaged or incomplete/);
  const disabled = await session.page.$$eval(':disabled', (all) => all.map((c) => c.id));
  assert.deepStrictEqual(disabled, ['typedkey', 'cancel']);
  const short = { input, keyFile: file('9.key', 'text', 9), decrypt: true };
  const status = 'Inputfile must be 5000 (encryption) and 5004 bytes (decryption with crc32) ' +
    'or larger';
  assert.deepStrictEqual(await run(session, short), { status });
});

// At a phone's width the longest message wraps (no sideways scrolling); a file dropped on the
// page is encrypted, and the focus goes to its download (v1.txt: made by the first test of the
// bytes).
test('a phone\'s screen, a dropped file, the focus on the download', async () => {
  const { page } = session;
  const shoot = async (name) => process.env.TOLBREK5_SCREENSHOTS && page.screenshot(
    { path: path.join(process.env.TOLBREK5_SCREENSHOTS, name), fullPage: true });
  await page.setViewport({ width: 360, height: 740 });
  await run(session, { input: file('long-name-on-a-phone.txt', 'text', 999), key: '0123456789' });
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= innerWidth));
  await shoot('page-360-message.png');
  const dropped = await run(session, { input: at('v1.txt'), key: '0123456789', dropped: true });
  assert.deepStrictEqual([dropped.focused, sha256(dropped.bytes)], ['download', VECTORS[0][4]]);
  await shoot('page-360-result.png');
  await page.setViewport({ width: 1280, height: 800 });
  await shoot('page-1280.png');
});

// Once loaded the page needs no server: with it stopped, Cancel (the button, then Escape) ends
// the work within a block and offers nothing, and a round trip works. No connection leaves the
// page.
test('Cancel, Escape and a round trip offline; nothing leaves the machine', async () => {
  session.server.closeAllConnections();
  await new Promise((resolve) => session.server.close(resolve));
  const { page } = session;
  const input = file('cancel', 'xs9', 8000000);
  for (const stop of [() => page.click('#cancel'), () => page.keyboard.press('Escape')]) {
    const cancelled = run(session, { input, key: '0123456789' });
    await page.waitForFunction(() => !document.getElementById('cancel').disabled &&
      document.getElementById('progress').value > 0.05);
    await stop();
    assert.deepStrictEqual(await cancelled, { status: 'Cancelled: nothing was written.' });
  }
  const again = await run(session, { input: at('v1.txt'), key: '0123456789' });
  assert.strictEqual(sha256(again.bytes), VECTORS[0][4]);
  fs.writeFileSync(at('v1.enc'), again.bytes);
  const back = await run(session, { input: at('v1.enc'), key: '0123456789', decrypt: true });
  assert.ok(back.bytes.equals(fs.readFileSync(at('v1.txt'))), back.status);
  const elsewhere = await serve(scratch);
  const url = `http://127.0.0.1:${elsewhere.address().port}/v1`;
  const sent = await session.page.evaluate((to) => fetch(to, { mode: 'no-cors' })
    .then(() => true, () => false), url);
  elsewhere.close();
  assert.strictEqual(sent, false);
});
