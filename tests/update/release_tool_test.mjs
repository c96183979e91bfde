// The publisher's release tool, run as a publisher runs it: what it writes
// (checked with openssl and the build's own key step) and what it refuses.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

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
  const r = spawnSync(process.execPath, [tool, ...args], { encoding: 'utf8', timeout: 60000 });
  return { code: r.status, out: r.stdout, err: r.stderr };
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
const hexOf = (modulusFile) => fs.readFileSync(modulusFile, 'utf8').replace(/#[^\n]*/g, '').replace(/\s+/g, '');

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
  const r = run('publish', src, out, '--key', testKey, ...release, '--notes', '  Two  spaces  ',
                '--launcher', exe, '--launcher-version', String(next));
  assert.equal(r.code, 0, r.err);

  const text = fs.readFileSync(path.join(out, 'stable', 'manifest.txt'));
  assert.equal(text.toString('utf8'), [
    'velmoramp-manifest 1', 'channel stable', 'build 1.4.2', 'protocol 7', 'server play.example.net 27015',
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
  const ok = run('manifest', src, ...release, '--source-prefix', 'f');
  assert.equal(ok.code, 0, ok.err);
  assert.ok(ok.out.includes(` f/${'p'.repeat(238)}\n`));
  const src2 = makeFolder([['p'.repeat(239), 'x']]);
  assert.equal(run('manifest', src2, ...release, '--source-prefix', 'f').code, 1);
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
    const r = run('manifest', src, ...release, '--launcher', exe, '--launcher-version', String(version));
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
  const digest = sha('x');
  const cases = [
    ['', 'the manifest is empty'],
    ['\ufeffvelmoramp-manifest 1\nbuild 1\nfile a 1 ' + digest + ' f/a\n', 'this is not a manifest we understand'],
    ['velmoramp-manifest 2\nbuild 1\nfile a 1 ' + digest + ' f/a\n', 'this is not a manifest we understand'],
    ['velmoramp-manifest 1\nbuild 1\n', 'the manifest lists no files'],
    ['velmoramp-manifest 1\nfile a 1 ' + digest + ' f/a\n', 'the manifest has no build name'],
    ['velmoramp-manifest 1\nbuild 1\nfile a 1 ' + digest + '\n', 'a file line is incomplete'],
    ['velmoramp-manifest 1\nbuild 1\nfile a ten ' + digest + ' f/a\n', 'a file line is incomplete'],
    ['velmoramp-manifest 1\nbuild 1\nfile ../a 1 ' + digest + ' f/a\n', 'a file line names something we will not write'],
    ['velmoramp-manifest 1\nbuild 1\nfile a 1 ' + digest.slice(1) + ' f/a\n', 'a file line names something we will not write'],
    ['velmoramp-manifest 1\nbuild 1\nfile a 1 ' + digest + ' f/a\nlauncher six ' + digest + ' l.exe\n',
     'the launcher line is malformed'],
  ];
  for (const [text, message] of cases) {
    const dir = freshDir('sign');
    fs.writeFileSync(path.join(dir, 'manifest.txt'), text);
    const r = run('sign', path.join(dir, 'manifest.txt'), '--key', testKey);
    assert.equal(r.code, 1, message);
    assert.ok(r.err.includes(message), `${message}: ${r.err}`);
    assert.equal(fs.existsSync(path.join(dir, 'manifest.sig')), false);
  }
  // A hand-written description with CR LF line ends is signed as it is.
  const dir = freshDir('sign');
  const text = `velmoramp-manifest 1\r\nbuild 1\r\nfile A.DLL 1 ${digest.toUpperCase()} f/a\r\n`;
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
  assert.equal(run('publish', src, out, '--key', otherPriv, ...release).code, 0);
  const files = [path.join(out, 'stable', 'manifest.txt'), path.join(out, 'stable', 'manifest.sig')];
  assert.equal(run('verify', ...files, '--modulus', otherMod).code, 0);
  const r = run('verify', ...files, '--modulus', testModulus);
  assert.equal(r.code, 1);
  assert.match(r.err, /SIGNATURE REJECTED/);
});
