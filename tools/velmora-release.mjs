#!/usr/bin/env node
// The publisher's release tool: makes the release key, writes and signs the
// release description, signs the launcher executable, and lays a release out
// ready to upload. Node 18 or later, standard library only (osslsigncode for
// the executable's signature), so it runs on any build machine as it is.
//
// It refuses anything the launcher would refuse (the same path rule, the
// same parser), so a release it writes is never one that every launcher
// rejects. Run it without arguments for the usage.
import { spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import process from 'node:process';
import { fileURLToPath } from 'node:url';

const USAGE = `usage:
  velmora-release keygen <private.pem> <public.modulus>
  velmora-release pubkey <private.pem> [<public.modulus>]
  velmora-release manifest <folder> --channel C --build B --protocol N --server HOST:PORT
                           [--notes TEXT] [--launcher EXE --launcher-version N]
                           [--sequence N [--force]] [--expires-in DAYS]
                           [--source-prefix P] [--out manifest.txt]
  velmora-release sign <manifest.txt> --key <private.pem> [--out manifest.sig]
  velmora-release verify <manifest.txt> <manifest.sig> --modulus <public.modulus>
  velmora-release sign-exe <exe> --cert <cert.pem> --key <key.pem> [--timestamp URL] [--out EXE]
  velmora-release verify-exe <exe> [--ca <ca.pem>] [--built <unsigned.exe>]
  velmora-release publish <folder> <out> --key <private.pem> --channel C --build B
                          --protocol N --server HOST:PORT [--notes TEXT]
                          [--launcher EXE --launcher-version N]
                          [--code-signing-cert <cert.pem> --code-signing-key <key.pem> [--timestamp URL]]
                          [--sequence N [--force]] [--expires-in DAYS]
  velmora-release release <folder> <out> (--key <private.pem> | --unsigned-out <manifest.txt>)
                          [--modulus <public.modulus>] [--dry-run] ...the options of publish
  velmora-release place <manifest.txt> <manifest.sig> <out> --modulus <public.modulus> [--force]`;

class Refusal extends Error {}
const refuse = (message) => {
  throw new Refusal(message);
};
// A command line that names no valid request: exit code 2.
class UsageError extends Error {}
const usageError = (message) => {
  throw new UsageError(message);
};

// ---- Options ---------------------------------------------------------------

const FLAGS = new Set(['force', 'dry-run']);
const RELEASE_OPTIONS = ['channel', 'build', 'protocol', 'server', 'notes', 'launcher', 'launcher-version',
                         'sequence', 'force', 'expires-in'];
const PUBLISH_OPTIONS = [...RELEASE_OPTIONS, 'key', 'code-signing-cert', 'code-signing-key', 'timestamp'];
// An option a command does not take is refused, never ignored: a
// certificate that silently went unused would ship an unsigned launcher.
const COMMAND_OPTIONS = {
  keygen: [],
  pubkey: [],
  manifest: [...RELEASE_OPTIONS, 'source-prefix', 'out'],
  sign: ['key', 'out'],
  verify: ['modulus'],
  'sign-exe': ['cert', 'key', 'timestamp', 'out'],
  'verify-exe': ['ca', 'built'],
  publish: PUBLISH_OPTIONS,
  release: [...PUBLISH_OPTIONS, 'modulus', 'dry-run', 'unsigned-out'],
  place: ['modulus', 'force'],
};

function parseArgs(command, argv) {
  const allowed = new Set(COMMAND_OPTIONS[command]);
  const positional = [];
  const options = {};
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (!arg.startsWith('--')) {
      positional.push(arg);
      continue;
    }
    const name = arg.slice(2);
    if (!allowed.has(name)) usageError(`${command} takes no option --${name}\n${USAGE}`);
    if (name in options) usageError(`--${name} is given twice`);
    if (FLAGS.has(name)) {
      options[name] = true;
      continue;
    }
    if (i + 1 >= argv.length) usageError(`--${name} needs a value`);
    options[name] = argv[++i];
  }
  return { positional, options };
}

function expectPositional(positional, min, max, command) {
  if (positional.length < min || positional.length > max) {
    usageError(`${command}: wrong number of arguments\n${USAGE}`);
  }
}

function required(options, name) {
  if (options[name] === undefined) refuse(`--${name} is required`);
  return options[name];
}

// ---- The launcher's rules ----------------------------------------------------

const WHITESPACE = new Set([0x20, 0x09, 0x0a, 0x0b, 0x0c, 0x0d]);
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

function hasWhitespace(text) {
  return [...Buffer.from(text, 'utf8')].some((b) => WHITESPACE.has(b));
}

// Names Windows cannot hold as files: the launcher would fail to write them.
const DEVICE_NAME = /^(con|prn|aux|nul|com[0-9]|lpt[0-9])(\..*)?$/i;
function windowsNameProblem(relPath) {
  for (const segment of relPath.split('/')) {
    if (DEVICE_NAME.test(segment)) return `"${segment}" is a device name on Windows`;
    if (segment.endsWith('.')) return `"${segment}" ends in a dot, which Windows drops`;
  }
  return null;
}

// A token that the launcher reads as one word: no whitespace, valid text.
function checkToken(what, value) {
  if (value === '') refuse(`${what} is empty`);
  if (hasWhitespace(value)) refuse(`${what} "${value}" contains whitespace; the manifest splits at it`);
  if (value.includes('\ufffd')) refuse(`${what} is not valid UTF-8`);
  if ([...Buffer.from(value, 'utf8')].some((b) => b < 0x20 || b === 0x7f)) {
    refuse(`${what} contains a control character`);
  }
}

// Channel and build names become one folder of the published layout.
function checkSegment(what, value) {
  checkToken(what, value);
  if (value.includes('/') || !isSafeRelativePath(value)) {
    refuse(`${what} "${value}" cannot be a folder name (no / \\ : " < > | * ? and not . or ..)`);
  }
  const problem = windowsNameProblem(value);
  if (problem) refuse(`${what}: ${problem}`);
}

function checkPath(what, relPath) {
  checkToken(what, relPath);
  if (!isSafeRelativePath(relPath)) {
    refuse(`${what} "${relPath}" breaks the launcher's path rule: 1-240 bytes, no \\ or :, ` +
           'no leading /, no empty, . or .. segment, none of " < > | * ? or control bytes');
  }
  const problem = windowsNameProblem(relPath);
  if (problem) refuse(`${what} "${relPath}": ${problem}`);
}

// A whole decimal number in the launcher's signed 32-bit range.
function parseInt32(text) {
  if (!/^[+-]?[0-9]+$/.test(text)) return null;
  const value = Number(text);
  return value >= -2147483648 && value <= 2147483647 ? value : null;
}

function parseServer(text) {
  const colon = text.lastIndexOf(':');
  if (colon <= 0) refuse(`--server "${text}" must be HOST:PORT`);
  const host = text.slice(0, colon);
  const port = parseInt32(text.slice(colon + 1));
  checkToken('the server host', host);
  if (port === null || port < 1 || port > 65535) refuse(`--server "${text}": the port must be 1-65535`);
  return { host, port };
}

function checkNotes(notes) {
  if (/[\r\n\v\f]/.test(notes)) refuse('--notes must be one line');
  if (/[\x00-\x08\x0e-\x1f\x7f]/.test(notes)) refuse('--notes contains a control character');
  if (notes.includes('\ufffd')) refuse('--notes is not valid UTF-8');
  return notes.trim();
}

// The launcher stages each download as "<name>.part" beside its target.
function checkStagingNames(files) {
  const names = new Map(files.map((f) => [f.relPath.toLowerCase(), f.relPath]));
  for (const file of files) {
    const lower = file.relPath.toLowerCase();
    if (lower.endsWith('.part') && names.has(lower.slice(0, -5))) {
      const target = names.get(lower.slice(0, -5));
      refuse(`${file.relPath} and ${target} cannot be in one release: the launcher downloads ${target} as ` +
             `${target}.part and would overwrite the other file`);
    }
  }
}

// ---- The release description -------------------------------------------------

const MESSAGES = {
  notUnderstood: 'this is not a manifest we understand',
  fileIncomplete: 'a file line is incomplete',
  fileUnsafe: 'a file line names something we will not write',
  launcherMalformed: 'the launcher line is malformed',
  sequenceMalformed: 'the sequence line is malformed',
  expiryMalformed: 'the expiry line is malformed',
  empty: 'the manifest is empty',
  noFiles: 'the manifest lists no files',
  noBuild: 'the manifest has no build name',
};

const SEQUENCE_MAX = 2n ** 63n - 1n;

// Decimal digits only, no sign, no leading zero, 1 to 2^63-1; else null.
function parseSequence(token) {
  if (token === undefined || !/^[1-9][0-9]*$/.test(token)) return null;
  const value = BigInt(token);
  return value <= SEQUENCE_MAX ? value : null;
}

// "YYYY-MM-DDTHH:MM:SSZ", a real UTC date and time; else null. The time in
// milliseconds since 1970 otherwise.
function parseExpiry(token) {
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

function formatExpiry(ms) {
  return new Date(ms).toISOString().replace(/\.[0-9]{3}Z$/, 'Z');
}

// The launcher's parser. Returns what the launcher would read: problem is
// null when it accepts the description, else the launcher's own message.
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
  const result = { problem: null, channel: '', build: '', sequence: null, expires: null, files: [], launcher: null };
  const fail = (message) => ({ ...result, problem: message });
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
    } else if (key === 'sequence') {
      const sequence = parseSequence(tokens[1]);
      if (sequence === null) return fail(MESSAGES.sequenceMalformed);
      result.sequence = sequence;
    } else if (key === 'expires') {
      if (parseExpiry(tokens[1]) === null) return fail(MESSAGES.expiryMalformed);
      result.expires = tokens[1];
    } else if (key === 'file') {
      if (tokens.length < 5 || !/^\+?[0-9]+$/.test(tokens[2]) || BigInt(tokens[2]) >= 2n ** 64n) {
        return fail(MESSAGES.fileIncomplete);
      }
      if (!isSafeRelativePath(bin(tokens[1])) || !isSafeRelativePath(bin(tokens[4])) || !isHex(tokens[3])) {
        return fail(MESSAGES.fileUnsafe);
      }
      result.files.push({ path: bin(tokens[1]).toString('utf8'), size: BigInt(tokens[2]),
                          sha256: tokens[3].toLowerCase(), source: bin(tokens[4]).toString('utf8') });
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

// ---- Keys ----------------------------------------------------------------------

function modulusOf(key) {
  const jwk = crypto.createPublicKey(key).export({ format: 'jwk' });
  if (jwk.kty !== 'RSA') refuse('the key is not an RSA key');
  const n = Buffer.from(jwk.n, 'base64url');
  const e = Buffer.from(jwk.e, 'base64url');
  if (n.length !== 256 || n[0] < 0x80) refuse('the key is not RSA-2048: the launcher takes only 2048-bit keys');
  if (e.toString('hex') !== '010001') refuse('the key\'s public exponent is not 65537');
  return n;
}

// The form the launcher build takes: 512 lower-case hex digits, lines of 64.
function modulusFileText(modulus) {
  const hex = modulus.toString('hex');
  const lines = hex.match(/.{64}/g);
  return '# Public modulus of the Velmora release key (RSA-2048, exponent 65537).\n' +
         '# Build the launcher with -DVELMORA_RELEASE_KEY=<this file>.\n' + lines.join('\n') + '\n';
}

function readModulusFile(file) {
  const hex = fs.readFileSync(file, 'utf8').replace(/#[^\n]*/g, '').replace(/\s+/g, '').toLowerCase();
  if (!/^[0-9a-f]{512}$/.test(hex)) refuse(`${file}: expected the 2048-bit modulus as 512 hex digits`);
  return Buffer.from(hex, 'hex');
}

function readPrivateKey(file) {
  let key;
  try {
    key = crypto.createPrivateKey(fs.readFileSync(file));
  } catch (e) {
    refuse(`${file}: not a readable private key (${e.message})`);
  }
  modulusOf(key);
  return key;
}

function publicKeyFromModulus(modulus) {
  return crypto.createPublicKey({
    key: { kty: 'RSA', n: modulus.toString('base64url'), e: 'AQAB' },
    format: 'jwk',
  });
}

function verifyBytes(text, signature, modulus) {
  if (signature.length !== 256) return false;
  return crypto.verify('sha256', text, { key: publicKeyFromModulus(modulus),
                                         padding: crypto.constants.RSA_PKCS1_PADDING }, signature);
}

function signBytes(text, key) {
  const problem = manifestProblem(text);
  if (problem) refuse(`every launcher would reject this manifest: ${problem}`);
  const signature = crypto.sign('sha256', text, { key, padding: crypto.constants.RSA_PKCS1_PADDING });
  if (signature.length !== 256 || !verifyBytes(text, signature, modulusOf(key))) {
    refuse('the signature does not verify with the key that made it');
  }
  return signature;
}

// ---- Files -----------------------------------------------------------------------

function writeNew(file, data, mode) {
  try {
    fs.writeFileSync(file, data, { flag: 'wx', mode });
  } catch (e) {
    if (e.code === 'EEXIST') refuse(`${file} exists already; not overwriting it`);
    throw e;
  }
}

// Written beside, flushed to the disk and renamed over, so that neither a
// reader nor a crash ever meets a half-written file.
function writeReplacing(file, data) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  const temp = `${file}.tmp-${process.pid}`;
  try {
    const fd = fs.openSync(temp, 'w');
    try {
      fs.writeFileSync(fd, data);
      fs.fsyncSync(fd);
    } finally {
      fs.closeSync(fd);
    }
    fs.renameSync(temp, file);
  } catch (e) {
    fs.rmSync(temp, { force: true });
    throw e;
  }
}

function sha256File(file) {
  const hash = crypto.createHash('sha256');
  const fd = fs.openSync(file, 'r');
  try {
    const buffer = Buffer.alloc(1 << 20);
    let n;
    while ((n = fs.readSync(fd, buffer, 0, buffer.length, null)) > 0) hash.update(buffer.subarray(0, n));
  } finally {
    fs.closeSync(fd);
  }
  return hash.digest('hex');
}

function readFileOrRefuse(file, what) {
  try {
    return fs.readFileSync(file);
  } catch (e) {
    refuse(`${file}: cannot read ${what} (${e.code ?? e.message})`);
  }
}

// Every regular file under the folder, as "/"-separated relative paths in
// byte order, so the same folder always gives the same manifest.
function listFiles(root) {
  let stat;
  try {
    stat = fs.statSync(root);
  } catch {
    refuse(`${root}: no such folder`);
  }
  if (!stat.isDirectory()) refuse(`${root} is not a folder`);
  const found = [];
  const walk = (dir, rel) => {
    for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
      const relPath = rel === '' ? entry.name : `${rel}/${entry.name}`;
      const full = path.join(dir, entry.name);
      if (entry.isDirectory()) {
        walk(full, relPath);
      } else if (entry.isFile() || (entry.isSymbolicLink() && fs.statSync(full).isFile())) {
        found.push({ relPath, full });
      } else {
        refuse(`${relPath}: only files and folders can be published`);
      }
    }
  };
  walk(root, '');
  found.sort((a, b) => Buffer.compare(Buffer.from(a.relPath), Buffer.from(b.relPath)));
  return found;
}

// A scratch folder that is gone when the command ends, however it ends.
const scratchFolders = [];
process.on('exit', () => {
  for (const dir of scratchFolders) fs.rmSync(dir, { recursive: true, force: true });
});
function scratchFolder() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-release-'));
  scratchFolders.push(dir);
  return dir;
}

// ---- The launcher's own release number ----------------------------------------

// The headers of a PE image: where its optional header, data directories
// and section table start. Null when the file is no PE32 or PE32+ image.
function peHeaders(image) {
  if (image.readUInt16LE(0) !== 0x5a4d) return null;  // "MZ"
  const pe = image.readUInt32LE(0x3c);
  if (image.readUInt32LE(pe) !== 0x00004550) return null;  // "PE\0\0"
  const opt = pe + 24;
  const magic = image.readUInt16LE(opt);
  if (magic !== 0x10b && magic !== 0x20b) return null;
  return { opt, dirs: opt + (magic === 0x20b ? 112 : 96), sections: image.readUInt16LE(pe + 6),
           table: opt + image.readUInt16LE(pe + 20) };
}

// The release number built into a launcher executable: the third part of
// the file version in its version resource (1.0.5.0 is release 5). Null
// when the file is no PE image or carries no version resource.
function launcherRelease(image) {
  try {
    const headers = peHeaders(image);
    if (headers === null) return null;
    const { dirs, sections, table } = headers;
    const resourceRva = image.readUInt32LE(dirs + 2 * 8);
    if (resourceRva === 0) return null;
    const offsetOf = (rva) => {
      for (let i = 0; i < sections; i++) {
        const s = table + 40 * i;
        const vsize = image.readUInt32LE(s + 8), vaddr = image.readUInt32LE(s + 12);
        const rsize = image.readUInt32LE(s + 16), raddr = image.readUInt32LE(s + 20);
        if (rva >= vaddr && rva < vaddr + Math.max(vsize, rsize)) return raddr + rva - vaddr;
      }
      throw new Error('address outside every section');
    };
    const base = offsetOf(resourceRva);
    // The first entry of a resource directory whose id matches (any id for
    // null), following subdirectories down to a data entry.
    const entry = (dir, id) => {
      const count = image.readUInt16LE(dir + 12) + image.readUInt16LE(dir + 14);
      for (let i = 0; i < count; i++) {
        const name = image.readUInt32LE(dir + 16 + 8 * i), target = image.readUInt32LE(dir + 20 + 8 * i);
        if (id === null || name === id) return target;
      }
      return null;
    };
    let target = entry(base, 16);  // RT_VERSION
    for (let level = 0; target !== null && (target & 0x80000000) && level < 3; level++) {
      target = entry(base + (target & 0x7fffffff), null);
    }
    if (target === null || (target & 0x80000000)) return null;
    const data = offsetOf(image.readUInt32LE(base + target));
    const size = image.readUInt32LE(base + target + 4);
    const info = image.subarray(data, data + size);
    const fixed = info.indexOf(Buffer.from([0xbd, 0x04, 0xef, 0xfe]));  // VS_FIXEDFILEINFO signature
    if (fixed < 0 || fixed + 16 > info.length) return null;
    return info.readUInt32LE(fixed + 12) >>> 16;  // high word of dwFileVersionLS
  } catch {
    return null;
  }
}

// Where a PE image keeps its checksum and its certificate table entry, and
// where that table (the Authenticode signature) lies; null for no PE image.
function peLayout(image) {
  try {
    const headers = peHeaders(image);
    if (headers === null) return null;
    const { opt, dirs } = headers;
    if (image.readUInt32LE(dirs - 4) < 5) return null;  // no room for the certificate entry
    const certEntry = dirs + 4 * 8;  // IMAGE_DIRECTORY_ENTRY_SECURITY: a file offset, not an address
    return { checksumAt: opt + 64, certEntry, certOffset: image.readUInt32LE(certEntry),
             certSize: image.readUInt32LE(certEntry + 4) };
  } catch {
    return null;
  }
}

function isSigned(image) {
  const layout = peLayout(image);
  return layout !== null && layout.certSize !== 0;
}

// The image as it is before any signature: a signer pads the file with
// zeros to a multiple of 8 bytes, appends the signature, and writes its
// place and a new checksum into the header. Null for no PE image.
function programOf(image) {
  const layout = peLayout(image);
  if (layout === null) return null;
  let body;
  if (layout.certSize !== 0) {
    if (layout.certOffset > image.length) return null;
    body = Buffer.from(image.subarray(0, layout.certOffset));
  } else {
    body = Buffer.alloc(Math.ceil(image.length / 8) * 8);
    image.copy(body);
  }
  body.fill(0, layout.checksumAt, layout.checksumAt + 4);
  body.fill(0, layout.certEntry, layout.certEntry + 8);
  return body;
}

// True when two images are one program, signed or not: byte for byte the
// same apart from the signature and what the signer changed for it.
function sameProgram(a, b) {
  const pa = programOf(a);
  const pb = programOf(b);
  return pa !== null && pb !== null && pa.equals(pb);
}

// ---- The launcher's code signature (Authenticode, through osslsigncode) -------

function osslsigncode(args) {
  const r = spawnSync('osslsigncode', args, { encoding: 'utf8', timeout: 180000, stdio: ['ignore', 'pipe', 'pipe'] });
  if (r.error && r.error.code === 'ENOENT') {
    refuse('osslsigncode is not installed (Debian and Ubuntu: apt-get install osslsigncode)');
  }
  if (r.error) refuse(`osslsigncode did not finish: ${r.error.message}`);
  return { ok: r.status === 0, text: `${r.stdout}${r.stderr}` };
}

// What osslsigncode said went wrong: its error lines, else its last lines.
function failureLines(text) {
  const lines = text.split('\n').map((l) => l.trim()).filter((l) => l !== '');
  const errors = lines.filter((l) => /error|fail|unable|invalid|cannot|mismatch/i.test(l) && l !== 'Failed');
  return (errors.length > 0 ? errors : lines.slice(-6)).map((l) => `  ${l}`).join('\n');
}

function checkReadable(file, what) {
  try {
    fs.accessSync(file, fs.constants.R_OK);
    if (!fs.statSync(file).isFile()) refuse(`${file} (${what}) is not a file`);
  } catch (e) {
    if (e instanceof Refusal) throw e;
    refuse(`${file}: cannot read ${what}`);
  }
}

function checkTimestampUrl(url) {
  if (!/^https?:\/\/[^\s/]+/.test(url)) refuse(`--timestamp "${url}" must be an http:// or https:// URL`);
}

function codeSigningFrom(cert, key, timestamp, certOption, keyOption) {
  if (cert === undefined && key === undefined) {
    if (timestamp !== undefined) refuse(`--timestamp goes with --${certOption}`);
    return null;
  }
  if (cert === undefined || key === undefined) refuse(`--${certOption} and --${keyOption} go together`);
  checkReadable(cert, 'the code-signing certificate');
  checkReadable(key, 'the code-signing key');
  if (timestamp !== undefined) checkTimestampUrl(timestamp);
  return { cert, key, timestamp };
}

// Signs input into output (a new file) with SHA-256 digests, and checks
// that the result is the same program with a signature.
function signExe(input, output, signing) {
  const image = readFileOrRefuse(input, 'the executable');
  if (peLayout(image) === null) refuse(`${input} is not a Windows executable`);
  const args = ['sign', '-certs', signing.cert, '-key', signing.key, '-h', 'sha256'];
  // RFC 3161 time-stamping keeps the signature valid after the certificate expires.
  if (signing.timestamp !== undefined) args.push('-ts', signing.timestamp);
  args.push('-in', input, '-out', output);
  const r = osslsigncode(args);
  if (!r.ok) {
    fs.rmSync(output, { force: true });
    refuse(`signing ${input} failed:\n${failureLines(r.text)}`);
  }
  const signed = fs.readFileSync(output);
  if (!isSigned(signed) || !sameProgram(signed, image)) {
    fs.rmSync(output, { force: true });
    refuse(`signing ${input} gave something other than the same program with a signature`);
  }
}

// osslsigncode's verdict on a signature, with what it found.
function checkExeSignature(exe, ca) {
  const args = ['verify', '-in', exe];
  if (ca !== undefined) args.push('-CAfile', ca, '-TSA-CAfile', ca);
  const r = osslsigncode(args);
  const algorithms = [...r.text.matchAll(/Message digest algorithm\s*:\s*(\S+)/g)].map((m) => m[1]);
  const subject = /Signer #0:\s*\n\s*Subject:\s*(.*)/.exec(r.text)?.[1]?.trim();
  const timestamp = /Timestamp time:\s*(.*)/.exec(r.text)?.[1]?.trim();
  const problems = [];
  if (!r.ok) problems.push(`the signature does not verify:\n${failureLines(r.text)}`);
  if (r.ok && algorithms.some((a) => a.toUpperCase() !== 'SHA256')) {
    problems.push(`the signature's digests are not all SHA-256 (${algorithms.join(', ')})`);
  }
  return { problems, subject, timestamp };
}

// ---- The release ---------------------------------------------------------------

function releaseFromOptions(folder, options) {
  const channel = required(options, 'channel');
  const build = required(options, 'build');
  checkSegment('the channel', channel);
  checkSegment('the build', build);
  const protocol = parseInt32(required(options, 'protocol'));
  if (protocol === null) refuse('--protocol must be a whole number (32-bit)');
  const server = parseServer(required(options, 'server'));
  const notes = options.notes === undefined ? '' : checkNotes(options.notes);
  const prefix = options['source-prefix'] ?? `files/${build}`;
  checkPath('the source prefix', prefix);

  const files = listFiles(folder);
  if (files.length === 0) refuse(`${folder} holds no files; every launcher rejects a release without files`);
  const seen = new Map();
  for (const file of files) {
    checkPath('the file', file.relPath);
    file.source = `${prefix}/${file.relPath}`;
    checkPath('the download path', file.source);
    // Windows folders ignore letter case: two such files would overwrite
    // each other in the game folder on every update.
    const folded = file.relPath.toLowerCase();
    if (seen.has(folded)) refuse(`${file.relPath} and ${seen.get(folded)} are one file on Windows`);
    seen.set(folded, file.relPath);
    file.size = fs.statSync(file.full).size;
    file.sha256 = sha256File(file.full);
  }
  checkStagingNames(files);

  let launcher = null;
  if ((options.launcher === undefined) !== (options['launcher-version'] === undefined)) {
    refuse('--launcher and --launcher-version go together');
  }
  if (options.launcher !== undefined) {
    const version = parseInt32(options['launcher-version']);
    if (version === null || version < 1) refuse('--launcher-version must be a whole number from 1');
    let stat;
    try {
      stat = fs.statSync(options.launcher);
    } catch {
      refuse(`${options.launcher}: no such file`);
    }
    if (!stat.isFile()) refuse(`${options.launcher} is not a file`);
    const name = path.basename(options.launcher);
    const source = `launcher/${version}/${name}`;
    checkPath('the launcher download path', source);
    // A release that offers launcher N with an exe that thinks it is M would
    // make every launcher replace itself on every start.
    const built = launcherRelease(fs.readFileSync(options.launcher));
    if (built === null) {
      refuse(`${options.launcher} is not a launcher build: it has no version resource to tell its release number`);
    }
    if (built !== version) {
      refuse(`${options.launcher} is launcher release ${built} (its version resource), not ${version}`);
    }
    launcher = { full: options.launcher, name, version, source, sha256: sha256File(options.launcher),
                 size: stat.size };
  }
  return { channel, build, protocol, server, notes, files, launcher };
}

// ---- Sequence and expiry -------------------------------------------------------

// The sequence of the description published at file (null: none is): 0n
// when there is none or it carries none; null when the launcher would refuse it.
function publishedSequence(file) {
  if (file === null || !fs.existsSync(file)) return { sequence: 0n, problem: null };
  const published = readManifest(readFileOrRefuse(file, 'the published description'));
  if (published.problem) return { sequence: null, problem: published.problem };
  return { sequence: published.sequence ?? 0n, problem: null };
}

// The sequence for a new description: one more than the published one, or
// --sequence, which must be above it unless --force says otherwise.
function nextSequence(options, publishedFile) {
  const published = publishedSequence(publishedFile);
  if (options.sequence === undefined) {
    if (options.force) refuse('--force goes with --sequence');
    if (published.sequence === null) {
      refuse(`${publishedFile} is refused by every launcher (${published.problem}); ` +
             'give the new description its sequence with --sequence');
    }
    if (published.sequence >= SEQUENCE_MAX) {
      refuse(`${publishedFile} has the largest sequence there is; no later description can follow it`);
    }
    return published.sequence + 1n;
  }
  const sequence = parseSequence(options.sequence);
  if (sequence === null) refuse(`--sequence must be a whole number from 1 to ${SEQUENCE_MAX}, written plainly`);
  if (published.sequence !== null && sequence <= published.sequence && !options.force) {
    refuse(`--sequence ${sequence} is not above ${published.sequence}, the sequence of ${publishedFile}: ` +
           'launchers that have seen that one refuse this one (--force publishes it all the same)');
  }
  return sequence;
}

const DAY_MS = 24 * 60 * 60 * 1000;

// --expires-in DAYS: that many whole days from now, to the second.
function expiryFromOptions(options) {
  if (options['expires-in'] === undefined) return null;
  const text = options['expires-in'];
  if (!/^[1-9][0-9]{0,6}$/.test(text)) refuse('--expires-in must be a whole number of days, 1 or more');
  const at = Math.floor(Date.now() / 1000) * 1000 + Number(text) * DAY_MS;
  if (at > Date.UTC(9999, 11, 31, 23, 59, 59)) refuse(`--expires-in ${text} lies beyond the year 9999`);
  return formatExpiry(at);
}

function manifestText(release) {
  const lines = ['velmoramp-manifest 1', `channel ${release.channel}`];
  // Both right after the channel line: a reader sees at once which
  // description of the channel this is and how long it holds.
  if (release.sequence !== undefined) lines.push(`sequence ${release.sequence}`);
  if (release.expires) lines.push(`expires ${release.expires}`);
  lines.push(`build ${release.build}`, `protocol ${release.protocol}`,
             `server ${release.server.host} ${release.server.port}`);
  if (release.notes !== '') lines.push(`notes ${release.notes}`);
  for (const f of release.files) lines.push(`file ${f.relPath} ${f.size} ${f.sha256} ${f.source}`);
  if (release.launcher) {
    const l = release.launcher;
    lines.push(`launcher ${l.version} ${l.sha256} ${l.source}`);
  }
  const text = Buffer.from(lines.join('\n') + '\n', 'utf8');
  const problem = manifestProblem(text);
  if (problem) refuse(`every launcher would reject this manifest: ${problem}`);
  return text;
}

// Copies a file into the layout. A published file that is already there
// stays only when it is identical: another channel's signed manifest may
// name it.
function placeFile(from, to, sha256, remedy = 'use a new build name') {
  if (fs.existsSync(to)) {
    if (sha256File(to) !== sha256) refuse(`${to} is already published with other content; ${remedy}`);
    return;
  }
  const temp = `${to}.tmp-${process.pid}`;
  fs.mkdirSync(path.dirname(to), { recursive: true });
  fs.copyFileSync(from, temp);
  if (sha256File(temp) !== sha256) {
    fs.rmSync(temp);
    refuse(`${from} changed while it was being published`);
  }
  fs.renameSync(temp, to);
}

// ---- A release from folder to published layout ---------------------------------

// Signs the release's launcher, or keeps the signed one already published
// at its place when it is the same program: signing again would give other
// bytes (the signing time differs), and a published description, of this
// channel or another, names the bytes that are there.
function signLauncher(release, out, signing, notes) {
  const l = release.launcher;
  const published = path.join(out, ...l.source.split('/'));
  if (fs.existsSync(published)) {
    const image = fs.readFileSync(published);
    if (isSigned(image) && sameProgram(image, fs.readFileSync(l.full))) {
      notes.push(`launcher ${l.version} is published already, signed: kept as it is`);
      Object.assign(l, { full: published, sha256: sha256File(published), size: image.length });
      return;
    }
  }
  const signed = path.join(scratchFolder(), l.name);
  signExe(l.full, signed, signing);
  Object.assign(l, { full: signed, sha256: sha256File(signed), size: fs.statSync(signed).size });
  notes.push(`launcher ${l.version} signed (SHA-256${signing.timestamp !== undefined ? ', time-stamped' : ''})`);
}

// Everything a release is, before anything is written: the checked files,
// the signed launcher, and the description with its sequence.
function prepareRelease(folder, out, options) {
  const release = releaseFromOptions(folder, options);
  if (release.channel === 'files' || release.channel === 'launcher') {
    refuse(`the channel cannot be named "${release.channel}": that folder holds the files`);
  }
  const signing = codeSigningFrom(options['code-signing-cert'], options['code-signing-key'], options.timestamp,
                                  'code-signing-cert', 'code-signing-key');
  if (signing && !release.launcher) refuse('--code-signing-cert signs the launcher: give --launcher too');
  const publishedFile = path.join(out, release.channel, 'manifest.txt');
  release.sequence = nextSequence(options, publishedFile);
  release.expires = expiryFromOptions(options);
  const notes = [];
  if (signing) signLauncher(release, out, signing, notes);
  release.text = manifestText(release);
  return { release, publishedFile, notes };
}

// The files and the launcher at their download paths. Harmless before the
// description: nothing names them until it is replaced.
function layOut(out, release) {
  for (const f of release.files) placeFile(f.full, path.join(out, ...f.source.split('/')), f.sha256);
  if (release.launcher) {
    const l = release.launcher;
    placeFile(l.full, path.join(out, ...l.source.split('/')), l.sha256,
              'a launcher with other bytes needs a new release number (or the same code-signing options)');
  }
}

// The signature first and the description last: a new description is never
// visible without its own signature beside it. A launcher that read the old
// description just before gets the new signature, refuses the pair as it
// refuses any bad signature, and reads the new pair on its next start.
function writeDescription(out, channel, text, signature) {
  writeReplacing(path.join(out, channel, 'manifest.sig'), signature);
  writeReplacing(path.join(out, channel, 'manifest.txt'), text);
}

// Every file a description names is in out as it says, by size and digest.
function checkNamedFiles(out, description) {
  const named = description.files.map((f) => ({ what: f.path, source: f.source, sha256: f.sha256, size: f.size }));
  if (description.launcher) {
    named.push({ what: `launcher ${description.launcher.version}`, ...description.launcher, size: null });
  }
  for (const f of named) {
    const file = path.join(out, ...f.source.split('/'));
    let stat;
    try {
      stat = fs.statSync(file);
    } catch {
      refuse(`${f.what}: ${file} is missing; players would fail to download it`);
    }
    if ((f.size !== null && BigInt(stat.size) !== f.size) || sha256File(file) !== f.sha256) {
      refuse(`${f.what}: ${file} is not the file the description names (size or SHA-256 differ)`);
    }
  }
}

// The release as a launcher will read it from out: the signature over the
// description, the launcher's parser, and every file it names.
function checkLaidOut(out, channel, modulus) {
  const dir = path.join(out, channel);
  const text = readFileOrRefuse(path.join(dir, 'manifest.txt'), 'the description');
  if (modulus !== null && !verifyBytes(text, readFileOrRefuse(path.join(dir, 'manifest.sig'), 'the signature'), modulus)) {
    refuse(`${dir}: the published signature does not verify`);
  }
  const description = readManifest(text);
  if (description.problem) refuse(`${dir}: every launcher would reject the published description: ${description.problem}`);
  if (description.channel !== channel) refuse(`${dir}: the published description names channel "${description.channel}"`);
  checkNamedFiles(out, description);
  return description;
}

function formatBytes(bytes) {
  const units = ['KiB', 'MiB', 'GiB', 'TiB'];
  let value = Number(bytes);
  if (value < 1024) return `${bytes} bytes`;
  let unit = -1;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit++;
  }
  return `${bytes} bytes (${value.toFixed(1)} ${units[unit]})`;
}

function describeRelease(d) {
  return `build ${d.build}, sequence ${d.sequence ?? 'none'}, ${d.expires ? `expires ${d.expires}` : 'no expiry'}`;
}

// What a new description changes against the one published for its
// channel, and what a player who has the published release downloads.
function changesReport(publishedFile, next, launcherSize) {
  const lines = [`${next.channel}: ${describeRelease(next)}`];
  let published = null;
  if (!fs.existsSync(publishedFile)) {
    lines.push(`nothing is published for ${next.channel} yet: every file is new`);
  } else {
    published = readManifest(fs.readFileSync(publishedFile));
    if (published.problem) {
      lines.push(`the published description is refused by every launcher (${published.problem}): ` +
                 'compared with nothing');
      published = null;
    } else {
      lines.push(`against the published ${describeRelease(published)}:`);
    }
  }
  // Windows folders ignore letter case: a file whose name changed only in
  // case is the same file on a player's disk.
  const before = new Map((published?.files ?? []).map((f) => [f.path.toLowerCase(), f]));
  const after = new Set(next.files.map((f) => f.path.toLowerCase()));
  let download = 0n;
  let unchanged = 0;
  for (const f of next.files) {
    const old = before.get(f.path.toLowerCase());
    if (old && old.sha256 === f.sha256) {
      unchanged++;
      continue;
    }
    lines.push(`  ${old ? 'changed' : 'added  '}  ${f.path}  ${formatBytes(f.size)}`);
    download += f.size;
  }
  for (const f of published?.files ?? []) {
    if (!after.has(f.path.toLowerCase())) lines.push(`  removed  ${f.path}`);
  }
  const was = published?.launcher ?? null;
  const now = next.launcher;
  if (now && (!was || now.version > was.version)) {
    lines.push(`  launcher ${was ? `${was.version} -> ` : ''}${now.version}  ${formatBytes(launcherSize)}`);
    download += BigInt(launcherSize);
  } else if (now && was && now.version === was.version && now.sha256 !== was.sha256) {
    lines.push(`  launcher ${now.version}: other bytes under the same number; launchers already on ` +
               `${now.version} keep theirs`);
  } else if (!now && was) {
    lines.push(`  launcher ${was.version} no longer offered`);
  }
  if (unchanged > 0) lines.push(`  unchanged: ${unchanged} file(s)`);
  lines.push(`a player with the published release downloads ${formatBytes(download)}`);
  return lines.join('\n');
}

// ---- Commands ------------------------------------------------------------------

function expiryLine(expires) {
  if (!expires) return { line: 'expires: never', passed: false };
  const left = parseExpiry(expires) - Date.now();
  const days = (Math.abs(left) / DAY_MS).toFixed(1);
  if (left <= 0) return { line: `expires: ${expires} (passed ${days} days ago)`, passed: true };
  return { line: `expires: ${expires} (in ${days} days)`, passed: false };
}

const commands = {
  keygen({ positional }) {
    expectPositional(positional, 2, 2, 'keygen');
    const [privateFile, modulusFile] = positional;
    for (const file of positional) {
      if (fs.existsSync(file)) refuse(`${file} exists already; not overwriting it`);
    }
    const { privateKey } = crypto.generateKeyPairSync('rsa', { modulusLength: 2048, publicExponent: 65537 });
    const modulus = modulusOf(privateKey);
    writeNew(privateFile, privateKey.export({ type: 'pkcs8', format: 'pem' }), 0o600);
    writeNew(modulusFile, modulusFileText(modulus), 0o644);
    console.log(`private key: ${privateFile} (keep it secret; it signs every release)`);
    console.log(`public modulus: ${modulusFile} (build the launcher with -DVELMORA_RELEASE_KEY=${modulusFile})`);
  },

  pubkey({ positional }) {
    expectPositional(positional, 1, 2, 'pubkey');
    const text = modulusFileText(modulusOf(readPrivateKey(positional[0])));
    if (positional.length === 2) writeReplacing(positional[1], text);
    else process.stdout.write(text);
  },

  manifest({ positional, options }) {
    expectPositional(positional, 1, 1, 'manifest');
    const release = releaseFromOptions(positional[0], options);
    release.sequence = nextSequence(options, options.out ?? null);
    release.expires = expiryFromOptions(options);
    const text = manifestText(release);
    if (options.out) writeReplacing(options.out, text);
    else process.stdout.write(text);
  },

  sign({ positional, options }) {
    expectPositional(positional, 1, 1, 'sign');
    const key = readPrivateKey(required(options, 'key'));
    const manifestFile = positional[0];
    const signature = signBytes(readFileOrRefuse(manifestFile, 'the description'), key);
    const out = options.out ?? path.join(path.dirname(manifestFile), 'manifest.sig');
    writeReplacing(out, signature);
    console.log(`signed: ${out}`);
  },

  verify({ positional, options }) {
    expectPositional(positional, 2, 2, 'verify');
    const modulus = readModulusFile(required(options, 'modulus'));
    const text = readFileOrRefuse(positional[0], 'the description');
    if (!verifyBytes(text, readFileOrRefuse(positional[1], 'the signature'), modulus)) refuse('SIGNATURE REJECTED');
    const description = readManifest(text);
    if (description.problem) refuse(`signature ok, but the manifest is malformed: ${description.problem}`);
    console.log('signature ok');
    console.log(`channel: ${description.channel || '(none)'}, build: ${description.build}`);
    console.log(`sequence: ${description.sequence ?? 'none'}`);
    const expiry = expiryLine(description.expires);
    console.log(expiry.line);
    if (expiry.passed) refuse(`the description expired at ${description.expires}: every launcher refuses it`);
  },

  'sign-exe'({ positional, options }) {
    expectPositional(positional, 1, 1, 'sign-exe');
    const exe = positional[0];
    const signing = codeSigningFrom(required(options, 'cert'), required(options, 'key'), options.timestamp,
                                    'cert', 'key');
    const out = options.out ?? exe;
    const mode = fs.statSync(exe).mode & 0o777;
    const signed = path.join(scratchFolder(), 'signed.exe');
    signExe(exe, signed, signing);
    writeReplacing(out, fs.readFileSync(signed));
    fs.chmodSync(out, mode);
    console.log(`signed: ${out} (SHA-256${signing.timestamp !== undefined ? ', time-stamped' : ''})`);
  },

  'verify-exe'({ positional, options }) {
    expectPositional(positional, 1, 1, 'verify-exe');
    const exe = positional[0];
    const image = readFileOrRefuse(exe, 'the executable');
    if (peLayout(image) === null) refuse(`${exe} is not a Windows executable`);
    if (options.ca !== undefined) checkReadable(options.ca, 'the CA certificates');
    const problems = [];
    if (options.built !== undefined) {
      const built = readFileOrRefuse(options.built, 'the built executable');
      const a = programOf(image);
      const b = programOf(built);
      if (a !== null && b !== null && a.equals(b)) {
        console.log(`same program as ${options.built}: byte for byte, apart from the signature`);
      } else {
        let at = 0;
        while (a !== null && b !== null && at < Math.min(a.length, b.length) && a[at] === b[at]) at++;
        problems.push(`${exe} is not the program ${options.built} is` +
                      (b === null ? ': that is no Windows executable' : `: they differ from byte ${at} on`));
      }
    }
    if (!isSigned(image)) {
      problems.push(`${exe} carries no signature`);
    } else {
      const check = checkExeSignature(exe, options.ca);
      problems.push(...check.problems);
      if (check.problems.length === 0) {
        console.log(`signature ok: SHA-256, signed by ${check.subject ?? '(unknown)'}, ` +
                    (check.timestamp ? `time-stamped ${check.timestamp}` : 'not time-stamped'));
      }
    }
    if (problems.length > 0) refuse(problems.join('\n'));
  },

  publish({ positional, options }) {
    expectPositional(positional, 2, 2, 'publish');
    const [folder, out] = positional;
    const key = readPrivateKey(required(options, 'key'));
    const { release, notes } = prepareRelease(folder, out, options);
    const signature = signBytes(release.text, key);
    layOut(out, release);
    writeDescription(out, release.channel, release.text, signature);
    checkLaidOut(out, release.channel, modulusOf(key));
    for (const note of notes) console.log(note);
    console.log(`published ${release.channel} build ${release.build}: ${release.files.length} file(s)` +
                `${release.launcher ? ` and launcher ${release.launcher.version}` : ''} in ${out}` +
                ` (sequence ${release.sequence}${release.expires ? `, expires ${release.expires}` : ''})`);
  },

  release({ positional, options }) {
    expectPositional(positional, 2, 2, 'release');
    const [folder, out] = positional;
    const unsignedOut = options['unsigned-out'];
    if ((options.key === undefined) === (unsignedOut === undefined)) {
      refuse('give either --key (the description is signed here) or --unsigned-out (it is signed elsewhere)');
    }
    const key = options.key !== undefined ? readPrivateKey(options.key) : null;
    const modulus = options.modulus !== undefined ? readModulusFile(options.modulus) : key && modulusOf(key);
    if (key && !modulusOf(key).equals(modulus)) {
      refuse(`${options.key} is not the private half of ${options.modulus}: ` +
             'launchers built with that modulus would refuse this release');
    }
    const { release, publishedFile, notes } = prepareRelease(folder, out, options);
    if (unsignedOut !== undefined) {
      const dir = path.resolve(out, release.channel);
      if (path.resolve(path.dirname(unsignedOut)) === dir) {
        refuse(`--unsigned-out must lie outside ${dir}: players would fetch a description without its signature`);
      }
    }
    const signature = key ? signBytes(release.text, key) : null;
    const next = readManifest(release.text);
    const size = release.launcher ? release.launcher.size : 0;
    const report = changesReport(publishedFile, next, size);
    for (const note of notes) console.log(note);
    console.log(report);
    if (options['dry-run']) {
      if (signature && !verifyBytes(release.text, signature, modulus)) refuse('the signature would not verify');
      console.log('dry run: nothing written');
      return;
    }
    layOut(out, release);
    if (signature) {
      writeDescription(out, release.channel, release.text, signature);
      checkLaidOut(out, release.channel, modulus);
      console.log(`published in ${out}; verified: signature, description and every file it names`);
      return;
    }
    writeReplacing(unsignedOut, release.text);
    checkNamedFiles(out, next);
    console.log(`files laid out in ${out}; the description to sign: ${unsignedOut}\n` +
                'sign it where the release key is (velmora-release sign), then put both in place with ' +
                'velmora-release place');
  },

  place({ positional, options }) {
    expectPositional(positional, 3, 3, 'place');
    const [manifestFile, signatureFile, out] = positional;
    const modulus = readModulusFile(required(options, 'modulus'));
    const text = readFileOrRefuse(manifestFile, 'the description');
    const signature = readFileOrRefuse(signatureFile, 'the signature');
    if (!verifyBytes(text, signature, modulus)) refuse(`SIGNATURE REJECTED: ${signatureFile} is no signature of ${manifestFile} by that key`);
    const next = readManifest(text);
    if (next.problem) refuse(`every launcher would reject ${manifestFile}: ${next.problem}`);
    checkSegment('the channel', next.channel);
    if (next.channel === 'files' || next.channel === 'launcher') refuse(`the channel cannot be named "${next.channel}"`);
    if (expiryLine(next.expires).passed) refuse(`${manifestFile} expired at ${next.expires}: every launcher refuses it`);
    const publishedFile = path.join(out, next.channel, 'manifest.txt');
    const published = publishedSequence(publishedFile);
    if (!options.force && published.sequence !== null && published.sequence > 0n) {
      if (next.sequence === null) {
        refuse(`${manifestFile} has no sequence, and ${publishedFile} has ${published.sequence} ` +
               '(--force places it all the same)');
      }
      if (next.sequence <= published.sequence) {
        refuse(`the sequence of ${manifestFile}, ${next.sequence}, is not above ${published.sequence}, the sequence of ` +
               `${publishedFile}: launchers that have seen that one refuse this one (--force places it all the same)`);
      }
    }
    checkNamedFiles(out, next);
    const launcherFile = next.launcher ? path.join(out, ...next.launcher.source.split('/')) : null;
    console.log(changesReport(publishedFile, next, launcherFile ? fs.statSync(launcherFile).size : 0));
    writeDescription(out, next.channel, text, signature);
    checkLaidOut(out, next.channel, modulus);
    console.log(`placed in ${path.join(out, next.channel)}; verified: signature, description and every file it names`);
  },
};

function main(argv) {
  const [command, ...rest] = argv;
  if (!command || !(command in commands)) {
    console.error(USAGE);
    return 2;
  }
  try {
    commands[command](parseArgs(command, rest));
    return 0;
  } catch (e) {
    if (e instanceof UsageError) {
      console.error(`velmora-release: ${e.message}`);
      return 2;
    }
    if (!(e instanceof Refusal) && !e.code) throw e;
    console.error(`velmora-release: ${e.message}`);
    return 1;
  }
}

// Run as a program; imported (by the tests), it only lends its rules.
const invokedAs = process.argv[1] ? fs.realpathSync(process.argv[1]) : '';
if (invokedAs === fileURLToPath(import.meta.url)) {
  process.exitCode = main(process.argv.slice(2));
}
