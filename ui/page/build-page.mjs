// Builds the page that the launcher embeds: launcher.html with the files of
// src/ put in where it names them, the host's limits read from the C++
// headers, its texts in every language from the catalogues, and its web
// fonts inlined as data: URLs, so the page is one document that needs no
// network at all.
//
//   node build-page.mjs [--without-fonts] <output.html>
//
// --without-fonts leaves the fallback fonts alone to draw, for checking that
// the layout holds without the bundled ones.
//
// The output is UTF-8 without a byte-order mark, which is what the launcher
// expects of its page resource.

import { readFileSync, readdirSync, writeFileSync, mkdirSync, renameSync } from "node:fs";
import { dirname, isAbsolute, join, relative, resolve } from "node:path";
import { fileURLToPath } from "node:url";
import { pageCatalogues } from "../../cmake/catalogue.mjs";

const here = dirname(fileURLToPath(import.meta.url));
const root = resolve(here, "..", "..");

// Only the weights the page uses, Latin subset only: everything else is left
// to the fallback fonts and would only make the resource bigger.
const FONTS = [
  { family: "Big Shoulders Display", pkg: "big-shoulders-display", weights: [600, 800] },
  { family: "Inter", pkg: "inter", weights: [400, 500, 600] },
  { family: "Special Elite", pkg: "special-elite", weights: [400] },
  { family: "JetBrains Mono", pkg: "jetbrains-mono", weights: [400, 500] },
];

const PLACEHOLDER = /\/\* @fonts:[^*]*\*\//g;
const TEXTS_PLACEHOLDER = /\/\* @texts:[^*]*\*\//g;

// A line of its own in launcher.html, inside its <style> or <script>; the
// file's text takes its place, in the order the lines come.
const INCLUDE = /^\/\* @include (src\/[^ */]+) \*\/\n/gm;

// fromHeader("<header>", "<constant>") in src/limits.js: the constant's value
// from its header's line `inline constexpr <type> <constant> = <decimal>;`.
const LIMITS_FILE = "src/limits.js";
const FROM_HEADER = /fromHeader\("([^"\n]*)", "([^"\n]*)"\)/g;

// The web view's NavigateToString refuses strings over 2 MB.
const MAX_BYTES = 2 * 1024 * 1024;

function fail(message) {
  console.error(`build-page: ${message}`);
  process.exit(1);
}

function readText(file, what) {
  let text;
  try {
    text = readFileSync(file, "utf8");
  } catch (error) {
    fail(`cannot read ${what}: ${error.message}`);
  }
  return text.charCodeAt(0) === 0xfeff ? text.slice(1) : text;
}

// Every file of src/ exactly once: a file left out would be missed only
// when the page is used.
function assemble(skeleton) {
  const parts = readdirSync(join(here, "src")).sort().map((name) => `src/${name}`);
  const included = [];
  const page = skeleton.replace(INCLUDE, (line, part) => {
    if (!parts.includes(part)) fail(`launcher.html includes ${part}, which does not exist`);
    if (included.includes(part)) fail(`launcher.html includes ${part} twice`);
    included.push(part);
    let text = readText(join(here, part), part);
    if (part === LIMITS_FILE) text = withLimits(text);
    else if (text.includes("fromHeader(")) fail(`${part} asks for a limit from a header: only ${LIMITS_FILE} may`);
    return text.endsWith("\n") ? text : text + "\n";
  });
  const left = parts.filter((part) => !included.includes(part));
  if (left.length > 0) fail(`launcher.html does not include ${left.join(", ")}`);
  if (page.includes("/* @include")) fail("launcher.html has an include that is not a line of its own");
  return page;
}

function headerValue(header, name) {
  const file = resolve(root, header);
  const inside = relative(root, file);
  if (!header.endsWith(".h") || inside.startsWith("..") || isAbsolute(inside)) {
    fail(`${LIMITS_FILE}: "${header}" is not a C++ header of the project`);
  }
  if (!/^[A-Za-z_]\w*$/.test(name)) fail(`${LIMITS_FILE}: "${name}" is not a C++ name`);
  const text = readText(file, `${header}, which ${LIMITS_FILE} reads ${name} from`);
  // A leading zero would be octal in C++; anything but a plain decimal is refused.
  const line = new RegExp(String.raw`^[ \t]*(?:inline[ \t]+)?constexpr[ \t]+[\w:]+[ \t]+${name}[ \t]*=[ \t]*(0|[1-9][0-9]*)[ \t]*;`, "gm");
  const found = [...text.matchAll(line)];
  if (found.length !== 1) {
    fail(`${header} must define ${name} once, as "inline constexpr <type> ${name} = <decimal>;", ` +
         `for ${LIMITS_FILE}; found ${found.length}`);
  }
  return found[0][1];
}

function withLimits(text) {
  const filled = text.replace(FROM_HEADER, (call, header, name) => headerValue(header, name));
  if (filled.includes("fromHeader(")) fail(`${LIMITS_FILE}: a fromHeader call is not fromHeader("<header>", "<constant>")`);
  return filled;
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

// As script text: a "<" written as an escape cannot end the script element.
function catalogues() {
  return JSON.stringify(pageCatalogues(root)).replace(/</g, "\\u003c");
}

const args = process.argv.slice(2);
const withFonts = args[0] !== "--without-fonts";
if (!withFonts) args.shift();
const output = args[0];
if (!output || args.length !== 1) fail("usage: node build-page.mjs [--without-fonts] <output.html>");

const source = assemble(readText(join(here, "launcher.html"), "launcher.html"));

const found = source.match(PLACEHOLDER) ?? [];
if (found.length !== 1) fail(`the page must hold exactly one font placeholder, found ${found.length}`);

const faces = withFonts ? fontFaces() : "";
const texts = source.match(TEXTS_PLACEHOLDER) ?? [];
if (texts.length !== 1) fail(`the page must hold exactly one texts placeholder, found ${texts.length}`);
const page = source.replace(PLACEHOLDER, () => faces).replace(TEXTS_PLACEHOLDER, () => `const TEXTS = ${catalogues()};`);
const bytes = Buffer.from(page, "utf8");
if (bytes.length > MAX_BYTES) fail(`page is ${bytes.length} bytes, over the web view's limit of ${MAX_BYTES}`);

// Write then rename, so an interrupted build never leaves half a page behind.
const target = resolve(output);
mkdirSync(dirname(target), { recursive: true });
const temporary = `${target}.tmp`;
writeFileSync(temporary, bytes);
renameSync(temporary, target);
