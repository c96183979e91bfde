// Chunked files: the chunk store of a channel, the chunk index of each
// chunked file, their checks, and the removal of chunks that no kept
// description needs. A launcher that has an older release fetches only the
// chunks it lacks; one that reads no chunks lines downloads the whole file,
// which stays published beside them.
//
// Below the output (the base URL):
//   chunks/<channel>/<first two hex digits>/<sha256>   one chunk: its raw bytes
//       zlib-compressed (RFC 1950) when that is at most 97 % of their size,
//       else raw; the name is the SHA-256 of the raw bytes
//   chunks/<channel>/indexes/<sha256>.txt              one chunk index, named
//       by the SHA-256 of its text
// Both are immutable and shared by every file and release of the channel: a
// name always holds the same content, so what is there is kept.
//
// A chunk index, UTF-8 in lines that end in LF (a reader ignores keys it
// does not know):
//   velmoramp-chunks 1
//   file <size> <sha256 of the whole file>
//   chunker velmoramp-cdc-1 262144 1048576 4194304
//   store chunks/<channel>
//   chunk <sha256 of the raw chunk> <raw size> <stored size> zlib|raw
//   ...                                  one a chunk, in file order
//
// The pack: every small file (below the chunk threshold), end to end in the
// order of the description's file lines, is one stream cut by the same
// chunker, each piece an object of the same store. A small change to one
// file changes one or two objects; the next release reuses the rest. A
// launcher fetches an object whole when it holds enough of what it needs,
// else the files on their own. Its index, beside the chunk indexes:
//   velmoramp-pack 1
//   chunker velmoramp-cdc-1 262144 1048576 4194304
//   store chunks/<channel>
//   chunk <sha256 of the raw piece> <raw size> <stored size> zlib|raw
//   ...                                  one a piece, in stream order
//   part <offset in the stream> <size> <path token of the file line>
//   ...                                  one a small file, in stream order
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { promisify } from 'node:util';
import zlib from 'node:zlib';

import { AVERAGE, CHUNKER, chunkFile, chunkStream, MAX, MIN } from './chunker.mjs';
import { isSafeRelativePath, readManifest } from './description.mjs';
import { refuse } from './errors.mjs';
import { readFileOrRefuse, writeReplacing } from './files.mjs';

export const DEFAULT_CHUNK_MIN_SIZE = 4 * 1024 * 1024;
const CHUNKER_LINE = `chunker ${CHUNKER} ${MIN} ${AVERAGE} ${MAX}`;

export const storeOf = (channel) => `chunks/${channel}`;
const objectSource = (store, sha) => `${store}/${sha.slice(0, 2)}/${sha}`;
const indexSource = (store, sha) => `${store}/indexes/${sha}.txt`;
const onDisk = (out, source) => path.join(out, ...source.split('/'));
const sha256 = (data) => crypto.createHash('sha256').update(data).digest('hex');
const deflate = promisify(zlib.deflate);
const IN_FLIGHT = 4;  // Node's thread pool has 4 threads unless told otherwise

// --chunk-min-size and --no-chunks: the size from which files are chunked,
// or null when none is.
export function chunkMinSizeFromOptions(options) {
  if (options['no-chunks']) {
    if (options['chunk-min-size'] !== undefined) refuse('--no-chunks and --chunk-min-size go apart');
    return null;
  }
  const text = options['chunk-min-size'];
  if (text === undefined) return DEFAULT_CHUNK_MIN_SIZE;
  if (!/^[1-9][0-9]{0,15}$/.test(text) || !Number.isSafeInteger(Number(text))) {
    refuse('--chunk-min-size must be a whole number of bytes, 1 or more');
  }
  return Number(text);
}

// The form an object already in the store has, checked against the chunk
// its name stands for; null when there is none.
function existingForm(file, sha, rawSize) {
  let bytes;
  try {
    bytes = fs.readFileSync(file);
  } catch (e) {
    if (e.code === 'ENOENT') return null;
    refuse(`${file}: cannot read the chunk (${e.code ?? e.message})`);
  }
  if (bytes.length === rawSize && sha256(bytes) === sha) return { stored: bytes.length, method: 'raw' };
  let raw = null;
  try {
    raw = zlib.inflateSync(bytes, { maxOutputLength: MAX });
  } catch {
    raw = null;
  }
  if (raw !== null && raw.length === rawSize && sha256(raw) === sha) return { stored: bytes.length, method: 'zlib' };
  refuse(`${file} is in the chunk store, but does not hold chunk ${sha}: the store is damaged. ` +
         'Remove that file and publish again; nothing names it the way it is');
}

export function chunkIndexText({ size, sha256: digest, store, chunks }) {
  const lines = ['velmoramp-chunks 1', `file ${size} ${digest}`, CHUNKER_LINE, `store ${store}`];
  for (const c of chunks) lines.push(`chunk ${c.sha256} ${c.size} ${c.stored} ${c.method}`);
  return Buffer.from(lines.join('\n') + '\n', 'utf8');
}

// A chunk line's fields, or null when it is malformed.
function chunkLine(tokens) {
  const number = (t) => (t !== undefined && /^[0-9]+$/.test(t) ? BigInt(t) : null);
  const [size, stored] = [number(tokens[2]), number(tokens[3])];
  if (tokens[1] === undefined || !/^[0-9a-f]{64}$/.test(tokens[1]) || size === null || size < 1n ||
      size > BigInt(MAX) || stored === null || !['zlib', 'raw'].includes(tokens[4]) ||
      (tokens[4] === 'raw' && stored !== size)) {
    return null;
  }
  return { sha256: tokens[1], size, stored, method: tokens[4] };
}

// The lines both kinds of index have (chunker, store, chunk) into result:
// a problem, null for such a line that is sound, undefined for another line.
function sharedLine(tokens, line, result) {
  if (tokens[0] === 'chunker') {
    result.chunker = line;
    return null;
  }
  if (tokens[0] === 'store') {
    if (tokens[1] === undefined || !isSafeRelativePath(tokens[1])) return 'its store line is malformed';
    result.store = tokens[1];
    return null;
  }
  if (tokens[0] !== 'chunk') return undefined;
  const chunk = chunkLine(tokens);
  if (chunk === null) return 'a chunk line is malformed';
  result.chunks.push(chunk);
  return null;
}

// The lines of an index after its header into result: the shared ones,
// and each other line through own(tokens). The first problem, or null.
function readLines(bytes, header, kind, result, own) {
  const lines = bytes.toString('utf8').split('\n');
  if (lines[0] !== header) return `it is no ${kind} index of format 1`;
  for (const line of lines.slice(1)) {
    const tokens = line.split(' ');
    const problem = sharedLine(tokens, line, result) ?? own(tokens);
    if (problem) return problem;
  }
  return null;
}

export function packIndexText({ store, chunks, parts }) {
  const lines = ['velmoramp-pack 1', CHUNKER_LINE, `store ${store}`];
  for (const c of chunks) lines.push(`chunk ${c.sha256} ${c.size} ${c.stored} ${c.method}`);
  for (const p of parts) lines.push(`part ${p.offset} ${p.size} ${p.path}`);
  return Buffer.from(lines.join('\n') + '\n', 'utf8');
}

// A pack index as a launcher reads it: { problem, store, chunks, parts:
// [{ offset, size, path }] }, problem null when it is sound: parts in stream
// order, apart, within the pieces.
export function readPackIndex(bytes) {
  const result = { problem: null, chunker: null, store: null, chunks: [], parts: [] };
  const fail = (problem) => ({ ...result, problem });
  const number = (t) => (t !== undefined && /^[0-9]+$/.test(t) ? BigInt(t) : null);
  let end = 0n;
  const problem = readLines(bytes, 'velmoramp-pack 1', 'pack', result, (tokens) => {
    if (tokens[0] !== 'part') return null;
    const [offset, size] = [number(tokens[1]), number(tokens[2])];
    if (offset === null || size === null || tokens.length !== 4 || tokens[3] === '') return 'a part line is malformed';
    if (offset < end) return 'its part lines overlap or are out of order';
    end = offset + size;
    result.parts.push({ offset, size, path: tokens[3] });
    return null;
  });
  if (problem) return fail(problem);
  if (result.chunker !== CHUNKER_LINE) return fail(`its chunker is not ${CHUNKER_LINE.slice(8)}`);
  if (result.store === null) return fail('it has no store line');
  if (end > result.chunks.reduce((sum, c) => sum + c.size, 0n)) return fail('a part lies beyond its pieces');
  return result;
}

// A chunk index as a launcher reads it: { problem, size, sha256, store,
// chunks: [{ sha256, size, stored, method }] }, problem null when it is sound.
export function readChunkIndex(bytes) {
  const result = { problem: null, size: null, sha256: null, chunker: null, store: null, chunks: [] };
  const fail = (problem) => ({ ...result, problem });
  const number = (t) => (t !== undefined && /^[0-9]+$/.test(t) ? BigInt(t) : null);
  const hex = (t) => t !== undefined && /^[0-9a-f]{64}$/.test(t);
  const problem = readLines(bytes, 'velmoramp-chunks 1', 'chunk', result, (tokens) => {
    if (tokens[0] !== 'file') return null;
    if (number(tokens[1]) === null || !hex(tokens[2])) return 'its file line is malformed';
    [result.size, result.sha256] = [number(tokens[1]), tokens[2]];
    return null;
  });
  if (problem) return fail(problem);
  if (result.size === null) return fail('it has no file line');
  if (result.chunker !== CHUNKER_LINE) return fail(`its chunker is not ${CHUNKER_LINE.slice(8)}`);
  if (result.store === null) return fail('it has no store line');
  if (result.chunks.reduce((sum, c) => sum + c.size, 0n) !== result.size) {
    return fail('its chunks do not add up to the file');
  }
  return result;
}

// The chunk store of one channel in out, as one release fills it. With
// write false (a dry run) nothing is written, and the counts are what
// writing would do.
export class ChunkStore {
  constructor(out, channel, { write }) {
    // indexes: the chunks of each index this release has, by its digest,
    // for what players fetch before (or without) the index being written.
    Object.assign(this, { out, store: storeOf(channel), write, forms: new Map(), indexes: new Map() });
    const tally = () => ({ files: 0, chunks: 0, added: { objects: 0, bytes: 0 }, reused: { objects: 0, bytes: 0 } });
    this.totals = tally();
    this.packTotals = tally();
  }

  // One chunk, stored once however often the release has it: a promise of
  // its line in the index. Its bytes are used or copied before anything waits.
  put(raw, tally = this.totals) {
    const sha = sha256(raw);
    const size = raw.length;
    let form = this.forms.get(sha);
    if (form === undefined) {
      form = this.#store(sha, raw, tally);
      this.forms.set(sha, form);
    }
    tally.chunks++;
    return form.then((f) => ({ sha256: sha, size, ...f }));
  }

  async #store(sha, raw, tally) {
    const file = onDisk(this.out, objectSource(this.store, sha));
    const existing = existingForm(file, sha, raw.length);
    if (existing) {
      tally.reused.objects++;
      tally.reused.bytes += existing.stored;
      return existing;
    }
    const copy = Buffer.from(raw);
    // Compressed off the main thread, so that several chunks are at it at
    // once while the next ones are cut and hashed.
    const packed = await deflate(copy);
    const bytes = packed.length * 100 <= copy.length * 97 ? packed : copy;
    if (this.write) writeReplacing(file, bytes);
    tally.added.objects++;
    tally.added.bytes += bytes.length;
    return { stored: bytes.length, method: bytes === copy ? 'raw' : 'zlib' };
  }

  // The file cut, its chunks in the store and its index beside them;
  // returns the index as the file's chunks line names it.
  async addFile(file) {
    const entries = [];
    let waited = 0;
    const whole = await chunkFile(file.full, async (bytes) => {
      const entry = this.put(bytes);
      entry.catch(() => {});  // a failure is met where the entries are awaited
      entries.push(entry);
      // A few chunks in flight: enough for every core, few enough to bound memory.
      if (entries.length - waited > IN_FLIGHT) await entries[waited++];
    });
    const chunks = await Promise.all(entries);
    if (whole.sha256 !== file.sha256 || BigInt(whole.size) !== BigInt(file.size)) {
      refuse(`${file.full} changed while it was being published`);
    }
    const text = chunkIndexText({ ...whole, store: this.store, chunks });
    this.totals.files++;
    return this.#placeIndex(text, chunks);
  }

  // The small files as one stream, its pieces in the store and the pack
  // index beside them; returns the index as the pack line names it, null
  // when there is no small file with any byte.
  async addPack(files) {
    if (!files.some((f) => f.size > 0)) return null;
    const entries = [];
    let waited = 0;
    const read = await chunkStream(files.map((f) => f.full), async (bytes) => {
      const entry = this.put(bytes, this.packTotals);
      entry.catch(() => {});
      entries.push(entry);
      if (entries.length - waited > IN_FLIGHT) await entries[waited++];
    });
    const chunks = await Promise.all(entries);
    const parts = [];
    let offset = 0n;
    files.forEach((f, i) => {
      if (read[i].sha256 !== f.sha256 || BigInt(read[i].size) !== BigInt(f.size)) {
        refuse(`${f.full} changed while it was being published`);
      }
      parts.push({ offset, size: BigInt(f.size), path: f.relPath });
      offset += BigInt(f.size);
    });
    this.packTotals.files = files.length;
    return this.#placeIndex(packIndexText({ store: this.store, chunks, parts }), chunks);
  }

  #placeIndex(text, chunks) {
    const digest = sha256(text);
    this.indexes.set(digest, chunks);
    const source = indexSource(this.store, digest);
    const target = onDisk(this.out, source);
    if (fs.existsSync(target)) {
      if (sha256(readFileOrRefuse(target, 'the chunk index')) !== digest) {
        refuse(`${target} is in the chunk store, but is not the index its name stands for: the store is damaged. ` +
               'Remove that file and publish again');
      }
    } else if (this.write) {
      writeReplacing(target, text);
    }
    return { size: text.length, sha256: digest, source };
  }
}

// The chunk digests of the copy of a file a player holds, old being its
// entry in the published description: from its index in out, else by
// cutting the whole file published there, as the launcher cuts its copy.
// Empty when neither is there (nothing tells what the player holds): the
// figure then counts every chunk.
async function chunksOfCopy(out, old) {
  if (old.chunks) {
    try {
      const bytes = fs.readFileSync(onDisk(out, old.chunks.source));
      const index = readChunkIndex(bytes);
      if (sha256(bytes) === old.chunks.sha256 && index.problem === null) {
        return new Set(index.chunks.map((c) => c.sha256));
      }
    } catch {
      // pruned or never laid out here: the whole file tells the same
    }
  }
  const held = new Set();
  const whole = onDisk(out, old.source);
  if (!fs.existsSync(whole)) return held;
  const cut = await chunkFile(whole, (bytes) => {
    held.add(sha256(bytes));
  });
  return cut.sha256 === old.sha256 ? held : new Set();
}

// What a player who holds the published release fetches of each chunked
// file that changed, as the launcher plans it: the stored bytes of every
// chunk of the new index whose digest the old copy of the file lacks, each
// time the index names it (all of them for a file the published release
// lacked). By the file's path in lower case (Windows folders ignore case).
// indexes: ChunkStore.indexes, for indexes not written to out (a dry run).
export async function chunkFetches(out, published, next, indexes = new Map()) {
  const before = new Map((published?.files ?? []).map((f) => [f.path.toLowerCase(), f]));
  const fetches = new Map();
  for (const f of next.files.filter((x) => x.chunks)) {
    const old = before.get(f.path.toLowerCase());
    if (old?.sha256 === f.sha256) continue;
    const chunks = indexes.get(f.chunks.sha256) ?? checkChunks(out, f).chunks;
    const held = old ? await chunksOfCopy(out, old) : new Set();
    const missing = chunks.filter((c) => !held.has(c.sha256));
    fetches.set(f.path.toLowerCase(), { chunks: missing.length,
                                        bytes: missing.reduce((sum, c) => sum + BigInt(c.stored), 0n) });
  }
  return fetches;
}

const formatMiB = (bytes) => `${bytes} bytes (${(bytes / 1048576).toFixed(1)} MiB)`;

export function chunksReport({ files, chunks, added, reused }, write, what = 'chunks') {
  return `${what}: ${files} file(s) in ${chunks} ${what === 'pack' ? 'object' : 'chunk'}(s); ${write ? 'added' : 'would add'} ${formatMiB(added.bytes)} ` +
         `in ${added.objects} new object(s), reused ${formatMiB(reused.bytes)} in ${reused.objects} object(s) ` +
         'already there';
}

// The index a chunks line names, read from out and checked against its
// file line, with every chunk it names in the store at its stored size.
export function checkChunks(out, file) {
  const where = onDisk(out, file.chunks.source);
  let bytes;
  try {
    bytes = fs.readFileSync(where);
  } catch {
    refuse(`${file.path}: its chunk index ${where} is missing; launchers would fall back to the whole file`);
  }
  if (BigInt(bytes.length) !== file.chunks.size || sha256(bytes) !== file.chunks.sha256) {
    refuse(`${file.path}: ${where} is not the chunk index the description names (size or SHA-256 differ)`);
  }
  const index = readChunkIndex(bytes);
  if (index.problem) refuse(`${file.path}: the chunk index ${where} is refused: ${index.problem}`);
  if (index.size !== file.size || index.sha256 !== file.sha256) {
    refuse(`${file.path}: the chunk index ${where} is of another file (size or SHA-256 differ)`);
  }
  for (const c of index.chunks) {
    const object = onDisk(out, objectSource(index.store, c.sha256));
    let size = null;
    try {
      size = BigInt(fs.statSync(object).size);
    } catch {
      refuse(`${file.path}: chunk ${object} is missing`);
    }
    if (size !== c.stored) refuse(`${file.path}: chunk ${object} is not of the size its index names`);
  }
  return index;
}

// The index the pack line of a description names, read from out and checked
// as a launcher would use it: every part names a small file of the
// description at its size, and every piece is in the store.
export function checkPack(out, description) {
  const where = onDisk(out, description.pack.source);
  let bytes;
  try {
    bytes = fs.readFileSync(where);
  } catch {
    refuse(`the pack index ${where} is missing; launchers would fetch each small file on its own`);
  }
  if (BigInt(bytes.length) !== description.pack.size || sha256(bytes) !== description.pack.sha256) {
    refuse(`${where} is not the pack index the description names (size or SHA-256 differ)`);
  }
  const index = readPackIndex(bytes);
  if (index.problem) refuse(`the pack index ${where} is refused: ${index.problem}`);
  const files = new Map(description.files.map((f) => [f.path, f]));
  for (const p of index.parts) {
    const file = files.get(p.path);
    if (!file || file.size !== p.size) refuse(`the pack index ${where}: part ${p.path} is no file of that size`);
  }
  for (const c of index.chunks) {
    const object = onDisk(out, objectSource(index.store, c.sha256));
    let size = null;
    try {
      size = BigInt(fs.statSync(object).size);
    } catch {
      refuse(`the pack's object ${object} is missing`);
    }
    if (size !== c.stored) refuse(`the pack's object ${object} is not of the size its index names`);
  }
  return index;
}

// ---- Descriptions replaced, and chunks no kept one names --------------------------

export const historyOf = (out, channel) => path.join(out, channel, 'history');
// The announced description and its signature: see announce.mjs.
export const announcedOf = (out, channel) => path.join(out, channel, 'next');

// A copy of the description that a new one replaced, under its sequence (0
// when it has none): what prune counts back by.
export function keepReplaced(out, channel, text) {
  const sequence = readManifest(text).sequence ?? 0n;
  const file = path.join(historyOf(out, channel), `${sequence}.txt`);
  try {
    writeReplacing(file, text);
  } catch (e) {
    refuse(`the new description is in place, but the one it replaced could not be kept at ${file} ` +
           `(${e.code ?? e.message}): prune would not count it. Copy it there by hand`);
  }
}

// What prune keeps and removes in one channel of out: the published
// description, the announced one (its hour may come any time), the keep
// newest descriptions it replaced, and everything their chunks lines name.
export function prunePlan(out, channel, keep) {
  const current = path.join(out, channel, 'manifest.txt');
  if (!fs.existsSync(current)) refuse(`${current} is not there: nothing tells which chunks are in use`);
  const history = historyOf(out, channel);
  const replaced = (fs.existsSync(history) ? fs.readdirSync(history) : [])
    .map((name) => ({ name, sequence: /^(0|[1-9][0-9]*)\.txt$/.exec(name)?.[1] }))
    .filter((h) => h.sequence !== undefined)
    .map((h) => ({ ...h, sequence: BigInt(h.sequence) }))
    .sort((a, b) => (a.sequence > b.sequence ? -1 : a.sequence < b.sequence ? 1 : 0));
  const announced = path.join(announcedOf(out, channel), 'manifest.txt');
  const kept = [{ file: current, what: 'the published description' },
                ...(fs.existsSync(announced) ? [{ file: announced, what: 'the announced description' }] : []),
                ...replaced.slice(0, keep).map((h) => ({ file: path.join(history, h.name),
                                                         what: `the replaced description ${h.sequence}` }))];
  const named = new Set();
  for (const k of kept) {
    const description = readManifest(readFileOrRefuse(k.file, k.what));
    if (description.problem) refuse(`${k.file}: ${description.problem}; cannot tell which chunks it names`);
    for (const file of description.files.filter((f) => f.chunks)) {
      const index = checkChunks(out, file);
      named.add(onDisk(out, file.chunks.source));
      for (const c of index.chunks) named.add(onDisk(out, objectSource(index.store, c.sha256)));
    }
    if (description.pack) {
      const index = checkPack(out, description);
      named.add(onDisk(out, description.pack.source));
      for (const c of index.chunks) named.add(onDisk(out, objectSource(index.store, c.sha256)));
    }
  }
  const remove = [];
  const store = onDisk(out, storeOf(channel));
  for (const folder of fs.existsSync(store) ? fs.readdirSync(store).sort() : []) {
    const dir = path.join(store, folder);
    const isObjects = /^[0-9a-f]{2}$/.test(folder);
    if ((!isObjects && folder !== 'indexes') || !fs.statSync(dir).isDirectory()) continue;
    for (const name of fs.readdirSync(dir).sort()) {
      const full = path.join(dir, name);
      const ours = isObjects ? name.length === 64 && name.startsWith(folder) && /^[0-9a-f]+$/.test(name)
        : /^[0-9a-f]{64}\.txt$/.test(name);
      if (ours && !named.has(full)) remove.push({ file: full, size: fs.statSync(full).size });
    }
  }
  const forgotten = replaced.slice(keep).map((h) => path.join(history, h.name));
  return { kept: kept.map((k) => k.file), remove, forgotten };
}

// Removes what the plan names, and chunk folders left empty.
export function pruneBy(plan) {
  for (const f of [...plan.remove.map((r) => r.file), ...plan.forgotten]) fs.rmSync(f, { force: true });
  for (const dir of new Set(plan.remove.map((r) => path.dirname(r.file)))) {
    if (fs.readdirSync(dir).length === 0) fs.rmdirSync(dir);
  }
}
