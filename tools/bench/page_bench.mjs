// Prints how the launcher page copes with long server lists, in Debian's
// Chromium at the window's size (1000x680): how long 1,000 and 10,000
// servers take to show, a click on a card, an arrow key, a keystroke in the
// search box, and the frame times while the list scrolls. Figures only;
// nothing is asserted.
//
//   node tools/bench/page_bench.mjs [build folder]      (default: build)
//
// It opens <build>/ui/page/launcher.html (VELMORA_PAGE_HTML names another
// built page) with the page tests' stand-in for the host's messages. Every
// figure is measured inside the page: from the input event's own time stamp
// until the page's handlers have run and style and layout are done (what
// must fit in one 16.7 ms frame), and, for the list, until the next frame.

import { existsSync } from "node:fs";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";

const root = resolve(dirname(fileURLToPath(import.meta.url)), "../..");
const build = resolve(process.argv[2] ?? join(root, "build"));
process.env.VELMORA_PAGE_HTML ??= join(build, "ui/page/launcher.html");
if (!existsSync(process.env.VELMORA_PAGE_HTML)) {
  console.error(`page_bench: no built page at ${process.env.VELMORA_PAGE_HTML} (build the launcher_page target first)`);
  process.exit(1);
}
const { launch, openPage, WIDTH, HEIGHT } = await import(join(root, "tests/ui/page/harness.mjs"));

// The same kind of list as the stand-in list service generates, repeatable.
function generated(count, seed = 1) {
  let state = seed >>> 0;
  const random = () => {
    state = (state * 1664525 + 1013904223) >>> 0;
    return state / 2 ** 32;
  };
  const pick = (items) => items[Math.floor(random() * items.length)];
  const words = ["Night", "Harbor", "Iron", "Velvet", "North", "Crown", "Ash", "River", "Stone", "Lantern", "Brücke",
                 "Équipe"];
  const list = [];
  for (let i = 0; i < count; i++) {
    const host = i % 7 ? `s${i}.example.net` : `2001:db8::${(i + 1).toString(16)}`;
    const port = 27000 + Math.floor(random() * 1000);
    const maxPlayers = pick([8, 16, 32, 64, 128, 200]);
    const server = {
      name: `${pick(words)} ${pick(words)} #${i}`, host, port,
      address: host.includes(":") ? `[${host}]:${port}` : `${host}:${port}`,
      players: Math.min(maxPlayers, Math.floor(random() * 200)), maxPlayers,
    };
    const description = Array.from({ length: Math.floor(random() * 20) }, () => pick(words)).join(" ");
    if (description !== "") server.description = description;
    server.language = pick(["en", "de", "fr", "pt-BR", "ru"]);
    if (random() < 0.2) server.verified = true;
    const tags = Array.from({ length: Math.floor(random() * 6) }, () => pick(["rp", "pvp", "eu", "us", "casual", "hardcore"]));
    if (tags.length > 0) server.tags = tags;
    list.push(server);
  }
  return list;
}

function stats(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const at = (q) => sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
  return { median: at(0.5), p95: at(0.95), max: sorted[sorted.length - 1], count: sorted.length };
}

const ms = (value) => `${value.toFixed(1)} ms`;
function line(label, values) {
  const s = stats(values);
  console.log(`  ${label.padEnd(44)} median ${ms(s.median).padStart(9)}   p95 ${ms(s.p95).padStart(9)}   ` +
              `max ${ms(s.max).padStart(9)}   (${s.count})`);
}

// Records, for every event of the given types, the time from the event's
// stamp until the page's own listeners ran and style and layout were done.
function installProbe() {
  window.__bench = { samples: [] };
  const done = (event) => {
    // Reading a layout value makes the browser finish style and layout now.
    void document.getElementById("list").getBoundingClientRect().top;
    void document.body.offsetHeight;
    window.__bench.samples.push({ type: event.type, ms: performance.now() - event.timeStamp });
  };
  for (const type of ["click", "keydown", "input"]) window.addEventListener(type, done);
}

async function samples(ui, type) {
  return ui.page.evaluate((wanted) => {
    const all = window.__bench.samples.filter((sample) => sample.type === wanted).map((sample) => sample.ms);
    window.__bench.samples.length = 0;
    return all;
  }, type);
}

async function idle(ui) {
  await ui.page.evaluate(() => new Promise((done) => requestAnimationFrame(() => setTimeout(done, 0))));
}

// The host's servers message, handled and drawn: to the end of the handler,
// and to the end of the frame that shows it.
async function showList(ui, json) {
  return ui.page.evaluate((text) => new Promise((done) => {
    const start = performance.now();
    window.__test.deliver(text);
    void document.getElementById("list").getBoundingClientRect().top;
    const handled = performance.now() - start;
    requestAnimationFrame(() => setTimeout(() => done({ handled, drawn: performance.now() - start }), 0));
  }), json);
}

const browser = await launch();
try {
  console.log(`Launcher page in Chromium at ${WIDTH}x${HEIGHT}: ${process.env.VELMORA_PAGE_HTML}`);
  for (const count of [1000, 10000]) {
    const json = JSON.stringify({ type: "servers", list: generated(count) });
    const ui = await openPage(browser);
    await ui.send({ type: "status", text: "Up to date", percent: -1, good: true, busy: false });
    await ui.send({ type: "name", value: "Mara" });
    // The list comes from the network well after the page has loaded.
    await ui.page.evaluate(() => document.fonts.ready);
    await idle(ui);
    const parse = await ui.page.evaluate((text) => {
      const start = performance.now();
      JSON.parse(text);
      return performance.now() - start;
    }, json);
    const first = await showList(ui, json);
    const again = [];
    for (let i = 0; i < 5; i++) again.push(await showList(ui, json));
    console.log(`\n${count.toLocaleString("en-US")} servers (${(json.length / 1e6).toFixed(1)} MB of JSON), ` +
                `${await ui.page.locator(".card").count()} cards in the page`);
    console.log(`  shown on arrival: handled ${ms(first.handled)}, drawn ${ms(first.drawn)} ` +
                `(of which parsing the JSON about ${ms(parse)})`);
    line("shown again (a refresh), drawn", again.map((r) => r.drawn));
    await ui.page.evaluate(installProbe);

    // Clicks on cards at different places in the list.
    const box = await ui.page.locator("#list").boundingBox();
    for (let i = 0; i < 20; i++) {
      await ui.page.evaluate((step) => { document.getElementById("list").scrollTop = step * 4321; }, i);
      await idle(ui);
      await ui.page.mouse.click(box.x + 200, box.y + 30 + (i % 4) * 90);
      await idle(ui);
    }
    line("click on a card", await samples(ui, "click"));

    if (await ui.page.locator("#search").count() === 0) {
      console.log("  (no search box in this page: keys, search and scrolling not measured)");
      await ui.close();
      continue;
    }
    await ui.page.locator("#search").blur();
    for (const key of ["ArrowDown", "ArrowUp", "PageDown", "End", "Home"]) {
      for (let i = 0; i < (key.startsWith("Arrow") ? 30 : 10); i++) {
        await ui.page.keyboard.press(key);
        await idle(ui);
      }
      line(`key ${key}`, await samples(ui, "keydown"));
    }

    // Typing, one key per frame, then the search cleared key by key.
    await ui.page.waitForTimeout(500); // the page prepares its search texts when idle
    await ui.page.locator("#search").focus();
    const typed = [];
    for (const word of ["harbor", "brucke", "2001:db8", "velvet crown", "#12"]) {
      for (const key of word) {
        await ui.page.keyboard.press(key === " " ? "Space" : key);
        await idle(ui);
      }
      typed.push(...await samples(ui, "input"));
      for (let i = 0; i < word.length; i++) {
        await ui.page.keyboard.press("Backspace");
        await idle(ui);
      }
      typed.push(...await samples(ui, "input"));
    }
    line("keystroke in the search box", typed);

    // Scrolling: the list moves 40 pixels a frame for 240 frames; frame
    // intervals from requestAnimationFrame, and the page's own work per
    // scroll event (its listener, then style and layout).
    const scroll = await ui.page.evaluate(() => new Promise((done) => {
      const list = document.getElementById("list");
      list.scrollTop = 0;
      const work = [];
      let started = 0;
      window.addEventListener("scroll", () => { started = performance.now(); }, { capture: true });
      list.addEventListener("scroll", () => {
        void list.getBoundingClientRect().top;
        void document.body.offsetHeight;
        work.push(performance.now() - started);
      });
      const frames = [];
      let last = 0;
      const step = (now) => {
        if (last !== 0) frames.push(now - last);
        last = now;
        if (frames.length === 240) return done({ frames, work, cards: document.querySelectorAll(".card").length });
        list.scrollTop += 40;
        requestAnimationFrame(step);
      };
      requestAnimationFrame(step);
    }));
    line("scrolling: frame interval", scroll.frames);
    line("scrolling: page work per scroll event", scroll.work);
    console.log(`  scrolling: frames longer than 20 ms: ${scroll.frames.filter((f) => f > 20).length} of ` +
                `${scroll.frames.length}; ${scroll.cards} cards in the page at the end`);
    await ui.close();
  }
} finally {
  await browser.close();
}
