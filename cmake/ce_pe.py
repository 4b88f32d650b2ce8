#!/usr/bin/python3
"""The Windows CE ARM DLL's headers and code, as every CE 5.0 and later
loader on every ARM generation takes them: checked.

    ce_pe.py check DLL   lists every way DLL falls short; prints its figures

`problems` lists every way the image falls short (one reason a line): the
machine (THUMB, 0x1C2: ARM code that may call and be called by Thumb
code), subsystem WINDOWS_CE_GUI with a version no higher than 5.00 (the
version is the lowest CE the image may run on; a CE 5.0 loader refuses a
higher one), HIGHLOW base relocations only, aligned directories, no TLS,
the version resource, coredll imports only, the one export, the size, and
no instruction beyond ARMv4T (cmake/arm_code.py). The ARM run's loader
refuses a DLL for the same reasons, judging the instructions by the CPU it
emulates.
"""
import struct
import sys

import arm_code

MACHINE_THUMB = 0x1C2
SUBSYSTEM_WINDOWS_CE_GUI = 9
RELOC_ABSOLUTE, RELOC_HIGHLOW = 0, 3
MAX_SUBSYSTEM_VERSION = (5, 0)
SIZE_LIMIT = 16 * 1024
DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE, DIR_RELOC, DIR_TLS, DIR_IAT = 0, 1, 2, 5, 9, 12


class Image:
    """A PE image held as bytes, with its headers' offsets."""

    def __init__(self, data):
        self.data = bytearray(data)
        if self.data[:2] != b"MZ":
            raise ValueError("not an MZ image")
        self.pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[self.pe:self.pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.coff = self.pe + 4
        self.opt = self.coff + 20
        if self.u16(self.opt) != 0x10B:
            raise ValueError("not a 32-bit (PE32) image")
        count = self.u16(self.coff + 2)
        first = self.opt + self.u16(self.coff + 16)
        self.sections = []
        for i in range(count):
            at = first + 40 * i
            name = bytes(self.data[at:at + 8]).rstrip(b"\0").decode()
            vsize, rva, rawsize, rawptr = struct.unpack_from("<IIII", self.data, at + 8)
            self.sections.append({"name": name, "header": at, "vsize": vsize, "rva": rva,
                                  "rawsize": rawsize, "rawptr": rawptr})

    def u16(self, at):
        return struct.unpack_from("<H", self.data, at)[0]

    def u32(self, at):
        return struct.unpack_from("<I", self.data, at)[0]

    machine = property(lambda self: self.u16(self.coff))
    image_base = property(lambda self: self.u32(self.opt + 28))
    entry = property(lambda self: self.u32(self.opt + 16))
    size_of_image = property(lambda self: self.u32(self.opt + 56))
    subsystem = property(lambda self: self.u16(self.opt + 68))
    subsystem_version = property(lambda self: (self.u16(self.opt + 48), self.u16(self.opt + 50)))

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.opt + 96 + 8 * index)

    def section_of(self, rva):
        for s in self.sections:
            if s["rva"] <= rva < s["rva"] + max(s["vsize"], s["rawsize"]):
                return s
        raise ValueError("RVA 0x%X lies in no section" % rva)

    def offset(self, rva):
        s = self.section_of(rva)
        return s["rawptr"] + rva - s["rva"]

    def read(self, rva, size):
        at = self.offset(rva)
        return bytes(self.data[at:at + size])

    def string(self, rva):
        at = self.offset(rva)
        return bytes(self.data[at:self.data.index(0, at)]).decode("ascii")

    def relocations(self):
        """(type, rva) of every base relocation entry."""
        rva, size = self.directory(DIR_RELOC)
        out, at = [], 0
        while at + 8 <= size:
            page, block = struct.unpack("<II", self.read(rva + at, 8))
            if block < 8:
                break
            for i in range((block - 8) // 2):
                entry = struct.unpack("<H", self.read(rva + at + 8 + 2 * i, 2))[0]
                out.append((entry >> 12, page + (entry & 0xFFF)))
            at += block
        return out

    def import_descriptors(self):
        """(lookup table, name, import address table) RVAs of every entry
        of the import directory, up to its terminator."""
        rva, _ = self.directory(DIR_IMPORT)
        out = []
        while rva:
            lookup, _, _, name, iat = struct.unpack("<IIIII", self.read(rva, 20))
            if name == 0:
                break
            out.append((lookup, name, iat))
            rva += 20
        return out

    def imports(self):
        """{dll name: [entry names]}."""
        out = {}
        for lookup, name, iat in self.import_descriptors():
            names, slot = [], lookup or iat
            while True:
                value = struct.unpack("<I", self.read(slot, 4))[0]
                if value == 0:
                    break
                names.append("#%d" % (value & 0xFFFF) if value & 0x80000000
                             else self.string(value + 2))
                slot += 4
            out[self.string(name)] = names
        return out

    def exports(self):
        """{name: rva}."""
        rva, size = self.directory(DIR_EXPORT)
        if rva == 0:
            return {}
        d = struct.unpack("<IIHHIIIIIII", self.read(rva, 40))
        functions, names, ordinals = d[8], d[9], d[10]
        out = {}
        for i in range(d[7]):
            name = self.string(struct.unpack("<I", self.read(names + 4 * i, 4))[0])
            index = struct.unpack("<H", self.read(ordinals + 2 * i, 2))[0]
            out[name] = struct.unpack("<I", self.read(functions + 4 * index, 4))[0]
        return out


def problems(image, arch="4T"):
    """Every way IMAGE falls short of what a CE loader takes on a CPU of
    architecture ARCH (arm_code.ORDER); empty if none."""
    out = []
    if image.machine != MACHINE_THUMB:
        out.append("machine 0x%X, not THUMB (0x1C2)" % image.machine)
    if image.subsystem != SUBSYSTEM_WINDOWS_CE_GUI:
        out.append("subsystem %d, not WINDOWS_CE_GUI (9)" % image.subsystem)
    if image.subsystem_version > MAX_SUBSYSTEM_VERSION:
        out.append("subsystem version %d.%02d above 5.00" % image.subsystem_version)
    if image.u16(image.coff + 18) & 0x0001:
        out.append("relocations stripped")
    relocations = image.relocations()
    if not relocations:
        out.append("no base relocations")
    kinds = sorted({kind for kind, _ in relocations} - {RELOC_ABSOLUTE, RELOC_HIGHLOW})
    if kinds:
        out.append("base relocation types %s besides HIGHLOW" % kinds)
    for index, what in ((DIR_EXPORT, "export"), (DIR_IMPORT, "import")):
        rva, _ = image.directory(index)
        if rva % 4:
            out.append("%s directory at 0x%X, not 4-byte aligned" % (what, rva))
    try:
        lookup, _, iat = (image.import_descriptors() or [(0, 0, 0)])[0]
        rva, _ = image.directory(DIR_EXPORT)
        tables = struct.unpack("<III", image.read(rva + 28, 12)) if rva else (0,) * 3
        if any(t % 4 for t in (lookup, iat) + tables[:2]) or tables[2] % 2:
            out.append("import or export tables not aligned to their entries")
    except (ValueError, struct.error) as e:
        out.append("unreadable directories: %s" % e)
    if image.directory(DIR_TLS)[0]:
        out.append("a TLS directory")
    if not image.directory(DIR_RESOURCE)[0] or "Marvek Ltd.".encode("utf-16-le") not in image.data:
        out.append("no version resource")
    try:
        dlls = [name.lower() for name in image.imports()]
        if dlls != ["coredll.dll"]:
            out.append("imports from %s, not coredll.dll alone" % dlls)
        exports = list(image.exports())
        if exports != ["pluginPreInitMethod"]:
            out.append("exports %s, not pluginPreInitMethod alone" % exports)
    except (ValueError, struct.error) as e:
        out.append("unreadable import or export tables: %s" % e)
    try:
        for rva, word, what, needed in arm_code.beyond(image, arch):
            out.append("instruction %08X at RVA 0x%X (%s) %s" % (
                word, rva, what, "is not for the DLL on any CPU" if needed == "none"
                else "needs ARMv%s, beyond ARMv%s" % (needed, arch)))
    except (ValueError, IndexError, struct.error) as e:
        out.append("unreadable code: %s" % e)
    if len(image.data) > SIZE_LIMIT:
        out.append("%d bytes, above %d" % (len(image.data), SIZE_LIMIT))
    return out


def main(argv):
    if len(argv) != 3 or argv[1] != "check":
        sys.stderr.write(__doc__)
        return 2
    path = argv[2]
    with open(path, "rb") as f:
        image = Image(f.read())
    found = problems(image)
    for p in found:
        print("%s: %s" % (path, p), file=sys.stderr)
    if found:
        return 1
    imports = image.imports()["coredll.dll"]
    print("%s: %d bytes, %d HIGHLOW relocations, %d coredll imports (%s)" % (
        path, len(image.data), sum(k == RELOC_HIGHLOW for k, _ in image.relocations()),
        len(imports), " ".join(imports)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
