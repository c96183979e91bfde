// Files on the publisher's disk: written so that no reader meets half a
// file, read with a refusal that names them, hashed, listed in byte order,
// and scratch folders that are gone when the command ends.
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import process from 'node:process';

import { refuse } from './errors.mjs';

export function writeNew(file, data, mode) {
  try {
    fs.writeFileSync(file, data, { flag: 'wx', mode });
  } catch (e) {
    if (e.code === 'EEXIST') refuse(`${file} exists already; not overwriting it`);
    throw e;
  }
}

// Beside the file, so that its rename stays on one file system; the pid
// keeps two runs apart.
export const tempNameOf = (file) => `${file}.tmp-${process.pid}`;

// Written and flushed to the disk, so that a rename after it never puts a
// file in place whose bytes a crash could still lose.
export function writeFlushed(file, data) {
  const fd = fs.openSync(file, 'w');
  try {
    fs.writeFileSync(fd, data);
    fs.fsyncSync(fd);
  } finally {
    fs.closeSync(fd);
  }
}

// Written beside, flushed to the disk and renamed over, so that neither a
// reader nor a crash ever meets a half-written file.
export function writeReplacing(file, data) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  const temp = tempNameOf(file);
  try {
    writeFlushed(temp, data);
    fs.renameSync(temp, file);
  } catch (e) {
    fs.rmSync(temp, { force: true });
    throw e;
  }
}

export function sha256File(file) {
  const hash = crypto.createHash('sha256');
  const fd = fs.openSync(file, 'r');
  try {
    const buffer = Buffer.alloc(1 << 20);
    let n;
    while ((n = fs.readSync(fd, buffer, 0, buffer.length, null)) > 0) hash.update(buffer.subarray(0, n));
  } finally {
    fs.closeSync(fd);
  }
  return hash.digest('hex');
}

export function readFileOrRefuse(file, what) {
  try {
    return fs.readFileSync(file);
  } catch (e) {
    refuse(`${file}: cannot read ${what} (${e.code ?? e.message})`);
  }
}

// Every regular file under the folder, as "/"-separated relative paths in
// byte order, so the same folder always gives the same manifest.
export function listFiles(root) {
  let stat;
  try {
    stat = fs.statSync(root);
  } catch {
    refuse(`${root}: no such folder`);
  }
  if (!stat.isDirectory()) refuse(`${root} is not a folder`);
  const found = [];
  const walk = (dir, rel) => {
    for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
      const relPath = rel === '' ? entry.name : `${rel}/${entry.name}`;
      const full = path.join(dir, entry.name);
      if (entry.isDirectory()) {
        walk(full, relPath);
      } else if (entry.isFile() || (entry.isSymbolicLink() && fs.statSync(full).isFile())) {
        found.push({ relPath, full });
      } else {
        refuse(`${relPath}: only files and folders can be published`);
      }
    }
  };
  walk(root, '');
  found.sort((a, b) => Buffer.compare(Buffer.from(a.relPath), Buffer.from(b.relPath)));
  return found;
}

// A scratch folder that is gone when the command ends, however it ends.
const scratchFolders = [];
process.on('exit', () => {
  for (const dir of scratchFolders) fs.rmSync(dir, { recursive: true, force: true });
});
export function scratchFolder() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-release-'));
  scratchFolders.push(dir);
  return dir;
}
