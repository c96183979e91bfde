#!/usr/bin/env node
// The publisher's release tool: makes the release key, writes and signs the
// release description, and lays a release out ready to upload. Node 18 or
// later, standard library only, so it runs on any build machine as it is.
//
// It refuses anything the launcher would refuse (the same path rule, the
// same parser), so a release it writes is never one that every launcher
// rejects. Run it without arguments for the usage.
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import process from 'node:process';
import { fileURLToPath } from 'node:url';

const USAGE = `usage:
  velmora-release keygen <private.pem> <public.modulus>
  velmora-release pubkey <private.pem> [<public.modulus>]
  velmora-release manifest <folder> --channel C --build B --protocol N --server HOST:PORT
                           [--notes TEXT] [--launcher EXE --launcher-version N]
                           [--source-prefix P] [--out manifest.txt]
  velmora-release sign <manifest.txt> --key <private.pem> [--out manifest.sig]
  velmora-release verify <manifest.txt> <manifest.sig> --modulus <public.modulus>
  velmora-release publish <folder> <out> --key <private.pem> --channel C --build B
                          --protocol N --server HOST:PORT [--notes TEXT]
                          [--launcher EXE --launcher-version N]`;

class Refusal extends Error {}
const refuse = (message) => {
  throw new Refusal(message);
};

// ---- Options ---------------------------------------------------------------

const VALUE_OPTIONS = new Set([
  'channel', 'build', 'protocol', 'server', 'notes', 'launcher', 'launcher-version',
  'source-prefix', 'out', 'key', 'modulus',
]);

function parseArgs(argv) {
  const positional = [];
  const options = {};
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (!arg.startsWith('--')) {
      positional.push(arg);
      continue;
    }
    const name = arg.slice(2);
    if (!VALUE_OPTIONS.has(name)) refuse(`unknown option --${name}`);
    if (i + 1 >= argv.length) refuse(`--${name} needs a value`);
    if (name in options) refuse(`--${name} is given twice`);
    options[name] = argv[++i];
  }
  return { positional, options };
}

function expectPositional(positional, min, max, command) {
  if (positional.length < min || positional.length > max) {
    refuse(`${command}: wrong number of arguments\n${USAGE}`);
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

const MESSAGES = {
  notUnderstood: 'this is not a manifest we understand',
  fileIncomplete: 'a file line is incomplete',
  fileUnsafe: 'a file line names something we will not write',
  launcherMalformed: 'the launcher line is malformed',
  empty: 'the manifest is empty',
  noFiles: 'the manifest lists no files',
  noBuild: 'the manifest has no build name',
};

// The launcher's parser, for the verdict only: null when the description
// is accepted, else the launcher's own message.
export function manifestProblem(bytes) {
  const isWs = (c) => c === ' ' || c === '\t' || c === '\n' || c === '\v' || c === '\f' || c === '\r';
  const trim = (s) => {
    let a = 0;
    let b = s.length;
    while (a < b && isWs(s[a])) a++;
    while (b > a && isWs(s[b - 1])) b--;
    return s.slice(a, b);
  };
  const isHex = (d) => d.length === 64 && /^[0-9a-fA-F]+$/.test(d);
  // Bytes as latin1 keep the path rule on raw bytes.
  const text = Buffer.from(bytes).toString('latin1');
  let header = false;
  let files = 0;
  let build = '';
  for (const raw of text.split('\n')) {
    const line = trim(raw);
    if (line === '' || line[0] === '#') continue;
    const tokens = line.split(/[ \t\n\v\f\r]+/);
    const key = tokens[0];
    if (!header) {
      if (key !== 'velmoramp-manifest' || tokens.length < 2 || parseInt32(tokens[1]) !== 1) {
        return MESSAGES.notUnderstood;
      }
      header = true;
    } else if (key === 'build') {
      build = tokens[1] ?? '';
    } else if (key === 'file') {
      if (tokens.length < 5 || !/^\+?[0-9]+$/.test(tokens[2]) || BigInt(tokens[2]) >= 2n ** 64n) {
        return MESSAGES.fileIncomplete;
      }
      const bin = (s) => Buffer.from(s, 'latin1');
      if (!isSafeRelativePath(bin(tokens[1])) || !isSafeRelativePath(bin(tokens[4])) || !isHex(tokens[3])) {
        return MESSAGES.fileUnsafe;
      }
      files++;
    } else if (key === 'launcher') {
      if (tokens.length < 4 || parseInt32(tokens[1]) === null || !isHex(tokens[2]) ||
          !isSafeRelativePath(Buffer.from(tokens[3], 'latin1'))) {
        return MESSAGES.launcherMalformed;
      }
    }
  }
  if (!header) return MESSAGES.empty;
  if (files === 0) return MESSAGES.noFiles;
  if (build === '') return MESSAGES.noBuild;
  return null;
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

// Written beside and renamed over, so a half-written file never lies there.
function writeReplacing(file, data) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  const temp = `${file}.tmp-${process.pid}`;
  fs.writeFileSync(temp, data);
  fs.renameSync(temp, file);
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
    launcher = { full: options.launcher, version, source, sha256: sha256File(options.launcher) };
  }
  return { channel, build, protocol, server, notes, files, launcher };
}

// ---- The launcher's own release number ----------------------------------------

// The release number built into a launcher executable: the third part of
// the file version in its version resource (1.0.5.0 is release 5). Null
// when the file is no PE image or carries no version resource.
function launcherRelease(image) {
  try {
    if (image.readUInt16LE(0) !== 0x5a4d) return null;  // "MZ"
    const pe = image.readUInt32LE(0x3c);
    if (image.readUInt32LE(pe) !== 0x00004550) return null;  // "PE\0\0"
    const sections = image.readUInt16LE(pe + 6);
    const optSize = image.readUInt16LE(pe + 20);
    const opt = pe + 24;
    const magic = image.readUInt16LE(opt);
    const dirs = opt + (magic === 0x20b ? 112 : 96);
    const resourceRva = image.readUInt32LE(dirs + 2 * 8);
    if (resourceRva === 0) return null;
    const table = opt + optSize;
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

function manifestText(release) {
  const lines = ['velmoramp-manifest 1', `channel ${release.channel}`, `build ${release.build}`,
                 `protocol ${release.protocol}`, `server ${release.server.host} ${release.server.port}`];
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
function placeFile(from, to, sha256) {
  if (fs.existsSync(to)) {
    if (sha256File(to) !== sha256) refuse(`${to} is already published with other content; use a new build name`);
    return;
  }
  fs.mkdirSync(path.dirname(to), { recursive: true });
  fs.copyFileSync(from, `${to}.tmp-${process.pid}`);
  if (sha256File(`${to}.tmp-${process.pid}`) !== sha256) {
    fs.rmSync(`${to}.tmp-${process.pid}`);
    refuse(`${from} changed while it was being published`);
  }
  fs.renameSync(`${to}.tmp-${process.pid}`, to);
}

// ---- Commands ------------------------------------------------------------------

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
    const text = manifestText(releaseFromOptions(positional[0], options));
    if (options.out) writeReplacing(options.out, text);
    else process.stdout.write(text);
  },

  sign({ positional, options }) {
    expectPositional(positional, 1, 1, 'sign');
    const key = readPrivateKey(required(options, 'key'));
    const manifestFile = positional[0];
    const signature = signBytes(fs.readFileSync(manifestFile), key);
    const out = options.out ?? path.join(path.dirname(manifestFile), 'manifest.sig');
    writeReplacing(out, signature);
    console.log(`signed: ${out}`);
  },

  verify({ positional, options }) {
    expectPositional(positional, 2, 2, 'verify');
    const modulus = readModulusFile(required(options, 'modulus'));
    const text = fs.readFileSync(positional[0]);
    if (!verifyBytes(text, fs.readFileSync(positional[1]), modulus)) refuse('SIGNATURE REJECTED');
    const problem = manifestProblem(text);
    if (problem) refuse(`signature ok, but the manifest is malformed: ${problem}`);
    console.log('signature ok');
  },

  publish({ positional, options }) {
    expectPositional(positional, 2, 2, 'publish');
    if (options['source-prefix'] !== undefined) refuse('publish lays files out itself: no --source-prefix');
    const [folder, out] = positional;
    const key = readPrivateKey(required(options, 'key'));
    const release = releaseFromOptions(folder, options);
    if (release.channel === 'files' || release.channel === 'launcher') {
      refuse(`the channel cannot be named "${release.channel}": that folder holds the files`);
    }
    const text = manifestText(release);
    const signature = signBytes(text, key);
    for (const f of release.files) placeFile(f.full, path.join(out, ...f.source.split('/')), f.sha256);
    if (release.launcher) {
      const l = release.launcher;
      placeFile(l.full, path.join(out, ...l.source.split('/')), l.sha256);
    }
    writeReplacing(path.join(out, release.channel, 'manifest.sig'), signature);
    writeReplacing(path.join(out, release.channel, 'manifest.txt'), text);
    console.log(`published ${release.channel} build ${release.build}: ${release.files.length} file(s)` +
                `${release.launcher ? ` and launcher ${release.launcher.version}` : ''} in ${out}`);
  },
};

function main(argv) {
  const [command, ...rest] = argv;
  if (!command || !(command in commands)) {
    console.error(USAGE);
    return 2;
  }
  try {
    commands[command](parseArgs(rest));
    return 0;
  } catch (e) {
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
