// The command line: the usage, the options each command takes, and the
// positional arguments it needs.
import { refuse, usageError } from './errors.mjs';

export const USAGE = `usage:
  velmora-release keygen <private.pem> <public.modulus>
  velmora-release pubkey <private.pem> [<public.modulus>]
  velmora-release manifest <folder> --channel C --build B --protocol N --server HOST:PORT
                           [--notes TEXT] [--launcher EXE --launcher-version N]
                           [--sequence N [--force]] [--expires-in DAYS]
                           [--mirror URL]... [--source-prefix P] [--out manifest.txt]
  velmora-release sign <manifest.txt> --key <private.pem>... [--lines] [--root <root folder>]
                       [--modulus <public.modulus>] [--out manifest.sig]
  velmora-release verify <manifest.txt> <manifest.sig> (--modulus <public.modulus> | --root <root folder>
                         [--modulus <public.modulus>])
  velmora-release sign-exe <exe> --cert <cert.pem> --key <key.pem> [--timestamp URL] [--out EXE]
  velmora-release verify-exe <exe> [--ca <ca.pem>] [--built <unsigned.exe>]
  velmora-release publish <folder> <out> --key <private.pem>... [--root <root folder>] [--modulus <public.modulus>]
                          --channel C --build B --protocol N --server HOST:PORT [--notes TEXT]
                          [--launcher EXE --launcher-version N]
                          [--code-signing-cert <cert.pem> --code-signing-key <key.pem> [--timestamp URL]]
                          [--sequence N [--force]] [--expires-in DAYS]
                          [--no-chunks | --chunk-min-size BYTES] [--no-pack] [--mirror URL]...
                          [--at <UTC time, as 2026-12-12T18:00:00Z>]
  velmora-release release <folder> <out> (--key <private.pem> | --unsigned-out <manifest.txt>)
                          [--dry-run] ...the options of publish
  velmora-release place <manifest.txt> <manifest.sig> <out> [--root <root folder>] [--modulus <public.modulus>]
                        [--force]
  velmora-release promote <out> --channel C [--modulus <public.modulus>] [--force]
  velmora-release prune <out> --channel C --keep N [--dry-run]
  velmora-release root new <root folder> --sign-with <private.pem>... --root-key <public.modulus>...
                           --root-threshold K --release-key <public.modulus>... --release-threshold K
                           [--expires-in DAYS | --expires-in never] [--builtin <public.modulus>]
  velmora-release root show <root folder>`;

const FLAGS = new Set(['force', 'dry-run', 'no-chunks', 'no-pack', 'lines']);
// Options that may be given more than once, each adding a value.
const REPEATED = new Set(['mirror', 'key', 'sign-with', 'root-key', 'release-key']);
const RELEASE_OPTIONS = ['channel', 'build', 'protocol', 'server', 'notes', 'launcher', 'launcher-version',
                         'sequence', 'force', 'expires-in', 'mirror'];
const PUBLISH_OPTIONS = [...RELEASE_OPTIONS, 'key', 'code-signing-cert', 'code-signing-key', 'timestamp', 'no-chunks',
                         'chunk-min-size', 'no-pack', 'root', 'modulus', 'at'];
// An option a command does not take is refused, never ignored: a
// certificate that silently went unused would ship an unsigned launcher.
const COMMAND_OPTIONS = {
  keygen: [],
  pubkey: [],
  manifest: [...RELEASE_OPTIONS, 'source-prefix', 'out'],
  sign: ['key', 'out', 'lines', 'root', 'modulus'],
  verify: ['modulus', 'root'],
  'sign-exe': ['cert', 'key', 'timestamp', 'out'],
  'verify-exe': ['ca', 'built'],
  publish: PUBLISH_OPTIONS,
  release: [...PUBLISH_OPTIONS, 'dry-run', 'unsigned-out'],
  place: ['modulus', 'force', 'root'],
  promote: ['channel', 'modulus', 'force'],
  prune: ['channel', 'keep', 'dry-run'],
  root: ['sign-with', 'root-key', 'root-threshold', 'release-key', 'release-threshold', 'expires-in', 'builtin'],
};

export function parseArgs(command, argv) {
  const allowed = new Set(COMMAND_OPTIONS[command]);
  const positional = [];
  const options = {};
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (!arg.startsWith('--')) {
      positional.push(arg);
      continue;
    }
    const name = arg.slice(2);
    if (!allowed.has(name)) usageError(`${command} takes no option --${name}`);
    if (name in options && !REPEATED.has(name)) usageError(`--${name} is given twice`);
    if (REPEATED.has(name)) {
      if (i + 1 >= argv.length) usageError(`--${name} needs a value`);
      options[name] = [...(options[name] ?? []), argv[++i]];
      continue;
    }
    if (FLAGS.has(name)) {
      options[name] = true;
      continue;
    }
    if (i + 1 >= argv.length) usageError(`--${name} needs a value`);
    options[name] = argv[++i];
  }
  return { positional, options };
}

export function expectPositional(positional, min, max, command) {
  if (positional.length < min || positional.length > max) {
    usageError(`${command}: wrong number of arguments`);
  }
}

// An option that may be given only once here, though others take it often.
export function single(options, name) {
  const value = options[name];
  if (Array.isArray(value)) {
    if (value.length > 1) refuse(`--${name} is given more than once`);
    return value[0];
  }
  return value;
}

// A missing option is a command line that names no valid request.
export function required(options, name) {
  if (options[name] === undefined) usageError(`--${name} is required`);
  return options[name];
}
