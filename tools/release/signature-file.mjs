// The signature file beside a description, as the launcher reads it: one
// binary signature of 256 bytes (the form from before roots, counted once),
// or "sig <key id> <signature>" lines, to which each key holder adds theirs
// in turn on the machine that holds their key.
import { refuse } from './errors.mjs';
import { keyId, MAX_ROOT_BYTES } from './roots.mjs';
import { modulusOf, signBytes, verifyBytes } from './signing.mjs';

export const isBinarySignature = (bytes) => bytes.length === 256;

// The lines of a file in the line form, { id, hex } each. Anything else in
// it is refused rather than carried along: the launcher would pass over it,
// and the publisher would not know which signatures count.
function readLines(bytes, file) {
  const lines = [];
  bytes.toString('latin1').split('\n').forEach((raw, at) => {
    const line = raw.trim();
    if (line === '') return;
    const m = /^sig\s+([0-9a-fA-F]{64})\s+([0-9a-fA-F]{512})$/.exec(line);
    if (!m) refuse(`${file}:${at + 1}: not a "sig <key id> <512 hex digits>" line; not adding to the file`);
    lines.push({ id: m[1].toLowerCase(), hex: m[2].toLowerCase() });
  });
  return lines;
}

// The binary signature as its line, when one of the known keys verifies it.
function binaryAsLine(text, signature, known, file) {
  const by = known.find((m) => verifyBytes(text, signature, m));
  if (!by) {
    refuse(`${file} holds a binary signature that none of the keys known here verifies over this description: ` +
           'give the modulus of the key that made it (--modulus, or --root with that key), or remove the file');
  }
  return { id: keyId(by), hex: signature.toString('hex') };
}

// The signature file with a line by each of keys: a line of the same key
// replaced, not doubled, and the others kept. Known keys check the lines
// kept; one that signs other bytes (an older description's, left in the
// file) is refused, as it would leave this description short of signers.
export function addSignatureLines(text, existing, keys, known, file) {
  const ours = keys.map((k) => keyId(modulusOf(k)));
  let lines = [];
  if (existing !== null) {
    lines = isBinarySignature(existing) ? [binaryAsLine(text, existing, known, file)] : readLines(existing, file);
  }
  const kept = lines.filter((l) => !ours.includes(l.id));
  for (const l of kept) {
    const key = known.find((m) => keyId(m) === l.id);
    if (key && !verifyBytes(text, Buffer.from(l.hex, 'hex'), key)) {
      refuse(`${file}: the line of key ${l.id.slice(0, 16)} does not sign this description ` +
             '(an older one\'s?); remove it, or sign into a new file with --out');
    }
  }
  const added = keys.map((k, i) => ({ id: ours[i], hex: signBytes(text, k).toString('hex') }));
  const bytes = Buffer.from([...kept, ...added].map((l) => `sig ${l.id} ${l.hex}\n`).join(''), 'latin1');
  if (bytes.length > MAX_ROOT_BYTES) {
    refuse(`${file} would be over 64 KiB: the launcher reads no signature file that large`);
  }
  return { bytes, unchecked: kept.filter((l) => !known.some((m) => keyId(m) === l.id)).length };
}
