// The page's behaviour as the host and the player see it: what it posts,
// how it shows host messages, and when Play may be pressed.

import { describe, it, before, after } from "node:test";
import assert from "node:assert/strict";
import { launch, openPage, closeClean, server, IDLE } from "./harness.mjs";

const TEST = { timeout: 20000 };

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser?.close(); });

// Opens the page, runs the body, then insists on a clean console.
async function withPage(options, body) {
  const ui = await openPage(browser, options);
  try {
    await body(ui);
  } finally {
    await closeClean(ui, assert);
  }
}

// Alpha comes first by players as well as in the list.
const alpha = server("Alpha", "alpha.example", 27015, { players: 4 });
const beta = server("Beta", "10.0.0.2", 27020, { players: 3, maxPlayers: 16 });

// A page with the update finished and a list received, nothing typed.
async function listed(ui, list = [alpha, beta]) {
  await ui.send(IDLE);
  await ui.send({ type: "servers", list });
  await ui.clearPosted();
}

describe("start-up", () => {
  it("posts ready once, after every listener is in place", TEST, async () => {
    // Delivered synchronously inside the "ready" post: a listener added after
    // that post would miss them.
    const reply = [{ type: "name", value: "Mara" }, { type: "servers", list: [alpha] }, IDLE];
    await withPage({ reply }, async (ui) => {
      await ui.page.waitForTimeout(300);
      assert.deepEqual(await ui.posted(), [{ type: "ready" }]);
      assert.equal(await ui.page.inputValue("#who"), "Mara");
      assert.equal(await ui.text("#count"), "1 server · 4 playing");
      assert.equal(await ui.playEnabled(), true);
    });
  });

  it("opens in a plain browser, without the web view, and stays quiet", TEST, async () => {
    // closeClean fails the test if posting without a host threw.
    await withPage({ standIn: false }, async (ui) => {
      await ui.page.click("#close");
      await ui.page.fill("#who", "Mara");
      assert.equal(await ui.text("#status"), "Starting…");
      assert.equal(await ui.text("#count"), "—");
      assert.equal(await ui.text("#list"), "Looking for servers…");
      assert.equal(await ui.page.locator("#progress").isHidden(), true);
      assert.equal(await ui.playEnabled(), false);
    });
  });
});

describe("status messages", () => {
  it("shows the text and marks it bad or good", TEST, async () => {
    await withPage({}, async (ui) => {
      const cls = () => ui.page.getAttribute("#status", "class");
      await ui.send({ type: "status", text: "Up to date", percent: -1, good: true, busy: false });
      assert.equal(await ui.text("#status"), "Up to date");
      assert.equal(await cls(), "good");
      await ui.send({ type: "status", text: "Could not reach the server list: timed out", percent: -1, bad: true, busy: false });
      assert.equal(await cls(), "bad");
      await ui.send({ type: "status", text: "both", percent: -1, bad: true, good: true });
      assert.equal(await cls(), "bad");
      await ui.send({ type: "status", text: "Starting the game through Steam...", percent: -1 });
      assert.equal(await cls(), "");
      await ui.send({ type: "status", percent: -1 });
      assert.equal(await ui.text("#status"), "");
    });
  });

  it("fills the bar up to 100 and hides it without a percentage", TEST, async () => {
    await withPage({}, async (ui) => {
      const track = ui.page.locator("#progress");
      const barWidth = () => ui.page.evaluate(() => document.getElementById("bar").style.width);
      await ui.send({ type: "status", text: "Downloading", percent: 150, busy: true });
      assert.equal(await track.isVisible(), true);
      assert.equal(await barWidth(), "100%");
      await ui.send({ type: "status", text: "Downloading", percent: 0, busy: true });
      assert.equal(await track.isVisible(), true);
      assert.equal(await barWidth(), "0%");
      await ui.send({ type: "status", text: "Downloading", percent: 42, busy: true });
      assert.equal(await barWidth(), "42%");
      await ui.send({ type: "status", text: "Updated", percent: -1, good: true, busy: false });
      assert.equal(await track.isHidden(), true);
      await ui.send({ type: "status", text: "Downloading", percent: 10 });
      await ui.send({ type: "status", text: "no percent" });
      assert.equal(await track.isHidden(), true);
    });
  });

  it("changes busy only when the message says so", TEST, async () => {
    await withPage({}, async (ui) => {
      await ui.page.fill("#who", "Mara");
      await listed(ui);
      assert.equal(await ui.playEnabled(), true);
      await ui.send({ type: "status", text: "Starting the game through Steam...", percent: -1 });
      assert.equal(await ui.playEnabled(), true);
      await ui.send({ type: "status", text: "Checking files", percent: 5, busy: true });
      assert.equal(await ui.playEnabled(), false);
      await ui.send({ type: "status", text: "Velmora is already running. Close it first.", percent: -1, bad: true });
      assert.equal(await ui.playEnabled(), false);
      await ui.send({ type: "status", text: "Up to date", percent: -1, good: true, busy: false });
      assert.equal(await ui.playEnabled(), true);
    });
  });

  it("follows the update, not the list: only the list ends looking for servers", TEST, async () => {
    await withPage({}, async (ui) => {
      await ui.page.fill("#who", "Mara");
      await ui.send({ type: "status", text: "Update failed", percent: -1, bad: true, busy: false });
      assert.equal(await ui.text("#list"), "Looking for servers…");
      await ui.send({ type: "status", text: "Checking files", percent: 5, busy: true });
      await ui.send({ type: "servers", list: [alpha] });
      assert.equal(await ui.text("#count"), "1 server · 4 playing");
      assert.equal(await ui.playEnabled(), false, "the list arrived while the update hashes");
      await ui.send({ type: "servers", list: [] });
      assert.equal(await ui.text("#list"), "No servers are announcing right now");
      await ui.page.click("#refresh");
      assert.equal(await ui.text("#list"), "Looking for servers…");
      await ui.send({ type: "servers", list: [beta] });
      assert.equal(await ui.playEnabled(), false);
      await ui.send(IDLE);
      assert.equal(await ui.playEnabled(), true);
      // A refresh does not wait for the update again.
      await ui.page.click("#refresh");
      assert.equal(await ui.playEnabled(), true);
    });
  });
});

describe("the whole status text", () => {
  const LONG = "Could not reach the server list: the server name or address could not be resolved (win32 12007) " +
               "while fetching https://lists.velmora-servers.example/v1/announce.json?channel=stable&page=1";
  const LOG = "C:\\users\\ann\\AppData\\Local\\velmoramp\\launcher.log";
  const whole = (ui) => ui.page.locator("#whole");

  it("is shown on hover and on focus when the line cannot hold it, and can be selected", TEST, async () => {
    await withPage({}, async (ui) => {
      await ui.send({ type: "status", text: "Up to date", percent: -1, good: true, busy: false });
      await ui.page.hover("#status");
      assert.equal(await whole(ui).isVisible(), false, "a short text needs nothing more");
      await ui.send({ type: "status", text: LONG.replace("Could not", "Still trying to"), percent: 40, busy: true });
      await ui.page.mouse.move(500, 300);
      await ui.page.hover("#status");
      assert.equal(await whole(ui).isVisible(), true);
      assert.equal(await ui.text("#whole-text"), LONG.replace("Could not", "Still trying to"));
      await ui.page.mouse.move(500, 300);
      assert.equal(await whole(ui).isVisible(), false);
      await ui.page.focus("#status");
      assert.equal(await whole(ui).isVisible(), true);
      await ui.clearPosted();
      await ui.page.keyboard.press("Escape");
      assert.equal(await whole(ui).isVisible(), false, "Escape puts it away");
      assert.deepEqual(await ui.posted(), [], "and does not close the window");
      await ui.page.locator("#status").blur();
      await ui.page.focus("#status");
      await ui.page.locator("#whole-text").click({ clickCount: 3 });
      assert.equal((await ui.page.evaluate(() => String(window.getSelection()))).trim(),
                   LONG.replace("Could not", "Still trying to"));
    });
  });

  it("a click on an error copies it with the log's location and says so", TEST, async () => {
    await withPage({}, async (ui) => {
      await ui.context.grantPermissions(["clipboard-read", "clipboard-write"]);
      const clipboard = () => ui.page.evaluate(() => navigator.clipboard.readText());
      await ui.page.evaluate(() => navigator.clipboard.writeText("before"));
      await ui.send({ type: "release", build: "2.7.1", protocol: 12 });
      await ui.send({ type: "status", text: "Up to date", percent: -1, good: true, busy: false });
      await ui.page.click("#status");
      assert.equal(await clipboard(), "before", "only a failed status is copied");

      await ui.send({ type: "status", text: LONG, percent: -1, bad: true, busy: false });
      await ui.page.click("#status");
      assert.equal(await clipboard(), LONG);
      assert.equal(await ui.text("#build"), "Copied the message");

      await ui.send({ type: "log", path: LOG });
      await ui.page.hover("#status");
      assert.equal(await ui.text("#whole-log"), `Log: ${LOG}`);
      await ui.page.click("#status");
      assert.equal(await clipboard(), `${LONG}\nLog: ${LOG}`);
      assert.equal(await ui.text("#build"), "Copied the message and the log's location");
      await ui.page.waitForFunction(() => document.getElementById("build").textContent === "2.7.1", null,
                                    { timeout: 5000 });
      // By keyboard too, and Enter on it copies instead of playing.
      await ui.page.evaluate(() => navigator.clipboard.writeText("before"));
      await ui.page.fill("#who", "Mara");
      await ui.send({ type: "servers", list: [alpha] });
      await ui.clearPosted();
      await ui.page.focus("#status");
      await ui.page.keyboard.press("Enter");
      assert.equal(await clipboard(), `${LONG}\nLog: ${LOG}`);
      assert.deepEqual(await ui.posted(), []);
    });
  });
});

describe("servers, count and cards", () => {
  it("counts servers and players", TEST, async () => {
    await withPage({}, async (ui) => {
      await ui.send({ type: "servers", list: [] });
      assert.equal(await ui.text("#count"), "—");
      assert.equal(await ui.text("#list"), "No servers are announcing right now");
      await ui.send({ type: "servers", list: [server("Solo", "solo.example", 27015, { players: 7 })] });
      assert.equal(await ui.text("#count"), "1 server · 7 playing");
      const noPlayers = server("Empty", "empty.example", 27015);
      delete noPlayers.players;
      await ui.send({ type: "servers", list: [alpha, beta, noPlayers] });
      assert.equal(await ui.text("#count"), "3 servers · 7 playing");
      await ui.send({ type: "servers", list: [alpha, beta] });
      assert.equal(await ui.text("#count"), "2 servers · 7 playing");
      await ui.send({ type: "servers", list: "not a list" });
      assert.equal(await ui.text("#count"), "—");
    });
  });

  it("draws a card with every part the record has", TEST, async () => {
    await withPage({}, async (ui) => {
      const full = server("Harbour Nights", "2001:db8::7", 27016, {
        players: 12, maxPlayers: 40, description: "Docks and rain", language: "en",
        verified: true, tags: ["heists", "slow"] });
      const bare = server("Bare", "bare.example", 27015);
      delete bare.players;
      delete bare.maxPlayers;
      await ui.send({ type: "servers", list: [full, bare] });
      const first = ui.page.locator(".card").nth(0);
      assert.equal(await first.locator(".name").textContent(), "Harbour Nights");
      assert.equal(await first.locator(".desc").textContent(), "Docks and rain");
      assert.deepEqual(await first.locator(".meta > *").allTextContents(),
                       ["[2001:db8::7]:27016", "Verified", "en", "heists", "slow"]);
      assert.equal(await first.locator(".players").textContent(), "12 / 40");
      const second = ui.page.locator(".card").nth(1);
      assert.equal(await second.locator(".desc").count(), 0);
      assert.deepEqual(await second.locator(".meta > *").allTextContents(), ["bare.example:27015"]);
      assert.equal(await second.locator(".players").textContent(), "0 / 0");
    });
  });

  it("chooses the first card, then the one clicked", TEST, async () => {
    await withPage({}, async (ui) => {
      await ui.page.fill("#who", "Mara");
      await listed(ui);
      const chosenNames = () => ui.page.locator(".card.on .name").allTextContents();
      assert.deepEqual(await chosenNames(), ["Alpha"]);
      await ui.page.fill("#addr", "   ");
      await ui.page.locator(".card", { hasText: "Beta" }).click();
      assert.deepEqual(await chosenNames(), ["Beta"]);
      assert.equal(await ui.page.inputValue("#addr"), "");
      await ui.page.click("#play");
      assert.deepEqual(await ui.posted(), [{ type: "play", host: "10.0.0.2", port: 27020, name: "Mara" }]);
    });
  });

  it("keeps a choice when a new list arrives, even one without it", TEST, async () => {
    await withPage({}, async (ui) => {
      await ui.page.fill("#who", "Mara");
      await listed(ui);
      await ui.page.locator(".card", { hasText: "Beta" }).click();
      await ui.send({ type: "servers", list: [alpha] });
      assert.equal(await ui.page.locator(".card.on").count(), 0);
      await ui.page.click("#play");
      assert.deepEqual(await ui.posted(), [{ type: "play", host: "10.0.0.2", port: 27020, name: "Mara" }]);
    });
  });

  it("lets a direct address win, and does not bring the card back", TEST, async () => {
    await withPage({}, async (ui) => {
      await ui.page.fill("#who", "Mara");
      await listed(ui);
      await ui.page.fill("#addr", "[::1]:28000");
      assert.equal(await ui.page.locator(".card.on").count(), 0);
      await ui.page.keyboard.press("Enter");
      assert.deepEqual(await ui.posted(), [{ type: "play", host: "::1", port: 28000, name: "Mara" }]);
      await ui.page.fill("#addr", "");
      assert.equal(await ui.page.locator(".card.on").count(), 0);
      assert.equal(await ui.playEnabled(), false);
    });
  });

  it("one list at a time: Refresh is off from the click until the list (or its failure, an empty one) is in",
     TEST, async () => {
    await withPage({}, async (ui) => {
      const off = () => ui.page.evaluate(() => document.getElementById("refresh").disabled);
      assert.equal(await off(), true, "the first list is on its way");
      await listed(ui);
      assert.equal(await off(), false);
      await ui.clearPosted();
      await ui.page.click("#refresh");
      assert.equal(await off(), true);
      await ui.page.focus("#refresh");
      for (let i = 0; i < 5; ++i) await ui.page.keyboard.press("Enter");
      await ui.page.evaluate(() => document.getElementById("refresh").click());
      assert.deepEqual(await ui.posted(), [{ type: "refresh" }], "one refresh, however often it is asked for");
      await ui.send({ type: "servers", list: [] });
      assert.equal(await off(), false, "a failed fetch arrives as an empty list");
    });
  });

  it("refresh empties the list and asks the host; the window buttons post theirs", TEST, async () => {
    await withPage({}, async (ui) => {
      await listed(ui);
      await ui.page.click("#refresh");
      assert.equal(await ui.text("#list"), "Looking for servers…");
      assert.equal(await ui.text("#count"), "—");
      await ui.page.click("#min");
      await ui.page.click("#close");
      assert.deepEqual(await ui.posted(), [{ type: "refresh" }, { type: "minimise" }, { type: "close" }]);
    });
  });
});

describe("direct addresses", () => {
  it("parses hosts, bracketed IPv6 and ports", TEST, async () => {
    await withPage({}, async (ui) => {
      const cases = [
        ["[2001:db8::1]", { host: "2001:db8::1", port: 27015 }],
        ["[2001:DB8::1]:27016", { host: "2001:DB8::1", port: 27016 }],
        ["  [::1]:0  ", { host: "::1", port: 0 }],
        ["play.example.net", { host: "play.example.net", port: 27015 }],
        ["my_host-2.lan:99999", { host: "my_host-2.lan", port: 99999 }],
        ["10.0.0.5:7", { host: "10.0.0.5", port: 7 }],
        // Refused: too many port digits, blanks inside, stray brackets or colons.
        ["host.example:123456", null],
        ["[::1]:123456", null],
        ["my host", null],
        ["host: 27015", null],
        ["[::1", null],
        ["[]", null],
        ["[fe80::1%eth0]", null],
        ["::1", null],
        ["host:", null],
        ["", null],
        ["   ", null],
      ];
      for (const [text, expected] of cases) {
        assert.deepEqual(await ui.page.evaluate((t) => parseDirect(t), text), expected, JSON.stringify(text));
      }
    });
  });

  it("a refused address clears the chosen card and disables Play", TEST, async () => {
    await withPage({}, async (ui) => {
      await ui.page.fill("#who", "Mara");
      await listed(ui);
      await ui.page.fill("#addr", "host.example:123456");
      assert.equal(await ui.page.locator(".card.on").count(), 0);
      assert.equal(await ui.playEnabled(), false);
      await ui.page.fill("#addr", "my host");
      assert.equal(await ui.playEnabled(), false);
    });
  });

  it("Connect plays on the typed address", TEST, async () => {
    await withPage({}, async (ui) => {
      await ui.page.fill("#who", "Mara");
      await listed(ui);
      await ui.page.fill("#addr", " [2001:db8::9]:27111 ");
      await ui.page.click("#connect");
      assert.deepEqual(await ui.posted(), [{ type: "play", host: "2001:db8::9", port: 27111, name: "Mara" }]);
      // With a refused address Connect also drops the card and plays nothing.
      await ui.clearPosted();
      await ui.page.fill("#addr", "bad host");
      await ui.page.click("#connect");
      assert.deepEqual(await ui.posted(), []);
      assert.equal(await ui.page.locator(".card.on").count(), 0);
    });
  });
});

describe("Play, keys and the name", () => {
  it("enables Play only with a target, a name and the host idle", TEST, async () => {
    await withPage({}, async (ui) => {
      // Busy and nothing else.
      assert.equal(await ui.playEnabled(), false);
      await ui.page.fill("#addr", "host.example");
      await ui.page.fill("#who", "Mara");
      assert.equal(await ui.playEnabled(), false, "busy");
      await ui.send({ type: "servers", list: [] });
      assert.equal(await ui.playEnabled(), false, "still busy after the list");
      await ui.send(IDLE);
      assert.equal(await ui.playEnabled(), true);
      await ui.page.fill("#who", "    ");
      assert.equal(await ui.playEnabled(), false, "blank name");
      await ui.page.fill("#who", "Mara");
      await ui.page.fill("#addr", "");
      assert.equal(await ui.playEnabled(), false, "no target");
      await ui.send({ type: "servers", list: [alpha] });
      assert.equal(await ui.playEnabled(), true, "chosen card");
    });
  });

  it("Enter plays only when Play is enabled; Escape always closes", TEST, async () => {
    await withPage({}, async (ui) => {
      await listed(ui);
      await ui.page.keyboard.press("Enter");
      assert.deepEqual(await ui.posted(), [], "Enter without a name");
      await ui.page.fill("#who", "Mara");
      await ui.clearPosted();
      await ui.page.locator("#who").press("Enter");
      assert.deepEqual(await ui.posted(), [{ type: "play", host: "alpha.example", port: 27015, name: "Mara" }]);
      // A focused button takes Enter as its own press, once: Play does not also play.
      for (const [button, posted] of [["#play", { type: "play", host: "alpha.example", port: 27015, name: "Mara" }],
                                      ["#refresh", { type: "refresh" }]]) {
        await ui.clearPosted();
        await ui.page.focus(button);
        await ui.page.keyboard.press("Enter");
        assert.deepEqual(await ui.posted(), [posted], button);
      }
      await ui.clearPosted();
      await ui.page.locator("#addr").press("Escape");
      await ui.page.locator("body").press("Escape");
      assert.deepEqual(await ui.posted(), [{ type: "close" }, { type: "close" }]);
    });
  });

  it("posts the trimmed name on every keystroke and with play", TEST, async () => {
    await withPage({}, async (ui) => {
      await listed(ui);
      await ui.page.locator("#who").pressSequentially(" Al ");
      assert.deepEqual(await ui.posted(), [
        { type: "name", value: "" },
        { type: "name", value: "A" },
        { type: "name", value: "Al" },
        { type: "name", value: "Al" },
      ]);
      await ui.clearPosted();
      await ui.page.click("#play");
      assert.deepEqual(await ui.posted(), [{ type: "play", host: "alpha.example", port: 27015, name: "Al" }]);
    });
  });

  it("takes the host's name only into an empty field, whole, without echoing it", TEST, async () => {
    await withPage({}, async (ui) => {
      await listed(ui);
      const long = "A_name_that_is_longer_than_24_characters";
      await ui.send({ type: "name", value: long });
      assert.equal(await ui.page.inputValue("#who"), long);
      assert.equal(await ui.playEnabled(), true);
      await ui.page.fill("#who", "Typed");
      await ui.clearPosted();
      await ui.send({ type: "name", value: "Saved" });
      assert.equal(await ui.page.inputValue("#who"), "Typed");
      assert.deepEqual(await ui.posted(), []);
      await ui.page.fill("#who", "");
      await ui.send({ type: "name", value: "" });
      assert.equal(await ui.page.inputValue("#who"), "");
    });
  });

});

describe("host texts", () => {
  it("shows markup as text and never runs it", TEST, async () => {
    await withPage({}, async (ui) => {
      const markup = '<img src=x onerror="window.__ran=1"><b>bold</b>';
      await ui.send({ type: "servers", list: [server(markup, "a.example", 1, {
        description: markup, language: markup, tags: [markup], address: markup, players: markup })] });
      await ui.send({ type: "status", text: markup, percent: -1 });
      await ui.send({ type: "release", build: markup, protocol: 7 });
      await ui.send({ type: "name", value: markup });
      await ui.page.waitForTimeout(200);
      assert.equal(await ui.page.evaluate(() => window.__ran), undefined);
      assert.equal(await ui.page.locator("img, b").count(), 0);
      assert.equal(await ui.page.locator(".card .name").textContent(), markup);
      assert.equal(await ui.page.locator(".card .desc").textContent(), markup);
      assert.equal(await ui.text("#status"), markup);
      assert.equal(await ui.text("#build"), markup);
      assert.equal(await ui.page.inputValue("#who"), markup);
    });
  });

  it("shows the build and not the protocol", TEST, async () => {
    await withPage({}, async (ui) => {
      await ui.send({ type: "release", build: "1.4.2-r88", protocol: 31337 });
      assert.equal(await ui.text("#build"), "1.4.2-r88");
      assert.equal((await ui.page.locator("body").innerText()).includes("31337"), false);
      await ui.send({ type: "release", protocol: 2 });
      assert.equal(await ui.text("#build"), "");
    });
  });

  it("ignores what is not a known message object", TEST, async () => {
    await withPage({}, async (ui) => {
      for (const message of [null, 5, "status", [], { type: "Status", text: "x", busy: false },
                             { text: "x" }, { type: "unknown", text: "x" }]) {
        await ui.send(message);
      }
      assert.equal(await ui.text("#status"), "Starting…");
      assert.equal(await ui.text("#list"), "Looking for servers…");
    });
  });
});

describe("the update's controls", () => {
  it("Pause while it runs, Resume once paused, Retry after a failure, nothing once done", TEST, async () => {
    await withPage({}, async (ui) => {
      await listed(ui);
      const shown = () => ui.page.evaluate(() => ["pause", "retry"].map((id) => {
        const button = document.getElementById(id);
        return button.hidden ? "" : button.textContent;
      }));
      assert.deepEqual(await shown(), ["", ""], "before any run");
      const rows = [
        ["running", ["Pause", ""], { type: "pause" }],
        ["paused", ["Resume", ""], { type: "resume" }],
        ["failed", ["", "Retry"], { type: "retry" }],
        ["done", ["", ""], null],
      ];
      for (const [state, buttons, click] of rows) {
        await ui.send({ type: "run", state });
        assert.deepEqual(await shown(), buttons, state);
        if (click === null) continue;
        await ui.page.click(click.type === "retry" ? "#retry" : "#pause");
        assert.deepEqual(await ui.posted(), [click], state);
        await ui.clearPosted();
      }
      assert.equal(await ui.page.locator("#retry").isHidden(), true);
      // A control that goes away under the focus hands it on.
      await ui.send({ type: "run", state: "failed" });
      await ui.page.focus("#retry");
      await ui.page.keyboard.press("Enter");
      assert.equal(await ui.page.evaluate(() => document.activeElement.id), "repair");
    });
  });

  it("Repair asks first, holding the focus until answered, and is off while a run goes", TEST, async () => {
    await withPage({}, async (ui) => {
      await listed(ui);
      const focused = () => ui.page.evaluate(() => document.activeElement.id);
      await ui.page.click("#repair");
      assert.equal(await ui.page.locator("#confirm").isVisible(), true);
      assert.match(await ui.text("#confirm-text"), /reads every file/);
      assert.equal(await focused(), "confirm-yes");
      await ui.page.keyboard.press("Tab");
      await ui.page.keyboard.press("Tab");
      assert.equal(await focused(), "confirm-yes", "Tab stays in the question");
      await ui.page.keyboard.press("Escape");
      assert.equal(await ui.page.locator("#confirm").isVisible(), false);
      assert.equal(await focused(), "repair");
      await ui.page.click("#repair");
      await ui.page.click("#confirm-no");
      assert.equal(await ui.page.locator("#confirm").isVisible(), false);
      assert.deepEqual(await ui.posted(), [], "Escape cancels: no repair and no close");
      await ui.page.click("#repair");
      await ui.page.keyboard.press("Enter");  // on the confirmation's own button: no Play
      assert.deepEqual(await ui.posted(), [{ type: "repair" }]);
      await ui.send({ type: "run", state: "running" });
      assert.equal(await ui.page.locator("#repair").isDisabled(), true);
    });
  });

  it("the limit shows the host's value and sends what the player types, once", TEST, async () => {
    await withPage({}, async (ui) => {
      await listed(ui);
      await ui.send({ type: "speed", value: 2048 });
      assert.equal(await ui.page.inputValue("#speed"), "2048");
      await ui.page.fill("#speed", "4096");
      await ui.page.press("#speed", "Enter");
      await ui.page.locator("#who").focus();  // the change event as well: still one post
      await ui.page.fill("#speed", "-5");
      await ui.page.press("#speed", "Enter");
      assert.equal(await ui.page.inputValue("#speed"), "4096", "a value that is no limit is put back");
      await ui.page.fill("#speed", "0");
      await ui.page.press("#speed", "Enter");
      assert.deepEqual(await ui.posted(), [{ type: "speed", value: 4096 }, { type: "speed", value: 0 }]);
    });
  });
});
