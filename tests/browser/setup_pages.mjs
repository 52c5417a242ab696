// The setup pages driven from a real headless browser: the running vellomar
// (build/bin/vellomar) on 127.0.0.1:8000 with a throw-away machine folder,
// the forms filled in and submitted the way a user would, and the registry
// and the definitions file checked after each step.
//
// Environment (set by CTest): VELLOMAR_BIN the main program, VM_SETUP_PROBE
// the helper that prints the stored settings as JSON, VM_ARTIFACTS the folder
// for the screenshots. Exits 0 when every step passed.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const BIN = process.env.VELLOMAR_BIN;
const PROBE = process.env.VM_SETUP_PROBE;
const ARTIFACTS = process.env.VM_ARTIFACTS || path.join(os.tmpdir(), 'vellomar-browser-artifacts');
const SETUP = 'http://127.0.0.1:8000';

const INITIAL_RULES =
  '# Vellomar test rules\r\n' +
  'Aads.example.com\r\n' +
  'Ua.example/?x=1&amp;y=2\r\n' +
  'F$banner\r\n';

const machine = fs.mkdtempSync(path.join(os.tmpdir(), 'vm-browser-'));
const install = path.join(machine, 'drive_c', 'Program Files', 'Vellomar');
// The browser switches also act on $HOME's desktop settings: keep them here.
const env = { ...process.env, VELLOMAR_PREFIX: machine, HOME: machine, XDG_CONFIG_HOME: machine };
delete env.XDG_CURRENT_DESKTOP;
let proxyProcess = null;
let browser = null;
const servers = [];

function log(text) {
  process.stdout.write(`${text}\n`);
}

function fileBytes(name) {
  return fs.readFileSync(path.join(install, name), 'latin1');
}

// The stored settings, read through the registry by the probe helper.
function stored() {
  return JSON.parse(execFileSync(PROBE, { env, encoding: 'utf8' }));
}

// Sends one raw request to the proxy and gives back what it answers: all of
// it when the proxy closes the connection, or what came before a second of
// silence (a blocked request leaves the connection open for the next one).
function rawRequest(text, timeoutMs = 20000) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(8000, '127.0.0.1');
    const chunks = [];
    let idle = null;
    const finish = () => {
      clearTimeout(timer);
      clearTimeout(idle);
      socket.destroy();
      resolve(Buffer.concat(chunks).toString('latin1'));
    };
    const timer = setTimeout(() => {
      socket.destroy();
      reject(new Error(`no answer to ${JSON.stringify(text.split('\r\n')[0])}`));
    }, timeoutMs);
    socket.on('connect', () => socket.write(text));
    socket.on('data', (chunk) => {
      chunks.push(chunk);
      clearTimeout(idle);
      idle = setTimeout(finish, 1000);
    });
    socket.on('error', (error) => {
      clearTimeout(timer);
      clearTimeout(idle);
      reject(error);
    });
    socket.on('close', finish);
  });
}

function portIsOpen() {
  return new Promise((resolve) => {
    const socket = net.connect(8000, '127.0.0.1');
    socket.on('connect', () => {
      socket.destroy();
      resolve(true);
    });
    socket.on('error', () => resolve(false));
  });
}

async function startProxy() {
  if (await portIsOpen()) throw new Error('port 8000 is already taken; stop what holds it');
  proxyProcess = spawn(BIN, [], { env, stdio: 'inherit' });
  proxyProcess.on('exit', (code, signal) => {
    if (proxyProcess !== null) log(`vellomar ended early (status ${code}, signal ${signal})`);
    proxyProcess = null;
  });
  for (let i = 0; i < 200; ++i) {
    if (await portIsOpen()) return;
    if (proxyProcess === null) break;
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error('vellomar did not open port 8000');
}

// A small web server on an ephemeral port; gives its port.
function startServer(handler) {
  return new Promise((resolve) => {
    const server = http.createServer(handler);
    servers.push(server);
    server.listen(0, '127.0.0.1', () => resolve(server.address().port));
  });
}

async function screenshot(page, name) {
  fs.mkdirSync(ARTIFACTS, { recursive: true });
  await page.screenshot({ path: path.join(ARTIFACTS, `${name}.png`), fullPage: true });
}

// Clicks a submit button and waits for the answer page.
async function submit(page, selector) {
  const [response] = await Promise.all([
    page.waitForNavigation({ waitUntil: 'load' }),
    page.click(selector),
  ]);
  return response;
}

function checkHead(response) {
  assert.equal(response.status(), 200);
  const headers = response.headers();
  assert.equal(headers['content-type'], 'text/html');
  assert.equal(headers['cache-control'], 'no-store');
  assert.equal(headers['x-frame-options'], 'DENY');
}

async function generalPage(page) {
  checkHead(await page.goto(`${SETUP}/`));
  assert.equal(await page.title(), 'Vellomar Setup');
  await screenshot(page, 'general');
  assert.deepEqual(
    [await page.isChecked('input[name=ie]'), await page.isChecked('input[name=netscape]'),
      await page.isChecked('input[name=log]')],
    [false, false, false]);

  log('General: tick logging and save');
  await page.check('input[name=log]');
  checkHead(await submit(page, 'input[name=save]'));
  let state = stored();
  assert.deepEqual([state.ie, state.netscape, state.log], [0, 0, 1]);
  assert.equal(await page.isChecked('input[name=log]'), true);
  assert.ok(page.url().endsWith('/?log=log&save=Save'), page.url());

  log('General: tick Internet Explorer as well, then untick logging');
  await page.check('input[name=ie]');
  await submit(page, 'input[name=save]');
  state = stored();
  assert.deepEqual([state.ie, state.netscape, state.log], [1, 0, 1]);
  await page.uncheck('input[name=log]');
  await submit(page, 'input[name=save]');
  state = stored();
  assert.deepEqual([state.ie, state.netscape, state.log], [1, 0, 0]);
  assert.equal(await page.isChecked('input[name=ie]'), true);
  assert.equal(await page.isChecked('input[name=log]'), false);
}

async function definitionsPage(page) {
  checkHead(await page.goto(`${SETUP}/definitions/`));
  await screenshot(page, 'definitions');
  // The text area shows the file's text as it is, entities included.
  assert.equal(await page.inputValue('textarea[name=settings]'), INITIAL_RULES.replaceAll('\r\n', '\n'));

  log('Ad Definitions: save unchanged keeps the file byte for byte');
  await submit(page, 'input[type=submit][value=Save]');
  assert.equal(fileBytes('Vellomar.ini'), INITIAL_RULES);

  log('Ad Definitions: a save from the page keeps special characters byte for byte');
  const special = '\r\nAads.example.com\r\nFcaf\xe9 100% a+b <b> "q" #x\r\nU%s%d&lt;\r\n\r\n';
  fs.writeFileSync(path.join(install, 'Vellomar.ini'), special, 'latin1');
  await page.goto(`${SETUP}/definitions/`);
  await submit(page, 'input[type=submit][value=Save]');
  assert.equal(fileBytes('Vellomar.ini'), special);
  fs.writeFileSync(path.join(install, 'Vellomar.ini'), INITIAL_RULES, 'latin1');
  await page.goto(`${SETUP}/definitions/`);

  log('Ad Definitions: edit a rule and save');
  const before = await rawRequest('GET http://newad.invalid/picture.gif HTTP/1.0\r\n\r\n');
  assert.ok(!before.includes('GIF89a'), 'newad.invalid is blocked before the rule exists');
  const edited = (await page.inputValue('textarea[name=settings]')).replace(
    'Aads.example.com', 'Aads.example.com\nAnewad.invalid');
  await page.fill('textarea[name=settings]', edited);
  await submit(page, 'input[type=submit][value=Save]');
  const expectedFile = INITIAL_RULES.replace('Aads.example.com\r\n',
    'Aads.example.com\r\nAnewad.invalid\r\n');
  assert.equal(fileBytes('Vellomar.ini'), expectedFile);
  assert.equal(await page.inputValue('textarea[name=settings]'), expectedFile.replaceAll('\r\n', '\n'));
  // Saving changes the file only; the rules in use wait for a Reload.
  const unsaved = await rawRequest('GET http://newad.invalid/picture.gif HTTP/1.0\r\n\r\n');
  assert.ok(!unsaved.includes('GIF89a'), 'a save alone changed the rules in use');

  log('Ad Definitions: reload');
  await page.fill('textarea[name=settings]', 'Athis text is not saved');
  await submit(page, 'input[name=reload]');
  assert.equal(fileBytes('Vellomar.ini'), expectedFile);
  assert.equal(await page.inputValue('textarea[name=settings]'), expectedFile.replaceAll('\r\n', '\n'));
  const after = await rawRequest('GET http://newad.invalid/picture.gif HTTP/1.0\r\n\r\n');
  assert.ok(after.includes('GIF89a'), 'the reloaded rule does not block');
}

async function proxyPage(page) {
  let requestsSeen = [];
  const upstreamPort = await startServer((request, response) => {
    requestsSeen.push(request.url);
    response.writeHead(200, { 'Content-Type': 'text/plain' });
    response.end(`via-upstream ${request.url}`);
  });

  checkHead(await page.goto(`${SETUP}/proxy/`));
  await screenshot(page, 'proxy');
  assert.equal(await page.inputValue('input[name=host]'), '');
  assert.equal(await page.inputValue('input[name=port]'), '0');

  log('Proxy Server: set the upstream proxy');
  await page.fill('input[name=host]', '127.0.0.1');
  await page.fill('input[name=port]', String(upstreamPort));
  await submit(page, 'input[type=submit][value=Save]');
  let state = stored();
  assert.equal(state.server, '127.0.0.1');
  assert.equal(state.port, upstreamPort);
  assert.equal(await page.inputValue('input[name=port]'), String(upstreamPort));
  assert.equal(await page.locator('text=Proxy Address could not be found').count(), 0);
  const through = await rawRequest('GET http://site.invalid/page HTTP/1.0\r\n\r\n');
  assert.ok(through.includes('via-upstream http://site.invalid/page'), through.slice(0, 300));

  log('Proxy Server: an unknown host gives the message');
  await page.fill('input[name=host]', 'no-such-proxy.invalid');
  await submit(page, 'input[type=submit][value=Save]');
  assert.equal(await page.locator('text=Proxy Address could not be found').count(), 1);
  await screenshot(page, 'proxy-not-found');

  log('Proxy Server: clear the upstream proxy');
  await page.fill('input[name=host]', '');
  await page.fill('input[name=port]', '');
  await submit(page, 'input[type=submit][value=Save]');
  state = stored();
  assert.equal(state.server, '');
  assert.equal(state.port, 0);
  assert.equal(await page.inputValue('input[name=port]'), '0');
  requestsSeen = [];
  const direct = await rawRequest('GET http://site.invalid/page HTTP/1.0\r\n\r\n');
  assert.ok(!direct.includes('via-upstream'), 'still forwarded through the cleared proxy');
  assert.deepEqual(requestsSeen, []);
}

async function aboutPage(page) {
  checkHead(await page.goto(`${SETUP}/about/`));
  await screenshot(page, 'about');
  assert.equal(await page.locator('a[href="http://www.vellomar.org/"]').innerText(),
    'http://www.vellomar.org');
}

async function crossSitePage(page) {
  log('Another site tries to change the settings');
  const before = stored();
  const rulesBefore = fileBytes('Vellomar.ini');
  const attackerPort = await startServer((request, response) => {
    response.writeHead(200, { 'Content-Type': 'text/html' });
    response.end(
      '<html><body>' +
      '<img src="http://127.0.0.1:8000/proxy/?host=attacker.invalid&port=8080">' +
      '<form id="f" action="http://127.0.0.1:8000/definitions/" method="get">' +
      '<input name="settings" value="Agone"></form>' +
      '<script>setTimeout(() => document.getElementById("f").submit(), 300)</script>' +
      '</body></html>');
  });
  await page.goto(`http://127.0.0.1:${attackerPort}/`);
  await page.waitForURL(/127\.0\.0\.1:8000\/definitions\//, { timeout: 15000 });
  await page.waitForLoadState('load');
  assert.deepEqual(stored(), before);
  assert.equal(fileBytes('Vellomar.ini'), rulesBefore);
}

async function main() {
  assert.ok(BIN && fs.existsSync(BIN), `VELLOMAR_BIN (${BIN}) is not a program`);
  assert.ok(PROBE && fs.existsSync(PROBE), `VM_SETUP_PROBE (${PROBE}) is not a program`);
  fs.rmSync(ARTIFACTS, { recursive: true, force: true });
  fs.mkdirSync(install, { recursive: true });
  fs.writeFileSync(path.join(install, 'Vellomar.ini'), INITIAL_RULES, 'latin1');
  await startProxy();

  const userData = fs.mkdtempSync(path.join(os.tmpdir(), 'vm-chromium-'));
  browser = await chromium.launchPersistentContext(userData, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--no-proxy-server'],
    viewport: { width: 800, height: 600 },
  });
  const page = await browser.newPage();
  for (const step of [generalPage, definitionsPage, proxyPage, aboutPage, crossSitePage]) {
    try {
      await step(page);
    } catch (error) {
      await screenshot(page, `failed-${step.name}`).catch(() => {});
      throw error;
    }
  }
  await browser.close();
  fs.rmSync(userData, { recursive: true, force: true });
  browser = null;
}

let status = 0;
try {
  await main();
  log(`all steps passed; screenshots in ${ARTIFACTS}`);
} catch (error) {
  log(`FAILED: ${error.stack || error}`);
  status = 1;
} finally {
  if (browser !== null) await browser.close().catch(() => {});
  for (const server of servers) server.close();
  if (proxyProcess !== null) {
    const child = proxyProcess;
    proxyProcess = null;
    child.kill('SIGTERM');
    await new Promise((r) => child.once('exit', r));
  }
  if (status === 0) fs.rmSync(machine, { recursive: true, force: true });
  else log(`machine folder kept: ${machine}`);
}
process.exit(status);
