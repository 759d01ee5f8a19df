// The start page in a real browser: headless Chromium opens the frameset,
// posts a Japanese message in red through the post form, and finds it in the
// chat view. The server's pages carry no charset; they must read correctly
// through the start page's Shift_JIS declaration, and the browser must post
// Shift_JIS bytes.
//
// Needs: KORIMO_BIN (the server binary), /usr/bin/chromium, npm ci here.
// KORIMO_SCREENSHOT=path saves a picture of the start page after the post.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const repoRoot = path.resolve(here, '..', '..');
const korimoBin = process.env.KORIMO_BIN;
const chromiumPath = '/usr/bin/chromium';

const STEP_MS = 20000;  // any single wait
const TEST_MS = 60000;  // a whole test, start-up included
const HANDLE = '太郎';
const TEXT = 'こんにちは';

let workDir;
let profileDir;
let server;
let serverOut = '';
let context;
let page;
let base;

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

// Resolves once the server's console output matches re; rejects when the
// server ends first or the time runs out.
function waitForOutput(re, ms = STEP_MS) {
  return new Promise((resolve, reject) => {
    const check = () => {
      if (re.test(serverOut)) {
        done();
        resolve();
      }
    };
    const onExit = (code) => {
      done();
      reject(new Error(`korimo ended (status ${code}) before ${re}:\n${serverOut}`));
    };
    const timer = setTimeout(() => {
      done();
      reject(new Error(`no ${re} from korimo within ${ms} ms:\n${serverOut}`));
    }, ms);
    const done = () => {
      clearTimeout(timer);
      server.stdout.off('data', check);
      server.off('exit', onExit);
    };
    server.stdout.on('data', check);
    server.once('exit', onExit);
    check();
  });
}

function stopServer() {
  if (!server || server.exitCode !== null || server.signalCode !== null) return Promise.resolve();
  return new Promise((resolve) => {
    const timer = setTimeout(() => server.kill('SIGKILL'), 5000);
    server.once('exit', () => {
      clearTimeout(timer);
      resolve();
    });
    try {
      server.stdin.end('/quit\n');
    } catch {
      server.kill('SIGKILL');
    }
  });
}

// Last resort if the runner dies with the server still up.
process.on('exit', () => {
  if (server && server.exitCode === null && server.signalCode === null) server.kill('SIGKILL');
});

function frame(name) {
  const f = page.frame({ name });
  assert.ok(f, `frame ${name} missing`);
  return f;
}

before(async () => {
  assert.ok(korimoBin, 'set KORIMO_BIN to the korimo binary');
  fs.accessSync(korimoBin, fs.constants.X_OK);
  workDir = fs.mkdtempSync(path.join(os.tmpdir(), 'korimo-browser-'));
  fs.cpSync(path.join(repoRoot, 'root'), path.join(workDir, 'root'), { recursive: true });
  const port = await freePort();
  base = `http://127.0.0.1:${port}`;
  server = spawn(korimoBin, ['--console', '--port', String(port)], {
    cwd: workDir,
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  server.stdout.setEncoding('utf8');
  server.stderr.setEncoding('utf8');
  server.stdout.on('data', (d) => { serverOut += d; });
  server.stderr.on('data', (d) => { serverOut += d; });
  server.on('error', (e) => { serverOut += `${e}\n`; });
  server.stdin.on('error', () => {});  // a server that ended early shows in its exit
  // The listener is open before the console reads its first command.
  server.stdin.write('/show\n');
  await waitForOutput(/^Active: yes$/m);

  profileDir = fs.mkdtempSync(path.join(os.tmpdir(), 'korimo-chromium-'));
  context = await chromium.launchPersistentContext(profileDir, {
    executablePath: chromiumPath,
    headless: true,
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
    viewport: { width: 900, height: 420 },
    timeout: STEP_MS,
  });
  context.setDefaultTimeout(STEP_MS);
  page = context.pages()[0] ?? await context.newPage();
});

after(async () => {
  try {
    if (context) await context.close();
  } finally {
    await stopServer();
    for (const d of [profileDir, workDir]) if (d) fs.rmSync(d, { recursive: true, force: true });
  }
});

test('start page shows the chat above the post form, in Shift_JIS', { timeout: TEST_MS }, async () => {
  await page.goto(`${base}/`, { waitUntil: 'load' });
  assert.equal(await page.evaluate(() => document.characterSet), 'Shift_JIS');
  const chat = frame('chat');
  const post = frame('post');
  assert.match(chat.url(), /\/scripts\/status\.cgi$/);
  await chat.locator('input[type="submit"][value="Refresh"]').waitFor();
  // The empty chat view is plain ASCII: only the parent can give it Shift_JIS.
  assert.equal(await chat.evaluate(() => document.characterSet), 'Shift_JIS');
  const form = post.locator('form[action="/scripts/append.cgi"][method="post"]');
  await form.waitFor();
  const body = await post.locator('body').innerText();
  for (const label of ['ハンドル：', '文字色：', '黒', '赤', '青', '緑', 'オレンジ', '紫']) {
    assert.ok(body.includes(label), `post form lacks ${label}: ${body}`);
  }
  assert.equal(await post.locator('input[type="submit"]').inputValue(), '書込み');
  const colours = await post.locator('input[type="radio"][name="color"]')
    .evaluateAll((els) => els.map((e) => e.value));
  assert.deepEqual(colours, ['Black', 'Red', 'Blue', 'Green', 'Orange', 'Purple']);
});

test('a red Japanese post reaches the chat view and the form keeps handle and colour', { timeout: TEST_MS }, async () => {
  const post = frame('post');
  await post.locator('input[name="handle"]').fill(HANDLE);
  await post.locator('input[name="text"]').fill(TEXT);
  await post.locator('input[name="color"][value="Red"]').check();
  await Promise.all([
    post.waitForURL(/\/scripts\/append\.cgi$/, { waitUntil: 'load' }),
    post.locator('input[type="submit"]').click(),
  ]);

  // The form page the server sends back, read through the inherited charset.
  const returned = frame('post');
  assert.equal(await returned.evaluate(() => document.characterSet), 'Shift_JIS');
  const body = await returned.locator('body').innerText();
  assert.ok(body.includes('ハンドル：') && body.includes('文字色：'), `mojibake in post form: ${body}`);
  assert.equal(await returned.locator('input[name="handle"]').inputValue(), HANDLE);
  assert.equal(await returned.locator('input[name="text"]').inputValue(), '');
  const checked = await returned.locator('input[name="color"]')
    .evaluateAll((els) => els.filter((e) => e.checked).map((e) => e.value));
  assert.deepEqual(checked, ['Red']);

  // The server got Shift_JIS bytes: its console shows the line in UTF-8.
  await waitForOutput(/^太郎> <font color="red">こんにちは<\/font> \(\d\d:\d\d\)$/m);

  // The chat view reloads itself and then shows the line in red.
  const chat = frame('chat');
  const line = chat.locator('font[color="red"]', { hasText: TEXT });
  await line.waitFor({ timeout: STEP_MS });
  assert.equal(await line.innerText(), TEXT);
  assert.match(await chat.locator('body').innerText(), /太郎> こんにちは \(\d\d:\d\d\)/);

  if (process.env.KORIMO_SCREENSHOT) await page.screenshot({ path: process.env.KORIMO_SCREENSHOT });
});
