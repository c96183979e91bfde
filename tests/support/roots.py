#!/usr/bin/env python3
"""Root versions and signatures for the trust tests, made with openssl alone
(independently of the release tool).

    roots.py keys DIR N
        N RSA-2048 keys in DIR (key1.pem ... keyN.pem), each with its
        modulus in keyK.hex; key 0 is the test release key built into the
        launcher (tests/support/keys/test-release-key.TEST-ONLY.pem). Keys
        already there are kept.
    roots.py root DIR OUT VERSION [--version-line V] [--root K...]
                  [--root-threshold T] [--release K...] [--release-threshold T]
                  [--expires ISO] [--pad BYTES] --sign K...
        OUT/VERSION.root.txt and its signatures OUT/VERSION.root.sig, one
        "sig" line per --sign key, in the order given (a key given twice
        signs twice).
    roots.py sign DIR FILE SIGFILE K...
        "sig" lines over FILE by the keys given.
"""
import hashlib
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
BUILT_IN = os.path.join(HERE, "keys", "test-release-key.TEST-ONLY.pem")


def pem(keys, k):
    return BUILT_IN if k == "0" else os.path.join(keys, "key%s.pem" % k)


def modulus(keys, k):
    out = subprocess.run(["openssl", "rsa", "-in", pem(keys, k), "-noout", "-modulus"], check=True,
                         capture_output=True, text=True).stdout
    return out.strip().split("=", 1)[1].lower()


def signature_lines(keys, data_file, signers):
    lines = []
    for k in signers:
        sig = subprocess.run(["openssl", "dgst", "-sha256", "-sign", pem(keys, k), data_file], check=True,
                             capture_output=True).stdout
        key_id = hashlib.sha256(bytes.fromhex(modulus(keys, k))).hexdigest()
        lines.append("sig %s %s\n" % (key_id, sig.hex()))
    return "".join(lines)


def take(args, name):
    """The values after --name, up to the next option."""
    values = []
    if name in args:
        i = args.index(name) + 1
        while i < len(args) and not args[i].startswith("--"):
            values.append(args[i])
            i += 1
    return values


def main(argv):
    verb = argv[1]
    if verb == "keys":
        keys, count = argv[2], int(argv[3])
        os.makedirs(keys, exist_ok=True)
        for k in range(1, count + 1):
            if not os.path.exists(pem(keys, str(k))):
                subprocess.run(["openssl", "genrsa", "-out", pem(keys, str(k)), "2048"], check=True,
                               capture_output=True)
        return 0
    if verb == "root":
        keys, out, version, rest = argv[2], argv[3], argv[4], argv[5:]
        os.makedirs(out, exist_ok=True)
        lines = ["velmoramp-root 1", "version %s" % (take(rest, "--version-line") or [version])[0]]
        lines += ["expires %s" % e for e in take(rest, "--expires")]
        lines += ["root-key %s" % modulus(keys, k) for k in take(rest, "--root")]
        lines += ["root-threshold %s" % t for t in take(rest, "--root-threshold")]
        lines += ["release-key %s" % modulus(keys, k) for k in take(rest, "--release")]
        lines += ["release-threshold %s" % t for t in take(rest, "--release-threshold")]
        text = "\n".join(lines) + "\n"
        for pad in take(rest, "--pad"):
            text += "# " + "x" * int(pad) + "\n"
        path = os.path.join(out, "%s.root.txt" % version)
        with open(path, "w") as f:
            f.write(text)
        with open(os.path.join(out, "%s.root.sig" % version), "w") as f:
            f.write(signature_lines(keys, path, take(rest, "--sign")))
        return 0
    if verb == "sign":
        keys, data_file, sig_file, signers = argv[2], argv[3], argv[4], argv[5:]
        with open(sig_file, "w") as f:
            f.write(signature_lines(keys, data_file, signers))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
