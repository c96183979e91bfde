// Opens the built launcher page in Debian's Chromium with a stand-in for the
// web view's messaging: it records what the page posts and delivers host
// messages the way the web view does (a "message" event whose data is the
// parsed JSON object).

import { createRequire } from "node:module";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";
import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";

const here = dirname(fileURLToPath(import.meta.url));
const root = resolve(here, "../../..");

// playwright-core and axe-core are installed with the page's own packages.
export const pageRequire = createRequire(join(root, "ui/page/package.json"));
const { chromium } = pageRequire("playwright-core");

export const PAGE_HTML = resolve(process.env.VELMORA_PAGE_HTML ?? join(root, "build/ui/page/launcher.html"));
export const PAGE_URL = pathToFileURL(PAGE_HTML).href;
export const SCREENSHOTS = resolve(process.env.VELMORA_PAGE_SCREENSHOTS ?? join(root, "build/ui/page/screenshots"));
export const WIDTH = 1000;
export const HEIGHT = 680;

const WAIT_MS = 5000;

export function pageBytes() {
  return readFileSync(PAGE_HTML);
}

// The page built from the same sources without its fonts, once per process:
// the source launcher.html only names the files it is built from.
let withoutFonts;
export function pageWithoutFonts() {
  if (withoutFonts === undefined) {
    const folder = mkdtempSync(join(tmpdir(), "velmora-page-"));
    process.on("exit", () => rmSync(folder, { recursive: true, force: true }));
    const file = join(folder, "launcher.html");
    execFileSync(process.execPath, [join(root, "ui/page/build-page.mjs"), "--without-fonts", file]);
    withoutFonts = pathToFileURL(file).href;
  }
  return withoutFonts;
}

// A page as the launcher shows it in another language: it writes the
// player's tag into <html lang="en">. One copy per page, language and process.
const inLanguage = new Map();
function pageIn(lang, url) {
  const key = `${lang} ${url}`;
  if (!inLanguage.has(key)) {
    const folder = mkdtempSync(join(tmpdir(), "velmora-page-"));
    process.on("exit", () => rmSync(folder, { recursive: true, force: true }));
    const file = join(folder, "launcher.html");
    const html = readFileSync(fileURLToPath(url), "utf8");
    if (!html.includes('<html lang="en">')) throw new Error(`${url} has no <html lang="en">`);
    writeFileSync(file, html.replace('<html lang="en">', `<html lang="${lang}">`));
    inLanguage.set(key, pathToFileURL(file).href);
  }
  return inLanguage.get(key);
}

// Without these switches Chromium tries to reach Google's services and can
// hang on a machine without that network. Playwright gives every launch a
// new, empty profile folder of its own.
export async function launch() {
  return chromium.launch({
    executablePath: "/usr/bin/chromium",
    headless: true,
    timeout: 30000,
    args: [
      "--no-sandbox",
      "--disable-gpu",
      "--disable-quic",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
    ],
  });
}

// Runs in the page before its own script. `reply` holds host messages (JSON
// text) to deliver synchronously from inside the page's "ready" post: they
// only land if the page's listeners were in place before it posted.
function installStandIn(reply) {
  const events = new EventTarget();
  const posted = [];
  const violations = [];
  window.__test = {
    posted,
    violations,
    deliver(json) {
      events.dispatchEvent(new MessageEvent("message", { data: JSON.parse(json) }));
    },
  };
  document.addEventListener("securitypolicyviolation", (event) => {
    violations.push(`${event.violatedDirective} ${event.blockedURI}`);
  });
  window.chrome = window.chrome ?? {};
  window.chrome.webview = {
    // The web view hands the host JSON text: a copy keeps later changes out.
    postMessage(message) {
      posted.push(JSON.parse(JSON.stringify(message)));
      if (message?.type === "ready") for (const json of reply) window.__test.deliver(json);
    },
    addEventListener: events.addEventListener.bind(events),
    removeEventListener: events.removeEventListener.bind(events),
  };
}

// Opens the page in a fresh context. Every request is recorded and anything
// other than the page itself is refused, so nothing leaves the machine.
// scale: the display's scale factor (1.5 for 150 %); the viewport stays the
// window's size in device-independent pixels, as the web view's does.
// zoom: the player zooming the page (Ctrl and +, the web view's zoom
// factor): the window keeps its size, so the page has that much fewer CSS
// pixels to lay out in, each drawn with that many more device pixels.
// lang: the page in that language, as the launcher would show it.
export async function openPage(browser, { url = PAGE_URL, lang, reply = [], standIn = true, scale = 1, zoom = 1 } = {}) {
  if (lang !== undefined) url = pageIn(lang, url);
  const context = await browser.newContext({
    viewport: { width: Math.round(WIDTH / zoom), height: Math.round(HEIGHT / zoom) },
    deviceScaleFactor: scale * zoom,
  });
  context.setDefaultTimeout(WAIT_MS);
  const requests = [];
  const errors = [];
  await context.route("**/*", (route) => {
    const requested = route.request().url();
    return requested === url ? route.continue() : route.abort();
  });
  const page = await context.newPage();
  page.on("request", (request) => requests.push(request.url()));
  // Requests the policy blocks are reported too, and fail with their reason.
  const failures = [];
  page.on("requestfailed", (request) => failures.push(`${request.url()} ${request.failure()?.errorText}`));
  page.on("console", (message) => {
    if (message.type() === "error" || message.type() === "warning") errors.push(message.text());
  });
  page.on("pageerror", (error) => errors.push(String(error)));
  if (standIn) await page.addInitScript(installStandIn, reply.map((message) => JSON.stringify(message)));
  await page.goto(url, { waitUntil: "load" });

  const ui = {
    page,
    context,
    requests,
    failures,
    errors,
    // Every host message sent, so a test can tell the host's texts from the page's.
    sent: [],
    // Host message, passed as JSON text like PostWebMessageAsJson.
    send: (message) => {
      ui.sent.push(message);
      return page.evaluate((json) => window.__test.deliver(json), JSON.stringify(message));
    },
    posted: () => page.evaluate(() => window.__test.posted),
    violations: () => page.evaluate(() => window.__test.violations),
    clearPosted: () => page.evaluate(() => { window.__test.posted.length = 0; }),
    text: (selector) => page.locator(selector).textContent(),
    playEnabled: () => page.locator("#play").isEnabled(),
    close: () => context.close(),
  };
  return ui;
}

// Ends a test: the page must have logged no error or warning (a refused
// resource or a policy violation shows up here) and violated no policy.
export async function closeClean(ui, assert) {
  const violations = await ui.violations().catch(() => []);
  await ui.close();
  assert.deepEqual(ui.errors, [], "console errors or warnings");
  assert.deepEqual(violations, [], "content security policy violations");
}

// A server record as the host sends it.
export function server(name, host, port, extra = {}) {
  return { name, host, port, address: host.includes(":") ? `[${host}]:${port}` : `${host}:${port}`,
           players: 0, maxPlayers: 32, ...extra };
}

// Forty servers of every kind a card shows: verified or not, full, empty or
// between, with or without a description, language and tags.
export function fleet(count = 40) {
  return Array.from({ length: count }, (_, i) => server(`Server ${i}`, `s${String(i).padStart(2, "0")}.example`,
    27015, { players: (i * 5) % 17, maxPlayers: 16, verified: i % 3 === 0, description: i % 2 ? `Description ${i}` : "",
             language: ["en", "de", ""][i % 3], tags: i % 4 ? ["rp", "eu"] : [] }));
}

// The update done, Play free.
export const IDLE = { type: "status", text: "Up to date", percent: -1, good: true, busy: false };
const NAMED = [{ type: "name", value: "Mara" }, { type: "release", build: "2.7.1", protocol: 12 }];
const LISTED = [{ type: "servers", list: fleet() }, { type: "ping", results: [{ host: "s01.example", ms: 38 },
  { host: "s02.example", ms: -1 }] }, { type: "favourites", list: [{ host: "s03.example", port: 27015, name: "" },
  { host: "gone.example", port: 27015, name: "Old Haunt" }] }];

// The states the page is seen in, as the host's messages that lead there
// from a page just opened; the first server of a list is the chosen one.
export const STATES = {
  "empty list": [...NAMED, IDLE, { type: "servers", list: [] }],
  "download": [...NAMED, ...LISTED, { type: "run", state: "running" },
               { type: "status", text: "Downloading game files", percent: 64, busy: true }],
  "failed": [...NAMED, ...LISTED, { type: "log", path: "C:\\velmora\\launcher.log" }, { type: "run", state: "failed" },
             { type: "status", text: "Update failed: the release server could not be reached", percent: -1, bad: true,
               busy: false }],
  "paused": [...NAMED, ...LISTED, { type: "run", state: "paused" },
             { type: "status", text: "Paused", percent: 30, busy: true }],
  "offline play": [...NAMED, { type: "servers", list: [] }, { type: "run", state: "done" },
                   { type: "status", text: "Playing the installed release 2.7.0: the release server could not be reached.",
                     percent: -1, busy: false }],
};

export async function drive(ui, state) {
  for (const message of STATES[state]) await ui.send(message);
}
