// The page's own texts in the language <html lang> names: the launcher
// writes the player's tag there before it shows the page. English is the
// source, and what a text the catalogue lacks stays in.
/* @texts: build-page.mjs replaces this comment with the catalogues, as const TEXTS */

const language = (() => {
  const asked = document.documentElement.lang.toLowerCase();
  const tags = Object.keys(TEXTS);
  const tag = tags.find((known) => known.toLowerCase() === asked) ??
              tags.find((known) => known.toLowerCase() === asked.split("-")[0]) ?? "en";
  // The pseudo-language counts and writes its numbers as English does.
  const locale = tag === "qps-ploc" ? "en" : tag;
  return { tag, catalogue: TEXTS[tag] ?? { plural: ["one", "other"], texts: {} },
           rules: new Intl.PluralRules(locale), numbers: new Intl.NumberFormat(locale) };
})();

function number(value) {
  return language.numbers.format(value);
}

function translate(english) {
  const text = language.catalogue.texts[english];
  return typeof text === "string" ? text : english;
}

// printf as the catalogue's texts hold it: %s, %d (a number written the
// language's way) and %%, each argument in turn or by its place (%2$s),
// which lets a translation put them in another order.
function format(text, args) {
  let next = 0;
  return text.replace(/%(?:(\d+)\$)?([sd%])/g, (whole, place, kind) => {
    if (kind === "%") return "%";
    const value = args[place === undefined ? next++ : Number(place) - 1];
    return kind === "d" ? number(value) : escape(value);
  });
}

function t(english) {
  return translate(english);
}

function tf(english, ...args) {
  return format(translate(english), args);
}

// The form for count: the language's plural category picks it from the
// catalogue's forms; without them, English's one and other.
function tn(count, one, other, ...args) {
  const forms = language.catalogue.texts[one];
  const index = language.catalogue.plural.indexOf(language.rules.select(count));
  const text = Array.isArray(forms) && typeof forms[index] === "string" ? forms[index] : count === 1 ? one : other;
  return format(text, args);
}

// The texts launcher.html carries in English: an element's text (data-t)
// and the attributes data-t-attrs names.
function translatePage() {
  // The language the page is now in. The pseudo-language is English
  // underneath, said so with its own tag kept as a private use.
  document.documentElement.lang = language.tag === "qps-ploc" ? "en-x-qps-ploc" : language.tag;
  for (const node of document.querySelectorAll("[data-t]")) node.textContent = translate(node.textContent.trim());
  for (const node of document.querySelectorAll("[data-t-attrs]")) {
    for (const name of node.dataset.tAttrs.split(/\s+/)) {
      if (name !== "" && node.hasAttribute(name)) node.setAttribute(name, translate(node.getAttribute(name)));
    }
  }
}
