// What a new description changes against the one published for its
// channel, as the release and place commands report it.
import fs from 'node:fs';

import { chunkFetches } from './chunks.mjs';
import { readManifest } from './description.mjs';

function formatBytes(bytes) {
  const units = ['KiB', 'MiB', 'GiB', 'TiB'];
  let value = Number(bytes);
  if (value < 1024) return `${bytes} bytes`;
  let unit = -1;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit++;
  }
  return `${bytes} bytes (${value.toFixed(1)} ${units[unit]})`;
}

function describeRelease(d) {
  return `build ${d.build}, sequence ${d.sequence ?? 'none'}, ${d.expires ? `expires ${d.expires}` : 'no expiry'}` +
         (d.notBefore !== null ? `, not before ${d.notBefore}` : '');
}

// What a new description changes against the one published for its
// channel, and what a player who has the published release downloads: the
// chunks a changed chunked file lacks, whole bytes for the other files and
// the launcher (the chunk indexes, a few hundred bytes each, aside).
// indexes: the chunks of this release's indexes (ChunkStore.indexes).
export async function changesReport(out, publishedFile, next, launcherSize, indexes) {
  const lines = [`${next.channel}: ${describeRelease(next)}`];
  let published = null;
  if (!fs.existsSync(publishedFile)) {
    lines.push(`nothing is published for ${next.channel} yet: every file is new`);
  } else {
    published = readManifest(fs.readFileSync(publishedFile));
    if (published.problem) {
      lines.push(`the published description is refused by every launcher (${published.problem}): ` +
                 'compared with nothing');
      published = null;
    } else {
      lines.push(`against the published ${describeRelease(published)}:`);
    }
  }
  // Windows folders ignore letter case: a file whose name changed only in
  // case is the same file on a player's disk.
  const before = new Map((published?.files ?? []).map((f) => [f.path.toLowerCase(), f]));
  const after = new Set(next.files.map((f) => f.path.toLowerCase()));
  const fetches = await chunkFetches(out, published, next, indexes);
  let download = 0n;
  let unchanged = 0;
  for (const f of next.files) {
    const old = before.get(f.path.toLowerCase());
    if (old && old.sha256 === f.sha256) {
      unchanged++;
      continue;
    }
    const chunked = fetches.get(f.path.toLowerCase());
    lines.push(`  ${old ? 'changed' : 'added  '}  ${f.path}  ${formatBytes(f.size)}` +
               (chunked ? `; fetched in ${chunked.chunks} chunk(s), ${formatBytes(chunked.bytes)}` : ''));
    download += chunked ? chunked.bytes : f.size;
  }
  for (const f of published?.files ?? []) {
    if (!after.has(f.path.toLowerCase())) lines.push(`  removed  ${f.path}`);
  }
  const was = published?.launcher ?? null;
  const now = next.launcher;
  if (now && (!was || now.version > was.version)) {
    lines.push(`  launcher ${was ? `${was.version} -> ` : ''}${now.version}  ${formatBytes(launcherSize)}`);
    download += BigInt(launcherSize);
  } else if (now && was && now.version === was.version && now.sha256 !== was.sha256) {
    lines.push(`  launcher ${now.version}: other bytes under the same number; launchers already on ` +
               `${now.version} keep theirs`);
  } else if (!now && was) {
    lines.push(`  launcher ${was.version} no longer offered`);
  }
  if (unchanged > 0) lines.push(`  unchanged: ${unchanged} file(s)`);
  lines.push(`a player with the published release downloads ${formatBytes(download)}`);
  return lines.join('\n');
}
