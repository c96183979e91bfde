// Chunked files as the release tool publishes them: the chunker against the
// vectors the launcher's test reads too, and the store, the indexes, the
// description's chunks lines and prune, read back from disk the way a
// launcher would put a file together from them.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import zlib from 'node:zlib';

import { chunkEnds, chunkFile, GEAR } from '../../tools/release/chunker.mjs';
import { readManifest } from '../../tools/velmora-release.mjs';

const repo = process.env.VELMORA_SOURCE_DIR ?? path.resolve(new URL('../..', import.meta.url).pathname);
const tool = path.join(repo, 'tools', 'velmora-release.mjs');
const testKey = path.join(repo, 'tests', 'support', 'keys', 'test-release-key.TEST-ONLY.pem');
const testModulus = path.join(repo, 'tests', 'support', 'keys', 'test-release-key.TEST-ONLY.modulus');

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-chunks-test-'));
process.on('exit', () => fs.rmSync(scratch, { recursive: true, force: true }));
let counter = 0;
const freshDir = (tag) => fs.mkdtempSync(path.join(scratch, `${tag}-${counter++}-`));
const sha = (data) => crypto.createHash('sha256').update(data).digest('hex');

function run(...args) {
  const r = spawnSync(process.execPath, [tool, ...args], { encoding: 'utf8', timeout: 120000 });
  return { code: r.status, out: r.stdout, err: r.stderr };
}

// xorshift32 as the vector file's header words it.
function xorshift32(seed, length) {
  const out = Buffer.alloc(Math.ceil(length / 4) * 4);
  let s = seed;
  for (let at = 0; at < out.length; at += 4) {
    s = (s ^ (s << 13)) >>> 0;
    s = (s ^ (s >>> 17)) >>> 0;
    s = (s ^ (s << 5)) >>> 0;
    out.writeUInt32LE(s, at);
  }
  return out.subarray(0, length);
}

// ---- The vectors shared with the launcher's chunker -------------------------------

function readVectors() {
  const file = path.join(repo, 'tests', 'support', 'chunker-vectors.txt');
  const result = { chunker: null, gear: [], cases: [] };
  for (const line of fs.readFileSync(file, 'ascii').split('\n')) {
    if (line === '' || line.startsWith('#')) continue;
    const [key, ...words] = line.split(' ');
    const c = result.cases.at(-1);
    if (key === 'chunker') result.chunker = words.join(' ');
    else if (key === 'gear') result.gear.push(...words.slice(1).map((w) => parseInt(w, 16)));
    else if (key === 'case') result.cases.push({ name: words.join(' '), parts: [], ends: null, shift: null });
    else if (key === 'input' && words[0] === 'xorshift32') c.parts.push(xorshift32(Number(words[1]), Number(words[2])));
    else if (key === 'input' && words[0] === 'repeat') c.parts.push(Buffer.alloc(Number(words[2]), Number(words[1])));
    else if (key === 'sha256') c.sha256 = words[0];
    else if (key === 'ends') c.ends = words.map(Number);
    else if (key === 'shift') c.shift = { name: words.slice(0, -1).join(' '), by: Number(words.at(-1)) };
    else throw new Error(`${file}: no line "${line}"`);
  }
  return result;
}

test('the chunker cuts every input of the shared vectors where they say', async () => {
  const vectors = readVectors();
  assert.equal(vectors.chunker, 'velmoramp-cdc-1 262144 1048576 4194304');
  assert.deepEqual(vectors.gear, [...GEAR]);
  assert.ok(vectors.cases.length >= 5);
  const byName = new Map(vectors.cases.map((c) => [c.name, c]));
  for (const c of vectors.cases) {
    const input = Buffer.concat(c.parts);
    assert.equal(sha(input), c.sha256, `${c.name}: the input as the header makes it`);
    assert.deepEqual(chunkEnds(input), c.ends, c.name);
    if (c.shift) {
      const other = byName.get(c.shift.name);
      assert.deepEqual(c.ends.slice(1), other.ends.slice(1).map((e) => e + c.shift.by), `${c.name}: shifted`);
    }
  }
  // Read from a file through the bounded buffer, the cuts are the same.
  for (const name of ['random', 'one byte repeated']) {
    const input = Buffer.concat(byName.get(name).parts);
    const file = path.join(freshDir('vector'), 'input');
    fs.writeFileSync(file, input);
    const ends = [];
    const whole = await chunkFile(file, (bytes, offset) => {
      assert.ok(bytes.equals(input.subarray(offset, offset + bytes.length)), `${name}: the bytes at ${offset}`);
      ends.push(offset + bytes.length);
    });
    assert.deepEqual(ends, byName.get(name).ends, name);
    assert.deepEqual(whole, { size: input.length, sha256: sha(input) });
  }
});

// ---- Publishing ------------------------------------------------------------------

const MiB = 1024 * 1024;
// Without the pack of small files: these cases look at the chunks of big ones.
const release = (build) => ['--channel', 'stable', '--build', build, '--protocol', '7', '--server', 'h.example:1',
                            '--no-pack'];
// Random bytes (stored raw) and text (stored compressed), both chunked by default.
const randomFile = xorshift32(11, 10 * MiB);
const textFile = Buffer.from(Array.from({ length: 200000 }, (_, i) => `row ${i} of the map, tile ${i % 97}\n`).join(''));

function makeFolder(files) {
  const dir = freshDir('src');
  for (const [name, content] of Object.entries(files)) fs.writeFileSync(path.join(dir, name), content);
  return dir;
}

// The description published in out, and for each chunked file its index
// checked and its bytes put together from the store as a launcher does.
function readPublished(out, file = path.join(out, 'stable', 'manifest.txt')) {
  const description = readManifest(fs.readFileSync(file));
  assert.equal(description.problem, null);
  const indexes = new Map();
  for (const f of description.files.filter((x) => x.chunks)) {
    const text = fs.readFileSync(path.join(out, f.chunks.source));
    assert.equal(BigInt(text.length), f.chunks.size, `${f.path}: index size`);
    assert.equal(sha(text), f.chunks.sha256, `${f.path}: index digest`);
    assert.equal(f.chunks.source, `chunks/stable/indexes/${f.chunks.sha256}.txt`);
    const lines = text.toString('utf8').split('\n');
    assert.deepEqual(lines.slice(0, 4), ['velmoramp-chunks 1', `file ${f.size} ${f.sha256}`,
                                         'chunker velmoramp-cdc-1 262144 1048576 4194304', 'store chunks/stable']);
    assert.equal(lines.at(-1), '');
    const chunks = lines.slice(4, -1).map((line) => {
      const [key, digest, size, stored, method] = line.split(' ');
      assert.equal(key, 'chunk');
      const object = path.join(out, 'chunks', 'stable', digest.slice(0, 2), digest);
      const bytes = fs.readFileSync(object);
      assert.equal(bytes.length, Number(stored), `${object}: stored size`);
      const raw = method === 'zlib' ? zlib.inflateSync(bytes) : bytes;
      assert.ok(method === 'zlib' ? bytes.length * 100 <= raw.length * 97 : method === 'raw', line);
      assert.equal(sha(raw), digest, `${object}: named by its raw bytes`);
      assert.equal(raw.length, Number(size), `${object}: raw size`);
      return { digest, size: Number(size), stored: Number(stored), method, raw, object };
    });
    const whole = Buffer.concat(chunks.map((c) => c.raw));
    assert.equal(sha(whole), f.sha256, `${f.path}: the chunks make the file`);
    assert.ok(fs.readFileSync(path.join(out, f.source)).equals(whole), `${f.path}: the whole file stays published`);
    indexes.set(f.path, { index: path.join(out, f.chunks.source), chunks });
  }
  return { description, indexes };
}

// Every object in the store, by its path.
function storeObjects(out) {
  const store = path.join(out, 'chunks', 'stable');
  if (!fs.existsSync(store)) return new Map();
  return new Map(fs.readdirSync(store, { recursive: true })
    .map((f) => path.join(store, f))
    .filter((f) => fs.statSync(f).isFile() && !f.includes(`${path.sep}indexes${path.sep}`))
    .map((f) => [f, fs.statSync(f).size]));
}

const reportOf = (output) => {
  const m = /\nchunks: ([0-9]+) file\(s\) in ([0-9]+) chunk\(s\); (?:added|would add) ([0-9]+) bytes .* in ([0-9]+) new object\(s\), reused ([0-9]+) bytes .* in ([0-9]+) object\(s\) already there\n/.exec(`\n${output}`);
  assert.ok(m, output);
  const [files, chunks, added, addedObjects, reused, reusedObjects] = m.slice(1).map(Number);
  return { files, chunks, added, addedObjects, reused, reusedObjects };
};
const sum = (values) => values.reduce((a, b) => a + b, 0);

// ---- The pack shared with the launcher -------------------------------------------

test('the pack of the shared folder is the one the shared vectors hold', () => {
  const text = fs.readFileSync(path.join(repo, 'tests', 'support', 'pack-vectors.txt'), 'utf8');
  const [, count, size] = /^files (\d+) (\d+)$/m.exec(text);
  const index = text.slice(text.indexOf('\nindex\n') + 7);
  const src = freshDir('pack-src');
  for (let n = 0; n < Number(count); n++) {
    const file = path.join(src, 'small', `f${String(n).padStart(2, '0')}.bin`);
    fs.mkdirSync(path.dirname(file), { recursive: true });
    fs.writeFileSync(file, xorshift32(n + 1, Number(size)));
  }
  const out = path.join(freshDir('pack'), 'out');
  const r = run('publish', src, out, '--key', testKey, '--modulus', testModulus, '--channel', 'stable', '--build', '1',
                '--protocol', '7', '--server', 'h.example:1', '--sequence', '1');
  assert.equal(r.code, 0, r.err);
  assert.match(r.out, /^pack: 100 file\(s\) in 5 object\(s\); added 4096000 bytes/m);
  const line = /\npack (\d+) ([0-9a-f]{64}) (\S+)\n/.exec(fs.readFileSync(path.join(out, 'stable', 'manifest.txt'), 'utf8'));
  assert.ok(line, 'the description names the pack');
  assert.equal(fs.readFileSync(path.join(out, ...line[3].split('/')), 'utf8'), index);
  assert.deepEqual([Number(line[1]), line[2]], [Buffer.byteLength(index), sha(Buffer.from(index))]);
});

test('a second release adds only the chunks it changed; the whole files stay', () => {
  const src = makeFolder({ 'big.pak': randomFile, 'map.txt': textFile, 'small.cfg': 'x'.repeat(1000) });
  const out = freshDir('out');
  const first = run('publish', src, out, '--key', testKey, ...release('1'), '--sequence', '1');
  assert.equal(first.code, 0, first.err);
  const one = readPublished(out);
  assert.deepEqual([...one.indexes.keys()], ['big.pak', 'map.txt'], 'the file below 4 MiB is not chunked');
  assert.ok(one.indexes.get('big.pak').chunks.every((c) => c.method === 'raw'));
  assert.ok(one.indexes.get('map.txt').chunks.every((c) => c.method === 'zlib'));
  const text = fs.readFileSync(path.join(out, 'stable', 'manifest.txt'), 'utf8');
  for (const f of one.description.files.filter((x) => x.chunks)) {
    assert.ok(text.includes(`\nfile ${f.path} ${f.size} ${f.sha256} ${f.source}\n` +
                            `chunks ${f.path} ${f.chunks.size} ${f.chunks.sha256} ${f.chunks.source}\n`));
  }
  const stored1 = storeObjects(out);
  assert.deepEqual(reportOf(first.out), {
    files: 2, chunks: sum([...one.indexes.values()].map((i) => i.chunks.length)),
    added: sum([...stored1.values()]), addedObjects: stored1.size, reused: 0, reusedObjects: 0 });

  // 1000 bytes put in at 3 MiB, 100 changed at 8 MiB: the cuts after each
  // move with the data, so only the chunks that hold them are new.
  const changed = Buffer.concat([randomFile.subarray(0, 3 * MiB), Buffer.alloc(1000, 7), randomFile.subarray(3 * MiB)]);
  changed.fill(9, 8 * MiB, 8 * MiB + 100);
  fs.writeFileSync(path.join(src, 'big.pak'), changed);
  const args = ['release', src, out, '--key', testKey, '--modulus', testModulus, ...release('2')];
  const dry = run(...args, '--dry-run');
  assert.equal(dry.code, 0, dry.err);
  assert.deepEqual(storeObjects(out), stored1, 'a dry run writes no chunk');
  const second = run(...args);
  assert.equal(second.code, 0, second.err);
  assert.deepEqual(reportOf(dry.out), reportOf(second.out), 'the dry run said what the release did');

  const two = readPublished(out);
  const stored2 = storeObjects(out);
  const added = [...stored2.keys()].filter((f) => !stored1.has(f));
  const named2 = new Map([...two.indexes.values()].flatMap((i) => i.chunks).map((c) => [c.object, c.stored]));
  assert.deepEqual(added.sort(), [...named2.keys()].filter((f) => !stored1.has(f)).sort(), 'new: what only 2 names');
  assert.ok(added.length >= 2 && added.length <= 4, `${added.length} new chunks for two changes`);
  assert.deepEqual(reportOf(second.out), {
    files: 2, chunks: sum([...two.indexes.values()].map((i) => i.chunks.length)),
    added: sum(added.map((f) => stored2.get(f))), addedObjects: added.length,
    reused: sum([...named2].filter(([f]) => stored1.has(f)).map(([, size]) => size)),
    reusedObjects: [...named2.keys()].filter((f) => stored1.has(f)).length });
  assert.equal(two.indexes.get('map.txt').index, one.indexes.get('map.txt').index, 'one index for the same file');
  assert.deepEqual(fs.readdirSync(path.join(out, 'stable', 'history')), ['1.txt']);
});

// The launcher cuts its old copy of a file, chunked when it was published
// or not, and fetches the stored bytes of each chunk of the new index that
// the copy lacks; all of them for a file it does not have.
test('the download figure is the stored size of the chunks a player lacks', () => {
  const changed = Buffer.from(randomFile);
  changed.fill(5, 5 * MiB, 5 * MiB + 100);
  const cutOld = () => new Set(chunkEnds(randomFile).map((end, i, ends) =>
    sha(randomFile.subarray(ends[i - 1] ?? 0, end))));
  const cases = [
    // [what, the first release's big.pak (null: none) and flags, the digests of the chunks a player holds]
    ['a chunked file changed', randomFile, [],
     (one) => new Set(one.indexes.get('big.pak').chunks.map((c) => c.digest))],
    ['a file published whole before', randomFile, ['--no-chunks'], cutOld],
    ['a file new in this release', null, [], () => new Set()],
  ];
  for (const [what, before, flags, held] of cases) {
    const src = makeFolder({ 'small.cfg': 'x', ...(before ? { 'big.pak': before } : {}) });
    const out = freshDir('figure');
    assert.equal(run('publish', src, out, '--key', testKey, ...release('1'), '--sequence', '1', ...flags).code, 0);
    const one = readPublished(out);
    fs.writeFileSync(path.join(src, 'big.pak'), changed);
    const args = ['release', src, out, '--key', testKey, ...release('2')];
    const figures = [run(...args, '--dry-run'), run(...args)].map((r) => {
      assert.equal(r.code, 0, r.err);
      return Number(/\na player with the published release downloads ([0-9]+) bytes /.exec(r.out)?.[1]);
    });
    const fetched = readPublished(out).indexes.get('big.pak').chunks.filter((c) => !held(one).has(c.digest));
    assert.ok(fetched.length > 0 && fetched.length < (before ? 3 : 20), `${what}: ${fetched.length} chunks`);
    const stored = sum(fetched.map((c) => c.stored));
    assert.deepEqual(figures, [stored, stored], `${what}: the dry run and the release`);
  }
});

test('which files are chunked: by size from 4 MiB, or as the flags say', () => {
  const src = makeFolder({ 'big.pak': randomFile.subarray(0, 4 * MiB), 'less.pak': randomFile.subarray(0, 4 * MiB - 1),
                           'small.cfg': 'x'.repeat(1024) });
  const cases = [
    [[], ['big.pak']],
    [['--no-chunks'], []],
    [['--chunk-min-size', '1024'], ['big.pak', 'less.pak', 'small.cfg']],
    [['--chunk-min-size', '1025'], ['big.pak', 'less.pak']],
    [['--no-chunks', '--chunk-min-size', '1024'], /go apart/],
    [['--chunk-min-size', '0'], /whole number of bytes/],
    [['--chunk-min-size', '1e6'], /whole number of bytes/],
  ];
  for (const [flags, expected] of cases) {
    const out = path.join(freshDir('which'), 'out');
    const r = run('publish', src, out, '--key', testKey, ...release('1'), '--sequence', '1', ...flags);
    if (expected instanceof RegExp) {
      assert.equal(r.code, 1, flags.join(' '));
      assert.match(r.err, expected);
      assert.equal(fs.existsSync(out), false, 'nothing written');
      continue;
    }
    assert.equal(r.code, 0, r.err);
    assert.deepEqual([...readPublished(out).indexes.keys()], expected, flags.join(' '));
    assert.equal(fs.existsSync(path.join(out, 'chunks')), expected.length > 0, flags.join(' '));
    assert.equal(/\nchunks: /.test(`\n${r.out}`), expected.length > 0);
  }
});

test('the key elsewhere: release --unsigned-out writes the chunks, place checks them', () => {
  const src = makeFolder({ 'big.pak': randomFile });
  const out = freshDir('offline');
  const text = path.join(freshDir('work'), 'manifest.txt');
  const r = run('release', src, out, '--unsigned-out', text, ...release('1'), '--sequence', '1');
  assert.equal(r.code, 0, r.err);
  assert.match(r.out, /\nchunks: 1 file\(s\) in [0-9]+ chunk\(s\); added /);
  assert.equal(run('sign', text, '--key', testKey).code, 0);
  const objects = [...storeObjects(out).keys()];
  assert.ok(objects.length > 1);
  // A chunk gone from the store: place refuses to put the description live.
  const aside = `${objects[1]}.aside`;
  fs.renameSync(objects[1], aside);
  const missing = run('place', text, text.replace(/txt$/, 'sig'), out, '--modulus', testModulus);
  assert.equal(missing.code, 1);
  assert.match(missing.err, /big\.pak: chunk .* is missing/);
  assert.equal(fs.existsSync(path.join(out, 'stable', 'manifest.txt')), false);
  fs.renameSync(aside, objects[1]);
  const placed = run('place', text, text.replace(/txt$/, 'sig'), out, '--modulus', testModulus);
  assert.equal(placed.code, 0, placed.err);
  readPublished(out);

  // An object that holds other bytes than its name says is a damaged
  // store: the next release refuses rather than name it.
  fs.writeFileSync(objects[0], 'not that chunk');
  const clash = run('publish', src, out, '--key', testKey, ...release('2'));
  assert.equal(clash.code, 1);
  assert.match(clash.err, /does not hold chunk/);
  assert.match(fs.readFileSync(path.join(out, 'stable', 'manifest.txt'), 'utf8'), /\nbuild 1\n/);
});

test('prune keeps what the published description and the ones before it name', () => {
  const src = makeFolder({ 'big.pak': randomFile });
  const out = freshDir('prune');
  const releases = [];
  for (const build of ['1', '2', '3']) {
    // Each release changes other bytes: each adds chunks of its own.
    const bytes = Buffer.from(randomFile);
    bytes.fill(Number(build), Number(build) * 2 * MiB, Number(build) * 2 * MiB + 50);
    fs.writeFileSync(path.join(src, 'big.pak'), bytes);
    const r = run('publish', src, out, '--key', testKey, ...release(build), ...(build === '1' ? ['--sequence', '1'] : []));
    assert.equal(r.code, 0, r.err);
    releases.push(readPublished(out).indexes.get('big.pak'));
  }
  const history = path.join(out, 'stable', 'history');
  assert.deepEqual(fs.readdirSync(history).sort(), ['1.txt', '2.txt']);
  readPublished(out, path.join(history, '2.txt'));
  const namedBy = (r) => [r.index, ...r.chunks.map((c) => c.object)];
  const kept = new Set([...namedBy(releases[1]), ...namedBy(releases[2])]);
  const gone = [...new Set(namedBy(releases[0]))].filter((f) => !kept.has(f)).sort();
  assert.ok(gone.length >= 2, 'release 1 has an index and a chunk of its own');

  const dry = run('prune', out, '--channel', 'stable', '--keep', '1', '--dry-run');
  assert.equal(dry.code, 0, dry.err);
  const listed = [...dry.out.matchAll(/^would remove: (.*)$/gm)].map((m) => m[1]);
  assert.deepEqual(listed.sort(), [...gone, path.join(history, '1.txt')].sort());
  assert.ok([...kept].every((f) => fs.existsSync(f)) && gone.every((f) => fs.existsSync(f)), 'a dry run removes nothing');

  const pruned = run('prune', out, '--channel', 'stable', '--keep', '1');
  assert.equal(pruned.code, 0, pruned.err);
  assert.ok(gone.every((f) => !fs.existsSync(f)), 'what only release 1 named is gone');
  readPublished(out);
  readPublished(out, path.join(history, '2.txt'));
  assert.deepEqual(fs.readdirSync(history), ['2.txt']);
  // With nothing before it kept, what only release 2 names goes too.
  assert.equal(run('prune', out, '--channel', 'stable', '--keep', '0').code, 0);
  assert.ok(namedBy(releases[1]).some((f) => !fs.existsSync(f)));
  readPublished(out);
  assert.equal(run('prune', out, '--channel', 'stable', '--keep', 'all').code, 1);
  assert.equal(run('prune', freshDir('empty'), '--channel', 'stable', '--keep', '1').code, 1);
});
