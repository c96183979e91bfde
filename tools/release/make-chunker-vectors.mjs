#!/usr/bin/env node
// Writes tests/support/chunker-vectors.txt: inputs anyone can make again in
// a few lines of code, and where the chunker velmoramp-cdc-1 cuts them. The
// release tool's test and the launcher's test both check their chunker
// against it. Run it again only when the inputs below change; the chunker's
// rule itself never changes (a new rule is a new chunker name).
//
// Each boundary is found twice, by the tool's chunker and by the plain
// reading of the rule below, and the file is written only when both agree
// and when every near miss of the rule (hashing from one byte earlier or
// later, the larger mask one byte early or late, the longest chunk one byte
// off) gives other boundaries for at least one case.
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import process from 'node:process';
import { fileURLToPath } from 'node:url';

import { AVERAGE, CHUNKER, chunkEnds, GEAR, MAX, MIN } from './chunker.mjs';

// ---- The inputs ------------------------------------------------------------------

// xorshift32 from seed (nonzero): per 4 bytes one step, emitted little-endian.
function xorshift32(seed, length) {
  const out = Buffer.alloc(Math.ceil(length / 4) * 4);
  let s = seed >>> 0;
  for (let at = 0; at < out.length; at += 4) {
    s ^= s << 13;
    s >>>= 0;
    s ^= s >>> 17;
    s ^= s << 5;
    s >>>= 0;
    out.writeUInt32LE(s, at);
  }
  return out.subarray(0, length);
}

// The bytes of one "input" line: ["xorshift32", seed, length] or ["repeat", byte, length].
export function inputPart([kind, value, length]) {
  if (kind === 'xorshift32') return xorshift32(value, length);
  if (kind === 'repeat') return Buffer.alloc(length, value);
  throw new Error(`no input kind ${kind}`);
}

// ---- The rule, read plainly --------------------------------------------------------

// The rule as the comment in chunker.mjs words it, with its numbers as
// parameters so that the near misses can be tried.
function plainEnds(data, { first = MIN + 1, large = AVERAGE, longest = MAX } = {}) {
  const ends = [];
  let start = 0;
  while (start < data.length) {
    let h = 0;
    let cut = data.length;
    for (let at = start; at < data.length; at++) {
      const length = at - start + 1;
      if (length < first) continue;
      h = (((h << 1) >>> 0) + GEAR[data[at]]) >>> 0;
      const mask = length < large ? 0xfffffc00 : 0xffffc000;
      if (length >= longest || ((h & mask) >>> 0) === 0) {
        cut = at + 1;
        break;
      }
    }
    ends.push(cut);
    start = cut;
  }
  return ends;
}

const NEAR_MISSES = {
  'hashing from length MIN': { first: MIN },
  'hashing from length MIN + 2': { first: MIN + 2 },
  'the larger mask from AVERAGE - 1': { large: AVERAGE - 1 },
  'the larger mask from AVERAGE + 1': { large: AVERAGE + 1 },
  'the longest chunk MAX - 1': { longest: MAX - 1 },
  'the longest chunk MAX + 1': { longest: MAX + 1 },
};

// ---- Inputs that meet the rule's edges ---------------------------------------------

// The first seed from 1 whose 32 bytes, after `prefix` bytes of 0 at the
// start of a chunk, make test(h, length) true at some length, where h is
// the hash (by the rule) once that byte is taken. The 32 bytes decide h
// alone: older bytes are shifted out of its 32 bits.
function seedWhere(prefix, test) {
  let h0 = 0;
  for (let length = MIN + 1; length <= prefix; length++) h0 = ((h0 << 1) + GEAR[0]) >>> 0;
  for (let seed = 1; seed < 2 ** 32; seed++) {
    const window = xorshift32(seed, 32);
    let h = h0;
    for (let i = 0; i < 32; i++) {
      const length = prefix + i + 1;
      if (length <= MIN) continue;
      h = (((h << 1) >>> 0) + GEAR[window[i]]) >>> 0;
      const verdict = test(h, length);
      if (verdict === 'yes') return seed;
      if (verdict === 'no') break;
    }
  }
  throw new Error('no seed found');
}

const cutS = (h) => ((h & 0xfffffc00) >>> 0) === 0;
const cutL = (h) => ((h & 0xffffc000) >>> 0) === 0;

function cases() {
  const early = seedWhere(MIN, (h, length) => (cutS(h) ? (length > MIN + 1 && length < MIN + 24 ? 'yes' : 'no') : null));
  const atAverage = seedWhere(AVERAGE - 32, (h, length) => {
    if (length < AVERAGE) return cutS(h) ? 'no' : null;
    return cutL(h) ? 'yes' : 'no';
  });
  const belowAverage = seedWhere(AVERAGE - 33, (h, length) => {
    if (cutS(h)) return 'no';
    return length === AVERAGE - 1 && cutL(h) ? 'yes' : null;
  });
  const list = [
    { name: 'empty', why: 'no chunks at all', input: [['repeat', 0, 0]] },
    { name: 'shorter than the smallest chunk', why: 'one chunk, cut by the end of the data',
      input: [['xorshift32', 3, 100000]] },
    { name: 'random', why: 'about 10 MiB of random bytes: several chunks',
      input: [['xorshift32', 1, 10485760]] },
    { name: 'one byte repeated', why: 'no cut by the hash: every chunk but the last is MAX long',
      input: [['repeat', 0, 9437184]], holds: (ends) => ends.join() === [MAX, 2 * MAX, 9437184].join() },
    { name: 'cut soon after the smallest length',
      why: 'MIN bytes of 0, then bytes that cut within the first 32 hashed: the first hashed byte is the one that ' +
           'makes the chunk MIN + 1 long',
      input: [['repeat', 0, MIN], ['xorshift32', early, 32], ['xorshift32', 5, 300000]],
      holds: (ends) => ends[0] > MIN + 1 && ends[0] < MIN + 24 },
    { name: 'cut at the average length',
      why: 'the larger mask holds at length AVERAGE, the smaller one nowhere before: the larger mask applies from ' +
           'length AVERAGE on',
      input: [['repeat', 0, AVERAGE - 32], ['xorshift32', atAverage, 32], ['xorshift32', 6, 300000]],
      holds: (ends) => ends[0] === AVERAGE },
    { name: 'no cut just below the average length',
      why: 'the larger mask holds at length AVERAGE - 1, the smaller one does not: below AVERAGE the smaller mask ' +
           'decides',
      input: [['repeat', 0, AVERAGE - 33], ['xorshift32', belowAverage, 32], ['xorshift32', 7, 300000]],
      holds: (ends) => ends[0] > AVERAGE - 1 },
  ];
  // 64 KiB of other bytes before the random case's data: from the second
  // chunk on, the cuts are the random case's, moved by 64 KiB.
  const random = list.find((c) => c.name === 'random');
  const randomEnds = chunkEnds(Buffer.concat(random.input.map(inputPart)));
  for (let seed = 2; ; seed++) {
    const input = [['xorshift32', seed, 65536], ...random.input];
    const ends = chunkEnds(Buffer.concat(input.map(inputPart)));
    if (ends.slice(1).join() === randomEnds.slice(1).map((e) => e + 65536).join()) {
      list.push({ name: 'inserted at the start', why: '64 KiB of other bytes before the random case\'s bytes',
                  input, shift: ['random', 65536] });
      break;
    }
  }
  return list;
}

// ---- The file --------------------------------------------------------------------

const HEADER = `# Where the chunker ${CHUNKER} cuts: inputs that are easy to make again, and
# the end of each chunk. The release tool's test (tests/update/release_chunks_test.mjs)
# and the launcher's test read it; tools/release/make-chunker-vectors.mjs
# writes it. Lines end in LF; blank lines and lines that start with # are
# comments.
#
# The rule (as in tools/release/chunker.mjs):
#   gear[i], i = 0..255: the first 4 bytes, big-endian, of the SHA-256 of the
#     ASCII text "velmoramp-gear-" followed by i in decimal
#     ("velmoramp-gear-0" ... "velmoramp-gear-255"), unsigned 32-bit.
#   MIN = 262144, AVERAGE = 1048576, MAX = 4194304 (bytes);
#   MASK_S = 0xFFFFFC00 (the top 22 bits), MASK_L = 0xFFFFC000 (the top 18 bits).
#   Each chunk starts with h = 0. Its bytes are taken one by one; L is the
#   chunk's length once byte b is taken (the first byte makes L = 1).
#   - While L <= MIN, b is not hashed and the chunk is not cut.
#   - From L = MIN + 1 on (that byte is the first one hashed):
#       h = (h << 1) + gear[b], modulo 2^32;
#       if L < AVERAGE: cut when (h & MASK_S) == 0;
#       else if L < MAX: cut when (h & MASK_L) == 0;
#       else (L == MAX): cut.
#   A cut ends the chunk after b (its length is L); the next byte starts the
#   next chunk. The end of the data ends the last chunk, which may be
#   shorter than MIN. Empty data has no chunks.
#
# Lines:
#   chunker <name> <MIN> <AVERAGE> <MAX>
#   gear <i> <gear[i]> ... <gear[i+7]>     eight values of the table, 8 hex digits each
#   case <name>                            a case; its name is the rest of the line
#   input xorshift32 <seed> <length>       <length> bytes of xorshift32 from <seed>:
#                                          s = seed; for every 4 bytes,
#                                          s ^= s << 13; s ^= s >> 17; s ^= s << 5
#                                          (unsigned 32-bit), then s little-endian;
#                                          the last 4 cut to <length>
#   input repeat <byte> <length>           <length> times the byte <byte> (decimal)
#                                          A case's input is its input lines'
#                                          bytes one after the other, each line
#                                          starting afresh.
#   sha256 <digest>                        the SHA-256 of the whole input, to check it
#   ends <offset> ...                      the end offset of each chunk, ascending
#                                          (the last is the input's length; none
#                                          for an empty input)
#   shift <case> <bytes>                   every end but this case's first is the
#                                          named case's end at the same place,
#                                          plus <bytes>
`;

function vectorsText() {
  const lines = [HEADER.trimEnd(), '', `chunker ${CHUNKER} ${MIN} ${AVERAGE} ${MAX}`];
  for (let i = 0; i < 256; i += 8) {
    lines.push(`gear ${i} ${[...GEAR.subarray(i, i + 8)].map((g) => g.toString(16).padStart(8, '0')).join(' ')}`);
  }
  const all = cases();
  const missed = new Map(Object.keys(NEAR_MISSES).map((k) => [k, false]));
  for (const c of all) {
    const data = Buffer.concat(c.input.map(inputPart));
    const ends = chunkEnds(data);
    if (plainEnds(data).join() !== ends.join()) throw new Error(`${c.name}: the chunker breaks its rule`);
    if (c.holds && !c.holds(ends)) throw new Error(`${c.name}: the case does not show what it is for`);
    for (const [what, params] of Object.entries(NEAR_MISSES)) {
      if (plainEnds(data, params).join() !== ends.join()) missed.set(what, true);
    }
    lines.push('', `# ${c.why}`, `case ${c.name}`, ...c.input.map((part) => `input ${part.join(' ')}`),
               `sha256 ${crypto.createHash('sha256').update(data).digest('hex')}`,
               ends.length === 0 ? 'ends' : `ends ${ends.join(' ')}`);
    if (c.shift) lines.push(`shift ${c.shift.join(' ')}`);
  }
  for (const [what, caught] of missed) if (!caught) throw new Error(`no case tells the rule from ${what}`);
  return lines.join('\n') + '\n';
}

const invokedAs = process.argv[1] ? fs.realpathSync(process.argv[1]) : '';
if (invokedAs === fileURLToPath(import.meta.url)) {
  const file = path.join(path.dirname(invokedAs), '..', '..', 'tests', 'support', 'chunker-vectors.txt');
  fs.writeFileSync(file, vectorsText());
  console.log(`written: ${path.resolve(file)}`);
}
