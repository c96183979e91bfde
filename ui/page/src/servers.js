// The server list as the host sends it, the pings that follow it, and the
// player asking for a new list.

// One list at a time: Refresh waits until the list asked for (or its
// failure, which comes as an empty list) has arrived.
function showRefresh() {
  document.getElementById("refresh").disabled = listing.loading;
  listBox.setAttribute("aria-busy", String(listing.loading));
}

function showServers(message) {
  listing.servers = Array.isArray(message.list) ? message.list : [];
  listing.loading = false;
  showRefresh();
  listing.pings = new Map();
  listing.entries = listing.servers.map((record) => listedEntry(record !== null && typeof record === "object" ? record : {}));
  listing.byId = new Map();
  for (const entry of listing.entries) if (!listing.byId.has(entry.id)) listing.byId.set(entry.id, entry);
  applySaved();
  forgetOrders(() => true);
  draw();
  warmUp();
  chooseFirst();
  updatePlay();
}

function showPings(message) {
  if (!Array.isArray(message.results)) return;
  for (const result of message.results) {
    if (result === null || typeof result !== "object" || typeof result.ms !== "number" || blank(result.host)) continue;
    listing.pings.set(escape(result.host).toLowerCase(), result.ms);
  }
  forgetOrders((key) => key.endsWith("\nping"));
  markChosen();
  sortByPingsSoon();
}

function wireRefresh() {
  showRefresh();
  document.getElementById("refresh").addEventListener("click", () => {
    if (listing.loading) return;
    listing.loading = true;
    showRefresh();
    listing.servers = [];
    listing.entries = [];
    listing.byId = new Map();
    applySaved();
    forgetOrders(() => true);
    draw();
    toHost.refresh();
  });
}
