// The launcher's catalogues of texts: gettext .po files in common/lang, one
// per language, keyed by the English text, which is the source.
//
//   node cmake/catalogue.mjs extract         writes common/lang/velmora.pot from the sources
//   node cmake/catalogue.mjs check           fails if the template is stale, a catalogue is
//                                            incomplete, or its placeholders differ
//   node cmake/catalogue.mjs cpp <out.cpp>   the launcher's tables, compiled into it
//
// Texts are found where the code asks for them:
//   C++     Tr(L"..."), TrF(L"...", ...), TrN(count, L"one", L"other", ...)
//   page    t("..."), tf("...", ...), tn(count, "one", "other", ...) in src/*.js;
//           in launcher.html an element with data-t (its text) and with
//           data-t-attrs="title aria-label" (those attributes' values)
// Literals next to each other are one text (C++ only).

import { readFileSync, readdirSync, writeFileSync, mkdirSync, renameSync, existsSync } from "node:fs";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
export const ROOT = resolve(here, "..");
const LANG = "common/lang";
const TEMPLATE = `${LANG}/velmora.pot`;
const PRODUCT = ["common", "json", "net", "webview", "update", "servers", "game", "ui", "app"];
const PAGE = "ui/page";

// The CLDR plural categories of each language, in the order its forms come,
// and the gettext expression translators' tools read. Counts are whole
// numbers; "other" of Polish and Russian is for fractions.
export const LANGUAGES = {
  en: { name: "English", categories: ["one", "other"], forms: "nplurals=2; plural=(n != 1);" },
  de: { name: "Deutsch", categories: ["one", "other"], forms: "nplurals=2; plural=(n != 1);" },
  es: {
    name: "Español",
    categories: ["one", "many", "other"],
    forms: "nplurals=3; plural=(n == 1 ? 0 : n != 0 && n % 1000000 == 0 ? 1 : 2);",
  },
  fr: {
    name: "Français",
    categories: ["one", "many", "other"],
    forms: "nplurals=3; plural=(n == 0 || n == 1 ? 0 : n % 1000000 == 0 ? 1 : 2);",
  },
  pl: {
    name: "Polski",
    categories: ["one", "few", "many", "other"],
    forms:
      "nplurals=4; plural=(n == 1 ? 0 : n % 10 >= 2 && n % 10 <= 4 && (n % 100 < 12 || n % 100 > 14) ? 1 : 2);",
  },
  "pt-BR": {
    name: "Português (Brasil)",
    categories: ["one", "many", "other"],
    forms: "nplurals=3; plural=(n == 0 || n == 1 ? 0 : n % 1000000 == 0 ? 1 : 2);",
  },
  ru: {
    name: "Русский",
    categories: ["one", "few", "many", "other"],
    forms:
      "nplurals=4; plural=(n % 10 == 1 && n % 100 != 11 ? 0 : n % 10 >= 2 && n % 10 <= 4 && (n % 100 < 12 || n % 100 > 14) ? 1 : 2);",
  },
  "qps-ploc": { name: "Pseudo", categories: ["one", "other"], forms: "nplurals=2; plural=(n != 1);" },
};
export const SHIPPED = Object.keys(LANGUAGES).filter((tag) => tag !== "en" && tag !== "qps-ploc");

function fail(message) {
  console.error(`catalogue: ${message}`);
  process.exit(1);
}

// ---- reading the sources ----

const C_ESCAPES = { n: "\n", t: "\t", r: "\r", '"': '"', "\\": "\\", "'": "'", "?": "?", 0: "\0" };

// The text of a run of string literals starting at text[at] (after any
// spaces), or null where there is none. prefix is "L" for C++.
function readLiterals(text, at, prefix) {
  let value = null;
  let p = at;
  for (;;) {
    const start = p;
    while (/\s/.test(text[p] ?? "")) ++p;
    if (text.startsWith(prefix + '"', p)) {
      p += prefix.length + 1;
    } else {
      return value === null ? null : { value, end: start };
    }
    let part = "";
    while (text[p] !== '"') {
      if (p >= text.length || text[p] === "\n") return null;
      if (text[p] === "\\") {
        const next = text[p + 1];
        if (next === "u") {
          part += String.fromCharCode(parseInt(text.slice(p + 2, p + 6), 16));
          p += 6;
          continue;
        }
        if (!(next in C_ESCAPES)) return null;
        part += C_ESCAPES[next];
        p += 2;
        continue;
      }
      part += text[p++];
    }
    value = (value ?? "") + part;
    ++p;
    if (prefix === "") return { value, end: p };  // JS: one literal per argument
  }
}

// The end of the argument starting at text[at]: the next top-level comma or
// closing parenthesis.
function skipArgument(text, at) {
  let depth = 0;
  for (let p = at; p < text.length; ++p) {
    const c = text[p];
    if (c === '"' || c === "'") {
      for (++p; p < text.length && text[p] !== c; ++p) if (text[p] === "\\") ++p;
    } else if (c === "(" || c === "[" || c === "{") {
      ++depth;
    } else if (c === ")" || c === "]" || c === "}") {
      if (depth === 0) return p;
      --depth;
    } else if (c === "," && depth === 0) {
      return p;
    }
  }
  return text.length;
}

function findCalls(text, file, names, prefix, add) {
  const pattern = new RegExp(`\\b(${names.join("|")})\\(`, "g");
  for (const match of text.matchAll(pattern)) {
    const name = match[1];
    let p = match.index + match[0].length;
    const plural = name.endsWith("N") || name === "tn";
    if (plural) {
      p = skipArgument(text, p);
      if (text[p] !== ",") continue;
      ++p;
    }
    const one = readLiterals(text, p, prefix);
    if (one === null) {
      // A text that is no literal would never reach a translator; only the
      // catalogue's own code passes variables on.
      if (!/^(common\/texts\.(h|cpp)|ui\/page\/src\/language\.js)$/.test(file)) {
        fail(`${file}: ${name}( without a literal text`);
      }
      continue;
    }
    let other = null;
    if (plural) {
      p = one.end;
      while (/\s/.test(text[p])) ++p;
      if (text[p] !== ",") fail(`${file}: ${name}( needs two literal texts`);
      other = readLiterals(text, p + 1, prefix);
      if (other === null) fail(`${file}: ${name}( needs two literal texts`);
    }
    add(one.value, other?.value ?? null, file);
  }
}

// C++ or JS without its comments (a doc comment may show a call), the
// lines kept so that nothing else moves.
function withoutComments(text) {
  let out = "";
  for (let p = 0; p < text.length; ) {
    const c = text[p];
    if (c === '"' || c === "'" || c === "`") {
      const start = p++;
      while (p < text.length && text[p] !== c && text[p] !== "\n") p += text[p] === "\\" ? 2 : 1;
      out += text.slice(start, ++p);
    } else if (text.startsWith("//", p)) {
      while (p < text.length && text[p] !== "\n") ++p;
    } else if (text.startsWith("/*", p)) {
      const end = text.indexOf("*/", p + 2);
      const stop = end < 0 ? text.length : end + 2;
      out += text.slice(p, stop).replace(/[^\n]/g, " ");
      p = stop;
    } else {
      out += c;
      ++p;
    }
  }
  return out;
}

function listFiles(folder, test) {
  const out = [];
  const walk = (dir) => {
    for (const entry of readdirSync(join(ROOT, dir), { withFileTypes: true }).sort((a, b) => (a.name < b.name ? -1 : 1))) {
      const path = `${dir}/${entry.name}`;
      if (entry.isDirectory()) {
        if (entry.name !== "node_modules") walk(path);
      } else if (test(path)) {
        out.push(path);
      }
    }
  };
  walk(folder);
  return out;
}

// The next tag's "<" is looked at, not taken: an element right after
// another's text (an option after its select's opening tag) is read too.
const HTML_TEXT = /<([a-z0-9]+)\b([^>]*)>([^<]*)(?=<)/g;
const ATTRIBUTE = /([a-z-]+)="([^"]*)"/g;

function htmlTexts(text) {
  const decode = (s) =>
    s
      .replace(/&hellip;/g, "…")
      .replace(/&amp;/g, "&")
      .replace(/&lt;/g, "<")
      .replace(/&gt;/g, ">")
      .replace(/&quot;/g, '"')
      .replace(/&#(\d+);/g, (_, n) => String.fromCodePoint(Number(n)));
  const out = [];
  for (const [, , attributes, inner] of text.matchAll(HTML_TEXT)) {
    const values = Object.fromEntries([...attributes.matchAll(ATTRIBUTE)].map(([, k, v]) => [k, decode(v)]));
    if (/(^|\s)data-t(\s|=|$)/.test(attributes)) out.push(decode(inner).trim());
    for (const name of (values["data-t-attrs"] ?? "").split(/\s+/).filter(Boolean)) {
      if (values[name] === undefined) fail(`launcher.html: data-t-attrs names ${name}, which the element lacks`);
      out.push(values[name]);
    }
  }
  return out;
}

// Every text the sources ask for, in the order first met, each with the
// files that use it.
export function extract(root = ROOT) {
  const found = new Map();
  const add = (msgid, plural, file) => {
    if (msgid === "") fail(`${file}: an empty text`);
    const known = found.get(msgid);
    if (known === undefined) {
      found.set(msgid, { msgid, plural, files: [file] });
    } else {
      if (known.plural !== plural) fail(`${file}: "${msgid}" is used both with and without a plural`);
      if (!known.files.includes(file)) known.files.push(file);
    }
  };
  for (const folder of PRODUCT) {
    for (const file of listFiles(folder, (p) => /\.(cpp|h)$/.test(p) && !p.startsWith(`${PAGE}/`))) {
      findCalls(withoutComments(readFileSync(join(root, file), "utf8")), file, ["Tr", "TrF", "TrN"], "L", add);
    }
  }
  for (const file of listFiles(`${PAGE}/src`, (p) => p.endsWith(".js"))) {
    findCalls(withoutComments(readFileSync(join(root, file), "utf8")), file, ["t", "tf", "tn"], "", add);
  }
  const html = `${PAGE}/launcher.html`;
  for (const msgid of htmlTexts(readFileSync(join(root, html), "utf8"))) add(msgid, null, html);
  return [...found.values()];
}

// ---- .po files ----

function poQuote(text) {
  const escaped = text.replace(/\\/g, "\\\\").replace(/"/g, '\\"').replace(/\t/g, "\\t").replace(/\r/g, "\\r");
  const lines = escaped.split("\n");
  if (lines.length === 1) return `"${escaped}"`;
  return '""\n' + lines.map((line, i) => `"${line}${i < lines.length - 1 ? "\\n" : ""}"`).filter((l) => l !== '""').join("\n");
}

function poUnquote(text) {
  return text.replace(/\\(.)/g, (_, c) => ({ n: "\n", t: "\t", r: "\r" })[c] ?? c);
}

// { header: {field: value}, entries: [{msgid, plural, strings, files}] }
export function readPo(text, file) {
  const entries = [];
  let entry = null;
  let field = null;
  const flush = () => {
    if (entry !== null && entry.msgid !== undefined) entries.push(entry);
    entry = null;
    field = null;
  };
  for (const [index, raw] of text.split(/\r?\n/).entries()) {
    const line = raw.trim();
    const where = `${file}:${index + 1}`;
    if (line === "") {
      flush();
      continue;
    }
    entry ??= { files: [], strings: [], plural: null };
    if (line.startsWith("#:")) {
      entry.files.push(...line.slice(2).trim().split(/\s+/));
      continue;
    }
    if (line.startsWith("#")) continue;
    const keyed = /^(msgid|msgid_plural|msgstr(?:\[(\d+)\])?)\s+"(.*)"$/.exec(line);
    const more = /^"(.*)"$/.exec(line);
    if (keyed) {
      const value = poUnquote(keyed[3]);
      if (keyed[1] === "msgid") field = ["msgid"];
      else if (keyed[1] === "msgid_plural") field = ["plural"];
      else field = ["strings", keyed[2] === undefined ? 0 : Number(keyed[2])];
      set(entry, field, value);
    } else if (more && field) {
      set(entry, field, get(entry, field) + poUnquote(more[1]));
    } else {
      fail(`${where}: cannot read this line`);
    }
  }
  flush();
  const head = entries.find((e) => e.msgid === "");
  const header = {};
  for (const line of (head?.strings[0] ?? "").split("\n")) {
    const colon = line.indexOf(":");
    if (colon > 0) header[line.slice(0, colon).trim()] = line.slice(colon + 1).trim();
  }
  return { header, entries: entries.filter((e) => e.msgid !== "") };
}

function set(entry, field, value) {
  if (field.length === 1) entry[field[0]] = value;
  else entry.strings[field[1]] = value;
}
function get(entry, field) {
  return field.length === 1 ? entry[field[0]] : entry.strings[field[1]];
}

function templateText(entries) {
  const out = [
    "# The launcher's texts in English, the source of every catalogue.",
    "# Made by `node cmake/catalogue.mjs extract`; do not edit by hand.",
    'msgid ""',
    'msgstr ""',
    '"Content-Type: text/plain; charset=UTF-8\\n"',
    '"Plural-Forms: nplurals=2; plural=(n != 1);\\n"',
    "",
  ];
  for (const e of entries) {
    out.push(`#: ${e.files.join(" ")}`);
    out.push(`msgid ${poQuote(e.msgid)}`);
    if (e.plural !== null) {
      out.push(`msgid_plural ${poQuote(e.plural)}`, 'msgstr[0] ""', 'msgstr[1] ""');
    } else {
      out.push('msgstr ""');
    }
    out.push("");
  }
  return out.join("\n");
}

// ---- checks ----

// The printf conversions of a text in argument order: positional ones
// (%2$s) at their place, the rest in the order they come.
export function placeholders(text) {
  const list = [];
  let next = 0;
  for (const match of text.matchAll(/%(?:(\d+)\$)?[-0+ #]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t)?([%sdiuxXfeg])/g)) {
    if (match[2] === "%") continue;
    const at = match[1] === undefined ? next++ : Number(match[1]) - 1;
    if (list[at] !== undefined) return null;  // one argument used twice
    list[at] = match[0].replace(/^%\d+\$/, "%").replace(/(hh|h|ll|l|z|j|t)(?=[a-zA-Z]$)/, "");
  }
  return list.join(" ");
}

function catalogueFile(tag) {
  return `${LANG}/${tag}.po`;
}

export function readCatalogue(tag, root = ROOT) {
  const file = catalogueFile(tag);
  const path = join(root, file);
  if (!existsSync(path)) return null;
  return readPo(readFileSync(path, "utf8"), file);
}

// What is wrong with the shipped catalogues against the sources: a list of
// lines, empty when all is well.
export function problems(root = ROOT) {
  const out = [];
  const wanted = extract(root);
  const template = join(root, TEMPLATE);
  if (!existsSync(template) || readFileSync(template, "utf8") !== templateText(wanted)) {
    out.push(`${TEMPLATE} is not what the sources ask for: run node cmake/catalogue.mjs extract`);
  }
  for (const tag of SHIPPED) {
    const catalogue = readCatalogue(tag, root);
    if (catalogue === null) {
      out.push(`${catalogueFile(tag)} is missing`);
      continue;
    }
    const forms = LANGUAGES[tag].categories.length;
    const declared = /nplurals=(\d+)/.exec(catalogue.header["Plural-Forms"] ?? "");
    if (declared === null || Number(declared[1]) !== forms) {
      out.push(`${catalogueFile(tag)}: Plural-Forms must say nplurals=${forms}`);
    }
    const have = new Map(catalogue.entries.map((e) => [e.msgid, e]));
    for (const w of wanted) {
      const e = have.get(w.msgid);
      const name = `${catalogueFile(tag)}: "${w.msgid}"`;
      if (e === undefined || e.strings.every((s) => s === undefined || s === "")) {
        out.push(`${name} is not translated`);
        continue;
      }
      if ((e.plural !== null) !== (w.plural !== null)) {
        out.push(`${name} must ${w.plural !== null ? "" : "not "}have plural forms`);
        continue;
      }
      const count = w.plural !== null ? forms : 1;
      const english = placeholders(w.msgid);
      for (let i = 0; i < count; ++i) {
        const s = e.strings[i];
        if (s === undefined || s === "") {
          out.push(`${name} lacks form ${i}`);
        } else if (placeholders(s) !== english && !(w.plural !== null && placeholders(s) === placeholders(w.plural))) {
          out.push(`${name}: form ${i} has the placeholders "${placeholders(s)}", the English "${english}"`);
        }
      }
    }
    for (const e of catalogue.entries) {
      if (!wanted.some((w) => w.msgid === e.msgid)) out.push(`${catalogueFile(tag)}: "${e.msgid}" is used nowhere`);
    }
  }
  return out;
}

// ---- the pseudo-language ----

const ACCENTED = {
  a: "à", b: "ƀ", c: "ç", d: "ð", e: "é", f: "ƒ", g: "ğ", h: "ĥ", i: "î", j: "ĵ", k: "ķ", l: "ļ", m: "ɱ",
  n: "ñ", o: "ö", p: "þ", q: "ǫ", r: "ŕ", s: "š", t: "ţ", u: "û", v: "ṽ", w: "ŵ", x: "ẋ", y: "ý", z: "ž",
  A: "Å", B: "Ɓ", C: "Ç", D: "Ð", E: "É", F: "Ƒ", G: "Ĝ", H: "Ĥ", I: "Î", J: "Ĵ", K: "Ķ", L: "Ļ", M: "Ṁ",
  N: "Ñ", O: "Ö", P: "Þ", Q: "Ǫ", R: "Ŕ", S: "Š", T: "Ţ", U: "Û", V: "Ṽ", W: "Ŵ", X: "Ẋ", Y: "Ý", Z: "Ž",
};
const PLACEHOLDER = /%(?:\d+\$)?[-0+ #]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t)?[%sdiuxXfeg]/y;

// Every letter accented, 40 % longer, in [ ]: a text that bypasses the
// catalogue shows as plain English, one that clips loses its "]".
export function pseudo(text) {
  let out = "";
  let letters = 0;
  for (let p = 0; p < text.length; ) {
    PLACEHOLDER.lastIndex = p;
    const match = PLACEHOLDER.exec(text);
    if (match) {
      out += match[0];
      p += match[0].length;
      continue;
    }
    const c = text[p++];
    out += ACCENTED[c] ?? c;
    if (c in ACCENTED) ++letters;
  }
  const extra = Math.ceil(text.length * 0.4);
  const padding = letters === 0 ? "" : " " + "ŵàŷ ".repeat(Math.ceil(extra / 4)).slice(0, Math.max(extra - 1, 1)).trimEnd();
  // A text ending in a line break keeps it last.
  const tail = /\n*$/.exec(out)[0];
  return `[${out.slice(0, out.length - tail.length)}${padding}]${tail}`;
}

// ---- what the launcher and its page are given ----

// tag -> Map(msgid -> string | string[]): every shipped catalogue and the
// pseudo-language; a text not (yet) translated is left to English.
function tables(root) {
  const wanted = extract(root);
  const out = {};
  for (const tag of SHIPPED) {
    const catalogue = readCatalogue(tag, root);
    const have = new Map((catalogue?.entries ?? []).map((e) => [e.msgid, e]));
    const texts = new Map();
    for (const w of wanted) {
      const e = have.get(w.msgid);
      if (e === undefined || e.strings.some((s) => s === undefined || s === "")) continue;
      if ((e.plural !== null) !== (w.plural !== null)) continue;
      texts.set(w.msgid, w.plural !== null ? e.strings.slice(0, LANGUAGES[tag].categories.length) : e.strings[0]);
    }
    out[tag] = { wanted, texts };
  }
  const texts = new Map(wanted.map((w) => [w.msgid, w.plural !== null ? [pseudo(w.msgid), pseudo(w.plural)] : pseudo(w.msgid)]));
  out["qps-ploc"] = { wanted, texts };
  return out;
}

const onPage = (w) => w.files.some((f) => f.startsWith(`${PAGE}/`));
const inLauncher = (w) => w.files.some((f) => !f.startsWith(`${PAGE}/`));

export function pageCatalogues(root = ROOT) {
  const out = { en: { plural: LANGUAGES.en.categories, texts: {} } };
  for (const [tag, { wanted, texts }] of Object.entries(tables(root))) {
    const page = {};
    for (const w of wanted) if (onPage(w) && texts.has(w.msgid)) page[w.msgid] = texts.get(w.msgid);
    out[tag] = { plural: LANGUAGES[tag].categories, texts: page };
  }
  return out;
}

function cppLiteral(text) {
  let out = 'L"';
  for (const c of text) {
    const code = c.codePointAt(0);
    if (c === '"' || c === "\\") out += "\\" + c;
    else if (c === "\n") out += "\\n";
    else if (c === "\t") out += "\\t";
    else if (code >= 0x20 && code < 0x7f) out += c;
    else if (code <= 0xffff) out += "\\u" + code.toString(16).padStart(4, "0");
    else out += "\\U" + code.toString(16).padStart(8, "0");
  }
  return out + '"';
}

// Code-unit order, as wcscmp compares UTF-16.
const byUnits = (a, b) => (a < b ? -1 : a > b ? 1 : 0);

export function cppSource(root = ROOT) {
  const out = [
    "// Made from common/lang/*.po by cmake/catalogue.mjs; do not edit.",
    '#include "common/catalogue_data.h"',
    "",
    "namespace common::catalogue_data {",
    "namespace {",
  ];
  const list = [];
  const all = tables(root);
  for (const tag of [...SHIPPED, "qps-ploc"]) {
    const { wanted, texts } = all[tag];
    const name = "k" + tag.replace(/[^a-zA-Z]/g, "_");
    const rows = wanted.filter((w) => inLauncher(w) && texts.has(w.msgid)).sort((a, b) => byUnits(a.msgid, b.msgid));
    out.push(`const Entry ${name}[] = {`);
    for (const w of rows) {
      const value = texts.get(w.msgid);
      const forms = Array.isArray(value) ? value : [value];
      out.push(`    {${cppLiteral(w.msgid)}, {${forms.map(cppLiteral).join(", ")}}, ${forms.length}},`);
    }
    if (rows.length === 0) out.push(`    {L"", {L""}, 0},`);
    out.push("};");
    list.push(`    {L"${tag}", ${LANGUAGES[tag].categories.length}, ${name}, ${rows.length}},`);
  }
  out.push("}  // namespace", "", "const Table kTables[] = {", ...list, "};");
  out.push(`const size_t kTableCount = ${list.length};`, "", "}  // namespace common::catalogue_data", "");
  return out.join("\n");
}

function writeAtomically(file, text) {
  mkdirSync(dirname(file), { recursive: true });
  if (existsSync(file) && readFileSync(file, "utf8") === text) return;
  writeFileSync(file + ".tmp", text);
  renameSync(file + ".tmp", file);
}

if (process.argv[1] !== undefined && resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const [command, output] = process.argv.slice(2);
  if (command === "extract") {
    writeAtomically(join(ROOT, TEMPLATE), templateText(extract()));
  } else if (command === "check") {
    const found = problems();
    for (const line of found) console.error(line);
    if (found.length > 0) fail(`${found.length} problem(s)`);
    console.log(`catalogues: ${SHIPPED.length} languages complete, ${extract().length} texts`);
  } else if (command === "cpp" && output !== undefined) {
    writeAtomically(resolve(output), cppSource());
  } else {
    fail("usage: catalogue.mjs extract | check | cpp <out.cpp>");
  }
}
