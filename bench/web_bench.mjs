// The page against the program on the same machine in one run: both encrypt the same
// 10,000,000 random bytes with the same key, each twice, alternately (the faster run counts),
// and the ratio of the page's time to the program's is printed. The page runs in headless
// Chromium; its time runs from choosing the file to the end of the download (the file read by
// slices, the cipher, the result collected and saved), the program's from its start to its end.
//
//   bench/web_bench.sh [size]      (builds both first; 10000000 bytes by default)
//
// TOLBREK5_PROGRAM may name another build of the program (build/release/tolbrek5 by default).
import { execFileSync } from 'node:child_process';
import { randomBytes } from 'node:crypto';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.join(path.dirname(fileURLToPath(import.meta.url)), '..');
process.env.TOLBREK5_WEB_ROOT ||= path.join(root, 'build/web/site');
const program = process.env.TOLBREK5_PROGRAM || path.join(root, 'build/release/tolbrek5');
const require = createRequire(import.meta.url);
const { openPage, run } = require(path.join(root, 'tests/web/driver.js'));

const size = Number(process.argv[2] || 10000000);
const key = 'a benchmark key of some length';
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tolbrek5-web-bench-'));
const input = path.join(work, 'input');
fs.writeFileSync(input, randomBytes(size));
const seconds = (since) => Number(process.hrtime.bigint() - since) / 1e9;

function programTime() {
  const since = process.hrtime.bigint();
  execFileSync(program, ['ec', input, path.join(work, 'program.enc'), key], { stdio: 'ignore' });
  return seconds(since);
}

const session = await openPage(fs.mkdtempSync(path.join(work, 'downloads-')));
try {
  // The first run loads and compiles the module: not counted.
  await run(session, { input, key });
  // Alternately, so that both see the same load on a shared machine.
  const pageTimes = [];
  const programTimes = [];
  for (let i = 0; i < 2; i++) {
    // Emptied first, so that a run that did not happen cannot pass for one.
    await session.page.$eval('#status', (element) => { element.textContent = ''; });
    const since = process.hrtime.bigint();
    const { status } = await run(session, { input, key });
    pageTimes.push(seconds(since));
    if (status !== 'Everything ok') throw new Error(`the page says "${status}"`);
    programTimes.push(programTime());
  }
  const native = Math.min(...programTimes);
  const page = Math.min(...pageTimes);
  console.log(`input: ${size} bytes`);
  console.log(`program (${path.relative(root, program)}): ${native.toFixed(2)} s`);
  console.log(`page (headless Chromium):  ${page.toFixed(2)} s`);
  console.log(`page / program: ${(page / native).toFixed(2)}`);
} finally {
  await session.close();
  fs.rmSync(work, { recursive: true, force: true });
}
