#!/usr/bin/env node
// The publisher's release tool: makes the release key, writes and signs the
// release description, signs the launcher executable, and lays a release out
// ready to upload. Node 18 or later, standard library only (osslsigncode for
// the executable's signature), so it runs on any build machine as it is.
//
// It refuses anything the launcher would refuse (the same path rule, the
// same parser), so a release it writes is never one that every launcher
// rejects. Run it without arguments for the usage.
//
// This file holds the commands; what they are made of lives beside it in
// release/: the command line, the description's text, the signing key, the
// executable's code signature, files on disk, the published layout, a
// release from its folder, the report of what it changes, the chunker and
// the chunk store of big files, the root versions, the signature file
// that key holders add their lines to, and releases announced ahead.
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import process from 'node:process';
import { fileURLToPath } from 'node:url';

import { announcedBehind, announcedHour, checkAboveCurrent, removeAnnounced } from './release/announce.mjs';
import { checkExeSignature, checkReadable, codeSigningFrom, isSigned, peLayout, programOf,
         signExe } from './release/authenticode.mjs';
import { changesReport } from './release/changes.mjs';
import { announcedOf, chunksReport, prunePlan, pruneBy } from './release/chunks.mjs';
import { expectPositional, parseArgs, required, single, USAGE } from './release/command-line.mjs';
import { manifestText, readManifest } from './release/description.mjs';
import { Refusal, refuse, usageError, UsageError } from './release/errors.mjs';
import { readFileOrRefuse, scratchFolder, writeNew, writeReplacing } from './release/files.mjs';
import { checkLaidOut, checkNamedFiles, expiryFromOptions, expiryLine, layOut, nextSequence, publishedSequence,
         rootExpiryFromOptions, untrustedChannels, writeDescription } from './release/layout.mjs';
import { checkSegment, prepareRelease, releaseFromOptions } from './release/release.mjs';
import { checkRootsFit, copyRoots, countSigners, expiryWarning, hasRoots, keyId, newestRoot, newRoot, rootChain,
         showRoots, signatureLines } from './release/roots.mjs';
import { addSignatureLines, isBinarySignature } from './release/signature-file.mjs';
import { modulusFileText, modulusOf, readModulusFile, readPrivateKey, signBytes,
         verifyBytes } from './release/signing.mjs';
import { builtinKey, checkKeys, keepModulus, keptModulusOf, launcherTrust, requiredTrust, shortId,
         walkedRoot } from './release/trust.mjs';

// Where nothing tells which key launchers are built with, the key given is
// taken on trust once, and kept so that the next release is checked.
function uncheckedTrust(out, keyFiles, moduli, dryRun) {
  const kept = moduli.length === 1 ? moduli[0] : null;
  console.error('velmora-release: the release key is not checked: give --modulus <the modulus launchers are ' +
                `built with> to check it (nothing in ${out} tells which key they trust yet); ` +
                (kept ? `key ${shortId(kept)} of ${keyFiles[0]} ${dryRun ? 'would be' : 'is'} kept in ` +
                        `${keptModulusOf(out)} and checks every later release`
                  : 'with several keys none is kept, so give --modulus next time too'));
  return { trust: { keys: moduli, threshold: moduli.length, root: null }, keep: kept };
}

// How a description is signed here: today's binary signature by the one
// key, or "sig" lines by every key once there are several or a root is
// given. The keys given (if any: an unsigned description has none) are
// checked against what launchers trust before anything is written.
// trust: what launchers ask; keep: the built-in key to keep in out.
function descriptionSigning(options, out) {
  const keyFiles = [].concat(options.key ?? []);
  const keys = keyFiles.map((file) => readPrivateKey(file));
  const moduli = keys.map((k) => modulusOf(k));
  let trust = keys.length > 0 || options.root !== undefined ? launcherTrust(options, out) : null;
  let keep = trust?.builtin?.modulus ?? null;
  if (trust !== null && keys.length > 0) checkKeys(trust, moduli, keyFiles);
  if (trust === null && keys.length > 0) ({ trust, keep } = uncheckedTrust(out, keyFiles, moduli, Boolean(options['dry-run'])));
  const textForm = keys.length > 1 || options.root !== undefined;
  const sign = (text) => {
    const signature = textForm ? signatureLines(text, keys) : signBytes(text, keys[0]);
    if (countSigners(text, signature, trust.keys) < trust.threshold) refuse('the signature would not verify');
    return signature;
  };
  return { keys, root: options.root !== undefined ? trust.root : null, textForm, trust, keep, sign };
}

// sign in the line form: the holder's lines added to the file. Known keys
// (the holder's, the root's, --modulus) check the lines already there and
// tell whose a binary signature there is.
function signInLines(manifestFile, text, keys, out, options) {
  const root = options.root !== undefined ? walkedRoot(options.root, null) : null;
  const moduli = keys.map((k) => modulusOf(k));
  for (const m of moduli) {
    if (root && !root.releaseKeys.some((r) => r.equals(m))) {
      refuse(`key ${keyId(m).slice(0, 16)} is not a release key of root version ${root.version}: ` +
             'launchers would not count its signature');
    }
  }
  const known = [...moduli, ...(options.modulus !== undefined ? [readModulusFile(options.modulus)] : []),
                 ...(root ? rootChain(options.root).flatMap((v) => v.root.releaseKeys) : [])];
  const existing = fs.existsSync(out) ? readFileOrRefuse(out, 'the signature') : null;
  const { bytes, unchecked } = addSignatureLines(text, existing, keys, known, out);
  writeReplacing(out, bytes);
  const lines = bytes.toString('latin1').split('\n').length - 1;
  const ids = moduli.map((m) => keyId(m).slice(0, 16)).join(', ');
  console.log(`signed: ${out} (${lines} sig line(s); added by key ${ids})`);
  if (unchecked > 0) {
    console.log(`${unchecked} line(s) of keys not known here kept unchecked (--root or --modulus checks them)`);
  }
  if (root) {
    const signers = countSigners(text, bytes, root.releaseKeys);
    const left = root.releaseThreshold - signers;
    const state = left > 0 ? `${left} more to go` : `ready to place ${manifestFile}`;
    console.log(`root version ${root.version} asks for ${root.releaseThreshold} of its ${root.releaseKeys.length} ` +
                `release keys: ${signers} signed, ${state}`);
  }
}

// What launchers will ask of a description placed in out: the release
// threshold of the root version they reach (from --root, else the one
// published in <out>/root), or where no root is published, the binary
// signature of the built-in key (--modulus, or the one kept in out), the
// one key launchers from before roots read.
function placeTrust(options, out) {
  if (options.root !== undefined) checkRootsFit(options.root, out);
  return requiredTrust(options, out);
}

function checkPlacedSignature(manifestFile, signatureFile, text, signature, trust) {
  const signers = countSigners(text, signature, trust.keys);
  if (trust.root === null && !isBinarySignature(signature)) {
    refuse(`SIGNATURE REJECTED: ${signatureFile} holds sig lines, and no root is published: launchers from ` +
           'before roots read only the binary signature (sign without --lines, or place with --root)');
  }
  if (trust.root === null && signers === 0) {
    refuse(`SIGNATURE REJECTED: ${signatureFile} is no signature of ${manifestFile} by that key`);
  }
  if (signers < trust.threshold) {
    refuse(`SIGNATURE REJECTED: ${signatureFile} carries signatures of ${manifestFile} by ${signers} of the ` +
           `${trust.keys.length} release keys of root version ${trust.root.version}, which asks for ` +
           `${trust.threshold} (each key counts once); nothing was written`);
  }
}

// The root versions go out with the unsigned description only when every
// description published in out stays trusted under them; else place lays
// them out, just before the signed description.
function rootsForSigning(folder, out, root) {
  const untrusted = untrustedChannels(out, root);
  const target = path.join(out, 'root');
  const there = hasRoots(target) && newestRoot(target).version === root.version;
  if (untrusted.length > 0 && !there) {
    return `root version ${root.version} is not laid out in ${target} yet: its release keys do not sign the ` +
           `description published for ${untrusted.join(', ')}; place --root ${folder} lays it out with the ` +
           'signed description';
  }
  copyRoots(folder, out);
  return `root versions up to ${root.version} laid out in ${target}`;
}

// Where an announced release's description went, its hour, and the step
// that makes it current.
function announcedLine(out, channel, notBefore) {
  return `announced for ${notBefore}: its description is ${path.join(announcedOf(out, channel), 'manifest.txt')} ` +
         `(with manifest.sig); ${path.join(out, channel, 'manifest.txt')} is unchanged. At that hour or later: ` +
         `velmora-release promote ${out} --channel ${channel}`;
}

// Root versions go out at once, an announced description only at its
// hour: a version that disowns a description players fetch now would take
// that channel from them until then.
function checkRootsKeepCurrent(out, root) {
  const untrusted = untrustedChannels(out, root).filter((c) => !c.endsWith(' (announced)'));
  if (untrusted.length > 0) {
    refuse(`root version ${root.version} does not trust the description published for ${untrusted.join(', ')}: ` +
           'laid out ahead of the announced release, it would take that from players until the hour; put the ' +
           'root versions out with a release published now; nothing was written');
  }
}

function warnIfAnnouncedBehind(out, channel) {
  const warning = announcedBehind(out, channel);
  if (warning) console.error(`velmora-release: ${warning}`);
}

// The size of the launcher a description placed in out offers, 0 for none.
function launcherSize(out, description) {
  return description.launcher ? fs.statSync(path.join(out, ...description.launcher.source.split('/'))).size : 0;
}

// The rules the launcher reads a description by, for the tests and for
// anyone checking a description by hand.
export { isSafeRelativePath, manifestProblem, readManifest } from './release/description.mjs';
export { countSigners, readRoot } from './release/roots.mjs';

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
    const release = releaseFromOptions(positional[0], options);
    release.sequence = nextSequence(options, options.out ?? null);
    release.expires = expiryFromOptions(options);
    const text = manifestText(release);
    if (options.out) writeReplacing(options.out, text);
    else process.stdout.write(text);
  },

  sign({ positional, options }) {
    expectPositional(positional, 1, 1, 'sign');
    const manifestFile = positional[0];
    const keys = [].concat(required(options, 'key')).map((file) => readPrivateKey(file));
    const text = readFileOrRefuse(manifestFile, 'the description');
    const out = options.out ?? path.join(path.dirname(manifestFile), 'manifest.sig');
    if (options.lines || options.root !== undefined || keys.length > 1) {
      signInLines(manifestFile, text, keys, out, options);
      return;
    }
    // A binary signature over sig lines would throw other holders' away.
    if (fs.existsSync(out) && !isBinarySignature(readFileOrRefuse(out, 'the signature'))) {
      refuse(`${out} holds sig lines: give --lines to add yours to them (or remove it for one binary signature)`);
    }
    writeReplacing(out, signBytes(text, keys[0]));
    console.log(`signed: ${out}`);
  },

  verify({ positional, options }) {
    expectPositional(positional, 2, 2, 'verify');
    if (options.modulus === undefined && options.root === undefined) usageError('verify: give --modulus or --root');
    const text = readFileOrRefuse(positional[0], 'the description');
    const signature = readFileOrRefuse(positional[1], 'the signature');
    let signed = '';
    if (options.root !== undefined) {
      // As a launcher that walked the folder's versions counts: distinct keys.
      const root = walkedRoot(options.root, builtinKey(options, null));
      const signers = countSigners(text, signature, root.releaseKeys);
      signed = `: signed by ${signers} of the ${root.releaseKeys.length} release keys of root version ` +
               `${root.version}, which asks for ${root.releaseThreshold}`;
      if (signers < root.releaseThreshold) refuse(`SIGNATURE REJECTED${signed} (each key counts once)`);
    } else if (!verifyBytes(text, signature, readModulusFile(options.modulus))) {
      refuse('SIGNATURE REJECTED');
    }
    const description = readManifest(text);
    if (description.problem) refuse(`signature ok, but the manifest is malformed: ${description.problem}`);
    console.log(`signature ok${signed}`);
    console.log(`channel: ${description.channel || '(none)'}, build: ${description.build}`);
    console.log(`sequence: ${description.sequence ?? 'none'}`);
    if (description.notBefore !== null) console.log(`not before: ${description.notBefore}`);
    const expiry = expiryLine(description.expires);
    console.log(expiry.line);
    if (expiry.passed) refuse(`the description expired at ${description.expires}: every launcher refuses it`);
  },

  'sign-exe'({ positional, options }) {
    expectPositional(positional, 1, 1, 'sign-exe');
    const exe = positional[0];
    const signing = codeSigningFrom(required(options, 'cert'), single(options, 'key') ?? required(options, 'key'),
                                    options.timestamp, 'cert', 'key');
    const out = options.out ?? exe;
    const mode = fs.statSync(exe).mode & 0o777;
    const signed = path.join(scratchFolder(), 'signed.exe');
    signExe(exe, signed, signing);
    writeReplacing(out, fs.readFileSync(signed));
    fs.chmodSync(out, mode);
    console.log(`signed: ${out} (SHA-256${signing.timestamp !== undefined ? ', time-stamped' : ''})`);
  },

  'verify-exe'({ positional, options }) {
    expectPositional(positional, 1, 1, 'verify-exe');
    const exe = positional[0];
    const image = readFileOrRefuse(exe, 'the executable');
    if (peLayout(image) === null) refuse(`${exe} is not a Windows executable`);
    if (options.ca !== undefined) checkReadable(options.ca, 'the CA certificates');
    const problems = [];
    if (options.built !== undefined) {
      const built = readFileOrRefuse(options.built, 'the built executable');
      const a = programOf(image);
      const b = programOf(built);
      if (a !== null && b !== null && a.equals(b)) {
        console.log(`same program as ${options.built}: byte for byte, apart from the signature`);
      } else {
        let at = 0;
        while (a !== null && b !== null && at < Math.min(a.length, b.length) && a[at] === b[at]) at++;
        problems.push(`${exe} is not the program ${options.built} is` +
                      (b === null ? ': that is no Windows executable' : `: they differ from byte ${at} on`));
      }
    }
    if (!isSigned(image)) {
      problems.push(`${exe} carries no signature`);
    } else {
      const check = checkExeSignature(exe, options.ca);
      problems.push(...check.problems);
      if (check.problems.length === 0) {
        console.log(`signature ok: SHA-256, signed by ${check.subject ?? '(unknown)'}, ` +
                    (check.timestamp ? `time-stamped ${check.timestamp}` : 'not time-stamped'));
      }
    }
    if (problems.length > 0) refuse(problems.join('\n'));
  },

  async publish({ positional, options }) {
    expectPositional(positional, 2, 2, 'publish');
    const [folder, out] = positional;
    required(options, 'key');
    const signing = descriptionSigning(options, out);
    if (options.root !== undefined) checkRootsFit(options.root, out);
    if (options.root !== undefined && options.at !== undefined) checkRootsKeepCurrent(out, signing.root);
    const { release, notes, chunks } = await prepareRelease(folder, out, options, { writeChunks: true });
    const signature = signing.sign(release.text);
    const announced = release.notBefore !== null;
    layOut(out, release);
    // The root versions before the description they sign for.
    if (options.root !== undefined) copyRoots(options.root, out);
    writeDescription(out, release.channel, release.text, signature, announced);
    checkLaidOut(out, release.channel, signing.trust, announced);
    keepModulus(out, signing.keep);
    if (!announced) warnIfAnnouncedBehind(out, release.channel);
    for (const note of notes) console.log(note);
    if (chunks.totals.files > 0) console.log(chunksReport(chunks.totals, true));
    if (chunks.packTotals.files > 0) console.log(chunksReport(chunks.packTotals, true, 'pack'));
    console.log(`${announced ? 'announced' : 'published'} ${release.channel} build ${release.build}: ` +
                `${release.files.length} file(s)` +
                `${release.launcher ? ` and launcher ${release.launcher.version}` : ''} in ${out}` +
                ` (sequence ${release.sequence}${release.expires ? `, expires ${release.expires}` : ''})`);
    if (announced) console.log(announcedLine(out, release.channel, release.notBefore));
  },

  async release({ positional, options }) {
    expectPositional(positional, 2, 2, 'release');
    const [folder, out] = positional;
    const unsignedOut = options['unsigned-out'];
    if ((options.key === undefined) === (unsignedOut === undefined)) {
      usageError('give either --key (the description is signed here) or --unsigned-out (it is signed elsewhere)');
    }
    const signing = descriptionSigning(options, out);
    const key = signing.keys[0] ?? null;
    if (unsignedOut !== undefined) {
      const dir = path.resolve(out, required(options, 'channel'));
      if ([dir, path.join(dir, 'next')].includes(path.resolve(path.dirname(unsignedOut)))) {
        refuse(`--unsigned-out must lie outside ${dir}: players would fetch a description without its signature`);
      }
    }
    if (options.root !== undefined) checkRootsFit(options.root, out);
    if (key && options.root !== undefined && options.at !== undefined) checkRootsKeepCurrent(out, signing.root);
    const dryRun = Boolean(options['dry-run']);
    const { release, publishedFile, notes, chunks } = await prepareRelease(folder, out, options,
                                                                           { writeChunks: !dryRun });
    const signature = key ? signing.sign(release.text) : null;
    const next = readManifest(release.text);
    const size = release.launcher ? release.launcher.size : 0;
    const report = await changesReport(out, publishedFile, next, size, chunks.indexes);
    for (const note of notes) console.log(note);
    console.log(report);
    if (chunks.totals.files > 0) console.log(chunksReport(chunks.totals, !dryRun));
    if (chunks.packTotals.files > 0) console.log(chunksReport(chunks.packTotals, !dryRun, 'pack'));
    const announced = release.notBefore !== null;
    if (dryRun) {
      console.log(`dry run: nothing written${announced ? `; it would be announced for ${release.notBefore} in ` +
                                                        announcedOf(out, release.channel) : ''}`);
      return;
    }
    layOut(out, release);
    if (signature) {
      if (options.root !== undefined) copyRoots(options.root, out);
      writeDescription(out, release.channel, release.text, signature, announced);
      checkLaidOut(out, release.channel, signing.trust, announced);
      keepModulus(out, signing.keep);
      if (!announced) warnIfAnnouncedBehind(out, release.channel);
      console.log(`${announced ? 'announced' : 'published'} in ${out}; verified: signature, description and every ` +
                  'file it names');
      if (announced) console.log(announcedLine(out, release.channel, release.notBefore));
      return;
    }
    writeReplacing(unsignedOut, release.text);
    checkNamedFiles(out, next);
    console.log(`files laid out in ${out}; the description to sign: ${unsignedOut}`);
    if (announced) {
      console.log(`it is announced for ${release.notBefore}: place lays it out in ${announcedOf(out, release.channel)}`);
    }
    if (signing.root === null) {
      console.log('sign it where the release key is (velmora-release sign), then put both in place with ' +
                  'velmora-release place');
      return;
    }
    console.log(rootsForSigning(options.root, out, signing.root));
    const { releaseThreshold, releaseKeys, version } = signing.root;
    console.log(`sign it where the release keys are: ${releaseThreshold} of the ${releaseKeys.length} release keys ` +
                `of root version ${version}, each holder in turn (velmora-release sign --root), then put both ` +
                'in place with velmora-release place');
  },

  root({ positional, options }) {
    const [verb, folder] = positional;
    if (positional.length !== 2 || !['new', 'show'].includes(verb)) {
      usageError('root: give new or show and the root folder');
    }
    if (verb === 'show') {
      console.log(showRoots(folder));
      const warning = expiryWarning(newestRoot(folder));
      if (warning?.passed) refuse(warning.text);
      if (warning) console.error(`velmora-release: ${warning.text}`);
      return;
    }
    const signers = [].concat(required(options, 'sign-with')).map((file) => readPrivateKey(file));
    const expires = rootExpiryFromOptions(options);
    const root = newRoot(folder, options, signers, expires);
    console.log(`root version ${root.version} written in ${folder}: ${root.rootThreshold} of ` +
                `${root.rootKeys.length} root keys, ${root.releaseThreshold} of ${root.releaseKeys.length} release keys` +
                (expires ? `, expires ${expires}` : ', never expires'));
  },

  async place({ positional, options }) {
    expectPositional(positional, 3, 3, 'place');
    const [manifestFile, signatureFile, out] = positional;
    const text = readFileOrRefuse(manifestFile, 'the description');
    const signature = readFileOrRefuse(signatureFile, 'the signature');
    const trust = placeTrust(options, out);
    checkPlacedSignature(manifestFile, signatureFile, text, signature, trust);
    const next = readManifest(text);
    if (next.problem) refuse(`every launcher would reject ${manifestFile}: ${next.problem}`);
    checkSegment('the channel', next.channel);
    if (['files', 'launcher', 'chunks'].includes(next.channel)) refuse(`the channel cannot be named "${next.channel}"`);
    if (expiryLine(next.expires).passed) refuse(`${manifestFile} expired at ${next.expires}: every launcher refuses it`);
    const publishedFile = path.join(out, next.channel, 'manifest.txt');
    const published = publishedSequence(publishedFile);
    const announced = announcedHour(next, manifestFile) !== null;
    if (announced) checkAboveCurrent(out, next.channel, next, manifestFile);
    if (announced && options.root !== undefined) checkRootsKeepCurrent(out, trust.root);
    if (!announced && !options.force && published.sequence !== null && published.sequence > 0n) {
      if (next.sequence === null) {
        refuse(`${manifestFile} has no sequence, and ${publishedFile} has ${published.sequence} ` +
               '(--force places it all the same)');
      }
      if (next.sequence <= published.sequence) {
        refuse(`the sequence of ${manifestFile}, ${next.sequence}, is not above ${published.sequence}, the sequence of ` +
               `${publishedFile}: launchers that have seen that one refuse this one (--force places it all the same)`);
      }
    }
    checkNamedFiles(out, next);
    console.log(await changesReport(out, publishedFile, next, launcherSize(out, next)));
    // The root versions before the description they sign for.
    if (options.root !== undefined) copyRoots(options.root, out);
    writeDescription(out, next.channel, text, signature, announced);
    checkLaidOut(out, next.channel, trust, announced);
    keepModulus(out, trust.builtin?.modulus ?? null);
    if (!announced) warnIfAnnouncedBehind(out, next.channel);
    const where = announced ? announcedOf(out, next.channel) : path.join(out, next.channel);
    console.log(`placed in ${where}; verified: signature, description and every file it names`);
    if (announced) console.log(announcedLine(out, next.channel, next.notBefore));
  },

  // The announced release made current: its pair over the current one, as
  // publish writes a pair, then next/ taken away.
  async promote({ positional, options }) {
    expectPositional(positional, 1, 1, 'promote');
    const out = positional[0];
    const channel = required(options, 'channel');
    checkSegment('the channel', channel);
    const pairIn = (dir) => ['manifest.txt', 'manifest.sig'].map((f) => path.join(dir, f));
    const [textFile, sigFile] = pairIn(announcedOf(out, channel));
    const current = pairIn(path.join(out, channel));
    if (!fs.existsSync(textFile)) refuse(`nothing is announced for ${channel}: ${textFile} is not there`);
    const pair = [readFileOrRefuse(textFile, 'the announced description'), readFileOrRefuse(sigFile, 'its signature')];
    // A promote cut short once the pair was in place leaves next/ to remove.
    if (current.every((f, i) => fs.existsSync(f) && fs.readFileSync(f).equals(pair[i]))) {
      removeAnnounced(out, channel);
      console.log(`${textFile} is current already; ${announcedOf(out, channel)} removed`);
      return;
    }
    const trust = requiredTrust(options, out);
    const next = checkLaidOut(out, channel, trust, true);
    checkAboveCurrent(out, channel, next, textFile);
    if (expiryLine(next.expires).passed) refuse(`${textFile} expired at ${next.expires}: every launcher refuses it`);
    const hour = announcedHour(next, textFile);
    if (hour !== null && hour > Date.now() && !options.force) {
      refuse(`${channel} build ${next.build} is announced for ${next.notBefore}, which has not come yet: promote ` +
             'it then or later (--force promotes it now)');
    }
    console.log(await changesReport(out, current[0], next, launcherSize(out, next)));
    writeDescription(out, channel, ...pair);
    removeAnnounced(out, channel);
    checkLaidOut(out, channel, trust);
    console.log(`promoted: ${channel} build ${next.build}, sequence ${next.sequence ?? 'none'}, is current in ` +
                `${path.join(out, channel)}; ${announcedOf(out, channel)} removed. Upload ${channel}/manifest.sig, ` +
                `then ${channel}/manifest.txt, then delete ${channel}/next/ there`);
  },

  prune({ positional, options }) {
    expectPositional(positional, 1, 1, 'prune');
    const out = positional[0];
    const channel = required(options, 'channel');
    checkSegment('the channel', channel);
    const keepText = required(options, 'keep');
    if (!/^(0|[1-9][0-9]{0,8})$/.test(keepText)) refuse('--keep must be a whole number of descriptions, 0 or more');
    const plan = prunePlan(out, channel, Number(keepText));
    const dryRun = Boolean(options['dry-run']);
    if (!dryRun) pruneBy(plan);
    for (const file of plan.kept) console.log(`kept: ${file}`);
    const verb = dryRun ? 'would remove' : 'removed';
    for (const r of plan.remove) console.log(`${verb}: ${r.file}`);
    for (const file of plan.forgotten) console.log(`${verb}: ${file}`);
    const bytes = plan.remove.reduce((sum, r) => sum + r.size, 0);
    console.log(`${channel}: ${verb} ${plan.remove.length} chunk object(s) and index(es), ${bytes} bytes, ` +
                `and ${plan.forgotten.length} older description(s)${dryRun ? '; dry run: nothing removed' : ''}`);
  },
};

async function main(argv) {
  const [command, ...rest] = argv;
  if (['help', '--help', '-h'].includes(command)) {
    console.log(USAGE);
    return 0;
  }
  try {
    if (command === undefined) usageError('give a command');
    if (!Object.hasOwn(commands, command)) usageError(`no command "${command}"`);
    await commands[command](parseArgs(command, rest));
    return 0;
  } catch (e) {
    // The reason first, where a script's log shows it, then the usage.
    if (e instanceof UsageError) {
      console.error(`velmora-release: ${e.message}\n${USAGE}`);
      return 2;
    }
    if (!(e instanceof Refusal) && !e.code) throw e;
    console.error(`velmora-release: ${e.message}`);
    return 1;
  }
}

// Run as a program; imported (by the tests), it only lends its rules.
const invokedAs = process.argv[1] ? fs.realpathSync(process.argv[1]) : '';
if (invokedAs === fileURLToPath(import.meta.url)) {
  process.exitCode = await main(process.argv.slice(2));
}
