// Finding a server: search, sort and filters, favourites and recent servers,
// pings, the keyboard, and a list of thousands of which only the cards in
// view exist.

import { describe, it, before, after } from "node:test";
import assert from "node:assert/strict";
import { launch, openPage, closeClean, server, IDLE, WIDTH } from "./harness.mjs";

const TEST = { timeout: 30000 };

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser?.close(); });

// List order is not name order, players order or ping order on purpose.
const FLEET = [
  server("Night Shift", "lobby", 27015, { players: 3, maxPlayers: 16, verified: true, tags: ["rp", "eu"] }),
  server("Velmora Central", "central.example.net", 27015, { players: 58, maxPlayers: 128, verified: true,
    description: "Round-the-clock sessions", language: "en", tags: ["official", "pvp", "eu"] }),
  server("Brücke der Nacht", "203.0.113.24", 27020, { players: 12, description: "Deutschsprachiger Rollenspiel-Server",
    language: "de", tags: ["RP"] }),
  server("IPv6 Test Ground", "2001:db8::42", 7777, { maxPlayers: 8, description: "Reachable over IPv6 only." }),
  server("Les Quais", "quais.example.org", 27017, { players: 24, maxPlayers: 24, description: "Serveur détendu",
    language: "fr", tags: ["casual"] }),
  server("Ærø Øresund", "oresund.example.dk", 27015, { maxPlayers: 64, tags: ["Straße"] }),
  server("Zulu Racing", "zulu.example", 27015, { players: 64, maxPlayers: 64, verified: true, tags: ["racing"] }),
  server("alpha lowercase", "alpha.example", 27015, { players: 5, maxPlayers: 10 }),
];
// The default sort: most players first, ties in list order.
const BY_PLAYERS = ["Zulu Racing", "Velmora Central", "Les Quais", "Brücke der Nacht", "alpha lowercase", "Night Shift",
                    "IPv6 Test Ground", "Ærø Øresund"];
const PINGS = [{ host: "lobby", ms: 42 }, { host: "CENTRAL.example.net", ms: 118 }, { host: "203.0.113.24", ms: -1 },
               { host: "quais.example.org", ms: 7 }];

async function withPage(body, options = {}) {
  const ui = await openPage(browser, options);
  try {
    await body(ui);
  } finally {
    await closeClean(ui, assert);
  }
}

async function start(ui, list = FLEET) {
  await ui.send(IDLE);
  await ui.send({ type: "name", value: "Mara" });
  await ui.send({ type: "servers", list });
  await ui.clearPosted();
}

// The names on the cards that exist, top to bottom.
function drawnNames(ui) {
  return ui.page.evaluate(() => [...document.querySelectorAll("#rows .card")]
    .sort((a, b) => a.offsetTop - b.offsetTop).map((card) => card.querySelector(".name").textContent));
}

// A taller window reaches the list through a ResizeObserver, a moment after
// the resize: the test waits until the list draws every card of the list.
function everyCardDrawn(ui, count) {
  return ui.page.waitForFunction((n) => document.querySelectorAll("#rows .card").length === n, count);
}

// Sets every control as a player would; anything left out is at its default.
async function controls(ui, { search = "", full = false, empty = false, verified = false, tag = "", sort = "players" }) {
  await ui.page.fill("#search", search);
  for (const [id, on] of [["#hide-full", full], ["#hide-empty", empty], ["#verified-only", verified]]) {
    if ((await ui.page.getAttribute(id, "aria-pressed")) !== String(on)) await ui.page.click(id);
  }
  await ui.page.focus("#tag"); // the menu is filled by the time it is opened
  await ui.page.selectOption("#tag", tag);
  await ui.page.selectOption("#sort", sort);
}

describe("search, filters and sort", () => {
  // Each row: the controls, then the names shown, in order.
  const cases = [
    [{}, BY_PLAYERS],
    [{ search: "NIGHT" }, ["Night Shift"]],
    // Accents folded both ways; descriptions, addresses and tags searched.
    [{ search: "brucke" }, ["Brücke der Nacht"]],
    [{ search: "BRÜCKE" }, ["Brücke der Nacht"]],
    [{ search: "detendu" }, ["Les Quais"]],
    [{ search: "aero oresund" }, ["Ærø Øresund"]],
    [{ search: "strasse" }, ["Ærø Øresund"]],
    [{ search: "[2001:db8::42]:7777" }, ["IPv6 Test Ground"]],
    [{ search: "quais.example.org:27017" }, ["Les Quais"]],
    [{ search: " rp " }, ["Brücke der Nacht", "Night Shift"]],
    // Every word must match, in any order.
    [{ search: "eu official" }, ["Velmora Central"]],
    [{ search: "official night" }, []],
    [{ full: true }, ["Velmora Central", "Brücke der Nacht", "alpha lowercase", "Night Shift", "IPv6 Test Ground",
                      "Ærø Øresund"]],
    [{ empty: true }, ["Zulu Racing", "Velmora Central", "Les Quais", "Brücke der Nacht", "alpha lowercase",
                       "Night Shift"]],
    [{ verified: true }, ["Zulu Racing", "Velmora Central", "Night Shift"]],
    [{ full: true, empty: true, verified: true }, ["Velmora Central", "Night Shift"]],
    // Tags match whatever their case.
    [{ tag: "rp" }, ["Brücke der Nacht", "Night Shift"]],
    [{ tag: "strasse" }, ["Ærø Øresund"]],
    [{ tag: "eu", search: "central" }, ["Velmora Central"]],
    [{ sort: "name" }, ["Ærø Øresund", "alpha lowercase", "Brücke der Nacht", "IPv6 Test Ground", "Les Quais",
                        "Night Shift", "Velmora Central", "Zulu Racing"]],
    // Measured first, then no answer, then unmeasured in list order.
    [{ sort: "ping" }, ["Les Quais", "Night Shift", "Velmora Central", "Brücke der Nacht", "IPv6 Test Ground",
                        "Ærø Øresund", "Zulu Racing", "alpha lowercase"]],
    [{ sort: "name", empty: true, search: "example" }, ["alpha lowercase", "Les Quais", "Velmora Central",
                                                        "Zulu Racing"]],
  ];

  it("show what each setting asks for, in order", TEST, async () => {
    await withPage(async (ui) => {
      await ui.page.setViewportSize({ width: WIDTH, height: 1400 }); // every card at once
      await start(ui);
      await everyCardDrawn(ui, FLEET.length);
      await ui.send({ type: "ping", results: PINGS });
      for (const [settings, expected] of cases) {
        await controls(ui, settings);
        assert.deepEqual(await drawnNames(ui), expected, JSON.stringify(settings));
      }
      assert.deepEqual(await ui.posted(), [], "finding a server tells the host nothing");
    });
  });

  it("sorts by players, most first, ties in list order, and keeps a list already ranked as it is", TEST, async () => {
    // In address order, with many ties among six player counts.
    const list = Array.from({ length: 30 }, (_, i) => server(`Server ${i}`, `s${String(i).padStart(2, "0")}.example`,
                                                             27015, { players: (i * 7) % 6 }));
    const ranked = [5, 4, 3, 2, 1, 0].flatMap((players) => list.filter((s) => s.players === players));
    await withPage(async (ui) => {
      await ui.page.setViewportSize({ width: WIDTH, height: 2600 });
      await start(ui, list);
      await everyCardDrawn(ui, list.length);
      assert.deepEqual(await drawnNames(ui), ranked.map((s) => s.name));
      await ui.send({ type: "servers", list: ranked });
      assert.deepEqual(await drawnNames(ui), ranked.map((s) => s.name));
    });
  });

  it("offers the tags present, most used first, and keeps a chosen tag across lists", TEST, async () => {
    await withPage(async (ui) => {
      await start(ui);
      await ui.page.focus("#tag");
      const options = () => ui.page.locator("#tag option").allTextContents();
      assert.deepEqual(await options(), ["All tags", "eu (2)", "rp (2)", "casual (1)", "official (1)", "pvp (1)",
                                         "racing (1)", "Straße (1)"]);
      await ui.page.selectOption("#tag", "racing");
      await ui.send({ type: "servers", list: FLEET.slice(0, 2) });
      await ui.page.focus("#search");
      await ui.page.focus("#tag");
      assert.equal(await ui.page.inputValue("#tag"), "racing");
      assert.deepEqual(await options(), ["All tags", "eu (2)", "official (1)", "pvp (1)", "rp (1)", "racing (0)"]);
      assert.equal(await ui.text("#list"), "No servers match");
    });
  });

  it("counts what is shown and what exists", TEST, async () => {
    await withPage(async (ui) => {
      await start(ui);
      assert.equal(await ui.text("#count"), "8 servers · 166 playing");
      await controls(ui, { full: true });
      assert.equal(await ui.text("#count"), "6 of 8 servers · 78 playing");
      await controls(ui, { search: "no such server" });
      assert.equal(await ui.text("#count"), "0 of 8 servers · 0 playing");
      // Nothing filtered out by a filter that is on: the short form.
      await controls(ui, { search: "e" });
      assert.equal(await ui.text("#count"), "8 servers · 166 playing");
      const many = Array.from({ length: 6210 }, (_, i) => server(`Server ${i}`, `s${i}.example`, 27015,
                                                                { players: i < 1204 ? 1 : 0 }));
      await ui.send({ type: "servers", list: many });
      assert.equal(await ui.text("#count"), "6,210 servers · 1,204 playing");
      // 120, 1120 to 6120 and 1200 to 1209; 120, 1120 and 1200 to 1203 have a player.
      await controls(ui, { search: "120" });
      assert.equal(await ui.text("#count"), "17 of 6,210 servers · 6 playing");
    });
  });

  it("moves the choice to what is shown when the chosen server is filtered out", TEST, async () => {
    await withPage(async (ui) => {
      await start(ui);
      await controls(ui, { search: "quais" });
      assert.deepEqual(await ui.page.locator(".card.on .name").allTextContents(), ["Les Quais"]);
      await controls(ui, { search: "no such server" });
      assert.equal(await ui.playEnabled(), false);
      await controls(ui, {});
      await ui.page.keyboard.press("Enter");
      assert.deepEqual(await ui.posted(), [{ type: "play", host: "zulu.example", port: 27015, name: "Mara" }]);
    });
  });
});

describe("favourites and recent servers", () => {
  it("a star posts the change, shows it at once and the host's list replaces it", TEST, async () => {
    await withPage(async (ui) => {
      await start(ui);
      const star = ui.page.locator(".card", { hasText: "Velmora Central" }).locator(".star");
      await star.click();
      assert.deepEqual(await ui.posted(), [{ type: "favourite", host: "central.example.net", port: 27015,
                                             name: "Velmora Central", on: true }]);
      assert.equal(await ui.page.getByRole("option", { name: /^Favourite Velmora Central/ }).count(), 1);
      assert.deepEqual(await ui.page.locator(".card.on .name").allTextContents(), ["Zulu Racing"], "a star does not choose");
      await ui.page.click("#view-favourites");
      assert.deepEqual(await drawnNames(ui), ["Velmora Central"]);

      // The host's answer holds one more that the list does not.
      await ui.send({ type: "favourites", list: [
        { host: "central.example.net", port: 27015, name: "Velmora Central" },
        { host: "gone.example", port: 27999, name: "" },
        { host: "2001:db8::99", port: 27015, name: "Old Haunt" },
        { host: 5, port: 1, name: "not a host" } ] });
      assert.deepEqual(await drawnNames(ui), ["Velmora Central", "gone.example:27999", "Old Haunt"]);
      const greyed = ui.page.locator(".card.gone");
      assert.equal(await greyed.count(), 2);
      assert.deepEqual(await greyed.nth(1).locator(".meta > *").allTextContents(), ["[2001:db8::99]:27015", "Not listed"]);
      assert.equal(await ui.text("#count"), "3 servers · 58 playing");

      // A greyed one is joined directly.
      await greyed.nth(1).click();
      await ui.clearPosted();
      await ui.page.click("#play");
      assert.deepEqual(await ui.posted(), [{ type: "play", host: "2001:db8::99", port: 27015, name: "Mara" }]);

      // Taken off: gone from the view at once, with the name it was saved under.
      await ui.clearPosted();
      await greyed.nth(1).locator(".star").click();
      assert.deepEqual(await ui.posted(), [{ type: "favourite", host: "2001:db8::99", port: 27015, name: "Old Haunt",
                                             on: false }]);
      assert.deepEqual(await drawnNames(ui), ["Velmora Central", "gone.example:27999"]);

      // A list that holds it again shows it whole.
      await ui.send({ type: "servers", list: [...FLEET, server("Back Again", "gone.example", 27999, { players: 9 })] });
      assert.equal(await ui.page.locator(".card.gone").count(), 0);
      assert.deepEqual(await drawnNames(ui), ["Velmora Central", "Back Again"]);
    });
  });

  it("recent shows the last ten, newest first, direct addresses included", TEST, async () => {
    await withPage(async (ui) => {
      await start(ui);
      await ui.page.click("#view-recent");
      assert.equal(await ui.text("#list"), "No recent servers yet");
      const recent = [{ host: "10.0.0.9", port: 28000, name: "" }, { host: "lobby", port: 27015, name: "Night Shift" },
                      ...Array.from({ length: 10 }, (_, i) => ({ host: `old${i}.example`, port: 27015, name: `Old ${i}` }))];
      await ui.send({ type: "recent", list: recent });
      const names = await drawnNames(ui);
      // Sorted by players like any view: the one listed server has some.
      assert.deepEqual(names.slice(0, 3), ["Night Shift", "10.0.0.9:28000", "Old 0"]);
      assert.equal(await ui.text("#count"), "10 servers · 3 playing");
      assert.deepEqual(await ui.page.locator(".card:not(.gone) .name").allTextContents(), ["Night Shift"]);
      // The view changed, so the choice moved to its first server.
      await ui.page.locator("#list").press("Enter");
      assert.deepEqual(await ui.posted(), [{ type: "play", host: "lobby", port: 27015, name: "Mara" }]);
    });
  });
});

describe("pings", () => {
  it("shows milliseconds, a dash without an answer, nothing before; a new list forgets them", TEST, async () => {
    await withPage(async (ui) => {
      await start(ui);
      const ping = (name) => ui.page.locator(".card", { hasText: name }).locator(".ping").textContent();
      assert.equal(await ping("Night Shift"), "");
      await ui.send({ type: "ping", results: PINGS.slice(0, 2) });
      await ui.send({ type: "ping", results: [PINGS[2], null, { host: "lobby" }, { ms: 5 }] });
      assert.equal(await ping("Night Shift"), "42 ms");
      assert.equal(await ping("Velmora Central"), "118 ms", "hosts match whatever their case");
      assert.equal(await ping("Brücke der Nacht"), "—");
      assert.equal(await ping("IPv6 Test Ground"), "");
      await ui.send({ type: "servers", list: FLEET });
      const after = await ui.page.locator(".ping").allTextContents();
      assert.ok(after.length >= 4 && after.every((text) => text === ""), JSON.stringify(after));
    });
  });
});

describe("keyboard", () => {
  it("arrows choose, Enter plays, / searches, Escape clears the search before closing", TEST, async () => {
    await withPage(async (ui) => {
      await start(ui);
      const chosenName = () => ui.page.locator(".card.on .name").textContent();
      await ui.page.keyboard.press("ArrowDown");
      await ui.page.keyboard.press("ArrowDown");
      assert.equal(await chosenName(), "Les Quais");
      await ui.page.keyboard.press("ArrowUp");
      assert.equal(await chosenName(), "Velmora Central");
      await ui.page.keyboard.press("End");
      assert.equal(await chosenName(), "Ærø Øresund");
      await ui.page.keyboard.press("Home");
      await ui.page.keyboard.press("ArrowUp");
      assert.equal(await chosenName(), "Zulu Racing");
      // The name field keeps its arrows.
      await ui.page.focus("#who");
      await ui.page.keyboard.press("ArrowDown");
      assert.equal(await chosenName(), "Zulu Racing");

      await ui.page.locator("#who").blur();
      await ui.page.keyboard.press("/");
      assert.equal(await ui.page.evaluate(() => document.activeElement.id), "search");
      await ui.page.keyboard.type("e");
      assert.equal(await ui.page.inputValue("#search"), "e", "the / is not typed");
      await ui.page.keyboard.type("u");
      // The chosen one is filtered out, so the first shown is chosen.
      await ui.page.keyboard.press("ArrowDown"); // from inside the search box
      assert.equal(await chosenName(), "Les Quais");
      await ui.page.keyboard.press("Enter");
      await ui.page.keyboard.press("Escape");
      assert.equal(await ui.page.inputValue("#search"), "");
      assert.equal(await ui.text("#count"), "8 servers · 166 playing");
      await ui.page.keyboard.press("Escape");
      assert.deepEqual(await ui.posted(), [
        { type: "play", host: "quais.example.org", port: 27017, name: "Mara" }, { type: "close" }]);
    });
  });
});

describe("thousands of servers", () => {
  // As many players each, so the list's own order is the order shown.
  const many = Array.from({ length: 10000 }, (_, i) => server(`Server ${i}`, `s${i}.example`, 27015,
                                                               { players: 1, description: "Same shape" }));

  it("keeps only the cards in view, in their places, and the chosen one in view", TEST, async () => {
    await withPage(async (ui) => {
      await start(ui, many);
      const cards = () => ui.page.locator("#rows .card").count();
      assert.ok(await cards() < 20, `${await cards()} cards`);
      const inView = () => ui.page.evaluate(() => {
        const list = document.getElementById("list").getBoundingClientRect();
        const card = document.querySelector(".card.on")?.getBoundingClientRect();
        return card !== undefined && card.top >= list.top - 0.5 && card.bottom <= list.bottom + 0.5;
      });
      const chosenName = () => ui.page.locator(".card.on .name").textContent();
      await ui.page.keyboard.press("End");
      assert.equal(await chosenName(), "Server 9999");
      assert.ok(await inView());
      await ui.page.keyboard.press("PageUp");
      const paged = Number((await chosenName()).split(" ")[1]);
      assert.ok(paged >= 9994 && paged <= 9997, `PageUp went to ${paged}`);
      assert.ok(await inView());
      await ui.page.keyboard.press("Home");
      await ui.page.keyboard.press("PageDown");
      assert.ok(await inView());
      assert.ok(await cards() < 20);

      // Scrolled to the middle, the card at the top edge is the one whose place that is.
      const top = await ui.page.evaluate(() => {
        const list = document.getElementById("list");
        const pitch = document.querySelector(".card").getBoundingClientRect().height + 8;
        list.scrollTop = pitch * 5000 + 10;
        return pitch;
      });
      await ui.page.evaluate(() => new Promise((done) => requestAnimationFrame(() => setTimeout(done, 0))));
      const box = await ui.page.locator("#list").boundingBox();
      await ui.page.mouse.click(box.x + 300, box.y + 20);
      assert.equal(await chosenName(), "Server 5000", `pitch ${top}`);
      assert.ok(await cards() < 20);
      await ui.page.keyboard.press("ArrowDown");
      await ui.clearPosted();
      await ui.page.keyboard.press("Enter");
      assert.deepEqual(await ui.posted(), [{ type: "play", host: "s5001.example", port: 27015, name: "Mara" }]);
    });
  });
});
