// Whom launchers trust to sign a description placed in an output folder:
// the newest root version published there (or given with --root), walked
// as a launcher walks it, else the built-in release key. The first release
// keeps the built-in key's public modulus in the output, so that every
// later one is checked against it even when --modulus is not given: a
// release signed by another key is one every launcher refuses.
import fs from 'node:fs';
import path from 'node:path';

import { refuse, usageError } from './errors.mjs';
import { writeNew } from './files.mjs';
import { expiryWarning, hasRoots, keyId, trustedRoot } from './roots.mjs';
import { modulusFileText, readModulusFile } from './signing.mjs';

// Public, like the launcher's own copy of it: harmless to upload.
export const keptModulusOf = (out) => path.join(out, 'release-key.modulus');
export const shortId = (modulus) => keyId(modulus).slice(0, 16);

// The root version launchers will reach from the folder, with a word when
// it expires soon. builtin: { modulus, from } or null.
export function walkedRoot(folder, builtin) {
  const root = trustedRoot(folder, builtin?.modulus ?? null, builtin?.from);
  const warning = expiryWarning(root);
  if (warning) console.error(`velmora-release: ${warning.text}`);
  return root;
}

// The built-in key as { modulus, from }: --modulus, else the one kept in
// out (null: none), else the root folder's builtin.modulus; null when none
// is there. Two that disagree are refused: one of them is not what the
// launchers are built with.
export function builtinKey(options, out) {
  const given = options.modulus !== undefined ? readModulusFile(options.modulus) : null;
  const keptFile = out === null ? null : keptModulusOf(out);
  const kept = keptFile !== null && fs.existsSync(keptFile) ? readModulusFile(keptFile) : null;
  if (given && kept && !given.equals(kept)) {
    refuse(`--modulus ${options.modulus} is key ${shortId(given)}, and ${keptFile}, kept by the first release ` +
           `into that folder, is key ${shortId(kept)}: launchers are built with one of them. Remove ${keptFile} ` +
           'only if the launchers players run carry the key of --modulus; nothing was written');
  }
  if (given) return { modulus: given, from: options.modulus };
  if (kept) return { modulus: kept, from: keptFile };
  const inRoots = options.root !== undefined ? path.join(options.root, 'builtin.modulus') : null;
  if (inRoots !== null && fs.existsSync(inRoots)) return { modulus: readModulusFile(inRoots), from: inRoots };
  return null;
}

const rootTrust = (root, where, builtin) => ({
  keys: root.releaseKeys, threshold: root.releaseThreshold, root, builtin,
  what: `root version ${root.version} (${where})`,
});

// What launchers ask of a description placed in out: { keys, threshold,
// root, builtin, what }, the threshold counted in distinct keys; null when
// nothing here tells (no root, no --modulus, no kept modulus).
export function launcherTrust(options, out) {
  const builtin = builtinKey(options, out);
  const published = path.join(out, 'root');
  if (options.root !== undefined) return rootTrust(walkedRoot(options.root, builtin), options.root, builtin);
  if (hasRoots(published)) return rootTrust(walkedRoot(published, builtin), published, builtin);
  if (builtin === null) return null;
  return { keys: [builtin.modulus], threshold: 1, root: null, builtin, what: `the built-in key (${builtin.from})` };
}

// The same, for a command that cannot go on without knowing.
export function requiredTrust(options, out) {
  const trust = launcherTrust(options, out);
  if (trust === null) {
    usageError(`--modulus is required: no root versions are published in ${path.join(out, 'root')} and no ` +
               `modulus is kept in ${keptModulusOf(out)}`);
  }
  return trust;
}

// Refuses keys that launchers would not count up to the threshold, before
// anything is written, naming the keys on both sides.
export function checkKeys(trust, moduli, keyFiles) {
  const counted = trust.keys.filter((t) => moduli.some((m) => m.equals(t))).length;
  if (counted >= trust.threshold) return;
  const given = `${keyFiles.join(', ')} (key ${moduli.map(shortId).join(', ')})`;
  const trusted = trust.keys.map(shortId).join(', ');
  if (trust.root === null) {
    refuse(`${given} is not the release key launchers trust: they are built with key ${trusted}, ${trust.what}, ` +
           'and refuse whatever another key signs ("This update is not signed by us"); nothing was written');
  }
  refuse(`${trust.what} asks for ${trust.threshold} of its release keys (${trusted}), and ${counted} of ${given} ` +
         `${counted === 1 ? 'is' : 'are'} among them: every launcher that trusts it would refuse this release; ` +
         'nothing was written');
}

// The built-in key kept in out once a release is in place, unless one is
// kept there already. The release is out by then: a failure here is worth
// a warning, not a refusal.
export function keepModulus(out, modulus) {
  const file = keptModulusOf(out);
  if (modulus === null || fs.existsSync(file)) return;
  try {
    writeNew(file, modulusFileText(modulus), 0o644);
  } catch (e) {
    if (!e.code) throw e;
    console.error(`velmora-release: warning: ${file} could not be written (${e.code}): releases into ${out} ` +
                  'are checked only with --modulus until it is there');
  }
}
