// The published layout on disk: the files at their download paths, the
// description and its signature in the channel's folder (or, announced, in
// its next/ folder), checked as a launcher will read them; and the sequence
// and expiry a new description takes from the one published.
import fs from 'node:fs';
import path from 'node:path';
import process from 'node:process';

import { announcedOf, checkChunks, checkPack, keepReplaced } from './chunks.mjs';
import { formatExpiry, parseExpiry, parseSequence, readManifest, SEQUENCE_MAX } from './description.mjs';
import { refuse } from './errors.mjs';
import { countSigners } from './roots.mjs';
import { readFileOrRefuse, sha256File, tempNameOf, writeFlushed } from './files.mjs';

// ---- Sequence and expiry -------------------------------------------------------

// The sequence of the description published at file (null: none is): 0n
// when there is none or it carries none; null when the launcher would refuse it.
export function publishedSequence(file) {
  if (file === null || !fs.existsSync(file)) return { sequence: 0n, problem: null };
  const published = readManifest(readFileOrRefuse(file, 'the published description'));
  if (published.problem) return { sequence: null, problem: published.problem };
  return { sequence: published.sequence ?? 0n, problem: null };
}

// Where nothing is published beside the output, the number players have
// is unknown here: a guessed 1 would be refused by every launcher that
// installed a higher one, so the publisher must say.
function noDescriptionToFollow(options, publishedFile) {
  const where = publishedFile === null
    ? 'manifest to standard output has no published description to follow (with --out it follows the one there)'
    : `channel ${options.channel} has no published description to follow (${publishedFile} is not there)`;
  refuse(`${where}. If this is the channel's first release, give --sequence 1; otherwise give a sequence ` +
         'above the one players have (velmora-release verify shows the sequence of the live description): ' +
         'a launcher refuses any release numbered below one it installed');
}

// The sequence for a new description: one more than the published one, or
// --sequence, which must be above it unless --force says otherwise.
export function nextSequence(options, publishedFile) {
  const published = publishedSequence(publishedFile);
  if (options.sequence === undefined) {
    if (options.force) refuse('--force goes with --sequence');
    if (publishedFile === null || !fs.existsSync(publishedFile)) noDescriptionToFollow(options, publishedFile);
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
    const force = options.at ? '' : ' (--force publishes it all the same)';
    refuse(`--sequence ${sequence} is not above ${published.sequence}, the sequence of ${publishedFile}: ` +
           `launchers that have seen that one refuse this one${force}`);
  }
  return sequence;
}

const DAY_MS = 24 * 60 * 60 * 1000;

// --expires-in DAYS: that many whole days from now, to the second.
export function expiryFromOptions(options) {
  if (options['expires-in'] === undefined) return null;
  const text = options['expires-in'];
  if (!/^[1-9][0-9]{0,6}$/.test(text)) refuse('--expires-in must be a whole number of days, 1 or more');
  const at = Math.floor(Date.now() / 1000) * 1000 + Number(text) * DAY_MS;
  if (at > Date.UTC(9999, 11, 31, 23, 59, 59)) refuse(`--expires-in ${text} lies beyond the year 9999`);
  return formatExpiry(at);
}

// A root version lasts a year unless --expires-in says otherwise, and
// never expires only when that is asked for by name.
const ROOT_EXPIRY_DAYS = '365';
export function rootExpiryFromOptions(options) {
  const given = options['expires-in'] ?? ROOT_EXPIRY_DAYS;
  if (given === 'never') return null;
  if (!/^[1-9][0-9]*$/.test(given)) refuse('--expires-in must be a whole number of days, 1 or more, or never');
  return expiryFromOptions({ 'expires-in': given });
}

export function expiryLine(expires) {
  if (!expires) return { line: 'expires: never', passed: false };
  const left = parseExpiry(expires) - Date.now();
  const days = (Math.abs(left) / DAY_MS).toFixed(1);
  if (left <= 0) return { line: `expires: ${expires} (passed ${days} days ago)`, passed: true };
  return { line: `expires: ${expires} (in ${days} days)`, passed: false };
}

// ---- The published layout ------------------------------------------------------

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

// The files and the launcher at their download paths. Harmless before the
// description: nothing names them until it is replaced.
export function layOut(out, release) {
  for (const f of release.files) placeFile(f.full, path.join(out, ...f.source.split('/')), f.sha256);
  if (release.launcher) {
    const l = release.launcher;
    placeFile(l.full, path.join(out, ...l.source.split('/')), l.sha256,
              'a launcher with other bytes needs a new release number (or the same code-signing options)');
  }
}

// Keeps the signature at file under the name aside, without taking it
// away: a hard link, or a flushed copy where links are not to be had.
// False when there is none.
function keepAside(file, aside) {
  fs.rmSync(aside, { force: true });
  try {
    fs.linkSync(file, aside);
  } catch (e) {
    if (e.code === 'ENOENT') return false;
    writeFlushed(aside, fs.readFileSync(file));
  }
  return true;
}

// The pair is written whole under temporary names first, then the
// signature is moved into place and the description last: a launcher that
// meets a new half beside an old one fetches the pair again about 2 s
// later. Should the description's move fail, the old signature goes back
// (kept aside until then), so players never keep a pair that does not match.
// The description replaced is kept under history/ once the new one is in
// place (prune counts back by them). An announced pair goes to next/ in
// the same order; one it replaces was never current, so none is kept.
export function writeDescription(out, channel, text, signature, announced = false) {
  const dir = announced ? announcedOf(out, channel) : path.join(out, channel);
  const sigFile = path.join(dir, 'manifest.sig');
  const textFile = path.join(dir, 'manifest.txt');
  const [sigTemp, textTemp] = [tempNameOf(sigFile), tempNameOf(textFile)];
  const aside = `${sigFile}.old-${process.pid}`;
  const tidy = (...files) => files.forEach((f) => fs.rmSync(f, { force: true }));
  let hadSignature;
  let replaced = null;
  try {
    if (fs.existsSync(textFile)) replaced = fs.readFileSync(textFile);
    fs.mkdirSync(dir, { recursive: true });
    writeFlushed(sigTemp, signature);
    writeFlushed(textTemp, text);
    hadSignature = keepAside(sigFile, aside);
    fs.renameSync(sigTemp, sigFile);
  } catch (e) {
    tidy(sigTemp, textTemp, aside);
    refuse(`${dir}: the new pair could not be written and its signature moved into place ` +
           `(${e.code ?? e.message}); the published pair is unchanged`);
  }
  try {
    fs.renameSync(textTemp, textFile);
  } catch (e) {
    const failed = `${textFile}: the new description could not be moved into place (${e.code ?? e.message})`;
    tidy(textTemp);
    try {
      if (hadSignature) fs.renameSync(aside, sigFile);
      else fs.rmSync(sigFile, { force: true });
    } catch (back) {
      refuse(`${failed}, and the old signature could not be put back (${back.code ?? back.message}): ` +
             'every launcher refuses the pair now. ' +
             (hadSignature ? `Move ${aside} to ${sigFile} by hand.` : `Remove ${sigFile} by hand.`));
    }
    refuse(`${failed}; the ${hadSignature ? 'old signature is back beside the old description' :
           'new signature is taken away again'}, so players still get the published release, whole`);
  }
  tidy(aside);
  if (replaced !== null && !announced) keepReplaced(out, channel, replaced);
}

// Every file a description names is in out as it says, by size and digest.
export function checkNamedFiles(out, description) {
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
  for (const f of description.files) if (f.chunks) checkChunks(out, f);
  if (description.pack) checkPack(out, description);
}

// The release as a launcher will read it from out: the signature over the
// description, the launcher's parser, and every file it names.
// trust: the keys whose signatures count and how many must have signed
// (distinct keys; a binary signature counts once); null checks none.
// announced: the pair in next/.
export function checkLaidOut(out, channel, trust, announced = false) {
  const dir = announced ? announcedOf(out, channel) : path.join(out, channel);
  const text = readFileOrRefuse(path.join(dir, 'manifest.txt'), 'the description');
  if (trust !== null) {
    const signature = readFileOrRefuse(path.join(dir, 'manifest.sig'), 'the signature');
    if (countSigners(text, signature, trust.keys) < trust.threshold) {
      refuse(`${dir}: the published signature does not verify`);
    }
  }
  const description = readManifest(text);
  if (description.problem) refuse(`${dir}: every launcher would reject the published description: ${description.problem}`);
  if (description.channel !== channel) refuse(`${dir}: the published description names channel "${description.channel}"`);
  checkNamedFiles(out, description);
  return description;
}

// The channels in out whose published (or announced) description the
// release keys of root would not trust: the ones a new root version laid
// out now would take from players until each is signed again.
export function untrustedChannels(out, root) {
  const names = fs.existsSync(out) ? fs.readdirSync(out) : [];
  const pairs = names.flatMap((channel) => [{ name: channel, dir: path.join(out, channel) },
                                            { name: `${channel} (announced)`, dir: announcedOf(out, channel) }]);
  return pairs.filter(({ dir }) => fs.existsSync(path.join(dir, 'manifest.txt'))).filter(({ dir }) => {
    const text = fs.readFileSync(path.join(dir, 'manifest.txt'));
    const sigFile = path.join(dir, 'manifest.sig');
    const signature = fs.existsSync(sigFile) ? fs.readFileSync(sigFile) : Buffer.alloc(0);
    return countSigners(text, signature, root.releaseKeys) < root.releaseThreshold;
  }).map(({ name }) => name).sort();
}
