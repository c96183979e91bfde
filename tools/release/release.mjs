// A release from a folder and the publisher's options: every value checked
// as the launcher would read it and as Windows would hold it, the files and
// the launcher with their digests, the launcher signed, and the description
// numbered and written, all before anything is published.
import fs from 'node:fs';
import path from 'node:path';

import { announceFromOptions } from './announce.mjs';
import { launcherRelease, codeSigningFrom, isSigned, sameProgram, signExe } from './authenticode.mjs';
import { chunkMinSizeFromOptions, ChunkStore, DEFAULT_CHUNK_MIN_SIZE } from './chunks.mjs';
import { required } from './command-line.mjs';
import { isSafeRelativePath, manifestText, parseInt32 } from './description.mjs';
import { refuse } from './errors.mjs';
import { listFiles, scratchFolder, sha256File } from './files.mjs';
import { expiryFromOptions, nextSequence } from './layout.mjs';

// ---- The values of a release -------------------------------------------------

const WHITESPACE = new Set([0x20, 0x09, 0x0a, 0x0b, 0x0c, 0x0d]);

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
export function checkSegment(what, value) {
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

// ---- The release ---------------------------------------------------------------

export function releaseFromOptions(folder, options) {
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
  return { channel, build, protocol, server, notes, files, launcher, mirrors: mirrorsFromOptions(options) };
}

// --mirror URL: base URLs that serve the same files, named in the signed
// description so that launchers can fail over to them. https only: the
// launcher passes over any other.
function mirrorsFromOptions(options) {
  return (options.mirror ?? []).map((url) => {
    if (!/^https:\/\/[!-~]+$/i.test(url)) refuse(`--mirror ${url}: a mirror is an https URL without blanks`);
    return url.replace(/\/+$/, '');
  });
}

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

// Everything a release is: the checked files, the signed launcher, the
// chunks of its big files and the description with its sequence (and its
// hour, when it is announced with --at). Nothing is written but the chunks
// (with writeChunks), which no description names before this one.
export async function prepareRelease(folder, out, options, { writeChunks }) {
  const minSize = chunkMinSizeFromOptions(options);
  const release = releaseFromOptions(folder, options);
  if (['files', 'launcher', 'chunks'].includes(release.channel)) {
    refuse(`the channel cannot be named "${release.channel}": that folder holds the files`);
  }
  const signing = codeSigningFrom(options['code-signing-cert'], options['code-signing-key'], options.timestamp,
                                  'code-signing-cert', 'code-signing-key');
  if (signing && !release.launcher) refuse('--code-signing-cert signs the launcher: give --launcher too');
  const publishedFile = path.join(out, release.channel, 'manifest.txt');
  release.expires = expiryFromOptions(options);
  release.notBefore = announceFromOptions(options, release.expires);
  release.sequence = nextSequence(options, publishedFile);
  const notes = [];
  if (signing) signLauncher(release, out, signing, notes);
  const chunks = new ChunkStore(out, release.channel, { write: writeChunks });
  for (const f of release.files) {
    if (minSize !== null && f.size >= minSize) f.chunks = await chunks.addFile(f);
  }
  if (!options['no-pack']) {
    release.pack = await chunks.addPack(release.files.filter((f) => f.size < (minSize ?? DEFAULT_CHUNK_MIN_SIZE)));
  }
  release.text = manifestText(release);
  return { release, publishedFile, notes, chunks };
}
