'use strict';
// The page in headless Chromium: the program's bytes, checks and messages, and Cancel.
// TOLBREK5_PROGRAM names the built program; without it, the two-block input is left out.
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

// The checks come first, in the program's words and order (a typed key, the input's size, a key
// file); a failed run offers nothing to download.
test('wrong key, short input and keys', async () => {
  const input = file('short', 'text', 5000);
  fs.writeFileSync(at('short.enc'), (await run(session, { input, key: '0123456789' })).bytes);
  const cases = [
    [{ input: at('short.enc'), key: '0123456789+', decrypt: true }, ' Decryption failed'],
    [{ input, keyFile: file('9.key', 'text', 9), decrypt: true },
      'Inputfile must be 5000 (encryption) and 5004 bytes (decryption with crc32) or larger'],
    [{ input, key: '012345678' }, 'Your key must consist of at least 10 characters.'],
    [{ input, keyFile: file('9.key', 'text', 9) }, 'Key must be consist of at least 10 bytes'],
  ];
  for (const [job, status] of cases) assert.deepStrictEqual(await run(session, job), { status });
});

// Cancel within a block ends the work and offers nothing; the next run works. No connection
// leaves the page.
test('Cancel, and nothing leaves the machine', async () => {
  const cancelled = run(session, { input: file('cancel', 'xs9', 8000000), key: '0123456789' });
  await session.page.waitForFunction(() => document.getElementById('progress').value > 0.05);
  await session.page.click('#cancel');
  assert.deepStrictEqual(await cancelled, { status: 'Cancelled: nothing was written.' });
  const again = await run(session, { input: file('v1', 'zero', 5000), key: '0123456789' });
  assert.strictEqual(sha256(again.bytes), VECTORS[0][4]);
  const elsewhere = await serve(scratch);
  const url = `http://127.0.0.1:${elsewhere.address().port}/v1`;
  const sent = await session.page.evaluate((to) => fetch(to, { mode: 'no-cors' })
    .then(() => true, () => false), url);
  elsewhere.close();
  assert.strictEqual(sent, false);
});
