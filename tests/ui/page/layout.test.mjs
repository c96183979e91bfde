// The page at the window's fixed size: screenshots of three states, and
// checks that long host texts never push anything out of place.

import { describe, it, before, after } from "node:test";
import assert from "node:assert/strict";
import { mkdirSync } from "node:fs";
import { join } from "node:path";
import { launch, openPage, closeClean, server, pageWithoutFonts, SCREENSHOTS, WIDTH, HEIGHT } from "./harness.mjs";

const TEST = { timeout: 30000 };

let browser;
before(async () => {
  mkdirSync(SCREENSHOTS, { recursive: true });
  browser = await launch();
});
after(async () => { await browser?.close(); });

// Names at the list's limit of 48 characters, descriptions at 160; wide
// letters on purpose.
function longServers() {
  const names = [
    "WOLFMOOR WAREHOUSE MOB WARS — WEEKEND MEGAMAYHEM",
    "Marrowgate Docks | Heists, Racing, Roleplay 24/7",
    "The Quiet Harbour Social Club & Jazz Bar (EU/SE)",
    "MMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMM",
    "Small one",
    "Lantern Row Racing League — Season 4 Qualifiers!",
  ];
  const description = (seed) =>
    `${seed}: open to everyone, voice chat optional, whitelist for gangs, weekly events on Fridays at 20:00 CET, ` +
    "rules on the board by the harbour, see you there :)";
  return names.map((name, index) => server(name, index === 2 ? `2001:db8:4000:12::${index}` : `play${index}.velmora-servers.example`,
    27015 + index, {
      description: index === 4 ? "" : description(`Server ${index + 1}`),
      players: [128, 47, 3, 0, 12, 255][index],
      maxPlayers: [128, 64, 32, 256, 16, 256][index],
      verified: index % 2 === 0,
      language: index === 4 ? "" : ["en", "de", "en-GB", "pl", "", "fr"][index],
      tags: index === 4 ? [] : ["roleplay", "racing", "heists", "serious", "whitelisted", "voice"].slice(0, 2 + index),
    }));
}

const LONG_ERROR = "Could not reach the server list: the server name or address could not be resolved " +
                   "(win32 12007) while fetching https://lists.velmora-servers.example/v1/announce.json";

// Everything that could break the frame, checked in the page. Returns a list
// of problems, empty when the layout holds.
function layoutProblems() {
  const problems = [];
  const fmt = (r) => `[${Math.round(r.left)},${Math.round(r.top)} ${Math.round(r.right)},${Math.round(r.bottom)}]`;
  const within = (inner, outer, what) => {
    if (inner.left < outer.left - 0.5 || inner.top < outer.top - 0.5 ||
        inner.right > outer.right + 0.5 || inner.bottom > outer.bottom + 0.5) {
      problems.push(`${what} ${fmt(inner)} outside ${fmt(outer)}`);
    }
  };
  const overlap = (elements, what) => {
    const shown = elements.filter((e) => e.getClientRects().length > 0);
    for (let i = 1; i < shown.length; i++) {
      const a = shown[i - 1].getBoundingClientRect();
      const b = shown[i].getBoundingClientRect();
      if (b.left < a.right - 0.5) problems.push(`${what}: item ${i} overlaps the one before it`);
    }
  };
  // A text may be cut only where it is meant to be, and then with an ellipsis.
  const cut = (element, what) => {
    const style = getComputedStyle(element);
    if (style.overflowX === "visible" || style.overflowY === "auto") return; // draws outside, or scrolls
    if (element.scrollHeight > element.clientHeight + 1) problems.push(`${what} is cut vertically`);
    if (element.scrollWidth > element.clientWidth + 1 && style.textOverflow !== "ellipsis") {
      problems.push(`${what} is cut without an ellipsis`);
    }
  };

  const view = { left: 0, top: 0, right: innerWidth, bottom: innerHeight };
  const root = document.scrollingElement;
  if (root.scrollWidth > innerWidth || root.scrollHeight > innerHeight) problems.push("the document scrolls");

  for (const selector of ["header", "main", "footer", ".brand", "#min", "#close", "h1", "#count", "#refresh",
                          "#view-all", "#view-favourites", "#view-recent", "#search", "label[for=sort]", "#sort",
                          "#hide-full", "#hide-empty", "#verified-only", "#tag",
                          "#list", "label[for=addr]", "#addr", "#connect", "label[for=who]", "#who",
                          "#status", "#build", "#repair", "#speed", "#play"]) {
    const element = document.querySelector(selector);
    within(element.getBoundingClientRect(), view, selector);
    cut(element, selector);
  }
  const progress = document.getElementById("progress");
  if (!progress.hidden) within(progress.getBoundingClientRect(), view, "#progress");
  const whole = document.getElementById("whole");
  if (whole.getClientRects().length > 0) within(whole.getBoundingClientRect(), view, "#whole");

  const rows = (selector) => [...document.querySelector(selector).children];
  overlap(rows("header"), "title bar");
  overlap(rows(".heading"), "heading");
  overlap(rows(".views"), "views");
  overlap(rows(".tools"), "tools");
  overlap(rows(".direct"), "direct row");
  overlap(rows("footer"), "footer");
  if (document.querySelector(".rule").getBoundingClientRect().width < 20) problems.push("the heading rule is squeezed out");

  const list = document.getElementById("list");
  if (list.scrollWidth > list.clientWidth) problems.push("the list scrolls sideways");
  const listBox = list.getBoundingClientRect();
  const usable = { left: listBox.left + list.clientLeft, right: listBox.left + list.clientLeft + list.clientWidth,
                   top: -Infinity, bottom: Infinity };
  const cards = [...list.querySelectorAll(".card")].sort((a, b) => a.offsetTop - b.offsetTop);
  for (const [index, card] of cards.entries()) {
    const box = card.getBoundingClientRect();
    within(box, usable, `card ${index}`);
    overlap([card.querySelector(".star"), card.querySelector(".body"), card.querySelector(".players")], `card ${index}`);
    within(card.querySelector(".players").getBoundingClientRect(), box, `card ${index} players`);
    within(card.querySelector(".ping").getBoundingClientRect(), box, `card ${index} ping`);
    // Cards are placed by measured heights: a wrong one shows as a wrong gap.
    if (index > 0) {
      const gap = box.top - cards[index - 1].getBoundingClientRect().bottom;
      if (Math.abs(gap - 8) > 0.5) problems.push(`cards ${index - 1} and ${index} are ${gap} apart`);
    }
    for (const part of card.querySelectorAll(".name, .desc, .meta")) {
      within(part.getBoundingClientRect(), card.querySelector(".body").getBoundingClientRect(), `card ${index} ${part.className}`);
      cut(part, `card ${index} ${part.className}`);
    }
  }
  return problems;
}

// How many texts are cut, so a test can prove the ellipsis is really used.
function cutTexts() {
  return [...document.querySelectorAll(".card .name, .card .desc, #status")]
    .filter((element) => element.scrollWidth > element.clientWidth + 1).length;
}

async function settle(ui) {
  await ui.page.evaluate(() => document.fonts.ready);
}

async function shoot(ui, name) {
  await settle(ui);
  // Frozen animations: the grain jumps and the bar would still be growing.
  await ui.page.screenshot({ path: join(SCREENSHOTS, name), animations: "disabled" });
}

async function listState(ui) {
  await ui.send({ type: "name", value: "Mara_the_Quiet" });
  await ui.send({ type: "servers", list: longServers() });
  await ui.send({ type: "favourites", list: [{ host: longServers()[0].host, port: longServers()[0].port, name: "" }] });
  await ui.send({ type: "ping", results: [{ host: longServers()[0].host, ms: 38 }, { host: longServers()[1].host, ms: 1204 },
                                          { host: longServers()[2].host, ms: -1 }] });
  await ui.send({ type: "release", build: "2.7.1 (build 4821, channel stable)", protocol: 12 });
  await ui.send({ type: "status", text: "Downloading velmora_mp/scripts/harbour_district.bin", percent: 64, busy: true });
  await ui.page.locator(".card", { hasText: longServers()[1].name }).click();
}

describe("screenshots at the window's size", () => {
  it("starting", TEST, async () => {
    const ui = await openPage(browser);
    try {
      await shoot(ui, "starting.png");
      assert.deepEqual(await ui.page.evaluate(layoutProblems), []);
      assert.deepEqual(await ui.page.evaluate(() => [innerWidth, innerHeight]), [WIDTH, HEIGHT]);
    } finally {
      await closeClean(ui, assert);
    }
  });

  it("a long list with one chosen and progress", TEST, async () => {
    assert.equal(longServers().filter((s) => s.name.length === 48 && s.description.length === 160).length, 5);
    const ui = await openPage(browser);
    try {
      await listState(ui);
      await shoot(ui, "servers.png");
      assert.deepEqual(await ui.page.evaluate(layoutProblems), []);
      assert.ok(await ui.page.evaluate(cutTexts) >= 5, "the 160-character descriptions are cut");
      assert.equal(await ui.page.locator(".card.on").count(), 1);
      // The list scrolls to its last card without breaking the frame.
      await ui.page.locator(".card").last().scrollIntoViewIfNeeded();
      assert.deepEqual(await ui.page.evaluate(layoutProblems), []);
    } finally {
      await closeClean(ui, assert);
    }
  });

  it("an error", TEST, async () => {
    const ui = await openPage(browser);
    try {
      await ui.send({ type: "name", value: "Mara_the_Quiet" });
      await ui.send({ type: "release", build: "2.7.1 (build 4821, channel stable)", protocol: 12 });
      await ui.send({ type: "servers", list: [] });
      await ui.send({ type: "status", text: LONG_ERROR, percent: -1, bad: true, busy: false });
      await shoot(ui, "error.png");
      assert.deepEqual(await ui.page.evaluate(layoutProblems), []);
      assert.equal(await ui.page.evaluate(cutTexts), 1, "the long error is cut with an ellipsis");
    } finally {
      await closeClean(ui, assert);
    }
  });
});

// A 150 % or 200 % display: the same layout in device-independent pixels,
// drawn with more device pixels (screenshots at the display's resolution).
describe("sharp at every scale", () => {
  for (const scale of [1, 1.5, 2]) {
    it(`${scale * 100} %`, TEST, async () => {
      const ui = await openPage(browser, { scale });
      try {
        await listState(ui);
        await ui.send({ type: "run", state: "paused" });
        await ui.send({ type: "speed", value: 4096 });
        await shoot(ui, `servers-${scale * 100}.png`);
        assert.deepEqual(await ui.page.evaluate(layoutProblems), []);
        assert.deepEqual(await ui.page.evaluate(() => [innerWidth, innerHeight, devicePixelRatio]), [WIDTH, HEIGHT, scale]);
        const shot = await ui.page.screenshot();
        assert.deepEqual([shot.readUInt32BE(16), shot.readUInt32BE(20)], [WIDTH * scale, HEIGHT * scale],
                         "the screenshot has the display's pixels");
      } finally {
        await closeClean(ui, assert);
      }
    });
  }
});

describe("screenshots of the new views", () => {
  it("favourites with a server the list no longer holds, filtered", TEST, async () => {
    const ui = await openPage(browser);
    try {
      await listState(ui);
      await ui.send({ type: "favourites", list: [
        { host: "gone-for-good.velmora-servers.example", port: 27015, name: longServers()[3].name },
        { host: longServers()[1].host, port: longServers()[1].port, name: "" },
        { host: "2001:db8:4000:12:0:0:0:99", port: 65535, name: "" }] });
      await ui.page.click("#view-favourites");
      await ui.page.fill("#search", "0");
      await ui.page.click("#hide-empty");
      await ui.page.click("#verified-only");
      await ui.page.focus("#tag");
      await ui.page.selectOption("#tag", "whitelisted");
      await ui.page.click("#verified-only");
      await ui.page.selectOption("#tag", "");
      await ui.page.selectOption("#sort", "ping");
      assert.equal(await ui.page.locator(".card.gone").count(), 2);
      await shoot(ui, "favourites.png");
      assert.deepEqual(await ui.page.evaluate(layoutProblems), []);
    } finally {
      await closeClean(ui, assert);
    }
  });

  it("the whole error over the list", TEST, async () => {
    const ui = await openPage(browser);
    try {
      await listState(ui);
      await ui.send({ type: "log", path: "C:\\users\\Mara_the_Quiet\\AppData\\Local\\velmoramp\\launcher.log" });
      await ui.send({ type: "status", text: `${LONG_ERROR} ${LONG_ERROR} ${"x".repeat(300)}`, percent: -1, bad: true,
                      busy: false });
      await ui.page.hover("#status");
      assert.equal(await ui.page.locator("#whole").isVisible(), true);
      await shoot(ui, "error-whole.png");
      assert.deepEqual(await ui.page.evaluate(layoutProblems), []);
    } finally {
      await closeClean(ui, assert);
    }
  });

  it("ten thousand servers, scrolled", TEST, async () => {
    const ui = await openPage(browser);
    try {
      await listState(ui);
      const many = Array.from({ length: 10000 }, (_, i) => longServers()[i % 6]);
      await ui.send({ type: "servers", list: many.map((s, i) => ({ ...s, host: `h${i}.example`, address: `h${i}.example:27015`, name: `${i} ${s.name}` })) });
      await ui.page.mouse.move(500, 300);
      for (let i = 0; i < 20; i++) await ui.page.mouse.wheel(0, 2000);
      await ui.page.waitForFunction(() => document.getElementById("list").scrollTop > 20000);
      await ui.page.mouse.click(500, 300);
      await shoot(ui, "thousands.png");
      assert.deepEqual(await ui.page.evaluate(layoutProblems), []);
      assert.equal(await ui.page.locator(".card.on").count(), 1);
    } finally {
      await closeClean(ui, assert);
    }
  });
});

describe("window behaviour", () => {
  it("holds its layout with the fallback fonts alone", TEST, async () => {
    // The same page built without its fonts inlined.
    const ui = await openPage(browser, { url: pageWithoutFonts() });
    try {
      assert.equal(await ui.page.evaluate(() => document.fonts.size), 0);
      await listState(ui);
      await shoot(ui, "fallback-fonts.png");
      assert.deepEqual(await ui.page.evaluate(layoutProblems), []);
      assert.equal(await ui.text(".card.on .name"), longServers()[1].name);
    } finally {
      await closeClean(ui, assert);
    }
  });

  it("selects text only inside the inputs", TEST, async () => {
    const ui = await openPage(browser);
    try {
      await ui.send({ type: "servers", list: longServers() });
      await ui.page.mouse.move(30, 100);
      await ui.page.mouse.down();
      await ui.page.mouse.move(900, 600, { steps: 5 });
      await ui.page.mouse.up();
      await ui.page.keyboard.press("Control+A");
      assert.equal(await ui.page.evaluate(() => String(window.getSelection())), "");
      await ui.page.fill("#who", "Mara");
      await ui.page.locator("#who").press("Control+A");
      assert.deepEqual(await ui.page.$eval("#who", (e) => [e.selectionStart, e.selectionEnd]), [0, 4]);
    } finally {
      await closeClean(ui, assert);
    }
  });
});
