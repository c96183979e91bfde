// build-page.mjs on a copy of the page's sources with one thing changed: a
// limit the page shares with the host follows the C++ header, and a build
// that cannot be right refuses to write a page.

import { describe, it, before, after } from "node:test";
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { cpSync, existsSync, mkdtempSync, readFileSync, readdirSync, rmSync, symlinkSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";
import { launch, openPage, closeClean, server } from "./harness.mjs";

const TEST = { timeout: 20000 };
const root = resolve(dirname(fileURLToPath(import.meta.url)), "../../..");
const HEADER = "ui/player_state.h";
const RECENT = /^inline constexpr size_t kMaxRecent = \d+;$/m;

// A copy of what the build reads, changed by `edit(folder)`; returns how the
// build ended and the page's path.
function buildCopy(edit) {
  const folder = mkdtempSync(join(tmpdir(), "velmora-build-"));
  for (const part of ["ui/page/build-page.mjs", "ui/page/launcher.html", "ui/page/src", HEADER, "cmake/catalogue.mjs",
                      "common/lang"]) {
    cpSync(join(root, part), join(folder, part), { recursive: true });
  }
  symlinkSync(join(root, "ui/page/node_modules"), join(folder, "ui/page/node_modules"));
  // The catalogue looks for texts in every product folder: the others as they are.
  for (const entry of readdirSync(root, { withFileTypes: true })) {
    if (entry.isDirectory() && !existsSync(join(folder, entry.name))) symlinkSync(join(root, entry.name), join(folder, entry.name));
  }
  edit(folder);
  const page = join(folder, "out/launcher.html");
  const run = spawnSync(process.execPath, [join(folder, "ui/page/build-page.mjs"), page], { encoding: "utf8" });
  return { folder, page, status: run.status, stderr: run.stderr };
}

function changeFile(folder, path, change) {
  const file = join(folder, path);
  writeFileSync(file, change(readFileSync(file, "utf8")));
}

let browser;
const folders = [];
before(async () => { browser = await launch(); });
after(async () => {
  await browser?.close();
  for (const folder of folders) rmSync(folder, { recursive: true, force: true });
});

describe("limits from the host's headers", () => {
  it("recent servers stop at the header's kMaxRecent", TEST, async () => {
    assert.match(readFileSync(join(root, HEADER), "utf8"), RECENT, "the line the copy changes");
    const build = buildCopy((folder) =>
      changeFile(folder, HEADER, (text) => text.replace(RECENT, "inline constexpr size_t kMaxRecent = 3;")));
    folders.push(build.folder);
    assert.equal(build.status, 0, build.stderr);
    const ui = await openPage(browser, { url: pathToFileURL(build.page).href });
    try {
      const recent = Array.from({ length: 5 }, (_, i) => ({ host: `r${i}.example`, port: 27015, name: `Recent ${i}` }));
      await ui.send({ type: "recent", list: recent });
      await ui.page.click("#view-recent");
      assert.deepEqual(await ui.page.locator("#rows .card .name").allTextContents(), ["Recent 0", "Recent 1", "Recent 2"]);
      assert.equal(await ui.text("#count"), "3 servers · 0 playing");
    } finally {
      await closeClean(ui, assert);
    }
  });
});

describe("texts in the page's language", () => {
  // Russian has four forms (one, few, many, other); the positional
  // arguments put the total first.
  const RU = ['msgid "%d server"', 'msgid_plural "%d servers"', 'msgstr[0] "%d сервер"', 'msgstr[1] "%d сервера"',
    'msgstr[2] "%d серверов"', 'msgstr[3] "%d сервера"', "", 'msgid "%d of %d server"', 'msgid_plural "%d of %d servers"',
    'msgstr[0] "%2$d сервер, видно %1$d"', 'msgstr[1] "%2$d сервера, видно %1$d"', 'msgstr[2] "%2$d серверов, видно %1$d"',
    'msgstr[3] "%2$d сервера, видно %1$d"', "", 'msgid "Refresh"', 'msgstr "Обновить"', ""].join("\n");

  it("plural forms by the language's rules, arguments by their place, numbers its way, English for the rest",
     TEST, async () => {
    const build = buildCopy((folder) => writeFileSync(join(folder, "common/lang/ru.po"), RU));
    folders.push(build.folder);
    assert.equal(build.status, 0, build.stderr);
    const ui = await openPage(browser, { url: pathToFileURL(build.page).href, lang: "ru" });
    try {
      const count = async (servers, search = "") => {
        await ui.send({ type: "servers", list: Array.from({ length: servers }, (_, i) => server(`S${i}`, `s${i}.example`, 1)) });
        await ui.page.fill("#search", search);
        return (await ui.text("#count")).split(" · ")[0];
      };
      for (const [servers, search, text] of [[1, "", "1 сервер"], [3, "", "3 сервера"], [5, "", "5 серверов"],
                                             [21, "", "21 сервер"], [1234, "", "1\u00a0234 сервера"],
                                             [21, "s1", "21 сервер, видно 11"], [12, "s1", "12 серверов, видно 3"]]) {
        assert.equal(await count(servers, search), text, `${servers} ${search}`);
      }
      assert.equal(await ui.text("#refresh"), "Обновить");
      assert.equal(await ui.text("#hide-full"), "Hide full");
    } finally {
      await closeClean(ui, assert);
    }
  });
});

describe("a build that cannot be right", () => {
  const cases = [
    ["the header no longer defines the limit", /ui\/player_state\.h must define kMaxRecent once/,
     (folder) => changeFile(folder, HEADER, (text) => text.replace(RECENT, ""))],
    ["the limit is not a plain decimal", /ui\/player_state\.h must define kMaxRecent once/,
     (folder) => changeFile(folder, HEADER, (text) => text.replace(RECENT, "inline constexpr size_t kMaxRecent = 010;"))],
    ["the header is gone", /cannot read ui\/player_state\.h, which src\/limits\.js reads kMaxRecent from/,
     (folder) => rmSync(join(folder, HEADER))],
    ["another file asks for a limit", /src\/list\.js asks for a limit from a header: only src\/limits\.js may/,
     (folder) => changeFile(folder, "ui/page/src/list.js",
                            (text) => text + 'const LIMIT = fromHeader("ui/player_state.h", "kMaxFavourites");\n')],
    ["a file of src/ is left out of the page", /launcher\.html does not include src\/forgotten\.js/,
     (folder) => writeFileSync(join(folder, "ui/page/src/forgotten.js"), "function forgotten() {}\n")],
  ];
  for (const [name, message, edit] of cases) {
    it(name, TEST, () => {
      const build = buildCopy(edit);
      folders.push(build.folder);
      assert.notEqual(build.status, 0);
      assert.match(build.stderr, message);
      assert.equal(existsSync(build.page), false, "a page was written");
    });
  }
});
