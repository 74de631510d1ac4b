// Headless Chromium with a fake native bridge in front of resources/web.
//
// The fake records every posted request envelope; tests answer them the way
// the native side does (evaluating `window.__resolve && window.__resolve(...)`)
// and play Job states through `window.__progress`.
import { chromium } from 'playwright-core';
import { mkdtemp, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const pageUrl = pathToFileURL(path.resolve(here, '../../resources/web/index.html')).href;
export const webDir = path.resolve(here, '../../resources/web');

const FAKE_BRIDGE = `
  window.__requests = [];
  window.webkit = { messageHandlers: { bridge: { postMessage(message) {
    // WebKit hands the native side a copy; so does this.
    window.__requests.push(JSON.parse(JSON.stringify(message)));
  } } } };
`;

export async function launch() {
  const profile = await mkdtemp(path.join(tmpdir(), 'torvelin-page-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 1060, height: 780 },
  });
  return {
    context,
    async close() {
      await context.close();
      await rm(profile, { recursive: true, force: true });
    },
  };
}

// Console errors and uncaught exceptions of every page opened here, and the
// pages themselves, until taken.
const errors = [];
const pages = [];
export const takeErrors = () => errors.splice(0);
export const takePages = () => pages.splice(0);

// Opens the page (with the fake bridge unless `bridge` is false).
export async function openPage(context, bridge = true) {
  const page = await context.newPage();
  pages.push(page);
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  page.on('pageerror', (e) => errors.push(String(e)));
  if (bridge) await page.addInitScript(FAKE_BRIDGE);
  await page.goto(pageUrl);
  return { page };
}

export async function requests(page) {
  return page.evaluate(() => window.__requests);
}

// Waits for the n-th (0-based among that command) request of a command.
export async function waitForRequest(page, cmd, n = 0) {
  const handle = await page.waitForFunction(
    ([c, k]) => window.__requests.filter((r) => r.cmd === c)[k], [cmd, n], { timeout: 5000 });
  return handle.jsonValue();
}

export async function answer(page, call, data) {
  await page.evaluate(`window.__resolve && window.__resolve(${JSON.stringify({ call, data })})`);
}

export async function progress(page, state) {
  await page.evaluate(`window.__progress && window.__progress(${JSON.stringify(state)})`);
}

// Opens the page and answers its first scan with `scan`.
export async function listed(context, scan) {
  const { page } = await openPage(context);
  const req = await waitForRequest(page, 'scan');
  await answer(page, req.call, scan);
  await page.waitForFunction(() => !!window.SCAN);
  return { page };
}

// The text the page shows, as a person reads it.
export async function visibleText(page) {
  return page.evaluate(() => document.body.innerText);
}
