// Everything the page changes as it runs, by concern: the host's messages
// and the player's actions change it, and the list is drawn from it.

// The server list as the host last sent it, and what the page made of it.
const listing = {
  servers: [],        // the records of the last servers message, as received
  entries: [],        // one per record, in list order
  byId: new Map(),    // id -> the first entry with it
  pings: new Map(),   // lower-case host -> milliseconds, -1 without an answer
  loading: true,      // a list is on its way
};

// The player's saved servers, {host, port, name} as the host keeps them,
// newest first, and the entries the views show for them.
const saved = {
  favourites: [],
  recent: [],
  favouriteIds: new Set(),
  favouriteEntries: [],
  recentEntries: [],
};

// The server Play joins when no address is typed.
const choice = {
  server: null,       // {host, port}, or null
  pos: -1,            // where it stands in view.shown, -1 when not there
};

// What the list shows, and where, for its virtual scrolling.
const view = {
  name: "all",                   // all, favourites or recent
  shown: [],                     // the entries of the current view, in order
  offsets: new Float64Array(1),  // top of each shown card; the last holds the total height
  rendered: new Map(),           // entry -> its card, only for cards that exist
  height: 0,                     // of the list box, once known
};

// What the host tells of the launcher itself.
const launcher = {
  busy: true,         // an update runs: Play waits for it
  build: "",
  logPath: "",
};

// Work put off until later.
const deferred = {
  warming: 0,         // the idle callback preparing tags and search texts
  tagsStale: false,   // the tag menu waits to be rebuilt
  pingSort: false,    // a new ping order waits for the next frame
  noteTimer: 0,       // brings the build back after a note
};
