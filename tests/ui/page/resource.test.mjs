// The built page as the launcher embeds it: its bytes, its security policy,
// its bundled fonts, and that it asks nothing of the network.

import { describe, it, before, after } from "node:test";
import assert from "node:assert/strict";
import { launch, openPage, closeClean, server, pageBytes, PAGE_URL } from "./harness.mjs";

const TEST = { timeout: 20000 };
const POLICY = "default-src 'none'; style-src 'unsafe-inline'; font-src data:; img-src data:; script-src 'unsafe-inline'";

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser?.close(); });

describe("built file", () => {
  it("is UTF-8 without a byte-order mark and within the web view's size limit", () => {
    const bytes = pageBytes();
    assert.notDeepEqual([...bytes.subarray(0, 3)], [0xef, 0xbb, 0xbf]);
    assert.equal(bytes.subarray(0, 15).toString("latin1"), "<!DOCTYPE html>");
    // Throws on a malformed sequence instead of substituting U+FFFD.
    const text = new TextDecoder("utf-8", { fatal: true }).decode(bytes);
    assert.ok(text.includes("Looking for servers…"), "non-ASCII text survives as UTF-8");
    assert.ok(bytes.length < 2 * 1024 * 1024, `${bytes.length} bytes`);
    assert.ok(!text.includes("/* @fonts"), "font placeholder left in the page");
  });
});

describe("network and policy", () => {
  it("requests nothing but the page itself while it is used", TEST, async () => {
    const ui = await openPage(browser);
    try {
      await ui.send({ type: "name", value: "Mara" });
      await ui.send({ type: "status", text: "Downloading", percent: 40, busy: true });
      await ui.send({ type: "servers", list: [
        server("Alpha", "alpha.example", 27015, { verified: true, tags: ["a"], language: "en", description: "d" }),
        server("Beta", "2001:db8::2", 27016) ] });
      await ui.send({ type: "release", build: "1.0", protocol: 3 });
      await ui.page.locator(".card").nth(1).click();
      await ui.page.hover("#play");
      await ui.page.evaluate(() => document.fonts.ready);
      await ui.page.waitForTimeout(1500); // two grain cycles
      assert.deepEqual(ui.requests, [PAGE_URL]);
    } finally {
      await closeClean(ui, assert);
    }
  });

  it("the recorder sees a request the page would make", TEST, async () => {
    // Guards the check above against a recorder that never records.
    const ui = await openPage(browser);
    try {
      // A page without the policy, in the same recorded context.
      await ui.page.goto("about:blank");
      await ui.page.evaluate(() => fetch("http://velmora.invalid/probe").catch(() => {}));
      assert.ok(ui.requests.includes("http://velmora.invalid/probe"), ui.requests.join(" "));
    } finally {
      await ui.close();
    }
  });

  it("enforces its policy on anything that tries to load", TEST, async () => {
    const ui = await openPage(browser);
    try {
      assert.equal(await ui.page.getAttribute('meta[http-equiv="Content-Security-Policy"]', "content"), POLICY);
      await ui.page.evaluate(() => {
        const image = document.createElement("img");
        image.src = "http://velmora.invalid/pixel.png";
        document.body.append(image);
        const style = document.createElement("link");
        style.rel = "stylesheet";
        style.href = "http://velmora.invalid/fonts.css";
        document.head.append(style);
      });
      await ui.page.waitForFunction(() => window.__test.violations.length >= 2);
      assert.deepEqual((await ui.violations()).sort(),
                       ["img-src http://velmora.invalid/pixel.png", "style-src-elem http://velmora.invalid/fonts.css"]);
      assert.deepEqual(ui.failures.sort(), ["http://velmora.invalid/fonts.css csp",
                                            "http://velmora.invalid/pixel.png csp"]);
    } finally {
      await ui.close();
    }
  });
});

describe("fonts", () => {
  it("bundles every face the page uses and they all decode", TEST, async () => {
    const ui = await openPage(browser);
    try {
      const faces = await ui.page.evaluate(async () => {
        const all = [...document.fonts];
        await Promise.allSettled(all.map((face) => face.load()));
        return all.map((face) => `${face.family} ${face.weight} ${face.status}`).sort();
      });
      assert.deepEqual(faces, [
        "Big Shoulders Display 600 loaded", "Big Shoulders Display 800 loaded",
        "Inter 400 loaded", "Inter 500 loaded", "Inter 600 loaded",
        "JetBrains Mono 400 loaded", "JetBrains Mono 500 loaded",
        "Special Elite 400 loaded",
      ]);
    } finally {
      await closeClean(ui, assert);
    }
  });

  it("draws each role in its own family", TEST, async () => {
    const ui = await openPage(browser);
    try {
      await ui.send({ type: "servers", list: [server("Alpha", "alpha.example", 27015, { players: 5 })] });
      await ui.page.evaluate(() => document.fonts.ready);
      // The font that actually drew the text, as the renderer reports it.
      const cdp = await ui.context.newCDPSession(ui.page);
      await cdp.send("DOM.enable");
      await cdp.send("CSS.enable");
      const { root } = await cdp.send("DOM.getDocument", { depth: -1 });
      const drawnWith = async (selector) => {
        const { nodeId } = await cdp.send("DOM.querySelector", { nodeId: root.nodeId, selector });
        const { fonts } = await cdp.send("CSS.getPlatformFontsForNode", { nodeId });
        return fonts.map((font) => font.postScriptName).join(",");
      };
      const roles = {
        ".brand": /^BigShouldersDisplay/, "h1": /^BigShouldersDisplay/, ".card .name": /^BigShouldersDisplay/,
        ".card .now": /^BigShouldersDisplay/,
        "#status": /^Inter-/,
        "#refresh": /^SpecialElite/, "label": /^SpecialElite/, "#play": /^SpecialElite/,
        "#count": /^JetBrainsMono/, ".card .addr": /^JetBrainsMono/,
      };
      for (const [selector, family] of Object.entries(roles)) {
        assert.match(await drawnWith(selector), family, selector);
      }
      // Some Chromium versions' style inspector re-reads a file: page and
      // warns about it; that comes from the inspection, not from the page.
      const inspection = /^Unsafe attempt to load URL file:/;
      ui.errors.splice(0, ui.errors.length, ...ui.errors.filter((text) => !inspection.test(text)));
    } finally {
      await closeClean(ui, assert);
    }
  });
});
