// Announced releases: published ahead, with everything they name in place,
// and switched on at an hour. The description and its signature wait in
// <channel>/next/ until promote puts them over the current pair; launchers
// fetch only <channel>/manifest.txt, so until then they see the current one.
import fs from 'node:fs';
import path from 'node:path';

import { announcedOf } from './chunks.mjs';
import { parseExpiry } from './description.mjs';
import { refuse } from './errors.mjs';
import { publishedSequence } from './layout.mjs';

const AT_FORM = 'a UTC time as 2026-12-12T18:00:00Z (RFC 3339 to the second, with a trailing Z)';

// --at TIME: the hour the release is switched on at, null without it.
// expires: the description's expiry, which must come after the hour.
export function announceFromOptions(options, expires) {
  const at = options.at;
  if (at === undefined) return null;
  if (parseExpiry(at) === null) refuse(`--at ${at}: give ${AT_FORM}`);
  if (options.force) {
    refuse('--force and --at go apart: promote refuses an announced release numbered at or below the current one');
  }
  if (expires && parseExpiry(expires) <= parseExpiry(at)) {
    refuse(`the description would expire at ${expires}, before its hour ${at}: give a longer --expires-in`);
  }
  return at;
}

// The hour of a description read with readManifest, in milliseconds; null
// when it has no not-before line, which makes it an ordinary release.
export function announcedHour(description, what) {
  if (description.notBefore === null) return null;
  const at = parseExpiry(description.notBefore);
  if (at === null) refuse(`the not-before line of ${what} is not ${AT_FORM}`);
  return at;
}

// A launcher that installed the current release refuses a later one
// numbered at or below it, so an announced one must be above it.
export function checkAboveCurrent(out, channel, description, what) {
  const currentFile = path.join(out, channel, 'manifest.txt');
  const current = publishedSequence(currentFile).sequence;
  if (current === null || current === 0n) return;
  if (description.sequence === null || description.sequence <= current) {
    refuse(`the sequence of ${what}, ${description.sequence ?? 'none'}, is not above ${current}, the sequence of ` +
           `${currentFile}: launchers that installed that one would refuse it at its hour`);
  }
}

// A warning for a release put in place over an announced one's number:
// promote would refuse the announced one, and the publisher hears it now.
export function announcedBehind(out, channel) {
  const file = path.join(announcedOf(out, channel), 'manifest.txt');
  if (!fs.existsSync(file)) return null;
  const announced = publishedSequence(file).sequence;
  const current = publishedSequence(path.join(out, channel, 'manifest.txt')).sequence;
  if (announced === null || current === null || announced > current) return null;
  return `warning: the release announced in ${file} (sequence ${announced}) is not above this one any more: ` +
         'promote will refuse it; announce it again (publish --at) to number it above';
}

// The announced pair taken away once it is current, the description
// first: a reader of next/ never meets a description without its signature.
export function removeAnnounced(out, channel) {
  const dir = announcedOf(out, channel);
  for (const name of ['manifest.txt', 'manifest.sig']) fs.rmSync(path.join(dir, name), { force: true });
  try {
    fs.rmdirSync(dir);
  } catch (e) {
    if (e.code !== 'ENOTEMPTY' && e.code !== 'ENOENT') throw e;
  }
}
