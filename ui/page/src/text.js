// Small helpers for the host's texts: what the page shows of a value, the
// folded form a search compares, and a server's address and id.

function escape(value) {
  return value === null || value === undefined ? "" : String(value);
}

function element(tag, className, text) {
  const node = document.createElement(tag);
  node.className = className;
  if (text !== undefined) node.textContent = escape(text);
  return node;
}

function blank(value) {
  return escape(value).trim() === "";
}

// Lower case without accents, so "bru" finds "Brücke". Plain ASCII, the
// common case, skips the decomposition.
const FOLDS = { "ß": "ss", "æ": "ae", "œ": "oe", "ø": "o", "ł": "l", "đ": "d", "ð": "d", "þ": "th", "ı": "i", "ħ": "h" };
function fold(text) {
  const lower = escape(text).toLowerCase();
  if (!/[^\x00-\x7f]/.test(lower)) return lower;
  return lower.normalize("NFKD").replace(/\p{Mn}/gu, "").replace(/[ßæœøłđðþıħ]/g, (letter) => FOLDS[letter]);
}

function addressOf(host, port) {
  const text = escape(host);
  return (text.includes(":") ? `[${text}]` : text) + ":" + escape(port);
}

function idOf(host, port) {
  return escape(host).toLowerCase() + "\n" + escape(port);
}
