// Chunked files as the release tool publishes them: the chunker against the
// vectors the launcher's test reads too.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

import { chunkEnds, chunkFile, GEAR } from '../../tools/release/chunker.mjs';

const repo = process.env.VELMORA_SOURCE_DIR ?? path.resolve(new URL('../..', import.meta.url).pathname);

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-chunks-test-'));
process.on('exit', () => fs.rmSync(scratch, { recursive: true, force: true }));
let counter = 0;
const freshDir = (tag) => fs.mkdtempSync(path.join(scratch, `${tag}-${counter++}-`));
const sha = (data) => crypto.createHash('sha256').update(data).digest('hex');

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
