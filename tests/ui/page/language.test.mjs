// The page in the pseudo-language, in which every text of the catalogue is
// accented, longer by two fifths and in [ ]: a text in plain letters did not
// come from the catalogue, and a control too small for its text shows. At
// the window's size, and zoomed to 150 % by the player, which the web view
// does by giving the page fewer CSS pixels (see openPage), not by a sharper
// display, which leaves the layout alone.

import { describe, it, before, after } from "node:test";
import assert from "node:assert/strict";
import { launch, openPage, closeClean, drive, STATES } from "./harness.mjs";

const TEST = { timeout: 60000 };

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser?.close(); });

// Visible texts with letters outside [ ] and outside what the host sent.
function untranslated(sent) {
  const texts = [document.title];
  const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
  for (let node = walker.nextNode(); node !== null; node = walker.nextNode()) {
    if (node.parentElement.closest("select") === null && node.parentElement.checkVisibility()) texts.push(node.data);
  }
  for (const element of document.body.querySelectorAll("*")) {
    if (!element.checkVisibility()) continue;
    for (const name of ["title", "aria-label", "placeholder", "aria-valuetext"]) texts.push(element.getAttribute(name) ?? "");
    if (element instanceof HTMLSelectElement) texts.push(element.selectedOptions[0]?.text ?? "");
  }
  const quoted = sent.map((value) => value.replace(/[.*+?^${}()|[\]\\]/g, "\\$&")).join("|");
  const theirs = new RegExp(`(?<!\\p{L})(${quoted})(?!\\p{L})`, "gu");
  return texts.filter((text) => /\p{L}/u.test(text.replace(/\[[^\]]*\]/g, "").replace(theirs, "")));
}

// Controls whose text does not fit them, or that something around them cuts.
function clipped() {
  const widthOf = (element, text) => {
    const probe = document.body.appendChild(document.createElement("span"));
    const style = getComputedStyle(element);
    Object.assign(probe.style, { position: "absolute", whiteSpace: "pre", font: style.font,
                                 letterSpacing: style.letterSpacing, textTransform: style.textTransform });
    probe.textContent = text;
    const width = probe.getBoundingClientRect().width;
    probe.remove();
    return width;
  };
  const found = [];
  const controls = "button, select, input, label, h1, #count, #percent, .unit, .card .badge, .card .full, .card.gone .tag";
  for (const element of document.querySelectorAll(controls)) {
    if (!element.checkVisibility()) continue;
    const style = getComputedStyle(element);
    const box = element.getBoundingClientRect();
    // Wider than its box; taller only where that is cut off (a line-height
    // of 1 lets accents stand over the box, which draws them all the same).
    let cut = element.scrollWidth > element.clientWidth + 1 ||
              (style.overflowY !== "visible" && element.scrollHeight > element.clientHeight + 1);
    if (element instanceof HTMLSelectElement || element instanceof HTMLInputElement) {
      const text = element.value === "" || element instanceof HTMLSelectElement ? element.selectedOptions?.[0]?.text ?? element.placeholder : element.value;
      const room = element.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
      cut = widthOf(element, text) > room - (element instanceof HTMLSelectElement ? 20 : 0) + 1;
    }
    for (let outer = element.parentElement; outer !== null && !cut; outer = outer.parentElement) {
      const edge = outer.getBoundingClientRect();
      cut = getComputedStyle(outer).overflowX !== "visible" && (box.left < edge.left - 0.5 || box.right > edge.right + 0.5);
    }
    if (cut) found.push(`${element.id || element.className || element.tagName}: ${element.textContent || element.placeholder}`);
  }
  return found;
}

// After the states, the failed one further on: its whole error, Repair's
// question, a favourite's note, the favourites (one the list lacks) and an
// empty view.
const FURTHER = [
  ["the whole error", (ui) => ui.page.focus("#status")],
  ["Repair's question", (ui) => ui.page.click("#repair")],
  ["a favourite's note", async (ui) => { await ui.page.keyboard.press("Escape"); await ui.page.focus("#list"); await ui.page.keyboard.press("f"); }],
  ["favourites", (ui) => ui.page.click("#view-favourites")],
  ["recent, empty", (ui) => ui.page.click("#view-recent")],
];

describe("pseudo-language", () => {
  for (const zoom of [1, 1.5]) {
    it(`every text from the catalogue, none cut, at ${zoom * 100} %`, TEST, async () => {
      for (const state of Object.keys(STATES)) {
        const ui = await openPage(browser, { lang: "qps-ploc", zoom });
        try {
          await drive(ui, state);
          const steps = [["", () => {}], ...(state === "failed" ? FURTHER : [])];
          for (const [step, take] of steps) {
            await take(ui);
            const sent = [...new Set(JSON.stringify(ui.sent).match(/"(?:[^"\\]|\\.)*"/g).map((s) => JSON.parse(s)))];
            assert.deepEqual(await ui.page.evaluate(untranslated, sent.concat("Mara")), [], `${state} ${step}`);
            assert.deepEqual(await ui.page.evaluate(clipped), [], `${state} ${step}`);
          }
        } finally {
          await closeClean(ui, assert);
        }
      }
    });
  }
});
