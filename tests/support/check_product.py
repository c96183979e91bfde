#!/usr/bin/env python3
"""Checks the shipped launcher executable as Windows will see it.

    check_product.py VelmoraMultiplayer.exe

The product is a 32-bit GUI program that runs with nothing beside it: a PE32
image for x86, the GUI subsystem, no DLL of the cross toolchain among its
imports, and the application manifest, the version resource and the page
among its resources. Prints what it found; exit code 1 on any difference.
"""
import struct
import sys

# DLLs that only exist where the toolchain is installed: a player has none.
TOOLCHAIN_DLLS = ("libgcc", "libstdc++", "libwinpthread", "libssp", "libatomic", "libgomp", "zlib")
RT_RCDATA, RT_VERSION, RT_MANIFEST = 10, 16, 24


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an executable (no MZ header)")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        dirs = opt + (96 if self.magic == 0x10B else 112)
        count = struct.unpack_from("<I", data, dirs - 4)[0]
        self.dirs = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(min(count, 16))]
        self.sections = []
        table = opt + opt_size
        for i in range(sections):
            _, vsize, vaddr, rsize, raddr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((vaddr, max(vsize, rsize), raddr))

    def offset(self, rva):
        for vaddr, size, raddr in self.sections:
            if vaddr <= rva < vaddr + size:
                return raddr + rva - vaddr
        raise ValueError("address 0x%x lies in no section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii", "replace")

    def imports(self):
        rva, size = self.dirs[1] if len(self.dirs) > 1 else (0, 0)
        names = []
        if not rva:
            return names
        at = self.offset(rva)
        while True:
            entry = struct.unpack_from("<IIIII", self.data, at)
            if entry == (0, 0, 0, 0, 0):
                return names
            names.append(self.cstring(entry[3]))
            at += 20

    def resources(self):
        """{type id: [name ids]} of the resource tree's first two levels."""
        rva, _ = self.dirs[2] if len(self.dirs) > 2 else (0, 0)
        found = {}
        if not rva:
            return found
        base = self.offset(rva)

        def entries(at):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                yield name, target

        for type_id, target in entries(base):
            if type_id & 0x80000000 or not target & 0x80000000:
                continue
            found[type_id] = [n for n, _ in entries(base + (target & 0x7FFFFFFF)) if not n & 0x80000000]
        return found


    def resource_data(self, type_id, name_id):
        """The bytes of a resource (its first language), or None."""
        rva, _ = self.dirs[2] if len(self.dirs) > 2 else (0, 0)
        if not rva:
            return None
        base = self.offset(rva)

        def child(at, wanted):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                if wanted is None or name == wanted:
                    return target
            return None

        level = base
        for wanted in (type_id, name_id, None):
            target = child(level, wanted)
            if target is None:
                return None
            if not target & 0x80000000:
                data_rva, size = struct.unpack_from("<II", self.data, base + target)
                start = self.offset(data_rva)
                return self.data[start:start + size]
            level = base + (target & 0x7FFFFFFF)
        return None


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip())
        return 2
    path = sys.argv[1]
    try:
        image = Image(open(path, "rb").read())
        imports = image.imports()
        resources = image.resources()
        manifest = image.resource_data(RT_MANIFEST, 1) or b""
    except (OSError, ValueError, struct.error) as e:
        print("%s: %s" % (path, e))
        return 1
    checks = [
        ("PE32 image (optional header magic 0x10b)", image.magic == 0x10B, "0x%x" % image.magic),
        ("for x86 (machine 0x14c)", image.machine == 0x14C, "0x%x" % image.machine),
        ("GUI subsystem (2)", image.subsystem == 2, str(image.subsystem)),
        ("no toolchain DLL among the imports",
         not [n for n in imports if n.lower().startswith(TOOLCHAIN_DLLS)], ", ".join(imports)),
        ("application manifest (RT_MANIFEST 1)", 1 in resources.get(RT_MANIFEST, []),
         str(resources.get(RT_MANIFEST))),
        ("manifest: per-monitor DPI awareness (PerMonitorV2)",
         b">PerMonitorV2</dpiAwareness>" in manifest and b">true/pm</dpiAware>" in manifest,
         manifest[:80].decode(errors="replace")),
        ("manifest: long paths (longPathAware true)",
         b"<longPathAware" in manifest and b">true</longPathAware>" in manifest, manifest[:80].decode(errors="replace")),
        ("version resource (RT_VERSION 1)", 1 in resources.get(RT_VERSION, []), str(resources.get(RT_VERSION))),
        ("launcher page (RCDATA 1)", 1 in resources.get(RT_RCDATA, []), str(resources.get(RT_RCDATA))),
    ]
    failed = 0
    for what, ok, seen in checks:
        print("%s %s%s" % ("ok  " if ok else "FAIL", what, "" if ok else " — found " + seen))
        failed += not ok
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
