// The release key and the description's signature: RSA-2048 with exponent
// 65537, PKCS #1 v1.5 over SHA-256, the only form the launcher takes.
import crypto from 'node:crypto';
import fs from 'node:fs';

import { manifestProblem } from './description.mjs';
import { refuse } from './errors.mjs';

export function modulusOf(key) {
  const jwk = crypto.createPublicKey(key).export({ format: 'jwk' });
  if (jwk.kty !== 'RSA') refuse('the key is not an RSA key');
  const n = Buffer.from(jwk.n, 'base64url');
  const e = Buffer.from(jwk.e, 'base64url');
  if (n.length !== 256 || n[0] < 0x80) refuse('the key is not RSA-2048: the launcher takes only 2048-bit keys');
  if (e.toString('hex') !== '010001') refuse('the key\'s public exponent is not 65537');
  return n;
}

// The form the launcher build takes: 512 lower-case hex digits, lines of 64.
export function modulusFileText(modulus) {
  const hex = modulus.toString('hex');
  const lines = hex.match(/.{64}/g);
  return '# Public modulus of the Velmora release key (RSA-2048, exponent 65537).\n' +
         '# Build the launcher with -DVELMORA_RELEASE_KEY=<this file>.\n' + lines.join('\n') + '\n';
}

export function readModulusFile(file) {
  const hex = fs.readFileSync(file, 'utf8').replace(/#[^\n]*/g, '').replace(/\s+/g, '').toLowerCase();
  if (!/^[0-9a-f]{512}$/.test(hex)) refuse(`${file}: expected the 2048-bit modulus as 512 hex digits`);
  return Buffer.from(hex, 'hex');
}

export function readPrivateKey(file) {
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

export function verifyBytes(text, signature, modulus) {
  if (signature.length !== 256) return false;
  return crypto.verify('sha256', text, { key: publicKeyFromModulus(modulus),
                                         padding: crypto.constants.RSA_PKCS1_PADDING }, signature);
}

export function signBytes(text, key) {
  const problem = manifestProblem(text);
  if (problem) refuse(`every launcher would reject this manifest: ${problem}`);
  const signature = crypto.sign('sha256', text, { key, padding: crypto.constants.RSA_PKCS1_PADDING });
  if (signature.length !== 256 || !verifyBytes(text, signature, modulusOf(key))) {
    refuse('the signature does not verify with the key that made it');
  }
  return signature;
}
