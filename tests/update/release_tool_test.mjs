// The publisher's release tool, run as a publisher runs it: what it writes
// (checked with openssl and the build's own key step) and what it refuses.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import util from 'node:util';

import { countSigners, readManifest, readRoot } from '../../tools/velmora-release.mjs';

const repo = process.env.VELMORA_SOURCE_DIR ?? path.resolve(new URL('../..', import.meta.url).pathname);
const tool = path.join(repo, 'tools', 'velmora-release.mjs');
const testKey = path.join(repo, 'tests', 'support', 'keys', 'test-release-key.TEST-ONLY.pem');
const testModulus = path.join(repo, 'tests', 'support', 'keys', 'test-release-key.TEST-ONLY.modulus');

// Launcher builds with their version resources: this release's and a
// stand-in for the next one (built with the tests).
const thisLauncher = process.env.VELMORA_EXE;
const nextLauncher = process.env.VELMORA_NEXT_LAUNCHER;
const hasBuilds = Boolean(thisLauncher && nextLauncher && fs.existsSync(thisLauncher) && fs.existsSync(nextLauncher));
const noBuilds = hasBuilds ? false : 'needs the launcher builds (VELMORA_EXE, VELMORA_NEXT_LAUNCHER) from CTest';
// The release number a launcher build carries: the third part of its file
// version, read here the simple way (the tool has its own reader).
function releaseOf(file) {
  const bytes = fs.readFileSync(file);
  const at = bytes.indexOf(Buffer.from([0xbd, 0x04, 0xef, 0xfe]));
  return bytes.readUInt32LE(at + 12) >>> 16;
}

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-release-test-'));
process.on('exit', () => fs.rmSync(scratch, { recursive: true, force: true }));
let counter = 0;
const freshDir = (tag) => {
  const dir = path.join(scratch, `${tag}-${counter++}`);
  fs.mkdirSync(dir, { recursive: true });
  return dir;
};

function run(...args) {
  // A bound against a hang only: making a key can take a minute on a loaded machine.
  const r = spawnSync(process.execPath, [tool, ...args], { encoding: 'utf8', timeout: 240000 });
  return { code: r.status, out: r.stdout, err: r.stderr };
}

// The same without blocking this process, which may be serving the tool.
function runAsync(...args) {
  return new Promise((resolve) => {
    const child = spawn(process.execPath, [tool, ...args], { timeout: 60000 });
    let out = '';
    let err = '';
    child.stdout.on('data', (d) => (out += d));
    child.stderr.on('data', (d) => (err += d));
    child.on('close', (code) => resolve({ code, out, err }));
  });
}

function openssl(...args) {
  return spawnSync('openssl', args, { encoding: 'utf8', timeout: 60000 });
}

// A folder of files; names are taken as raw bytes where given as Buffers.
function makeFolder(files) {
  const dir = freshDir('src');
  for (const [name, content] of files) {
    const full = Buffer.concat([Buffer.from(dir + '/'), Buffer.isBuffer(name) ? name : Buffer.from(name)]);
    fs.mkdirSync(path.dirname(full.toString()), { recursive: true });
    fs.writeFileSync(full, content);
  }
  return dir;
}

const release = ['--channel', 'stable', '--build', '1.4.2', '--protocol', '7', '--server', 'play.example.net:27015'];
const sha = (data) => crypto.createHash('sha256').update(data).digest('hex');
const withBuild = (build) => release.map((v) => (v === '1.4.2' ? build : v));
// What a channel's first release is given: nothing published tells its number.
const first = ['--sequence', '1'];
const hexOf = (modulusFile) => fs.readFileSync(modulusFile, 'utf8').replace(/#[^\n]*/g, '').replace(/\s+/g, '');

// ---- The description table shared with the launcher's parser --------------------

const ESCAPES = { n: '\n', r: '\r', t: '\t', v: '\v', f: '\f', 0: '\0', s: ' ', '\\': '\\' };

// A value of the table with its escapes decoded, one character a byte.
function decodeEscapes(value, fail) {
  let out = '';
  let i = 0;
  while (i < value.length) {
    let count = 1;
    const repeat = /^\\\[([1-9][0-9]{0,5})\]/.exec(value.slice(i));
    if (repeat) {
      count = Number(repeat[1]);
      i += repeat[0].length;
      if (i === value.length || value.startsWith('\\[', i)) fail('a repeat needs one byte after it');
    } else if (value.startsWith('\\[', i)) {
      fail('a repeat needs a count from 1 to 999999');
    }
    let unit = value[i++];
    if (unit === '\\') {
      const escape = value[i++];
      const hex = value.slice(i, i + 2);
      if (Object.hasOwn(ESCAPES, escape ?? '')) {
        unit = ESCAPES[escape];
      } else if (escape === 'x' && /^[0-9a-fA-F]{2}$/.test(hex)) {
        unit = String.fromCharCode(parseInt(hex, 16));
        i += 2;
      } else {
        fail(`no escape \\${escape ?? ''}`);
      }
    }
    out += unit.repeat(count);
  }
  return out;
}

// The rows of tests/support/description-cases.txt, whose top describes them:
// { name, line, text, message (null when accepted), fields }.
function readDescriptionCases() {
  const file = path.join(repo, 'tests', 'support', 'description-cases.txt');
  const lines = fs.readFileSync(file, 'latin1').split('\n');
  if (lines.at(-1) === '') lines.pop();
  const rows = [];
  const names = new Set();
  let row = null;
  let state = null;  // 'text', then 'fields' after accept or 'done' after reject
  lines.forEach((line, at) => {
    const fail = (why) => {
      throw new Error(`${file}:${at + 1}: ${why}`);
    };
    if (/[^\x20-\x7e]/.test(line)) fail('only printable ASCII');
    if (line.endsWith(' ')) fail('the line ends in a space');
    if (line === '' || line.startsWith('#')) return;
    const space = line.indexOf(' ');
    const keyword = space < 0 ? line : line.slice(0, space);
    const rest = space < 0 ? '' : line.slice(space + 1);
    if (keyword === 'case') {
      if (state === 'text') fail(`"${row.name}" has no verdict`);
      if (rest === '' || names.has(rest)) fail(`"${rest}" is no new name`);
      names.add(rest);
      row = { name: rest, line: at + 1, text: '', message: null, fields: [] };
      rows.push(row);
      state = 'text';
    } else if (state === 'text' && keyword === 'text') {
      row.text += decodeEscapes(rest, fail);
    } else if (state === 'text' && keyword === 'reject') {
      row.message = decodeEscapes(rest, fail);
      state = 'done';
    } else if (state === 'text' && line === 'accept') {
      state = 'fields';
    } else if (state === 'fields') {
      row.fields.push(decodeEscapes(line, fail));
    } else {
      fail(`"${keyword}" is out of place`);
    }
  });
  if (state === 'text') throw new Error(`${file}: "${row.name}" has no verdict`);
  return rows;
}
const descriptionCases = readDescriptionCases();

// What the tool's reader read, as the table lists it.
function fieldsOf(d) {
  const utf8 = (text) => Buffer.from(text, 'utf8').toString('latin1');
  const fields = [`build ${utf8(d.build)}`];
  if (d.channel !== '') fields.push(`channel ${utf8(d.channel)}`);
  if (d.protocol !== 0) fields.push(`protocol ${d.protocol}`);
  if (d.notes !== '') fields.push(`notes ${utf8(d.notes)}`);
  if (d.server !== null) fields.push(`server ${utf8(d.server.host)} ${d.server.port}`);
  if (d.sequence !== null) fields.push(`sequence ${d.sequence}`);
  if (d.expires !== null) fields.push(`expires ${d.expires} ${d.expiresAt}`);
  for (const f of d.files) {
    fields.push(`file ${utf8(f.path)} ${f.size} ${f.sha256} ${utf8(f.source)}`);
    if (f.chunks !== null) fields.push(`chunks ${utf8(f.path)} ${f.chunks.size} ${f.chunks.sha256} ${utf8(f.chunks.source)}`);
  }
  for (const m of d.mirrors) fields.push(`mirror ${m}`);
  if (d.pack !== null) fields.push(`pack ${d.pack.size} ${d.pack.sha256} ${utf8(d.pack.source)}`);
  if (d.launcher !== null) fields.push(`launcher ${d.launcher.version} ${d.launcher.sha256} ${utf8(d.launcher.source)}`);
  return fields;
}

// The tool's reader folds digests to lower case; the table has them as written.
function foldDigest(field) {
  const words = field.split(' ');
  const at = { file: 3, chunks: 3, pack: 2, launcher: 2 }[words[0]];
  if (at !== undefined) words[at] = words[at].toLowerCase();
  return words.join(' ');
}

test('every description of the shared table reads as the launcher reads it', () => {
  assert.ok(descriptionCases.length > 0);
  const wrong = [];
  for (const row of descriptionCases) {
    const d = readManifest(Buffer.from(row.text, 'latin1'));
    const got = d.problem === null ? { fields: fieldsOf(d) } : { problem: d.problem };
    const want = row.message === null ? { fields: row.fields.map(foldDigest) } : { problem: row.message };
    if (!util.isDeepStrictEqual(got, want)) wrong.push({ row: `${row.name} (line ${row.line})`, got, want });
  }
  assert.deepEqual(wrong, []);
});

test('keygen writes a key pair in the form the launcher build takes', () => {
  const dir = freshDir('keys');
  const priv = path.join(dir, 'release.pem');
  const mod = path.join(dir, 'release.modulus');
  const r = run('keygen', priv, mod);
  assert.equal(r.code, 0, r.err);

  const lines = fs.readFileSync(mod, 'utf8').split('\n').filter((l) => l && !l.startsWith('#'));
  assert.equal(lines.length, 8);
  assert.ok(lines.every((l) => /^[0-9a-f]{64}$/.test(l)), 'lines of 64 lower-case hex digits');
  const fromOpenssl = openssl('rsa', '-in', priv, '-noout', '-modulus', '-text');
  assert.equal(fromOpenssl.status, 0, fromOpenssl.stderr);
  assert.match(fromOpenssl.stdout, /publicExponent: 65537/);
  assert.equal(lines.join(''), /Modulus=([0-9A-F]+)/.exec(fromOpenssl.stdout)[1].toLowerCase());

  // The build's own key step turns it into the header.
  const script = path.join(dir, 'embed.cmake');
  fs.writeFileSync(script, `include("${repo}/cmake/release-key.cmake")\n` +
                           `velmora_embed_release_key("${mod}" "${dir}/release_key.h")\n`);
  const cmake = spawnSync('cmake', ['-P', script], { encoding: 'utf8', timeout: 60000 });
  assert.equal(cmake.status, 0, cmake.stderr);
  const header = fs.readFileSync(path.join(dir, 'release_key.h'), 'utf8');
  assert.equal((header.match(/0x[0-9a-f]{2},/g) ?? []).length, 256);
  assert.ok(header.includes(`{0x${lines[0].slice(0, 2)},0x${lines[0].slice(2, 4)},`));

  // Never over an existing key: neither file is touched.
  const before = fs.readFileSync(priv);
  const again = run('keygen', priv, path.join(dir, 'new.modulus'));
  assert.equal(again.code, 1);
  assert.match(again.err, /exists already/);
  assert.deepEqual(fs.readFileSync(priv), before);
  assert.equal(fs.existsSync(path.join(dir, 'new.modulus')), false);
});

test('pubkey gives the modulus of a private key', () => {
  const r = run('pubkey', testKey);
  assert.equal(r.code, 0, r.err);
  assert.equal(r.out.replace(/#[^\n]*/g, '').replace(/\s+/g, ''), hexOf(testModulus));
  const out = path.join(freshDir('pubkey'), 'key.modulus');
  assert.equal(run('pubkey', testKey, out).code, 0);
  assert.equal(hexOf(out), hexOf(testModulus));
});

test('publish lays out a signed release that openssl verifies', { skip: noBuilds }, () => {
  const src = makeFolder([['bin/sub/mod.dll', 'mod'], ['empty.cfg', ''], ['maps/carte-été.map', 'carte']]);
  const exe = path.join(freshDir('exe'), 'VelmoraMultiplayer.exe');
  fs.copyFileSync(nextLauncher, exe);
  const next = releaseOf(exe);
  const exeBytes = fs.readFileSync(exe);
  const out = freshDir('out');
  // The pack of small files has cases of its own.
  const r = run('publish', src, out, '--key', testKey, '--no-pack', ...release, ...first, '--notes', '  Two  spaces  ',
                '--launcher', exe, '--launcher-version', String(next));
  assert.equal(r.code, 0, r.err);

  const text = fs.readFileSync(path.join(out, 'stable', 'manifest.txt'));
  assert.equal(text.toString('utf8'), [
    'velmoramp-manifest 1', 'channel stable', 'sequence 1', 'build 1.4.2', 'protocol 7',
    'server play.example.net 27015',
    'notes Two  spaces',
    `file bin/sub/mod.dll 3 ${sha('mod')} files/1.4.2/bin/sub/mod.dll`,
    `file empty.cfg 0 ${sha('')} files/1.4.2/empty.cfg`,
    `file maps/carte-été.map 5 ${sha('carte')} files/1.4.2/maps/carte-été.map`,
    `launcher ${next} ${sha(exeBytes)} launcher/${next}/VelmoraMultiplayer.exe`, ''].join('\n'));
  assert.equal(fs.readFileSync(path.join(out, 'files/1.4.2/maps/carte-été.map'), 'utf8'), 'carte');
  assert.ok(fs.readFileSync(path.join(out, `launcher/${next}/VelmoraMultiplayer.exe`)).equals(exeBytes));

  const sig = path.join(out, 'stable', 'manifest.sig');
  assert.equal(fs.statSync(sig).size, 256);
  const pub = path.join(out, '..', `pub-${counter++}.pem`);
  assert.equal(openssl('rsa', '-in', testKey, '-pubout', '-out', pub).status, 0);
  const verified = openssl('dgst', '-sha256', '-verify', pub, '-signature', sig, path.join(out, 'stable', 'manifest.txt'));
  assert.equal(verified.status, 0, verified.stdout + verified.stderr);
  assert.equal(run('verify', path.join(out, 'stable', 'manifest.txt'), sig, '--modulus', testModulus).code, 0);

  // The same release again is fine; the same build with other content is not,
  // and leaves the published release as it was.
  assert.equal(run('publish', src, out, '--key', testKey, ...release).code, 0);
  fs.writeFileSync(path.join(src, 'empty.cfg'), 'no longer empty');
  const clash = run('publish', src, out, '--key', testKey, ...release);
  assert.equal(clash.code, 1);
  assert.match(clash.err, /already published with other content/);
  assert.equal(fs.readFileSync(path.join(out, 'files/1.4.2/empty.cfg'), 'utf8'), '');
  assert.equal(run('verify', path.join(out, 'stable', 'manifest.txt'), sig, '--modulus', testModulus).code, 0);
});

test('names the launcher would refuse are refused, and nothing is published', () => {
  const cases = [
    ['backslash', [['a\\b.dll', 'x']], /path rule/],
    ['colon', [['a:b.dll', 'x']], /path rule/],
    ['control byte', [[Buffer.from('a\x01b.dll'), 'x']], /control character/],
    ['line feed', [['a\nb.dll', 'x']], /whitespace/],
    ['space', [['a b.dll', 'x']], /whitespace/],
    ['tab', [['a\tb.dll', 'x']], /whitespace/],
    ['double quote', [['a"b.dll', 'x']], /path rule/],
    ['less-than', [['a<b', 'x']], /path rule/],
    ['greater-than', [['a>b', 'x']], /path rule/],
    ['vertical bar', [['a|b', 'x']], /path rule/],
    ['asterisk', [['a*b', 'x']], /path rule/],
    ['question mark', [['a?b', 'x']], /path rule/],
    ['241-byte path', [[`${'a'.repeat(120)}/${'b'.repeat(120)}`, 'x']], /path rule/],
    ['download path over 240 bytes', [['c'.repeat(230), 'x']], /download path/],
    ['invalid UTF-8', [[Buffer.from('bad-\xff.dll', 'latin1'), 'x']], /UTF-8/],
    ['device name', [['bin/nul.txt', 'x']], /device name/],
    ['trailing dot', [['mod.', 'x']], /ends in a dot/],
    ['names equal but for case', [['Mod.dll', 'x'], ['mod.dll', 'y']], /one file on Windows/],
  ];
  for (const [what, files, message] of cases) {
    const out = path.join(freshDir('refused'), 'out');
    const r = run('publish', makeFolder(files), out, '--key', testKey, ...release);
    assert.equal(r.code, 1, what);
    assert.match(r.err, message, what);
    assert.equal(fs.existsSync(out), false, `${what}: nothing published`);
  }
  const empty = run('publish', freshDir('empty'), path.join(scratch, 'none'), '--key', testKey, ...release);
  assert.equal(empty.code, 1);
  assert.match(empty.err, /holds no files/);
});

test('the path limit is 240 bytes, counted on the download path too', () => {
  const src = makeFolder([['p'.repeat(238), 'x']]);
  const ok = run('manifest', src, ...release, ...first, '--source-prefix', 'f');
  assert.equal(ok.code, 0, ok.err);
  assert.ok(ok.out.includes(` f/${'p'.repeat(238)}\n`));
  const src2 = makeFolder([['p'.repeat(239), 'x']]);
  assert.equal(run('manifest', src2, ...release, ...first, '--source-prefix', 'f').code, 1);
});

// A release offering launcher N with an exe that calls itself M would make
// every launcher replace itself on every start, forever.
test('the launcher number must be the one built into the exe', { skip: noBuilds }, () => {
  const src = makeFolder([['a.dll', 'x']]);
  const ours = releaseOf(thisLauncher);
  const notAnExe = path.join(freshDir('exe'), 'VelmoraMultiplayer.exe');
  fs.writeFileSync(notAnExe, 'MZ but no program');
  const cases = [
    [thisLauncher, ours, null],
    [nextLauncher, ours + 1, null],
    [thisLauncher, ours + 1, new RegExp(`is launcher release ${ours} \\(its version resource\\), not ${ours + 1}`)],
    [nextLauncher, ours, new RegExp(`is launcher release ${ours + 1} .*not ${ours}`)],
    [notAnExe, ours, /no version resource/],
  ];
  for (const [exe, version, refusal] of cases) {
    const r = run('manifest', src, ...release, ...first, '--launcher', exe, '--launcher-version', String(version));
    if (refusal === null) {
      assert.equal(r.code, 0, r.err);
      assert.match(r.out, new RegExp(`\nlauncher ${version} `));
    } else {
      assert.equal(r.code, 1, `${exe} as ${version}`);
      assert.match(r.err, refusal);
    }
  }
});

test('release values the launcher would misread are refused', () => {
  const src = makeFolder([['a.dll', 'x']]);
  const exe = path.join(freshDir('exe'), 'Velmora Launcher.exe');
  fs.writeFileSync(exe, 'MZ');
  const base = { channel: 'stable', build: '1.4.2', protocol: '7', server: 'h.example:1' };
  const cases = [
    [{ channel: 'two words' }, /whitespace/],
    [{ channel: '..' }, /folder name/],
    [{ channel: 'a/b' }, /folder name/],
    [{ channel: 'files' }, /cannot be named/],
    [{ channel: 'chunks' }, /cannot be named/],
    [{ build: '1.4 beta' }, /whitespace/],
    [{ build: '' }, /empty/],
    [{ protocol: '7x' }, /whole number/],
    [{ protocol: '2147483648' }, /whole number/],
    [{ server: 'h.example' }, /HOST:PORT/],
    [{ server: 'h.example:0' }, /1-65535/],
    [{ server: 'h.example:65536' }, /1-65535/],
    [{ server: 'h example:1' }, /whitespace/],
    [{ notes: 'line one\nline two' }, /one line/],
    [{ launcher: exe, 'launcher-version': '6' }, /whitespace/],
    [{ launcher: src + '/a.dll' }, /go together/],
    [{ launcher: src + '/a.dll', 'launcher-version': '0' }, /from 1/],
  ];
  for (const [change, message] of cases) {
    const values = { ...base, ...change };
    const args = Object.entries(values).flatMap(([k, v]) => [`--${k}`, v]);
    const out = path.join(freshDir('bad-option'), 'out');
    const r = run('publish', src, out, '--key', testKey, ...args);
    assert.equal(r.code, 1, JSON.stringify(change));
    assert.match(r.err, message, JSON.stringify(change));
    assert.equal(fs.existsSync(out), false);
  }
});

test('sign refuses a description every launcher rejects', () => {
  // One description of the table for each of the parser's messages.
  const refused = new Map();
  for (const row of descriptionCases) {
    if (row.message !== null && !refused.has(row.message)) refused.set(row.message, row.text);
  }
  assert.ok(refused.size > 0);
  for (const [message, text] of refused) {
    const dir = freshDir('sign');
    fs.writeFileSync(path.join(dir, 'manifest.txt'), Buffer.from(text, 'latin1'));
    const r = run('sign', path.join(dir, 'manifest.txt'), '--key', testKey);
    assert.equal(r.code, 1, message);
    assert.ok(r.err.includes(message), `${message}: ${r.err}`);
    assert.equal(fs.existsSync(path.join(dir, 'manifest.sig')), false);
  }
  // A hand-written description with CR LF line ends is signed as it is.
  const dir = freshDir('sign');
  const text = `velmoramp-manifest 1\r\nbuild 1\r\nfile A.DLL 1 ${sha('x').toUpperCase()} f/a\r\n`;
  fs.writeFileSync(path.join(dir, 'manifest.txt'), text);
  assert.equal(run('sign', path.join(dir, 'manifest.txt'), '--key', testKey).code, 0);
  const verified = crypto.verify('sha256', Buffer.from(text), crypto.createPublicKey(fs.readFileSync(testKey)),
                                 fs.readFileSync(path.join(dir, 'manifest.sig')));
  assert.ok(verified);
});

test('verify tells a release key signature from another key', () => {
  const dir = freshDir('verify');
  const otherPriv = path.join(dir, 'other.pem');
  const otherMod = path.join(dir, 'other.modulus');
  assert.equal(run('keygen', otherPriv, otherMod).code, 0);
  const src = makeFolder([['a.dll', 'x']]);
  const out = path.join(dir, 'out');
  assert.equal(run('publish', src, out, '--key', otherPriv, ...release, ...first).code, 0);
  const files = [path.join(out, 'stable', 'manifest.txt'), path.join(out, 'stable', 'manifest.sig')];
  assert.equal(run('verify', ...files, '--modulus', otherMod).code, 0);
  const r = run('verify', ...files, '--modulus', testModulus);
  assert.equal(r.code, 1);
  assert.match(r.err, /SIGNATURE REJECTED/);
});

// ---- Fresh descriptions: sequence and expiry ------------------------------------

test('publish numbers each description of a channel above the published one', () => {
  const src = makeFolder([['a.dll', 'x']]);
  const out = freshDir('seq');
  const published = () => fs.readFileSync(path.join(out, 'stable', 'manifest.txt'), 'utf8');
  const max = '9223372036854775807';
  const steps = [
    [first, 1],
    [[], 2],
    [['--sequence', '10'], 10],
    [['--sequence', '10'], /--sequence 10 is not above 10/],
    [['--sequence', '9'], /not above 10/],
    [['--sequence', '9', '--force'], 9],
    [['--force'], /--force goes with --sequence/],
    ...['0', '+11', '011', '11x', '9223372036854775808'].map((n) => [['--sequence', n], /whole number from 1/]),
    [['--sequence', max], max],
    [[], /largest sequence/],
  ];
  for (const [args, expected] of steps) {
    const before = fs.existsSync(path.join(out, 'stable')) ? published() : null;
    const r = run('publish', src, out, '--key', testKey, ...release, ...args);
    if (expected instanceof RegExp) {
      assert.equal(r.code, 1, args.join(' '));
      assert.match(r.err, expected);
      assert.equal(published(), before, 'a refused release leaves the published one');
    } else {
      assert.equal(r.code, 0, r.err);
      assert.equal(published().split('\n').slice(1, 3).join('\n'), `channel stable\nsequence ${expected}`);
    }
  }

  // A description from before sequences counts as none; one launchers
  // refuse needs the number given.
  const old = path.join(freshDir('seq-old'), 'stable');
  fs.mkdirSync(old);
  fs.writeFileSync(path.join(old, 'manifest.txt'), `velmoramp-manifest 1\nbuild 0\nfile a 1 ${sha('y')} f/a\n`);
  assert.equal(run('publish', src, path.dirname(old), '--key', testKey, ...release).code, 0);
  assert.match(fs.readFileSync(path.join(old, 'manifest.txt'), 'utf8'), /\nsequence 1\n/);
  fs.writeFileSync(path.join(old, 'manifest.txt'), `velmoramp-manifest 1\nsequence 0\n`);
  assert.match(run('publish', src, path.dirname(old), '--key', testKey, ...release).err, /give the new description/);

  // manifest counts on from the description at --out.
  const text = path.join(freshDir('seq-manifest'), 'manifest.txt');
  assert.match(run('manifest', src, ...release, ...first).out, /^velmoramp-manifest 1\nchannel stable\nsequence 1\n/);
  assert.equal(run('manifest', src, ...release, ...first, '--out', text).code, 0);
  assert.equal(run('manifest', src, ...release, '--out', text).code, 0);
  assert.match(fs.readFileSync(text, 'utf8'), /\nsequence 2\n/);
});

// A guessed 1 would be refused by every launcher that installed a higher one.
test('a first release is numbered by the publisher, never by default', () => {
  const src = makeFolder([['a.dll', 'x']]);
  const published = (out) => fs.readFileSync(path.join(out, 'stable', 'manifest.txt'), 'utf8');
  const cases = [
    // [what, its arguments for an output not there yet, the description it wrote]
    ['publish', (out) => ['publish', src, out, '--key', testKey], published],
    ['release', (out) => ['release', src, out, '--key', testKey], published],
    ['release --unsigned-out', (out) => ['release', src, out, '--unsigned-out', `${out}.txt`],
     (out) => fs.readFileSync(`${out}.txt`, 'utf8')],
    ['manifest --out', (out) => ['manifest', src, '--out', out], (out) => fs.readFileSync(out, 'utf8')],
    ['manifest to standard output', () => ['manifest', src], (out, r) => r.out],
  ];
  for (const [what, args, written] of cases) {
    const out = path.join(freshDir('first'), 'out');
    const refused = run(...args(out), ...release);
    assert.equal(refused.code, 1, what);
    assert.match(refused.err, /no published description to follow.*first release, give --sequence 1; otherwise/,
                 what);
    assert.deepEqual(fs.readdirSync(path.dirname(out)), [], `${what}: nothing written`);
    const given = run(...args(out), ...release, ...first);
    assert.equal(given.code, 0, `${what}: ${given.err}`);
    assert.match(written(out, given), /^velmoramp-manifest 1\nchannel stable\nsequence 1\n/, what);
  }
});

test('an expiry is whole days from now, and verify tells when it passes', () => {
  const src = makeFolder([['a.dll', 'x']]);
  for (const [days, refusal] of [['1'], ['30'], ['0', /whole number of days/], ['-1', /whole number/],
                                 ['1.5', /whole number/], ['x', /whole number/], ['3000000', /year 9999/]]) {
    const out = freshDir('expiry');
    const from = Math.floor(Date.now() / 1000) * 1000;
    const r = run('publish', src, out, '--key', testKey, ...release, ...first, '--expires-in', days);
    const to = Date.now();
    if (refusal) {
      assert.equal(r.code, 1, days);
      assert.match(r.err, refusal);
      continue;
    }
    assert.equal(r.code, 0, r.err);
    const files = ['manifest.txt', 'manifest.sig'].map((f) => path.join(out, 'stable', f));
    const line = fs.readFileSync(files[0], 'utf8').split('\n')[3];
    assert.match(line, /^expires [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$/);
    const at = Date.parse(line.slice(8)) - Number(days) * 86400000;
    assert.ok(at >= from && at <= to, `${line} is ${days} day(s) from the time of publishing`);
    const v = run('verify', ...files, '--modulus', testModulus);
    assert.equal(v.code, 0, v.err);
    assert.ok(v.out.includes(`sequence: 1\n${line.replace(' ', ': ')} (in ${days}.0 days)`), v.out);
  }
  // A description that expired: verify says so and fails, place refuses it.
  const dir = freshDir('expired');
  const text = path.join(dir, 'manifest.txt');
  fs.writeFileSync(text, `velmoramp-manifest 1\nchannel stable\nexpires 2001-01-01T00:00:00Z\nbuild 1\n` +
                         `file a.dll 1 ${sha('x')} files/1/a.dll\n`);
  assert.equal(run('sign', text, '--key', testKey).code, 0);
  const v = run('verify', text, path.join(dir, 'manifest.sig'), '--modulus', testModulus);
  assert.equal(v.code, 1);
  assert.match(v.out, /expires: 2001-01-01T00:00:00Z \(passed [0-9.]+ days ago\)/);
  assert.match(v.err, /every launcher refuses it/);
  const p = run('place', text, path.join(dir, 'manifest.sig'), path.join(dir, 'out'), '--modulus', testModulus);
  assert.equal(p.code, 1);
  assert.match(p.err, /expired/);
});

// ---- One step to the players ---------------------------------------------------

test('mirrors are named in the description in the order given, https only', () => {
  const src = makeFolder([['a.dll', 'x']]);
  const out = freshDir('mirrors');
  let r = run('publish', src, out, '--key', testKey, ...release, ...first, '--mirror', 'https://m1.example/rel/',
              '--mirror', 'https://m2.example:8443');
  assert.equal(r.code, 0, r.err);
  const text = fs.readFileSync(path.join(out, 'stable', 'manifest.txt'), 'utf8');
  assert.match(text, /\nmirror https:\/\/m1\.example\/rel\nmirror https:\/\/m2\.example:8443\n/);
  for (const bad of ['http://plain.example', 'https://', 'https://a b.example']) {
    r = run('publish', src, freshDir('mirrors'), '--key', testKey, ...release, ...first, '--mirror', bad);
    assert.equal(r.code, 1, bad);
    assert.match(r.err, /a mirror is an https URL without blanks/);
  }
});

// Each "sig" line checked by openssl, not by the tool that wrote it.
function opensslSigners(file, sigFile, keys) {
  const signed = [];
  for (const line of fs.readFileSync(sigFile, 'utf8').split('\n').filter((l) => l.startsWith('sig '))) {
    const [, id, hex] = line.split(' ');
    const bin = path.join(freshDir('sig'), 'sig.bin');
    fs.writeFileSync(bin, Buffer.from(hex, 'hex'));
    for (const [name, pem] of Object.entries(keys)) {
      const pub = path.join(path.dirname(bin), `${name}.pub`);
      openssl('rsa', '-in', pem, '-pubout', '-out', pub);
      if (openssl('dgst', '-sha256', '-verify', pub, '-signature', bin, file).status === 0) signed.push([name, id]);
    }
  }
  return signed;
}

test('root versions: written only when both thresholds are met, and publish signs under the newest', () => {
  const dir = freshDir('roots');
  const keys = {};
  for (const name of ['a', 'b', 'c']) {
    keys[name] = path.join(dir, `${name}.pem`);
    assert.equal(run('keygen', keys[name], path.join(dir, `${name}.modulus`)).code, 0);
  }
  const mod = (name) => path.join(dir, `${name}.modulus`);
  const roots = path.join(dir, 'roots');
  const rootNew = (...args) => run('root', 'new', roots, ...args);
  // Version 2: the built-in key hands over to a and b, 2 of 2, releases by c.
  const v2 = ['--root-key', mod('a'), '--root-key', mod('b'), '--root-threshold', '2', '--release-key', mod('c'),
              '--release-threshold', '1'];
  let r = rootNew('--sign-with', keys.a, '--sign-with', keys.b, ...v2);
  assert.equal(r.code, 1, 'without the built-in key given');
  assert.match(r.err, /--builtin/);
  for (const [signers, why] of [[[testKey, keys.a], /1 of its own \(2 needed\)/], [[keys.a, keys.b], /0 of version 1/]]) {
    r = rootNew('--builtin', testModulus, ...signers.flatMap((k) => ['--sign-with', k]), ...v2);
    assert.equal(r.code, 1, String(signers));
    assert.match(r.err, why);
  }
  r = rootNew('--builtin', testModulus, '--sign-with', testKey, '--sign-with', keys.a, '--sign-with', keys.b, ...v2);
  assert.equal(r.code, 0, r.err);
  assert.deepEqual(opensslSigners(path.join(roots, '2.root.txt'), path.join(roots, '2.root.sig'),
                                  { builtin: testKey, a: keys.a, b: keys.b }).map(([name]) => name),
                   ['builtin', 'a', 'b']);
  r = rootNew('--sign-with', keys.a, '--root-key', mod('a'), '--root-threshold', '2', '--release-key', mod('c'),
              '--release-threshold', '1');
  assert.equal(r.code, 1, 'a threshold above the distinct keys');
  r = run('root', 'show', roots);
  assert.equal(r.code, 0, r.err);
  assert.match(r.out, /version 1 \(built in\)[\s\S]*version 2, expires \S+\n  root keys 2 of 2: [0-9a-f]{16} [0-9a-f]{16}\n  release keys 1 of 1/);

  const src = makeFolder([['a.dll', 'x']]);
  r = run('publish', src, freshDir('under-root'), '--key', testKey, '--root', roots, ...release, ...first);
  assert.equal(r.code, 1, 'the built-in key signs releases no more');
  const out = freshDir('under-root');
  r = run('publish', src, out, '--key', keys.c, '--root', roots, ...release, ...first);
  assert.equal(r.code, 0, r.err);
  assert.ok(fs.readFileSync(path.join(out, 'root', '2.root.txt')).equals(fs.readFileSync(path.join(roots, '2.root.txt'))));
  assert.deepEqual(opensslSigners(path.join(out, 'stable', 'manifest.txt'), path.join(out, 'stable', 'manifest.sig'),
                                  { c: keys.c }).map(([name]) => name), ['c']);
  // Two keys and no root: both sign, in sig lines.
  const two = freshDir('two-keys');
  assert.equal(run('publish', src, two, '--key', testKey, '--key', keys.a, ...release, ...first).code, 0);
  assert.equal(opensslSigners(path.join(two, 'stable', 'manifest.txt'), path.join(two, 'stable', 'manifest.sig'),
                              { builtin: testKey, a: keys.a }).length, 2);
});

test('a file and its name plus .part cannot be in one release', () => {
  for (const [names, ok] of [[['a.dll', 'a.dll.part']], [['Bin/A.dll', 'bin/a.DLL.PART']],
                             [['a.dll.part', 'a.dll.part.part']], [['a.part', 'b.part'], true]]) {
    const r = run('manifest', makeFolder(names.map((n) => [n, n])), ...release, ...first);
    assert.equal(r.code, ok ? 0 : 1, names.join(' '));
    if (!ok) assert.match(r.err, /downloads .* as .*\.part/);
  }
});

test('the description is replaced only after its signature', () => {
  const src = makeFolder([['a.dll', 'x']]);
  const out = freshDir('order');
  assert.equal(run('publish', src, out, '--key', testKey, ...release, ...first).code, 0);
  const stable = (f) => path.join(out, 'stable', f);
  const previous = fs.readFileSync(stable('manifest.txt'));
  // Where the signature cannot be written, the description stays the old one.
  fs.rmSync(stable('manifest.sig'));
  fs.mkdirSync(path.join(stable('manifest.sig'), 'in-the-way'), { recursive: true });
  assert.notEqual(run('publish', src, out, '--key', testKey, ...release).code, 0);
  assert.ok(fs.readFileSync(stable('manifest.txt')).equals(previous));
  assert.deepEqual(fs.readdirSync(stable('')).sort(), ['manifest.sig', 'manifest.txt'], 'no temporary file left');
});

// A folder where chattr +i holds: an immutable file is one that nothing
// renames over, root included, so the description's move alone fails.
// tmpfs refuses the flag; /var/tmp is on a disk on most systems.
const immutableFolders = [];
process.on('exit', () => immutableFolders.forEach((d) => fs.rmSync(d, { recursive: true, force: true })));
function immutableFolder() {
  const refusals = [];
  for (const base of [scratch, '/var/tmp']) {
    let dir;
    try {
      dir = fs.mkdtempSync(path.join(base, 'velmora-immutable-'));
    } catch (e) {
      refusals.push(`${base}: ${e.code}`);
      continue;
    }
    immutableFolders.push(dir);
    const probe = path.join(dir, 'probe');
    fs.writeFileSync(probe, '');
    const set = spawnSync('chattr', ['+i', probe], { encoding: 'utf8', timeout: 30000 });
    if (set.error) return { reason: `needs chattr to make a rename fail (${set.error.code})` };
    if (set.status === 0) {
      spawnSync('chattr', ['-i', probe], { timeout: 30000 });
      return { dir };
    }
    refusals.push(`${base}: ${set.stderr.trim()}`);
  }
  return { reason: `chattr +i is refused (it needs root and a file system with the flag): ${refusals.join('; ')}` };
}

test('a description that cannot be moved into place leaves the old pair whole', (t) => {
  const { dir, reason } = immutableFolder();
  if (reason) return t.skip(reason);
  const src = makeFolder([['a.dll', 'x']]);
  const cases = [
    // [what, its arguments once the first release is out]
    ['publish', (out) => ['publish', src, out, '--key', testKey, ...withBuild('1.4.3')]],
    ['place', (out) => {
      const text = path.join(fs.mkdtempSync(path.join(dir, 'work-')), 'manifest.txt');
      assert.equal(run('release', src, out, '--unsigned-out', text, ...withBuild('1.4.3')).code, 0);
      assert.equal(run('sign', text, '--key', testKey).code, 0);
      return ['place', text, text.replace(/txt$/, 'sig'), out, '--modulus', testModulus];
    }],
  ];
  for (const [what, argsFor] of cases) {
    const out = fs.mkdtempSync(path.join(dir, 'out-'));
    assert.equal(run('publish', src, out, '--key', testKey, ...release, ...first).code, 0);
    const pair = ['manifest.txt', 'manifest.sig'].map((f) => path.join(out, 'stable', f));
    const old = pair.map((f) => fs.readFileSync(f));
    const args = argsFor(out);
    assert.equal(spawnSync('chattr', ['+i', pair[0]], { timeout: 30000 }).status, 0);
    let r;
    try {
      r = run(...args);
    } finally {
      spawnSync('chattr', ['-i', pair[0]], { timeout: 30000 });
    }
    assert.equal(r.code, 1, what);
    assert.match(r.err, /new description could not be moved into place \(EPERM\); the old signature is back/, what);
    pair.forEach((f, i) => assert.ok(fs.readFileSync(f).equals(old[i]), `${what}: ${f} is the old one`));
    assert.deepEqual(fs.readdirSync(path.join(out, 'stable')).sort(), ['manifest.sig', 'manifest.txt'],
                     `${what}: nothing left aside`);
    // Without the flag the same step goes through: it was the move that failed.
    const again = run(...args);
    assert.equal(again.code, 0, `${what}: ${again.err}`);
    assert.ok(!fs.readFileSync(pair[1]).equals(old[1]), `${what}: a new signature now`);
    assert.equal(run('verify', ...pair, '--modulus', testModulus).code, 0, what);
  }
});

// A script tells a mistyped command line (2) from a refusal (1); a person reads why first.
test('usage errors exit with 2, the reason first and the usage after it', () => {
  const empty = freshDir('no-roots');
  const cases = [
    // [arguments, exit code, the first line of stderr]
    [['frobnicate'], 2, 'no command "frobnicate"'],
    [[], 2, 'give a command'],
    [['publish', 'a', 'b', '--bogus', 'x'], 2, 'publish takes no option --bogus'],
    [['sign-exe', 'a.exe', '--modulus', 'm'], 2, 'sign-exe takes no option --modulus'],
    [['manifest', 'a', '--code-signing-cert', 'c'], 2, 'manifest takes no option --code-signing-cert'],
    [['manifest', 'a', '--no-chunks'], 2, 'manifest takes no option --no-chunks'],
    [['prune', 'out', '--key', 'k'], 2, 'prune takes no option --key'],
    [['sign', 'm.txt'], 2, '--key is required'],
    [['sign', 'm.txt', '--key'], 2, '--key needs a value'],
    [['prune', 'out', '--channel', 'stable'], 2, '--keep is required'],
    [['release', 'a', 'b', ...release], 2, 'give either --key (the description is signed here) or --unsigned-out ' +
                                          '(it is signed elsewhere)'],
    [['verify', 'm.txt', 'm.sig'], 2, 'verify: give --modulus or --root'],
    [['verify', 'one', '--modulus', 'm'], 2, 'verify: wrong number of arguments'],
    [['release', 'a', 'b', '--dry-run', 'c'], 2, 'release: wrong number of arguments'],
    [['place', 'a', 'b', 'c', '--force', '--force'], 2, '--force is given twice'],
    [['root', 'show', empty], 1, `${empty} holds no root versions (neither builtin.modulus nor 2.root.txt)`],
  ];
  for (const [args, code, reason] of cases) {
    const r = run(...args);
    assert.equal(r.code, code, args.join(' '));
    assert.deepEqual(r.err.split('\n').slice(0, 2), [`velmora-release: ${reason}`, code === 2 ? 'usage:' : '']);
  }
});

// ---- The launcher's code signature ----------------------------------------------

const hasSigner = spawnSync('osslsigncode', ['--version']).status === 0;
const noSigning = !hasBuilds ? noBuilds : hasSigner ? false : 'needs osslsigncode (scripts/install-deps.sh installs it)';
// A throwaway code-signing CA, made for this run only.
let caDir = null;
function codeSigningCa() {
  if (caDir === null) {
    caDir = freshDir('code-signing-ca');
    const r = spawnSync('bash', [path.join(repo, 'tests', 'support', 'code-signing-ca.sh'), caDir],
                        { encoding: 'utf8', timeout: 60000 });
    assert.equal(r.status, 0, r.stderr);
  }
  return (name) => path.join(caDir, name);
}
const osslVerify = (exe, ...more) => spawnSync('osslsigncode', ['verify', '-in', exe, ...more],
                                               { encoding: 'utf8', timeout: 60000 });
const certTable = (image) => {  // the certificate table entry of a PE32 or PE32+ image: [offset, size]
  const opt = image.readUInt32LE(0x3c) + 24;
  const dirs = opt + (image.readUInt16LE(opt) === 0x20b ? 112 : 96);
  return [image.readUInt32LE(dirs + 32), image.readUInt32LE(dirs + 36)];
};

// A time-stamping authority on loopback, answering with `openssl ts -reply`.
async function withTimestampServer(ca, body) {
  const http = await import('node:http');
  const server = http.createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      const query = path.join(caDir, `query-${counter++}.tsq`);
      fs.writeFileSync(query, Buffer.concat(chunks));
      const reply = spawnSync('openssl', ['ts', '-reply', '-config', ca('tsa.cnf'), '-queryfile', query,
                                          '-signer', ca('tsa.pem'), '-inkey', ca('tsa.key'), '-chain', ca('ca.pem')],
                              { timeout: 30000 });
      res.writeHead(reply.status === 0 ? 200 : 500, { 'Content-Type': 'application/timestamp-reply' });
      res.end(reply.stdout);
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  try {
    return await body(`http://127.0.0.1:${server.address().port}/`);
  } finally {
    server.close();
  }
}

test('sign-exe signs with SHA-256 and verify-exe checks it, and the build it came from', { skip: noSigning },
     async () => {
  const ca = codeSigningCa();
  const exe = path.join(freshDir('sign-exe'), 'VelmoraMultiplayer.exe');
  fs.copyFileSync(thisLauncher, exe);
  const signing = ['--cert', ca('signer.pem'), '--key', ca('signer.key')];
  const signed = await withTimestampServer(ca, (url) => runAsync('sign-exe', exe, ...signing, '--timestamp', url));
  assert.equal(signed.code, 0, signed.err);
  const checked = osslVerify(exe, '-CAfile', ca('ca.pem'), '-TSA-CAfile', ca('ca.pem'));
  assert.equal(checked.status, 0, checked.stdout + checked.stderr);
  assert.equal([...checked.stdout.matchAll(/Message digest algorithm\s*:\s*SHA256/g)].length, 2, checked.stdout);
  assert.match(checked.stdout, /Timestamp Server Signature verification: ok/);
  const ok = run('verify-exe', exe, '--ca', ca('ca.pem'), '--built', thisLauncher);
  assert.equal(ok.code, 0, ok.err);
  assert.match(ok.out, /same program as .*apart from the signature\nsignature ok: SHA-256, signed by .*Velmora Test Publisher.*, time-stamped/);

  // Signed again: one signature still, the same program.
  assert.equal(run('sign-exe', exe, ...signing).code, 0);
  assert.equal([...osslVerify(exe, '-CAfile', ca('ca.pem')).stdout.matchAll(/Signature Index:/g)].length, 1);

  const tampered = path.join(path.dirname(exe), 'tampered.exe');
  const bytes = fs.readFileSync(exe);
  bytes[0x1000] ^= 1;
  fs.writeFileSync(tampered, bytes);
  const failures = [
    [[thisLauncher], /carries no signature/],
    [[exe, '--ca', ca('other-ca.pem')], /does not verify/],
    [[tampered, '--ca', ca('ca.pem')], /does not verify/],
    [[exe, '--ca', ca('ca.pem'), '--built', nextLauncher], /is not the program .* is: they differ from byte/],
  ];
  for (const [args, message] of failures) {
    const r = run('verify-exe', ...args);
    assert.equal(r.code, 1, args.join(' '));
    assert.match(r.err, message);
  }
  const notExe = path.join(path.dirname(exe), 'notes.txt');
  fs.writeFileSync(notExe, 'MZ but no program');
  const refusals = [
    [[exe, '--cert', ca('signer.pem'), '--key', ca('tsa.key')], /signing .* failed/],
    [[notExe, ...signing], /not a Windows executable/],
    [[exe, ...signing, '--timestamp', 'ftp://tsa.example'], /http/],
    [[exe, '--cert', ca('missing.pem'), '--key', ca('signer.key')], /cannot read the code-signing certificate/],
  ];
  for (const [args, message] of refusals) {
    const before = fs.readFileSync(args[0]);
    const r = run('sign-exe', ...args);
    assert.equal(r.code, 1, args.join(' '));
    assert.match(r.err, message);
    assert.ok(fs.readFileSync(args[0]).equals(before), 'a refused signing leaves the file');
  }
});

test('publish signs the launcher it offers, once, and names the signed file', { skip: noSigning }, () => {
  const ca = codeSigningCa();
  const src = makeFolder([['a.dll', 'x']]);
  const out = freshDir('signed-publish');
  const next = String(releaseOf(nextLauncher));
  const launcher = ['--launcher', nextLauncher, '--launcher-version', next];
  const signing = ['--code-signing-cert', ca('signer.pem'), '--code-signing-key', ca('signer.key')];
  const published = path.join(out, 'launcher', next, path.basename(nextLauncher));
  const digestIn = (channel) => /\nlauncher [0-9]+ ([0-9a-f]{64}) /.exec(
    fs.readFileSync(path.join(out, channel, 'manifest.txt'), 'utf8'))[1];

  const once = run('publish', src, out, '--key', testKey, ...release, ...first, ...launcher, ...signing);
  assert.equal(once.code, 0, once.err);
  const signed = fs.readFileSync(published);
  assert.equal(osslVerify(published, '-CAfile', ca('ca.pem')).status, 0);
  assert.notEqual(certTable(signed)[1], 0);
  assert.equal(digestIn('stable'), sha(signed));
  assert.equal(certTable(fs.readFileSync(nextLauncher))[1], 0, 'the given exe itself is left unsigned');

  // Another channel, or the same one again: the signed launcher is kept.
  const beta = release.map((v) => (v === 'stable' ? 'beta' : v));
  const again = run('publish', src, out, '--key', testKey, ...beta, ...first, ...launcher, ...signing);
  assert.equal(again.code, 0, again.err);
  assert.match(again.out, /already, signed: kept/);
  assert.ok(fs.readFileSync(published).equals(signed));
  assert.equal(digestIn('beta'), sha(signed));

  for (const [args, message] of [
    [[...launcher, '--code-signing-cert', ca('signer.pem')], /go together/],
    [signing, /give --launcher too/],
    [[...launcher, '--timestamp', 'http://127.0.0.1:9/'], /--timestamp goes with --code-signing-cert/],
  ]) {
    const r = run('publish', src, freshDir('signed-refused'), '--key', testKey, ...release, ...args);
    assert.equal(r.code, 1, args.join(' '));
    assert.match(r.err, message);
  }
});

// ---- The whole path: release, and the key kept elsewhere ------------------------

// Every file under a folder with its content, to show that nothing changed.
function snapshot(dir) {
  if (!fs.existsSync(dir)) return [];
  return fs.readdirSync(dir, { recursive: true }).sort().map((f) => {
    const full = path.join(dir, f);
    return fs.statSync(full).isFile() ? `${f} ${sha(fs.readFileSync(full))}` : f;
  });
}

test('release checks, signs, lays out, verifies and says what players download', { skip: noBuilds }, () => {
  const src = makeFolder([['a.dll', 'aaaa'], ['b.cfg', 'bb']]);
  const out = freshDir('release');
  const ours = String(releaseOf(thisLauncher));
  const next = String(releaseOf(nextLauncher));
  const size = (f) => fs.statSync(f).size;
  const go = (build, ...args) =>
    run('release', src, out, '--key', testKey, '--modulus', testModulus, '--no-pack', ...withBuild(build), ...args);

  const initial = go('1.4.2', ...first, '--launcher', thisLauncher, '--launcher-version', ours);
  assert.equal(initial.code, 0, initial.err);
  const total = 6 + size(thisLauncher);
  assert.equal(initial.out, [
    'stable: build 1.4.2, sequence 1, no expiry', 'nothing is published for stable yet: every file is new',
    '  added    a.dll  4 bytes', '  added    b.cfg  2 bytes',
    `  launcher ${ours}  ${total - 6} bytes (${((total - 6) / 1048576).toFixed(1)} MiB)`,
    `a player with the published release downloads ${total} bytes (${(total / 1048576).toFixed(1)} MiB)`,
    'published in ' + out + '; verified: signature, description and every file it names', ''].join('\n'));

  // The next build: one file changed, one added, one gone, a newer launcher.
  fs.writeFileSync(path.join(src, 'a.dll'), 'AAAAA');
  fs.writeFileSync(path.join(src, 'c.map'), 'c');
  fs.rmSync(path.join(src, 'b.cfg'));
  const build2 = ['--launcher', nextLauncher, '--launcher-version', next];
  const expected = [
    'stable: build 1.4.3, sequence 2, no expiry', 'against the published build 1.4.2, sequence 1, no expiry:',
    '  changed  a.dll  5 bytes', '  added    c.map  1 bytes', '  removed  b.cfg',
    `  launcher ${ours} -> ${next}  ${size(nextLauncher)} bytes`];
  const before = snapshot(out);
  const dry = go('1.4.3', ...build2, '--dry-run');
  assert.equal(dry.code, 0, dry.err);
  assert.ok(dry.out.startsWith(expected.join('\n')), dry.out);
  assert.match(dry.out, new RegExp(`downloads ${6 + size(nextLauncher)} bytes .*\ndry run: nothing written\n$`));
  assert.deepEqual(snapshot(out), before, 'a dry run writes nothing');

  const refusals = [
    [['--launcher-version', ours], /is launcher release/, ['--launcher', nextLauncher]],
    [['--modulus', path.join(repo, 'tests', 'support', 'keys', 'none.modulus')], /cannot read|no such|ENOENT/, []],
  ];
  for (const [args, message, more] of refusals) {
    const r = run('release', src, out, '--key', testKey, ...withBuild('1.4.3'), ...more, ...args);
    assert.equal(r.code, 1, args.join(' '));
    assert.match(r.err, message);
    assert.deepEqual(snapshot(out), before, 'a refused release writes nothing');
  }

  const second = go('1.4.3', ...build2);
  assert.equal(second.code, 0, second.err);
  assert.ok(second.out.startsWith(expected.join('\n')), second.out);
  const files = ['manifest.txt', 'manifest.sig'].map((f) => path.join(out, 'stable', f));
  assert.match(run('verify', ...files, '--modulus', testModulus).out, /signature ok\n.*build: 1.4.3\nsequence: 2\n/);
});

test('with the key on another machine: release --unsigned-out, sign, place', () => {
  const src = makeFolder([['a.dll', 'x']]);
  const out = freshDir('offline');
  const work = freshDir('offline-work');
  const text = path.join(work, 'manifest.txt');
  const sig = path.join(work, 'manifest.sig');
  assert.equal(run('publish', src, out, '--key', testKey, ...release, ...first).code, 0);
  const live = snapshot(path.join(out, 'stable'));

  fs.writeFileSync(path.join(src, 'b.dll'), 'y');
  const laid = run('release', src, out, '--unsigned-out', text, ...withBuild('1.4.3'));
  assert.equal(laid.code, 0, laid.err);
  assert.deepEqual(snapshot(path.join(out, 'stable')), live, 'the live description is left alone');
  assert.equal(fs.readFileSync(path.join(out, 'files', '1.4.3', 'b.dll'), 'utf8'), 'y');
  assert.match(fs.readFileSync(text, 'utf8'), /\nsequence 2\n/);
  assert.equal(run('sign', text, '--key', testKey).code, 0);

  const cases = [
    // [description, signature, message or null]
    [text, path.join(out, 'stable', 'manifest.sig'), /SIGNATURE REJECTED/],
    [text, sig, null],
    [text, sig, /2, is not above 2/],
  ];
  for (const [t, s, refusal] of cases) {
    const r = run('place', t, s, out, '--modulus', testModulus);
    if (refusal === null) {
      assert.equal(r.code, 0, r.err);
      assert.match(r.out, /added    b.dll  1 bytes\n/);
      assert.equal(run('verify', ...['manifest.txt', 'manifest.sig'].map((f) => path.join(out, 'stable', f)),
                       '--modulus', testModulus).code, 0);
    } else {
      assert.equal(r.code, 1);
      assert.match(r.err, refusal);
    }
  }
  // A file the description names must be laid out before it goes live.
  fs.rmSync(path.join(out, 'files', '1.4.3', 'b.dll'));
  const missing = run('place', text, sig, out, '--modulus', testModulus, '--force');
  assert.equal(missing.code, 1);
  assert.match(missing.err, /b\.dll: .* is missing/);
  assert.equal(run('release', src, out, '--unsigned-out', path.join(out, 'stable', 'manifest.txt'), ...release).code, 1);
});

// ---- Release keys held apart, and root versions that expire -----------------------

const hasXxd = spawnSync('xxd', ['-v']).status === 0;
const keyPair = (dir, name) => {
  const k = { name, pem: path.join(dir, `${name}.pem`), mod: path.join(dir, `${name}.modulus`) };
  assert.equal(run('keygen', k.pem, k.mod).code, 0);
  return k;
};
// Version 2 handing releases over to the keys given; the built-in key stays the root key.
const handOver = (roots, threshold, keys, ...more) => run('root', 'new', roots, '--builtin', testModulus,
  '--sign-with', testKey, '--root-key', testModulus, '--root-threshold', '1',
  ...keys.flatMap((k) => ['--release-key', k.mod]), '--release-threshold', String(threshold), ...more);

// The root version laid out in out is the publisher's.
const sameRoot = (out, roots) => ['2.root.txt', '2.root.sig'].every((f) =>
  fs.readFileSync(path.join(out, 'root', f)).equals(fs.readFileSync(path.join(roots, f))));

// A key holder's step of the README with openssl alone, as a shell runs it.
function opensslSigns(pem, text, sigFile) {
  const r = spawnSync('bash', ['-c', `
    id=$(openssl rsa -in "$1" -noout -modulus | cut -d= -f2 | xxd -r -p | sha256sum | cut -c1-64)
    sig=$(openssl dgst -sha256 -sign "$1" "$2" | xxd -p | tr -d '\\n')
    echo "sig $id $sig" >> "$3"`, 'holder', pem, text, sigFile], { encoding: 'utf8', timeout: 60000 });
  assert.equal(r.status, 0, r.stderr);
}

test('two release keys held apart: the README steps publish at release threshold 2', (t) => {
  if (!hasXxd) return t.skip('needs xxd for the openssl steps (it comes with vim)');
  const dir = freshDir('holders');
  const [a, b] = [keyPair(dir, 'holder-a'), keyPair(dir, 'holder-b')];
  const roots = path.join(dir, 'roots');
  assert.equal(handOver(roots, 2, [a, b]).code, 0);
  const out = path.join(dir, 'out');
  const text = path.join(dir, 'next', 'manifest.txt');
  const sig = path.join(dir, 'next', 'manifest.sig');
  const laid = run('release', makeFolder([['a.dll', 'x']]), out, '--unsigned-out', text, '--root', roots,
                   ...release, ...first);
  assert.equal(laid.code, 0, laid.err);
  assert.ok(sameRoot(out, roots), 'nothing is published that the root would disown');

  const { releaseKeys } = readRoot(fs.readFileSync(path.join(roots, '2.root.txt')));
  const steps = [
    // [a holder's step, sig lines in the file after it, distinct signers as the launcher counts them]
    ['A signs', () => run('sign', text, '--key', a.pem, '--root', roots), 1, 1],
    ['A signs again with openssl', () => opensslSigns(a.pem, text, sig), 2, 1],
    ['A signs again with the tool', () => run('sign', text, '--key', a.pem, '--root', roots), 1, 1],
    ['B signs with openssl', () => opensslSigns(b.pem, text, sig), 2, 2],
  ];
  for (const [what, step, lines, signers] of steps) {
    const done = step();
    assert.equal(done?.code ?? 0, 0, `${what}: ${done?.err}`);
    const bytes = fs.readFileSync(sig);
    assert.equal(bytes.toString().split('\n').filter(Boolean).length, lines, what);
    assert.equal(countSigners(fs.readFileSync(text), bytes, releaseKeys), signers, what);
    const before = snapshot(out);
    const placed = run('place', text, sig, out, '--root', roots);
    assert.equal(placed.code, signers === 2 ? 0 : 1, `${what}: ${placed.err}`);
    if (signers < 2) {
      assert.match(placed.err, /by 1 of the 2 release keys of root version 2, which asks for 2/, what);
      assert.deepEqual(snapshot(out), before, `${what}: nothing written`);
    }
  }
  const pair = ['manifest.txt', 'manifest.sig'].map((f) => path.join(out, 'stable', f));
  assert.deepEqual(opensslSigners(...pair, { a: a.pem, b: b.pem }),
                   [a, b].map((k) => [k.name.slice(-1), sha(Buffer.from(hexOf(k.mod), 'hex'))]));
});

// A release that no launcher takes is stopped before anything is written,
// whichever way the tool knows what launchers trust.
test('a key launchers would not count is refused, naming both keys, and nothing is written', () => {
  const dir = freshDir('wrong-key');
  const [a, other] = [keyPair(dir, 'a'), keyPair(dir, 'other')];
  const roots = path.join(dir, 'roots');
  assert.equal(handOver(roots, 1, [a]).code, 0);
  const src = makeFolder([['a.dll', 'x']]);
  const id = (k) => sha(Buffer.from(hexOf(k.mod), 'hex')).slice(0, 16);
  const cases = [
    // [what launchers trust, how the output was first published (null: never), the wrong key's options, whose key]
    ['the modulus kept in the output', [testKey], [], { mod: testModulus }],
    ['--modulus', null, ['--modulus', testModulus], { mod: testModulus }],
    ['the root version published in the output', [a.pem, '--root', roots], [], a],
    ['--root', [testKey], ['--root', roots], a],
  ];
  for (const [what, firstKey, args, trusted] of cases) {
    for (const command of ['publish', 'release']) {
      const out = freshDir('wrong-key-out');
      if (firstKey) assert.equal(run('publish', src, out, '--key', ...firstKey, ...release, ...first).code, 0);
      fs.writeFileSync(path.join(src, 'a.dll'), `${what} ${command}`);  // new bytes, a new chunk
      const before = snapshot(out);
      const r = run(command, src, out, '--key', other.pem, ...args, ...withBuild('1.4.3'), '--sequence', '2',
                    '--chunk-min-size', '1');
      assert.equal(r.code, 1, `${command} with ${what}`);
      for (const k of [other, trusted]) assert.ok(r.err.includes(id(k)), `${command} with ${what}: ${r.err}`);
      assert.deepEqual(snapshot(out), before, `${command} with ${what}: nothing written`);
    }
  }
});

test('the first release keeps its key\'s modulus in the output, and says when it was not checked', () => {
  const other = keyPair(freshDir('kept-keys'), 'other');
  const src = makeFolder([['a.dll', 'x']]);
  const unchecked = /^velmora-release: the release key is not checked: give --modulus .* is kept in .*\n$/;
  for (const [how, warning] of [[[], unchecked], [['--modulus', testModulus], /^$/]]) {
    const out = freshDir('kept');
    const r = run('publish', src, out, '--key', testKey, ...release, ...first, ...how);
    assert.equal(r.code, 0, r.err);
    assert.match(r.err, warning);
    assert.equal(hexOf(path.join(out, 'release-key.modulus')), hexOf(testModulus));
    const mismatch = run('publish', src, out, '--key', testKey, '--modulus', other.mod, ...release);
    assert.equal(mismatch.code, 1);
    assert.match(mismatch.err, /is key [0-9a-f]{16}, and .* kept by the first release into that folder/);
  }
});

test('verify --root counts distinct release keys of the newest root version up to its threshold', () => {
  const dir = freshDir('verify-root');
  const [a, b] = [keyPair(dir, 'a'), keyPair(dir, 'b')];
  const roots = path.join(dir, 'roots');
  assert.equal(handOver(roots, 2, [a, b]).code, 0);
  const [text, sig] = ['manifest.txt', 'manifest.sig'].map((f) => path.join(dir, f));
  assert.equal(run('manifest', makeFolder([['a.dll', 'x']]), ...release, ...first, '--out', text).code, 0);
  const short = /SIGNATURE REJECTED: signed by 1 of the 2 release keys of root version 2, which asks for 2/;
  const steps = [
    // [a step, verify's exit code after it, what it says]
    ['A signs', () => run('sign', text, '--key', a.pem, '--root', roots), 1, short],
    ['A\'s line twice', () => fs.appendFileSync(sig, fs.readFileSync(sig)), 1, short],
    ['B signs', () => run('sign', text, '--key', b.pem, '--root', roots), 0,
     /^signature ok: signed by 2 of the 2 release keys of root version 2, which asks for 2\nchannel: stable/],
  ];
  for (const [what, step, code, message] of steps) {
    assert.equal(step()?.code ?? 0, 0, what);
    const r = run('verify', text, sig, '--root', roots);
    assert.equal(r.code, code, `${what}: ${r.err}`);
    assert.match(code === 0 ? r.out : r.err, message, what);
  }
});

test('a root that would disown the live description goes out with place, just before the new one', () => {
  const dir = freshDir('rotate');
  const a = keyPair(dir, 'a');
  const roots = path.join(dir, 'roots');
  assert.equal(handOver(roots, 1, [a]).code, 0);
  const src = makeFolder([['a.dll', 'x']]);
  const out = path.join(dir, 'out');
  assert.equal(run('publish', src, out, '--key', testKey, ...release, ...first).code, 0);
  const live = path.join(out, 'stable', 'manifest.txt');
  const old = fs.readFileSync(live);
  const text = path.join(dir, 'next', 'manifest.txt');
  let r = run('release', src, out, '--unsigned-out', text, '--root', roots, ...withBuild('1.4.3'));
  assert.equal(r.code, 0, r.err);
  assert.match(r.out, /root version 2 is not laid out .* published for stable/);
  assert.ok(!fs.existsSync(path.join(out, 'root')));
  assert.equal(run('sign', text, '--key', a.pem, '--root', roots).code, 0);
  const inTheWay = path.join(out, 'root', '2.root.sig', 'in-the-way');
  const cases = [
    // [place's options, refusal or null (placed), made to fail on the roots]
    [['--modulus', testModulus], /holds sig lines, and no root is published/],
    [['--root', roots], /root versions could not be laid out/, true],
    [['--root', roots], null],
  ];
  for (const [args, refusal, blocked] of cases) {
    if (blocked) fs.mkdirSync(inTheWay, { recursive: true });
    r = run('place', text, text.replace(/txt$/, 'sig'), out, ...args);
    if (blocked) fs.rmSync(path.dirname(inTheWay), { recursive: true });
    assert.equal(r.code, refusal ? 1 : 0, r.err);
    if (refusal) assert.match(r.err, refusal);
    assert.equal(fs.readFileSync(live).equals(old), Boolean(refusal), args.join(' '));
  }
  assert.ok(sameRoot(out, roots));
});

test('sign adds lines, and takes a binary signature into them only by a known key', () => {
  const dir = freshDir('sign-lines');
  const a = keyPair(dir, 'a');
  const [text, sig, older] = ['manifest.txt', 'manifest.sig', 'older.txt'].map((f) => path.join(dir, f));
  assert.equal(run('manifest', makeFolder([['a.dll', 'x']]), ...release, ...first, '--out', text).code, 0);
  fs.writeFileSync(older, fs.readFileSync(text, 'utf8').replace('build 1.4.2', 'build 1.4.1'));
  const cases = [
    // [how the file was signed, how sign runs now, refusal or the holders whose lines openssl finds]
    [[text, testKey], [a.pem, '--lines'], /binary signature that none of the keys known here verifies/],
    [[text, testKey], [a.pem, '--lines', '--modulus', testModulus], ['builtin', 'a']],
    [[text, a.pem, '--lines'], [testKey], /holds sig lines: give --lines/],
    [[older, a.pem, '--lines'], [testKey, '--lines', '--modulus', a.mod], /key [0-9a-f]{16} does not sign/],
  ];
  for (const [[file, key, ...how], [now, ...args], expected] of cases) {
    fs.rmSync(sig, { force: true });
    assert.equal(run('sign', file, '--key', key, ...how, '--out', sig).code, 0);
    const before = fs.readFileSync(sig);
    const r = run('sign', text, '--key', now, ...args);
    assert.equal(r.code, Array.isArray(expected) ? 0 : 1, `${args}: ${r.err}`);
    if (Array.isArray(expected)) {
      assert.deepEqual(opensslSigners(text, sig, { builtin: testKey, a: a.pem }).map(([name]) => name), expected);
    } else {
      assert.match(r.err, expected);
      assert.ok(fs.readFileSync(sig).equals(before), 'a refused signing leaves the file');
    }
  }
});

test('root versions expire a year on unless told, and root show warns in the last 30 days', () => {
  const cases = [
    // [--expires-in, days ahead (null: no expiry), what root show warns of]
    [[], 365, null],
    [['--expires-in', '10'], 10, /warning: root version 2 expires at \S+, in 10\.0 days/],
    [['--expires-in', 'never'], null, null],
  ];
  for (const [args, days, warning] of cases) {
    const roots = path.join(freshDir('expiry'), 'roots');
    const made = handOver(roots, 1, [{ mod: testModulus }], ...args);
    assert.equal(made.code, 0, made.err);
    const { expires } = readRoot(fs.readFileSync(path.join(roots, '2.root.txt')));
    const ahead = expires && (Date.parse(expires) - Date.now()) / 86400e3;
    assert.ok(days === null ? expires === null : Math.abs(ahead - days) < 0.01, `${args}: ${expires}`);
    const shown = run('root', 'show', roots);
    assert.equal(shown.code, 0, shown.err);
    if (warning) assert.match(shown.err, warning);
    else assert.equal(shown.err, '');
  }
  // A version past its expiry, signed as its root key's holder would sign it.
  const roots = freshDir('expired');
  fs.copyFileSync(testModulus, path.join(roots, 'builtin.modulus'));
  const hex = hexOf(testModulus);
  const text = path.join(roots, '2.root.txt');
  fs.writeFileSync(text, `velmoramp-root 1\nversion 2\nexpires 2020-01-01T00:00:00Z\nroot-key ${hex}\n` +
                         `root-threshold 1\nrelease-key ${hex}\nrelease-threshold 1\n`);
  const signed = spawnSync('openssl', ['dgst', '-sha256', '-sign', testKey, text]).stdout.toString('hex');
  fs.writeFileSync(path.join(roots, '2.root.sig'), `sig ${sha(Buffer.from(hex, 'hex'))} ${signed}\n`);
  const shown = run('root', 'show', roots);
  assert.equal(shown.code, 1);
  assert.match(shown.err, /root version 2 EXPIRED at 2020-01-01T00:00:00Z/);
  const out = freshDir('expired-out');
  const r = run('publish', makeFolder([['a.dll', 'x']]), out, '--key', testKey, '--root', roots, ...release, ...first);
  assert.equal(r.code, 1);
  assert.match(r.err, /EXPIRED/);
  assert.deepEqual(snapshot(out), []);
});

// ---- Releases announced ahead ------------------------------------------------------

const hour = '2099-12-12T18:00:00Z';
const pairIn = (dir) => ['manifest.txt', 'manifest.sig'].map((f) => path.join(dir, f));
const bytesOf = (files) => files.map((f) => fs.readFileSync(f));

test('an announced release waits in next/, signed and numbered above, the current pair as it was', () => {
  const src = makeFolder([['a.dll', 'one']]);
  const out = freshDir('announce');
  const [current, next] = [path.join(out, 'stable'), path.join(out, 'stable', 'next')];
  assert.equal(run('publish', src, out, '--key', testKey, ...release, ...first).code, 0);
  const live = bytesOf(pairIn(current));
  fs.writeFileSync(path.join(src, 'a.dll'), 'two');
  // A root version that disowns the current description would go out hours before the one it trusts.
  const roots = path.join(freshDir('announce-roots'), 'roots');
  const holder = keyPair(path.dirname(roots), 'holder');
  assert.equal(handOver(roots, 1, [holder]).code, 0);
  for (const [args, refusal] of [
    [['--at', '2099-12-12T18:00:00'], /--at 2099-12-12T18:00:00: give a UTC time as 2026-12-12T18:00:00Z/],
    [['--at', '2099-12-12T18:00:00+00:00'], /give a UTC time/],
    [['--at', hour, '--sequence', '1'], /--sequence 1 is not above 1, the sequence of \S+manifest\.txt/],
    [['--at', hour, '--sequence', '1', '--force'], /--force and --at go apart/],
    [['--at', hour, '--key', holder.pem, '--root', roots], /does not trust the description published for stable:/],
  ]) {
    const r = run('publish', src, out, '--key', testKey, ...withBuild('2'), ...args);
    assert.equal(r.code, 1, args.join(' '));
    assert.match(r.err, refusal);
    assert.ok(!fs.existsSync(next) && !fs.existsSync(path.join(out, 'root')), `${args}: nothing announced`);
  }
  const r = run('publish', src, out, '--key', testKey, ...withBuild('2'), '--at', hour);
  assert.equal(r.code, 0, r.err);
  assert.match(r.out, new RegExp(`announced for ${hour}: its description is ${next}/manifest.txt`));
  assert.deepEqual(bytesOf(pairIn(current)), live);
  const verified = run('verify', ...pairIn(next), '--modulus', testModulus);
  assert.equal(verified.code, 0, verified.err);
  assert.match(verified.out, new RegExp(`build: 2\nsequence: 2\nnot before: ${hour}\n`));

  // Before its hour, prune keeps what the announced release names: promote
  // checks every file, chunk and pack piece of it is there.
  assert.equal(run('prune', out, '--channel', 'stable', '--keep', '0').code, 0);
  const promoted = run('promote', out, '--channel', 'stable', '--force');
  assert.equal(promoted.code, 0, promoted.err);
});

test('promote puts the announced pair in place, signature first, then takes next/ away', () => {
  const src = makeFolder([['a.dll', 'one']]);
  const out = freshDir('promote');
  const [current, next] = [path.join(out, 'stable'), path.join(out, 'stable', 'next')];
  assert.equal(run('publish', src, out, '--key', testKey, ...release, ...first).code, 0);
  const old = bytesOf(pairIn(current));
  assert.equal(run('publish', src, out, '--key', testKey, ...withBuild('2'), '--at', hour).code, 0);
  const announced = bytesOf(pairIn(next));
  const early = run('promote', out, '--channel', 'stable');
  assert.equal(early.code, 1);
  assert.match(early.err, new RegExp(`announced for ${hour}, which has not come yet`));

  // Where the signature cannot go, neither does the description, and next/ stays.
  fs.rmSync(pairIn(current)[1]);
  fs.mkdirSync(path.join(pairIn(current)[1], 'in-the-way'), { recursive: true });
  assert.equal(run('promote', out, '--channel', 'stable', '--force').code, 1);
  assert.ok(fs.readFileSync(pairIn(current)[0]).equals(old[0]));
  assert.deepEqual(bytesOf(pairIn(next)), announced);
  fs.rmSync(pairIn(current)[1], { recursive: true });
  fs.writeFileSync(pairIn(current)[1], old[1]);

  const promoted = run('promote', out, '--channel', 'stable', '--force');
  assert.equal(promoted.code, 0, promoted.err);
  assert.deepEqual(bytesOf(pairIn(current)), announced);
  assert.ok(fs.readFileSync(path.join(current, 'history', '1.txt')).equals(old[0]));
  assert.equal(fs.existsSync(next), false);
  assert.match(run('promote', out, '--channel', 'stable').err, /nothing is announced for stable/);

  // Announced from another machine, then overtaken by a release put live.
  const text = path.join(freshDir('promote-work'), 'manifest.txt');
  assert.equal(run('release', src, out, '--unsigned-out', text, ...withBuild('3'), '--at', hour).code, 0);
  assert.equal(run('sign', text, '--key', testKey).code, 0);
  assert.equal(run('place', text, text.replace(/txt$/, 'sig'), out).code, 0);
  assert.ok(fs.readFileSync(pairIn(next)[0]).equals(fs.readFileSync(text)));
  assert.match(run('publish', src, out, '--key', testKey, ...withBuild('4')).err, /promote will refuse it/);
  const behind = run('promote', out, '--channel', 'stable', '--force');
  assert.equal(behind.code, 1);
  assert.match(behind.err, /, 3, is not above 3, the sequence of /);
});
