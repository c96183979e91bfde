// Which servers the list shows, and in which order: the view tabs, the
// search, the filters, the tag menu and the sort.

// Sort orders by view and sort, kept until what they order changes.
const orders = new Map();

// Answers first, fastest first; then servers that did not answer; then those
// not measured yet.
function pingRank(entry) {
  const ms = listing.pings.get(entry.hostKey);
  if (ms === undefined) return 2e9;
  return ms >= 0 ? ms : 1e9;
}

// Players: most first. The sort is stable, so servers with as many players
// keep the order the list gave them, and a list already ranked stays as it is.
function ordered(source) {
  const sort = sortPick.value;
  const key = view.name + "\n" + sort;
  let order = orders.get(key);
  if (order === undefined) {
    if (sort === "name") {
      for (const entry of source) if (entry.nameKey === null) entry.nameKey = fold(describe(entry).name);
      order = source.slice().sort((a, b) => (a.nameKey < b.nameKey ? -1 : a.nameKey > b.nameKey ? 1 : 0));
    } else if (sort === "ping") {
      const ranks = new Map(source.map((entry) => [entry, pingRank(entry)]));
      order = source.slice().sort((a, b) => ranks.get(a) - ranks.get(b));
    } else {
      order = source.slice().sort((a, b) => b.players - a.players);
    }
    orders.set(key, order);
  }
  return order;
}

function forgetOrders(which) {
  for (const key of [...orders.keys()]) if (which(key)) orders.delete(key);
}

// Pings come in quick batches: one new order per frame at most.
function sortByPingsSoon() {
  if (sortPick.value !== "ping" || deferred.pingSort) return;
  deferred.pingSort = true;
  requestAnimationFrame(() => {
    deferred.pingSort = false;
    if (sortPick.value === "ping") draw({ keep: true });
  });
}

function filterOf() {
  const words = fold(searchField.value).split(/\s+/).filter((word) => word !== "");
  const filter = { words, full: hideFullChip.getAttribute("aria-pressed") === "true",
                   empty: hideEmptyChip.getAttribute("aria-pressed") === "true",
                   verified: verifiedChip.getAttribute("aria-pressed") === "true", tag: tagPick.value };
  filter.active = words.length > 0 || filter.full || filter.empty || filter.verified || filter.tag !== "";
  return filter;
}

// A server the list does not hold has no known players, so only what it is
// known to lack can hide it.
function passes(entry, filter) {
  if (filter.full && entry.listed && entry.max > 0 && entry.players >= entry.max) return false;
  if (filter.empty && entry.listed && entry.players === 0) return false;
  if (filter.verified && !(entry.listed && entry.record.verified === true)) return false;
  if (filter.tag !== "" && !tagKeys(entry).includes(filter.tag)) return false;
  if (filter.words.length > 0) {
    const text = searchText(entry);
    for (const word of filter.words) if (!text.includes(word)) return false;
  }
  return true;
}

function updateTags() {
  deferred.tagsStale = false;
  const counts = new Map();
  for (const entry of listing.entries) {
    if (entry.shape < 2) continue;
    const keys = tagKeys(entry);
    for (let i = 0; i < keys.length; i++) {
      const known = counts.get(keys[i]);
      if (known === undefined) counts.set(keys[i], { label: entry.tagTexts[i].trim(), count: 1 });
      else known.count++;
    }
  }
  const current = tagPick.value;
  if (current !== "" && !counts.has(current)) {
    counts.set(current, { label: tagPick.selectedOptions[0]?.dataset.label ?? current, count: 0 });
  }
  const sorted = [...counts].sort((a, b) => b[1].count - a[1].count || (a[0] < b[0] ? -1 : 1));
  const options = [new Option(t("All tags"), "")];
  for (const [key, { label, count }] of sorted) {
    const option = new Option(`${label} (${number(count)})`, key);
    option.dataset.label = label;
    options.push(option);
  }
  tagPick.replaceChildren(...options);
  tagPick.value = current;
}

// The tag menu and the texts a search looks through are prepared while the
// page is idle after a list arrives, so that neither delays showing it and
// the first keystroke finds them ready.
function warmUp() {
  if (deferred.warming !== 0) cancelIdleCallback(deferred.warming);
  deferred.tagsStale = true;
  let next = 0;
  const list = listing.entries;
  const step = (deadline) => {
    if (deferred.tagsStale) updateTags();
    while (next < list.length && deadline.timeRemaining() > 1) {
      const end = Math.min(list.length, next + 200);
      for (; next < end; next++) searchText(list[next]);
    }
    deferred.warming = next < list.length ? requestIdleCallback(step) : 0;
  };
  deferred.warming = requestIdleCallback(step);
}

function wireFilters() {
  for (const [name, tab] of Object.entries(viewTabs)) {
    tab.addEventListener("click", () => {
      if (view.name === name) return;
      view.name = name;
      for (const [other, button] of Object.entries(viewTabs)) button.setAttribute("aria-selected", String(other === name));
      viewChanged();
    });
  }

  for (const chip of [hideFullChip, hideEmptyChip, verifiedChip]) {
    chip.addEventListener("click", () => {
      chip.setAttribute("aria-pressed", String(chip.getAttribute("aria-pressed") !== "true"));
      viewChanged();
    });
  }
  sortPick.addEventListener("change", viewChanged);
  for (const type of ["pointerdown", "focus"]) tagPick.addEventListener(type, () => { if (deferred.tagsStale) updateTags(); });
  tagPick.addEventListener("change", viewChanged);
  searchField.addEventListener("input", viewChanged);
}
