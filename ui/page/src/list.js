// The list of servers: the view drawn from the state, its cards, and the
// virtual scrolling that keeps only the cards in view.

// Space between cards, and how far beyond the visible part cards are kept,
// so that a quick scroll finds them drawn.
const GAP = 8;
const MARGIN = 240;

// Measured card height per shape (see listedEntry).
const heights = [0, 0, 0, 0];

function sourceOf(name) {
  return name === "favourites" ? saved.favouriteEntries : name === "recent" ? saved.recentEntries : listing.entries;
}

function chosenId() {
  return choice.server === null ? null : idOf(choice.server.host, choice.server.port);
}

function findChosen() {
  const id = chosenId();
  choice.pos = id === null ? -1 : view.shown.findIndex((entry) => entry.id === id);
}

// Card heights depend only on which optional lines a card has, so one card
// of each shape is measured and every offset follows from those.
function heightOf(entry) {
  let height = heights[entry.shape];
  if (height > 0) return height;
  const probe = card(entry);
  probe.style.visibility = "hidden";
  rowsBox.append(probe);
  height = probe.getBoundingClientRect().height;
  probe.remove();
  if (height > 0) heights[entry.shape] = height;
  return height > 0 ? height : 80;
}

function layOut() {
  view.offsets = new Float64Array(view.shown.length + 1);
  const steps = [0, 0, 0, 0];
  for (const entry of view.shown) {
    if (steps[entry.shape] === 0) steps[entry.shape] = heightOf(entry) + GAP;
  }
  let top = 0;
  for (let i = 0; i < view.shown.length; i++) {
    view.offsets[i] = top;
    top += steps[view.shown[i].shape];
  }
  view.offsets[view.shown.length] = Math.max(0, top - GAP);
  rowsBox.style.height = view.offsets[view.shown.length] + "px";
}

function showCount() {
  const total = sourceOf(view.name).length;
  if (total === 0) {
    countText.textContent = "—";
    return;
  }
  let playing = 0;
  for (const entry of view.shown) playing += entry.players;
  const shown = view.shown.length;
  const amount = shown < total ? tn(total, "%d of %d server", "%d of %d servers", shown, total)
                               : tn(total, "%d server", "%d servers", total);
  countText.textContent = `${amount} · ${tn(playing, "%d playing", "%d playing", playing)}`;
}

function emptyText() {
  if (sourceOf(view.name).length > 0) return t("No servers match");
  if (view.name === "favourites") return t("No favourites yet: press the star on a server, or F on the chosen one");
  if (view.name === "recent") return t("No recent servers yet");
  return listing.loading ? t("Looking for servers…") : t("No servers are announcing right now");
}

// With nothing to choose the list is no list box and no stop of the Tab
// key: only its text, which says why it is empty.
function showAsList(any) {
  if (any === listBox.hasAttribute("role")) return;
  if (any) {
    listBox.setAttribute("role", "listbox");
    listBox.tabIndex = 0;
    listBox.setAttribute("aria-labelledby", "servers");
    listBox.setAttribute("aria-describedby", "list-keys");
  } else {
    for (const name of ["role", "tabindex", "aria-labelledby", "aria-describedby", "aria-activedescendant"]) {
      listBox.removeAttribute(name);
    }
  }
}

// Rebuilds the view and the count; `keep` holds the scroll position (a
// change the player did not ask for), otherwise the list starts at the top.
function draw({ keep = false } = {}) {
  const filter = filterOf();
  const source = ordered(sourceOf(view.name));
  view.shown = filter.active ? source.filter((entry) => passes(entry, filter)) : source;
  findChosen();
  showCount();
  layOut();
  showAsList(view.shown.length > 0);
  let empty = listBox.querySelector(".empty");
  if (view.shown.length === 0) {
    if (empty === null) empty = listBox.appendChild(element("div", "empty"));
    empty.textContent = emptyText();
  } else if (empty !== null) {
    empty.remove();
  }
  if (!keep) listBox.scrollTop = 0;
  renderRows();
}

// A change of search, filter, sort or view: the choice follows what is
// shown, unless a typed address is the target.
function viewChanged({ keep = false } = {}) {
  draw({ keep });
  if (choice.pos < 0 && addrField.value.trim() === "") {
    choice.server = null;
    markChosen();
    chooseFirst();
  }
  updatePlay();
}

// Each card is an option of the list box, named by an id of its own so the
// list can point at the chosen one while the focus stays on the list.
let cardIds = 0;

function card(entry) {
  describe(entry);
  const box = element("div", "card");
  box.setAttribute("role", "option");
  box.id = "card-" + ++cardIds;
  // Only the pointer needs the star: the keyboard's F or Space on the list.
  const star = element("span", "star");
  const body = element("div", "body");
  body.append(element("div", "name", entry.name));
  const meta = element("div", "meta");
  meta.append(element("span", "addr", entry.address));
  const players = element("div", "players");
  if (entry.listed) {
    const server = entry.record;
    if (!blank(server.description)) body.append(element("div", "desc", server.description));
    if (server.verified === true) meta.append(element("span", "badge", t("Verified")));
    if (!blank(server.language)) meta.append(element("span", "tag", server.language));
    for (const tag of tagTexts(entry)) meta.append(element("span", "tag", tag));
    // Full in words as well, not only by its numbers being equal.
    if (entry.max > 0 && entry.players >= entry.max) players.append(element("span", "full", t("Full")));
    players.append(element("span", "now", server.players ?? 0), element("span", "sep", " / "),
                   element("span", "max", server.maxPlayers ?? 0));
  } else {
    box.classList.add("gone");
    meta.append(element("span", "tag", t("Not listed")));
    players.append(element("span", "unknown", "—"));
    box.title = t("Not in the current list: Play joins it directly");
  }
  body.append(meta);
  const side = element("div", "side");
  const ping = element("div", "ping");
  side.append(players, ping);
  box.append(star, body, side);
  box.entry = entry;
  box.state = { on: null, favourite: null, ping: null, pos: -1, size: -1 };
  return box;
}

function pingText(entry) {
  const ms = listing.pings.get(entry.hostKey);
  if (ms === undefined) return "";
  return ms >= 0 ? tf("%d ms", Math.round(ms)) : "—";
}

// Brings a card's changeable parts up to date, touching only what differs.
function sync(box, selectedId) {
  const entry = box.entry;
  const on = entry.id === selectedId;
  if (box.state.on !== on) {
    box.state.on = on;
    box.classList.toggle("on", on);
    box.setAttribute("aria-selected", String(on));
  }
  const favourite = saved.favouriteIds.has(entry.id);
  if (box.state.favourite !== favourite) {
    box.state.favourite = favourite;
    const star = box.firstChild;
    star.classList.toggle("on", favourite);
    // A favourite says so in the option's name; the empty star is left out.
    if (favourite) {
      star.removeAttribute("aria-hidden");
      star.setAttribute("role", "img");
      star.setAttribute("aria-label", t("Favourite"));
    } else {
      star.removeAttribute("role");
      star.removeAttribute("aria-label");
      star.setAttribute("aria-hidden", "true");
    }
    star.title = favourite ? t("Remove from favourites") : t("Add to favourites");
  }
  const ping = pingText(entry);
  if (box.state.ping !== ping) {
    box.state.ping = ping;
    const line = box.lastChild.lastChild;
    line.textContent = ping;
    line.classList.toggle("none", ping === "—");
    if (ping === "—") line.title = t("No answer");
    else line.removeAttribute("title");
  }
}

// The list box tells which option is chosen while it keeps the focus; only
// a card that exists can be pointed at, and the chosen one is kept in view.
function pointAtChosen() {
  const id = chosenId();
  let chosen = null;
  for (const box of view.rendered.values()) if (box.entry.id === id) chosen = box;
  if (chosen === null) listBox.removeAttribute("aria-activedescendant");
  else listBox.setAttribute("aria-activedescendant", chosen.id);
}

// The first shown card whose bottom lies below `y`.
function indexAt(y) {
  let low = 0;
  let high = view.shown.length - 1;
  while (low < high) {
    const middle = (low + high) >> 1;
    if (view.offsets[middle + 1] - GAP <= y) low = middle + 1;
    else high = middle;
  }
  return low;
}

function renderRows() {
  if (view.height === 0) view.height = listBox.clientHeight;
  const next = new Map();
  if (view.shown.length > 0) {
    const top = listBox.scrollTop;
    const first = indexAt(top - MARGIN);
    const last = indexAt(top + view.height + MARGIN);
    const selectedId = chosenId();
    for (let i = first; i <= last; i++) {
      const entry = view.shown[i];
      let box = view.rendered.get(entry);
      if (box === undefined) {
        box = card(entry);
        rowsBox.append(box);
      }
      if (box.top !== view.offsets[i]) {
        box.top = view.offsets[i];
        box.style.top = view.offsets[i] + "px";
      }
      box.pos = i;
      // Only some options exist: each says where it stands in the whole list.
      if (box.state.pos !== i) {
        box.state.pos = i;
        box.setAttribute("aria-posinset", String(i + 1));
      }
      if (box.state.size !== view.shown.length) {
        box.state.size = view.shown.length;
        box.setAttribute("aria-setsize", String(view.shown.length));
      }
      sync(box, selectedId);
      next.set(entry, box);
    }
  }
  for (const [entry, box] of view.rendered) if (!next.has(entry)) box.remove();
  view.rendered = next;
  pointAtChosen();
}

function markChosen() {
  const selectedId = chosenId();
  for (const box of view.rendered.values()) sync(box, selectedId);
  pointAtChosen();
}

function reveal(pos) {
  if (view.height === 0) view.height = listBox.clientHeight;
  const top = view.offsets[pos];
  const bottom = top + heightOf(view.shown[pos]);
  if (top < listBox.scrollTop) listBox.scrollTop = top;
  else if (bottom > listBox.scrollTop + view.height) listBox.scrollTop = bottom - view.height;
}

function choose(pos) {
  const entry = view.shown[pos];
  choice.server = { host: entry.host, port: entry.port };
  choice.pos = pos;
  addrField.value = "";
  reveal(pos);
  renderRows();
  updatePlay();
}

// With nothing chosen, the first server shown is, as when a list arrives.
function chooseFirst() {
  if (choice.server !== null || view.shown.length === 0) return;
  choice.server = { host: view.shown[0].host, port: view.shown[0].port };
  choice.pos = 0;
  markChosen();
  updatePlay();
}

function wireList() {
  rowsBox.addEventListener("click", (event) => {
    const box = event.target.closest(".card");
    if (box === null) return;
    if (event.target.closest(".star") !== null) {
      toggleFavourite(box.entry);
      return;
    }
    choose(box.pos);
  });

  listBox.addEventListener("scroll", renderRows, { passive: true });
  new ResizeObserver(() => {
    view.height = listBox.clientHeight;
    renderRows();
  }).observe(listBox);
}
