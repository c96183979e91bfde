// The trust root: root versions (who may sign the next version, who may sign
// descriptions, and how many of them must), the signature lines that sign a
// root version or a description, and the root folder a publisher keeps.
// Read as the launcher reads them.
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';

import { parseExpiry } from './description.mjs';
import { refuse } from './errors.mjs';
import { writeNew, writeReplacing } from './files.mjs';
import { modulusOf, readModulusFile, verifyBytes } from './signing.mjs';

export const MAX_ROOT_BYTES = 64 * 1024;

export const keyId = (modulus) => crypto.createHash('sha256').update(modulus).digest('hex');

// One "sig" line per key, in the order given.
export function signatureLines(text, keys) {
  return Buffer.from(keys.map((key) => {
    const sig = crypto.sign('sha256', text, { key, padding: crypto.constants.RSA_PKCS1_PADDING });
    return `sig ${keyId(modulusOf(key))} ${sig.toString('hex')}\n`;
  }).join(''), 'utf8');
}

// How many distinct keys of moduli signed text: "sig" lines, or one binary
// signature of 256 bytes.
export function countSigners(text, signatures, moduli) {
  if (signatures.length === 256) return moduli.some((m) => verifyBytes(text, signatures, m)) ? 1 : 0;
  const byId = new Map(moduli.map((m) => [keyId(m), m]));
  const counted = new Set();
  for (const line of signatures.toString('latin1').split('\n')) {
    const t = line.trim().split(/\s+/);
    if (t.length < 3 || t[0] !== 'sig' || !/^[0-9a-fA-F]{512}$/.test(t[2])) continue;
    const id = t[1].toLowerCase();
    if (byId.has(id) && !counted.has(id) && verifyBytes(text, Buffer.from(t[2], 'hex'), byId.get(id))) counted.add(id);
  }
  return counted.size;
}

// A root version's text, parsed as the launcher parses it; null for one the
// launcher refuses.
export function readRoot(bytes) {
  if (bytes.length > MAX_ROOT_BYTES) return null;
  const root = { version: null, expires: null, rootKeys: [], rootThreshold: 0, releaseKeys: [], releaseThreshold: 0 };
  let header = false;
  const addKey = (list, hex) => {
    if (!/^[0-9a-fA-F]{512}$/.test(hex ?? '') || parseInt(hex.slice(0, 2), 16) < 0x80) return false;
    const key = Buffer.from(hex, 'hex');
    if (!list.some((k) => k.equals(key))) list.push(key);
    return true;
  };
  for (const raw of bytes.toString('latin1').split('\n')) {
    const line = raw.trim();
    if (line === '' || line.startsWith('#')) continue;
    const t = line.split(/\s+/);
    if (!header) {
      if (t[0] !== 'velmoramp-root' || t[1] !== '1') return null;
      header = true;
      continue;
    }
    let ok = true;
    if (t[0] === 'version') ok = /^[1-9][0-9]{0,18}$/.test(t[1] ?? '') && ((root.version = BigInt(t[1])), true);
    else if (t[0] === 'expires') ok = /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/.test(t[1] ?? '') && ((root.expires = t[1]), true);
    else if (t[0] === 'root-key') ok = addKey(root.rootKeys, t[1]);
    else if (t[0] === 'release-key') ok = addKey(root.releaseKeys, t[1]);
    else if (t[0] === 'root-threshold') ok = /^[1-9][0-9]{0,8}$/.test(t[1] ?? '') && ((root.rootThreshold = Number(t[1])), true);
    else if (t[0] === 'release-threshold') ok = /^[1-9][0-9]{0,8}$/.test(t[1] ?? '') && ((root.releaseThreshold = Number(t[1])), true);
    if (!ok) return null;
  }
  if (!header || root.version === null) return null;
  if (root.rootThreshold < 1 || root.rootThreshold > root.rootKeys.length ||
      root.releaseThreshold < 1 || root.releaseThreshold > root.releaseKeys.length) return null;
  return root;
}

export function rootText(root) {
  const lines = ['velmoramp-root 1', `version ${root.version}`];
  if (root.expires) lines.push(`expires ${root.expires}`);
  for (const k of root.rootKeys) lines.push(`root-key ${k.toString('hex')}`);
  lines.push(`root-threshold ${root.rootThreshold}`);
  for (const k of root.releaseKeys) lines.push(`release-key ${k.toString('hex')}`);
  lines.push(`release-threshold ${root.releaseThreshold}`);
  return Buffer.from(lines.join('\n') + '\n', 'utf8');
}

const builtinRoot = (key) => ({ version: 1n, expires: null, rootKeys: [key], rootThreshold: 1, releaseKeys: [key],
                                releaseThreshold: 1 });

// The versions in a root folder, oldest first, each with its text and
// signatures; version 1 is the built-in key (builtin.modulus, kept there).
export function rootChain(folder) {
  const versions = [];
  const builtin = path.join(folder, 'builtin.modulus');
  if (fs.existsSync(builtin)) {
    versions.push({ version: 1n, root: builtinRoot(readModulusFile(builtin)) });
  }
  for (let n = 2n; ; n++) {
    const file = path.join(folder, `${n}.root.txt`);
    if (!fs.existsSync(file)) break;
    const text = fs.readFileSync(file);
    const root = readRoot(text);
    if (root === null) refuse(`${file}: not a root version the launcher reads`);
    versions.push({ version: n, root, text, signatures: fs.readFileSync(path.join(folder, `${n}.root.sig`)) });
  }
  return versions;
}

const keysOf = (files) => [].concat(files ?? []).map((f) => readModulusFile(f));
const thresholdOf = (text, name) => {
  if (!/^[1-9][0-9]{0,8}$/.test(text ?? '')) refuse(`--${name} must be a whole number, 1 or more`);
  return Number(text);
};

// root new: the next version, signed by every --sign-with key, refused
// unless those signatures meet the last version's root threshold and its own.
export function newRoot(folder, options, signers, expires) {
  fs.mkdirSync(folder, { recursive: true });
  if (options.builtin !== undefined) {
    const builtin = path.join(folder, 'builtin.modulus');
    const key = readModulusFile(options.builtin);
    if (fs.existsSync(builtin) && !readModulusFile(builtin).equals(key)) {
      refuse(`${builtin} names another built-in key`);
    }
    if (!fs.existsSync(builtin)) fs.copyFileSync(options.builtin, builtin);
  }
  const chain = rootChain(folder);
  if (chain.length === 0) refuse('the first root version needs the built-in key: give --builtin <public.modulus>');
  const last = chain[chain.length - 1].root;
  const root = { version: last.version + 1n, expires, rootKeys: [], releaseKeys: [],
                 rootThreshold: thresholdOf(options['root-threshold'], 'root-threshold'),
                 releaseThreshold: thresholdOf(options['release-threshold'], 'release-threshold') };
  for (const k of keysOf(options['root-key'])) if (!root.rootKeys.some((x) => x.equals(k))) root.rootKeys.push(k);
  for (const k of keysOf(options['release-key'])) if (!root.releaseKeys.some((x) => x.equals(k))) root.releaseKeys.push(k);
  if (root.rootThreshold > root.rootKeys.length || root.releaseThreshold > root.releaseKeys.length) {
    refuse('a threshold is higher than the number of distinct keys of its kind');
  }
  const text = rootText(root);
  const signatures = signatureLines(text, signers);
  const old = countSigners(text, signatures, last.rootKeys);
  const own = countSigners(text, signatures, root.rootKeys);
  if (old < last.rootThreshold || own < root.rootThreshold) {
    refuse(`version ${root.version} would not be trusted: signed by ${old} of version ${last.version}'s root keys ` +
           `(${last.rootThreshold} needed) and ${own} of its own (${root.rootThreshold} needed)`);
  }
  writeNew(path.join(folder, `${root.version}.root.sig`), signatures);
  writeNew(path.join(folder, `${root.version}.root.txt`), text);
  return root;
}

export function showRoots(folder) {
  const chain = rootChain(folder);
  // An empty answer would read as "nothing to worry about" in a script.
  if (chain.length === 0) refuse(`${folder} holds no root versions (neither builtin.modulus nor 2.root.txt)`);
  const lines = [];
  for (const { version, root } of chain) {
    const ids = (keys) => keys.map((k) => keyId(k).slice(0, 16)).join(' ');
    lines.push(`version ${version}${version === 1n ? ' (built in)' : ''}${root.expires ? `, expires ${root.expires}` : ''}`,
               `  root keys ${root.rootThreshold} of ${root.rootKeys.length}: ${ids(root.rootKeys)}`,
               `  release keys ${root.releaseThreshold} of ${root.releaseKeys.length}: ${ids(root.releaseKeys)}`);
  }
  return lines.join('\n');
}

// The release keys of the newest version in a root folder, with its
// threshold: what the launcher will ask of a description.
export function newestRoot(folder) {
  const chain = rootChain(folder);
  if (chain.length === 0) refuse(`${folder} holds no root versions`);
  return chain[chain.length - 1].root;
}

export const hasRoots = (folder) => fs.existsSync(path.join(folder, '2.root.txt'));

// The version a launcher's walk ends at, each step checked as the launcher
// checks it: from the built-in key when it is known (builtin.modulus in the
// folder, or given), else from the first version there, which must then be
// signed by its own root keys. A break or an expired end is refused: the
// launcher would stop short of the keys the publisher means, or stop updating.
// builtinFrom: where the built-in key given came from, for the refusal.
export function trustedRoot(folder, builtin = null, builtinFrom = '--modulus') {
  const chain = rootChain(folder);
  if (chain.length === 0) refuse(`${folder} holds no root versions`);
  if (chain[0].version === 1n && builtin !== null && !chain[0].root.rootKeys[0].equals(builtin)) {
    const id = (m) => keyId(m).slice(0, 16);
    refuse(`${path.join(folder, 'builtin.modulus')} is key ${id(chain[0].root.rootKeys[0])}, not the built-in key ` +
           `${id(builtin)} of ${builtinFrom}`);
  }
  let trusted = chain[0].version === 1n ? chain[0].root : builtin !== null ? builtinRoot(builtin) : null;
  for (const { version, root, text, signatures } of chain) {
    if (version === 1n) continue;
    if (root.version !== version) {
      refuse(`${path.join(folder, `${version}.root.txt`)} says it is version ${root.version}`);
    }
    const own = countSigners(text, signatures, root.rootKeys);
    const before = trusted && { signers: countSigners(text, signatures, trusted.rootKeys), of: trusted };
    if (own < root.rootThreshold || (before && before.signers < before.of.rootThreshold)) {
      const old = before ? `${before.signers} of version ${before.of.version}'s root keys ` +
                           `(${before.of.rootThreshold} needed) and ` : '';
      refuse(`root version ${version} in ${folder} is not trusted: signed by ${old}${own} of its own ` +
             `(${root.rootThreshold} needed); launchers would stop before it`);
    }
    trusted = root;
  }
  const warning = expiryWarning(trusted);
  if (warning?.passed) refuse(warning.text);
  return trusted;
}

const DAY_MS = 24 * 60 * 60 * 1000;
// Warned of this long before: a new version is signed by root keys kept
// offline and apart, which takes arranging.
const EXPIRY_WARNING_DAYS = 30;

// What the newest version's expiry means for the publisher, or null when
// it is far off or there is none.
export function expiryWarning(root) {
  if (!root.expires) return null;
  const left = parseExpiry(root.expires) - Date.now();
  const days = (Math.abs(left) / DAY_MS).toFixed(1);
  if (left <= 0) {
    return { passed: true,
             text: `root version ${root.version} EXPIRED at ${root.expires}, ${days} days ago: every launcher that ` +
                   'trusts it refuses to update until a newer version is published (root new)' };
  }
  if (left >= EXPIRY_WARNING_DAYS * DAY_MS) return null;
  return { passed: false,
           text: `warning: root version ${root.version} expires at ${root.expires}, in ${days} days: publish a newer ` +
                 'version (root new) before then, or every launcher stops updating' };
}

// A version already published in <out>/root is one launchers may keep: it
// must be the same text in the folder given, and the folder may not stop
// short of the versions published.
export function checkRootsFit(folder, out) {
  const chain = rootChain(folder);
  const newest = chain.length === 0 ? 0n : chain[chain.length - 1].version;
  const target = path.join(out, 'root');
  for (const { version, text } of hasRoots(target) ? rootChain(target) : []) {
    const ours = chain.find((v) => v.version === version);
    if (!ours) {
      refuse(`${target} holds root version ${version}, and ${folder} only up to ${newest}: ` +
             `give the root folder that holds version ${version}`);
    }
    if (!ours.text.equals(text)) {
      refuse(`${path.join(target, `${version}.root.txt`)} is another version ${version} than the one in ${folder}: ` +
             'launchers may keep the published one, so it cannot be replaced');
    }
  }
}

// Copies the root versions to <out>/root/, beside the channels, each
// signature before its text, as the launcher keeps them.
export function copyRoots(folder, out) {
  const target = path.join(out, 'root');
  try {
    for (const { version, text, signatures } of rootChain(folder)) {
      if (version === 1n) continue;
      writeReplacing(path.join(target, `${version}.root.sig`), signatures);
      writeReplacing(path.join(target, `${version}.root.txt`), text);
    }
  } catch (e) {
    if (!e.code) throw e;
    refuse(`${target}: the root versions could not be laid out (${e.code}); no description was written`);
  }
}
