// The page for a player without a mouse, with a screen reader or in Windows
// high contrast: axe finds nothing in any state or language, Tab reaches
// every control in the page's order, and a favourite is made and taken back
// with keys alone.

import { describe, it, before, after } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { launch, openPage, closeClean, drive, pageRequire, STATES } from "./harness.mjs";

const TEST = { timeout: 60000 };
const AXE = readFileSync(pageRequire.resolve("axe-core/axe.min.js"), "utf8");
const TAGS = ["wcag2a", "wcag2aa", "wcag21a", "wcag21aa", "best-practice"];

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser?.close(); });

// axe's findings, and apart from them its contrast findings on colours the
// page does not paint: with forced colours emulated, axe takes a text's
// colour from the page's own style while Chromium paints it in the system's
// (the computed colour says which), on the system's background.
async function audit(ui) {
  await ui.page.addScriptTag({ content: AXE });
  return ui.page.evaluate(async (tags) => {
    const { violations } = await axe.run(document, { runOnly: { type: "tag", values: tags } });
    const hex = (rgb) => "#" + rgb.match(/\d+/g).slice(0, 3).map((n) => Number(n).toString(16).padStart(2, "0")).join("");
    const found = { real: [], emulated: 0 };
    for (const { id, nodes } of violations) {
      for (const node of nodes) {
        const painted = hex(getComputedStyle(document.querySelector(node.target[0])).color);
        if (id === "color-contrast" && matchMedia("(forced-colors: active)").matches &&
            node.any[0]?.data?.fgColor !== painted) found.emulated++;
        else found.real.push(`${id} ${node.target.join(" ")}: ${node.failureSummary}`);
      }
    }
    return found;
  }, TAGS);
}

describe("axe", () => {
  for (const forced of [false, true]) {
    for (const lang of ["en", "ru", "qps-ploc"]) {
      it(`${lang}${forced ? " in forced colours" : ""}: nothing in any state`, TEST, async (t) => {
        for (const state of Object.keys(STATES)) {
          const ui = await openPage(browser, { lang });
          try {
            if (forced) await ui.page.emulateMedia({ forcedColors: "active" });
            await drive(ui, state);
            const { real, emulated } = await audit(ui);
            t.diagnostic(`${state}: ${real.length} violations, ${emulated} contrast findings on emulated colours`);
            assert.deepEqual(real, [], state);
          } finally {
            await closeClean(ui, assert);
          }
        }
      });
    }
  }
});

// Presses key until the focus is on the element with that id.
async function keyTo(ui, id, key = "Tab") {
  for (let i = 0; i < 40; i++) {
    if (await ui.page.evaluate(() => document.activeElement.id) === id) return;
    await ui.page.keyboard.press(key);
  }
  assert.fail(`${key} never reached #${id}`);
}

describe("keyboard alone", () => {
  for (const state of ["paused", "failed"]) {
    it(`Tab reaches every visible, enabled control in the page's order (${state})`, TEST, async (t) => {
      const ui = await openPage(browser);
      try {
        await drive(ui, state);
        const controls = await ui.page.evaluate(() => [...document.querySelectorAll("button, input, select, [tabindex], [role=listbox]")]
          .filter((control) => !control.disabled && control.checkVisibility()).map((control) => control.id));
        // Once round: past the last control the focus leaves the page.
        const reached = [];
        for (let i = 0; i < 60; i++) {
          await ui.page.keyboard.press("Tab");
          const id = await ui.page.evaluate(() => (document.activeElement === document.body ? null : document.activeElement.id));
          if (id === null || id === reached[0]) break;
          reached.push(id);
        }
        t.diagnostic(`${reached.length} of ${controls.length} controls reached`);
        assert.deepEqual(reached, controls);
      } finally {
        await closeClean(ui, assert);
      }
    });
  }

  it("makes a favourite and takes it back, says so, and Favourites shows it", TEST, async () => {
    const ui = await openPage(browser);
    try {
      await drive(ui, "failed");
      await ui.clearPosted();
      await keyTo(ui, "list");
      await ui.page.keyboard.press("ArrowDown");
      const name = await ui.text(".card.on .name");
      const host = (await ui.text(".card.on .addr")).split(":")[0];
      await ui.page.keyboard.press("f");
      assert.equal(await ui.text("#build"), `${name} is a favourite now`);
      assert.equal(await ui.page.getByRole("option", { name: new RegExp(`^Favourite ${name} `) }).count(), 1);
      await keyTo(ui, "view-favourites", "Shift+Tab");
      await ui.page.keyboard.press("Enter");
      assert.equal(await ui.page.locator(".card", { hasText: name }).count(), 1);
      await keyTo(ui, "list");
      await ui.page.keyboard.press("Home");
      await keyTo(ui, "list"); // Home keeps the focus
      while (await ui.text(".card.on .name") !== name) await ui.page.keyboard.press("ArrowDown");
      await ui.page.keyboard.press(" ");
      assert.equal(await ui.text("#build"), `${name} is no longer a favourite`);
      assert.equal(await ui.page.locator(".card", { hasText: name }).count(), 0);
      assert.deepEqual((await ui.posted()).map(({ host, on }) => [host, on]), [[host, true], [host, false]]);
    } finally {
      await closeClean(ui, assert);
    }
  });
});
