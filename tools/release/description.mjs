// The release description (manifest.txt) as text: the launcher's path rule
// and number forms, its parser with its messages, and the writer, which
// reads back every description it writes. A new kind of line belongs in
// both readManifest and manifestText.
import { refuse } from './errors.mjs';

const RESERVED = new Set([0x5c, 0x3a, 0x22, 0x3c, 0x3e, 0x7c, 0x2a, 0x3f]); // \ : " < > | * ?

// The launcher's path rule, on the raw UTF-8 bytes of a token.
export function isSafeRelativePath(token) {
  const bytes = Buffer.isBuffer(token) ? token : Buffer.from(token, 'utf8');
  if (bytes.length < 1 || bytes.length > 240) return false;
  if (bytes[0] === 0x2f) return false;
  for (const b of bytes) {
    if (b < 0x20 || RESERVED.has(b)) return false;
  }
  return bytes.toString('latin1').split('/').every((s) => s !== '' && s !== '.' && s !== '..');
}

// A whole decimal number in the launcher's signed 32-bit range.
export function parseInt32(text) {
  if (!/^[+-]?[0-9]+$/.test(text)) return null;
  const value = Number(text);
  return value >= -2147483648 && value <= 2147483647 ? value : null;
}

const MESSAGES = {
  notUnderstood: 'this is not a manifest we understand',
  fileIncomplete: 'a file line is incomplete',
  fileUnsafe: 'a file line names something we will not write',
  launcherMalformed: 'the launcher line is malformed',
  chunksMalformed: 'the chunks line is malformed',
  packMalformed: 'the pack line is malformed',
  sequenceMalformed: 'the sequence line is malformed',
  expiryMalformed: 'the expiry line is malformed',
  empty: 'the manifest is empty',
  noFiles: 'the manifest lists no files',
  noBuild: 'the manifest has no build name',
};

export const SEQUENCE_MAX = 2n ** 63n - 1n;

// Decimal digits only, no sign, no leading zero, 1 to 2^63-1; else null.
export function parseSequence(token) {
  if (token === undefined || !/^[1-9][0-9]*$/.test(token)) return null;
  const value = BigInt(token);
  return value <= SEQUENCE_MAX ? value : null;
}

// "YYYY-MM-DDTHH:MM:SSZ", a real UTC date and time; else null. The time in
// milliseconds since 1970 otherwise.
export function parseExpiry(token) {
  const m = token === undefined ? null : /^([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})Z$/.exec(token);
  if (!m) return null;
  const [year, month, day, hour, minute, second] = m.slice(1).map(Number);
  const leap = (year % 4 === 0 && year % 100 !== 0) || year % 400 === 0;
  const days = [31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31];
  if (month < 1 || month > 12 || day < 1 || day > days[month - 1] || hour > 23 || minute > 59 || second > 59) {
    return null;
  }
  const date = new Date(0);
  date.setUTCFullYear(year, month - 1, day);  // Date.UTC would read years below 100 as 19xx
  date.setUTCHours(hour, minute, second, 0);
  return date.getTime();
}

export function formatExpiry(ms) {
  return new Date(ms).toISOString().replace(/\.[0-9]{3}Z$/, 'Z');
}

// The launcher's parser. Returns what the launcher would read: problem is
// null when it accepts the description, else the launcher's own message.
// Digests come in lower case, to compare with the ones the tool computes
// (the launcher keeps them as written); expiresAt is in seconds since 1970.
// A file's chunks is null, or the chunk index its chunks line names:
// { size, sha256, source }. notBefore is the token of the last not-before
// line ('' for a bare one), null without one: launchers pass the key over,
// and the tool reads it to tell an announced description.
export function readManifest(bytes) {
  const isWs = (c) => c === ' ' || c === '\t' || c === '\n' || c === '\v' || c === '\f' || c === '\r';
  const trim = (s) => {
    let a = 0;
    let b = s.length;
    while (a < b && isWs(s[a])) a++;
    while (b > a && isWs(s[b - 1])) b--;
    return s.slice(a, b);
  };
  const isHex = (d) => d.length === 64 && /^[0-9a-fA-F]+$/.test(d);
  const bin = (s) => Buffer.from(s, 'latin1');
  const result = { problem: null, channel: '', build: '', protocol: 0, notes: '', server: null, sequence: null,
                   expires: null, expiresAt: null, notBefore: null, files: [], launcher: null, mirrors: [],
                   pack: null };
  const fail = (message) => ({ ...result, problem: message });
  // The last file line of each path token, by its raw bytes: a chunks line
  // belongs to the nearest file line before it that names exactly its path.
  const lastFile = new Map();
  // Bytes as latin1 keep the path rule on raw bytes.
  const text = Buffer.from(bytes).toString('latin1');
  let header = false;
  for (const raw of text.split('\n')) {
    const line = trim(raw);
    if (line === '' || line[0] === '#') continue;
    const tokens = line.split(/[ \t\n\v\f\r]+/);
    const key = tokens[0];
    if (!header) {
      if (key !== 'velmoramp-manifest' || tokens.length < 2 || parseInt32(tokens[1]) !== 1) {
        return fail(MESSAGES.notUnderstood);
      }
      header = true;
    } else if (key === 'channel') {
      result.channel = bin(tokens[1] ?? '').toString('utf8');
    } else if (key === 'build') {
      result.build = bin(tokens[1] ?? '').toString('utf8');
    } else if (key === 'protocol') {
      // Not validated: a token that is no number leaves the field as it was.
      const protocol = tokens.length > 1 ? parseInt32(tokens[1]) : null;
      if (protocol !== null) result.protocol = protocol;
    } else if (key === 'server') {
      const port = tokens.length > 2 ? parseInt32(tokens[2]) : null;
      if (port !== null && port >= 1 && port <= 65535) result.server = { host: bin(tokens[1]).toString('utf8'), port };
    } else if (key === 'notes') {
      // The rest of the line, with the spacing between its words kept.
      result.notes = bin(trim(line.slice(key.length))).toString('utf8');
    } else if (key === 'sequence') {
      const sequence = parseSequence(tokens[1]);
      if (sequence === null) return fail(MESSAGES.sequenceMalformed);
      result.sequence = sequence;
    } else if (key === 'expires') {
      const expiresAt = parseExpiry(tokens[1]);
      if (expiresAt === null) return fail(MESSAGES.expiryMalformed);
      result.expires = tokens[1];
      result.expiresAt = expiresAt / 1000;
    } else if (key === 'not-before') {
      // Never a failure: launchers read it as a key of no meaning.
      result.notBefore = tokens[1] ?? '';
    } else if (key === 'file') {
      if (tokens.length < 5 || !/^\+?[0-9]+$/.test(tokens[2]) || BigInt(tokens[2]) >= 2n ** 64n) {
        return fail(MESSAGES.fileIncomplete);
      }
      if (!isSafeRelativePath(bin(tokens[1])) || !isSafeRelativePath(bin(tokens[4])) || !isHex(tokens[3])) {
        return fail(MESSAGES.fileUnsafe);
      }
      const file = { path: bin(tokens[1]).toString('utf8'), size: BigInt(tokens[2]), sha256: tokens[3].toLowerCase(),
                     source: bin(tokens[4]).toString('utf8'), chunks: null };
      result.files.push(file);
      lastFile.set(tokens[1], file);
    } else if (key === 'chunks') {
      // The line is checked whole before its path is looked up: a malformed
      // one fails the description even where it names no file.
      if (tokens.length < 5 || !/^\+?[0-9]+$/.test(tokens[2]) || BigInt(tokens[2]) >= 2n ** 64n ||
          !isHex(tokens[3]) || !isSafeRelativePath(bin(tokens[4]))) {
        return fail(MESSAGES.chunksMalformed);
      }
      // One that names no file before it is ignored, as a key of no meaning is.
      const file = lastFile.get(tokens[1]);
      if (file) {
        file.chunks = { size: BigInt(tokens[2]), sha256: tokens[3].toLowerCase(),
                        source: bin(tokens[4]).toString('utf8') };
      }
    } else if (key === 'pack') {
      if (tokens.length < 4 || !/^\+?[0-9]+$/.test(tokens[1]) || BigInt(tokens[1]) >= 2n ** 64n ||
          !isHex(tokens[2]) || !isSafeRelativePath(bin(tokens[3]))) {
        return fail(MESSAGES.packMalformed);
      }
      result.pack = { size: BigInt(tokens[1]), sha256: tokens[2].toLowerCase(), source: bin(tokens[3]).toString('utf8') };
    } else if (key === 'mirror') {
      // Only https mirrors count; another line is passed over like an unknown key.
      const url = tokens.length >= 2 ? bin(tokens[1]).toString('latin1') : '';
      if (/^https:\/\/[!-~]+$/i.test(url) && url.length > 8) result.mirrors.push(url.replace(/\/+$/, ''));
    } else if (key === 'launcher') {
      if (tokens.length < 4 || parseInt32(tokens[1]) === null || !isHex(tokens[2]) ||
          !isSafeRelativePath(bin(tokens[3]))) {
        return fail(MESSAGES.launcherMalformed);
      }
      result.launcher = { version: parseInt32(tokens[1]), sha256: tokens[2].toLowerCase(),
                          source: bin(tokens[3]).toString('utf8') };
    }
  }
  if (!header) return fail(MESSAGES.empty);
  if (result.files.length === 0) return fail(MESSAGES.noFiles);
  if (result.build === '') return fail(MESSAGES.noBuild);
  return result;
}

// Null when the launcher accepts the description, else its message.
export function manifestProblem(bytes) {
  return readManifest(bytes).problem;
}

export function manifestText(release) {
  const lines = ['velmoramp-manifest 1', `channel ${release.channel}`];
  // Both right after the channel line: a reader sees at once which
  // description of the channel this is and how long it holds.
  if (release.sequence !== undefined) lines.push(`sequence ${release.sequence}`);
  // An announced description's hour. Launchers in the field pass the key
  // over; none of them fetches the announced description anyway.
  if (release.notBefore) lines.push(`not-before ${release.notBefore}`);
  if (release.expires) lines.push(`expires ${release.expires}`);
  lines.push(`build ${release.build}`, `protocol ${release.protocol}`,
             `server ${release.server.host} ${release.server.port}`);
  if (release.notes !== '') lines.push(`notes ${release.notes}`);
  for (const m of release.mirrors ?? []) lines.push(`mirror ${m}`);
  for (const f of release.files) {
    lines.push(`file ${f.relPath} ${f.size} ${f.sha256} ${f.source}`);
    // Right after its file line: launchers that read chunks take the file
    // from them, older ones ignore the line and download the whole file.
    if (f.chunks) lines.push(`chunks ${f.relPath} ${f.chunks.size} ${f.chunks.sha256} ${f.chunks.source}`);
  }
  // After every file line: launchers that read packs take the small files
  // from it, older ones ignore the line and download each file.
  if (release.pack) lines.push(`pack ${release.pack.size} ${release.pack.sha256} ${release.pack.source}`);
  if (release.launcher) {
    const l = release.launcher;
    lines.push(`launcher ${l.version} ${l.sha256} ${l.source}`);
  }
  const text = Buffer.from(lines.join('\n') + '\n', 'utf8');
  const problem = manifestProblem(text);
  if (problem) refuse(`every launcher would reject this manifest: ${problem}`);
  return text;
}
