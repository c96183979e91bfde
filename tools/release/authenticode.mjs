// The launcher executable as a PE image (its release number, where its
// signature lies, the program without it) and its Authenticode signature,
// made and checked by osslsigncode.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';

import { Refusal, refuse } from './errors.mjs';
import { readFileOrRefuse } from './files.mjs';

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
export function launcherRelease(image) {
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
export function peLayout(image) {
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

export function isSigned(image) {
  const layout = peLayout(image);
  return layout !== null && layout.certSize !== 0;
}

// The image as it is before any signature: a signer pads the file with
// zeros to a multiple of 8 bytes, appends the signature, and writes its
// place and a new checksum into the header. Null for no PE image.
export function programOf(image) {
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
export function sameProgram(a, b) {
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

export function checkReadable(file, what) {
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

export function codeSigningFrom(cert, key, timestamp, certOption, keyOption) {
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
export function signExe(input, output, signing) {
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
export function checkExeSignature(exe, ca) {
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
