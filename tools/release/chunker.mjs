// The chunker velmoramp-cdc-1: where a file is cut into chunks. Cuts depend
// on the content only, so bytes inserted or removed early in a file move the
// cuts after them along with the data instead of changing every chunk. The
// launcher cuts its own files by the same rule to find the chunks it has, so
// the rule below is the one both sides follow, byte for byte, and
// tests/support/chunker-vectors.txt pins it.
//
// The rule:
//   gear[i], i = 0..255: the first 4 bytes, big-endian, of the SHA-256 of the
//     ASCII text "velmoramp-gear-" followed by i in decimal
//     ("velmoramp-gear-0" ... "velmoramp-gear-255"), as unsigned 32-bit numbers.
//   MIN = 262144, AVERAGE = 1048576, MAX = 4194304 (bytes);
//   MASK_S = 0xFFFFFC00 (the top 22 bits), MASK_L = 0xFFFFC000 (the top 18 bits).
//   Each chunk starts with h = 0. Its bytes are taken one by one; L is the
//   chunk's length once byte b is taken (the first byte makes L = 1).
//   - While L <= MIN, b is not hashed and the chunk is not cut.
//   - From L = MIN + 1 on (that byte is the first one hashed):
//       h = (h << 1) + gear[b], modulo 2^32;
//       if L < AVERAGE: cut when (h & MASK_S) == 0;
//       else if L < MAX: cut when (h & MASK_L) == 0;
//       else (L == MAX): cut.
//   A cut ends the chunk after b (its length is L); the next byte starts
//   the next chunk. The end of the data ends the last chunk, which may be
//   shorter than MIN. Empty data has no chunks.
import crypto from 'node:crypto';
import fs from 'node:fs';

export const CHUNKER = 'velmoramp-cdc-1';
export const MIN = 262144;
export const AVERAGE = 1048576;
export const MAX = 4194304;
// As signed 32-bit numbers: the loop below computes in int32.
const MASK_S = 0xfffffc00 | 0;
const MASK_L = 0xffffc000 | 0;

export const GEAR = Uint32Array.from({ length: 256 }, (_, i) =>
  crypto.createHash('sha256').update(`velmoramp-gear-${i}`, 'ascii').digest().readUInt32BE(0));
// The same bits as int32, so that h stays a small integer in the loop.
const gear = Int32Array.from(GEAR);

// The length of the chunk that starts at data[start], where data ends at
// end for the chunk's purposes: the caller gives at least MAX bytes, or
// every byte up to the data's end.
export function chunkLength(data, start, end) {
  const limit = Math.min(end - start, MAX);
  let h = 0;
  // Index i within the chunk is the byte that makes L = i + 1.
  let i = MIN;
  const small = Math.min(limit, AVERAGE - 1);
  for (; i < small; i++) {
    h = ((h << 1) + gear[data[start + i]]) | 0;
    if ((h & MASK_S) === 0) return i + 1;
  }
  for (; i < limit; i++) {
    h = ((h << 1) + gear[data[start + i]]) | 0;
    if ((h & MASK_L) === 0) return i + 1;
  }
  return limit;
}

// The end offset of every chunk of an in-memory buffer, ascending.
export function chunkEnds(data) {
  const ends = [];
  for (let at = 0; at < data.length;) {
    at += chunkLength(data, at, data.length);
    ends.push(at);
  }
  return ends;
}

// Reads the file once, in order, through a buffer of a fixed size (a file
// may be far larger than memory), and calls onChunk(bytes, offset) for each
// chunk, waiting for what it returns; bytes is valid until then. Returns the
// file's size and the SHA-256 of all its bytes, as read in this same pass.
export async function chunkFile(file, onChunk) {
  return (await chunkStream([file], onChunk))[0];
}

// The same over several files end to end, as one stream (a chunk may hold
// the end of one file and the start of the next): the size and SHA-256 of
// each file, as read.
export async function chunkStream(files, onChunk) {
  const buffer = Buffer.allocUnsafe(4 * MAX);
  const read = files.map(() => ({ size: 0, hash: crypto.createHash('sha256') }));
  let next = 0;
  let fd = null;
  // Fills buffer[end..] from the files in turn; the new end.
  const fill = (end) => {
    while (end < buffer.length && next < files.length) {
      if (fd === null) fd = fs.openSync(files[next], 'r');
      const n = fs.readSync(fd, buffer, end, buffer.length - end, null);
      if (n === 0) {
        fs.closeSync(fd);
        fd = null;
        next++;
        continue;
      }
      read[next].hash.update(buffer.subarray(end, end + n));
      read[next].size += n;
      end += n;
    }
    return end;
  };
  let offset = 0;
  try {
    let start = 0;
    let end = 0;
    for (;;) {
      // Keep MAX bytes ahead of the chunk's start, or all that is left.
      if (next < files.length && end - start < MAX) {
        buffer.copyWithin(0, start, end);
        end = fill(end - start);
        start = 0;
      }
      if (start === end) break;
      const length = chunkLength(buffer, start, end);
      await onChunk(buffer.subarray(start, start + length), offset);
      offset += length;
      start += length;
    }
  } finally {
    if (fd !== null) fs.closeSync(fd);
  }
  return read.map((r) => ({ size: r.size, sha256: r.hash.digest('hex') }));
}
