// Builds the page that the launcher embeds: launcher.html with its web fonts
// inlined as data: URLs, so the page needs no network at all.
//
//   node build-page.mjs <output.html>
//
// The output is UTF-8 without a byte-order mark, which is what the launcher
// expects of its page resource.

import { readFileSync, writeFileSync, mkdirSync, renameSync } from "node:fs";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));

// Only the weights the page uses, Latin subset only: everything else is left
// to the fallback fonts and would only make the resource bigger.
const FONTS = [
  { family: "Big Shoulders Display", pkg: "big-shoulders-display", weights: [600, 800] },
  { family: "Inter", pkg: "inter", weights: [400, 500, 600] },
  { family: "Special Elite", pkg: "special-elite", weights: [400] },
  { family: "JetBrains Mono", pkg: "jetbrains-mono", weights: [400, 500] },
];

const PLACEHOLDER = /\/\* @fonts:[^*]*\*\//g;

// The web view's NavigateToString refuses strings over 2 MB.
const MAX_BYTES = 2 * 1024 * 1024;

function fail(message) {
  console.error(`build-page: ${message}`);
  process.exit(1);
}

function latinRange(pkg) {
  const ranges = JSON.parse(readFileSync(join(here, "node_modules", "@fontsource", pkg, "unicode.json"), "utf8"));
  if (typeof ranges.latin !== "string") fail(`@fontsource/${pkg} has no Latin subset`);
  return ranges.latin;
}

function fontFaces() {
  const rules = [];
  for (const { family, pkg, weights } of FONTS) {
    const range = latinRange(pkg);
    for (const weight of weights) {
      const file = join(here, "node_modules", "@fontsource", pkg, "files", `${pkg}-latin-${weight}-normal.woff2`);
      let bytes;
      try {
        bytes = readFileSync(file);
      } catch (error) {
        fail(`cannot read ${file} (run npm ci in ${here}): ${error.message}`);
      }
      if (bytes.subarray(0, 4).toString("latin1") !== "wOF2") fail(`${file} is not a WOFF2 font`);
      rules.push(
        `@font-face {\n` +
        `  font-family: "${family}";\n` +
        `  font-style: normal;\n` +
        `  font-weight: ${weight};\n` +
        `  font-display: swap;\n` +
        `  src: url(data:font/woff2;base64,${bytes.toString("base64")}) format("woff2");\n` +
        `  unicode-range: ${range};\n` +
        `}`);
    }
  }
  return rules.join("\n");
}

const output = process.argv[2];
if (!output || process.argv.length !== 3) fail("usage: node build-page.mjs <output.html>");

let source = readFileSync(join(here, "launcher.html"), "utf8");
if (source.charCodeAt(0) === 0xfeff) source = source.slice(1);

const found = source.match(PLACEHOLDER) ?? [];
if (found.length !== 1) fail(`launcher.html must hold exactly one font placeholder, found ${found.length}`);

const faces = fontFaces();
const page = source.replace(PLACEHOLDER, () => faces);
const bytes = Buffer.from(page, "utf8");
if (bytes.length > MAX_BYTES) fail(`page is ${bytes.length} bytes, over the web view's limit of ${MAX_BYTES}`);

// Write then rename, so an interrupted build never leaves half a page behind.
const target = resolve(output);
mkdirSync(dirname(target), { recursive: true });
const temporary = `${target}.tmp`;
writeFileSync(temporary, bytes);
renameSync(temporary, target);
