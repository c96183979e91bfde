// The messages between the page and the host, as JSON through the web view:
// every type and member the page sends or reads is named here. The host
// writes its own in ui/page_messages.cpp and reads the page's in
// ui/page_requests.cpp.

// Outside the launcher's web view there is no host: the page then stays quiet.
function post(message) {
  window.chrome?.webview?.postMessage(message);
}

// What the page sends, each in the member order the host has always seen.
const toHost = {
  ready: () => post({ type: "ready" }),
  refresh: () => post({ type: "refresh" }),
  close: () => post({ type: "close" }),
  minimise: () => post({ type: "minimise" }),
  name: (value) => post({ type: "name", value }),
  play: (host, port, name) => post({ type: "play", host, port, name }),
  favourite: (host, port, name, on) => post({ type: "favourite", host, port, name, on }),
  pause: () => post({ type: "pause" }),
  resume: () => post({ type: "resume" }),
  retry: () => post({ type: "retry" }),
  repair: () => post({ type: "repair" }),
  speed: (value) => post({ type: "speed", value }),
};

// What the host sends, by type, and the members each handler reads.
const fromHost = new Map([
  ["status", showStatus],         // text, percent (-1 for none), bad or good, busy (only the update's)
  ["servers", showServers],       // list: records of name, host, port, address, players, maxPlayers,
                                  // description, language, verified, tags
  ["release", showRelease],       // build, protocol (not shown)
  ["name", showName],             // value: the player's saved name
  ["favourites", showFavourites], // list: {host, port, name}, newest first
  ["recent", showRecent],         // list: {host, port, name}, newest first
  ["ping", showPings],            // results: {host, ms}, ms -1 without an answer
  ["log", showLog],               // path: the log file
  ["run", showRun],               // state: running, paused, failed or done
  ["speed", showSpeed],           // value: the download limit in KiB/s, 0 for none
]);

function listenToHost() {
  window.chrome?.webview?.addEventListener("message", (event) => {
    const message = event.data;
    if (message === null || typeof message !== "object") return;
    fromHost.get(message.type)?.(message);
  });
}
