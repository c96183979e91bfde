// One server as the page knows it: an entry, made from a listed record or a
// saved server, with the texts its card, a search and a sort need.

// One server as the page shows it. `listed` is false for a favourite or
// recent server that the current list does not hold. Only what every server
// needs at once is worked out here; its texts wait until a card, a search or
// a sort asks for them (describe). The shape says which optional lines its
// card has: a description (1), badges or tags (2).
function listedEntry(record) {
  const hostKey = escape(record.host).toLowerCase();
  const tags = record.tags;
  let tagged = false;
  if (Array.isArray(tags)) for (const tag of tags) if (!blank(tag)) tagged = true;
  return { record, listed: true, host: record.host, port: record.port, id: hostKey + "\n" + escape(record.port),
           hostKey, players: Number(record.players) || 0, max: Number(record.maxPlayers) || 0,
           shape: (blank(record.description) ? 0 : 1) | (record.verified === true || !blank(record.language) || tagged ? 2 : 0),
           name: null, address: null, tagTexts: null, tags: null, text: null, nameKey: null };
}

function describe(entry) {
  if (entry.name !== null) return entry;
  const record = entry.record;
  entry.address = blank(record.address) ? addressOf(record.host, record.port) : escape(record.address);
  entry.name = blank(record.name) ? entry.address : escape(record.name);
  return entry;
}

function tagTexts(entry) {
  if (entry.tagTexts === null) {
    const tags = entry.record.tags;
    entry.tagTexts = Array.isArray(tags) ? tags.filter((tag) => !blank(tag)).map(escape) : [];
  }
  return entry.tagTexts;
}

function unlistedEntry(server) {
  const address = addressOf(server.host, server.port);
  return { record: null, listed: false, host: server.host, port: server.port, id: idOf(server.host, server.port),
           hostKey: escape(server.host).toLowerCase(), players: 0, max: 0, shape: 2, address,
           name: blank(server.name) ? address : escape(server.name), savedName: escape(server.name), tagTexts: [],
           tags: [], text: null, nameKey: null };
}

// Tags repeat across thousands of servers: each distinct one is folded once.
const foldedTags = new Map();
function tagKeys(entry) {
  if (entry.tags === null) {
    entry.tags = tagTexts(entry).map((tag) => {
      let key = foldedTags.get(tag);
      if (key === undefined) {
        key = fold(tag).trim();
        foldedTags.set(tag, key);
      }
      return key;
    });
  }
  return entry.tags;
}

function searchText(entry) {
  if (entry.text === null) {
    describe(entry);
    const record = entry.record ?? {};
    entry.text = fold([entry.name, escape(record.description), tagTexts(entry).join("\n"), escape(record.language),
                       entry.address].join("\n"));
  }
  return entry.text;
}

