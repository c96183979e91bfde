// The player's favourite and recent servers: the host keeps them, the page
// shows them and asks the host to change a favourite.

// The saved servers of a view, each the listed entry when the list holds it.
function savedEntries(list, limit) {
  const seen = new Set();
  const result = [];
  for (const server of list) {
    const id = idOf(server.host, server.port);
    if (seen.has(id)) continue;
    seen.add(id);
    result.push(listing.byId.get(id) ?? unlistedEntry(server));
    if (result.length === limit) break;
  }
  return result;
}

function readSaved(list) {
  if (!Array.isArray(list)) return [];
  return list.filter((item) => item !== null && typeof item === "object" && typeof item.host === "string" &&
                               item.host.trim() !== "" && typeof item.port === "number")
             .map((item) => ({ host: item.host, port: item.port, name: typeof item.name === "string" ? item.name : "" }));
}

function applySaved() {
  saved.favouriteIds = new Set(saved.favourites.map((server) => idOf(server.host, server.port)));
  saved.favouriteEntries = savedEntries(saved.favourites, Infinity);
  saved.recentEntries = savedEntries(saved.recent, RECENT_LIMIT);
  forgetOrders((key) => !key.startsWith("all\n"));
}

// Shown at once; the host's favourites message that follows replaces it.
function toggleFavourite(entry) {
  const on = !saved.favouriteIds.has(entry.id);
  const name = entry.listed ? describe(entry).name : entry.savedName;
  toHost.favourite(entry.host, entry.port, name, on);
  saved.favourites = on ? [{ host: entry.host, port: entry.port, name }, ...saved.favourites]
                        : saved.favourites.filter((server) => idOf(server.host, server.port) !== entry.id);
  applySaved();
  if (view.name === "favourites") viewChanged({ keep: true });
  else markChosen();
  note(on ? tf("%s is a favourite now", name) : tf("%s is no longer a favourite", name));
}

function showFavourites(message) {
  saved.favourites = readSaved(message.list);
  applySaved();
  if (view.name !== "favourites") {
    markChosen();
    return;
  }
  draw({ keep: true });
  if (addrField.value.trim() === "") chooseFirst();
}

function showRecent(message) {
  saved.recent = readSaved(message.list).slice(0, RECENT_LIMIT);
  applySaved();
  if (view.name !== "recent") return;
  draw({ keep: true });
  if (addrField.value.trim() === "") chooseFirst();
}
