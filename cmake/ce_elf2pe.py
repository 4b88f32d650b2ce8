#!/usr/bin/python3
"""Writes the Windows CE ARM DLL from the provider's static ELF image.

    ce_elf2pe.py ELF RES DLL

ELF is linked at the image base by cmake/ce-arm.ld with --emit-relocs, so
its sections' addresses are already the DLL's and its relocation sections
say which words a loader must move. This writes:
  - .text, .rdata and .data (with .bss as its zero-filled tail), page for
    page as linked;
  - the coredll imports: the slots named __imp_<entry> at the head of .data
    (platform/win/ce/coredll_stubs.S) become the import address table, and
    the import directory, its lookup table and names are added to .rdata;
  - the one export, pluginPreInitMethod, added to .rdata;
  - .rsrc from the compiled resource file RES;
  - .reloc: one HIGHLOW entry for each R_ARM_ABS32. R_ARM_CALL and
    R_ARM_JUMP24 are PC-relative and need none; any other type is refused.
Machine THUMB (0x1C2, which CE uses for ARM and ARM/Thumb code alike),
subsystem WINDOWS_CE_GUI, subsystem and OS version 5.00 (the version is
the lowest CE a loader may run the image on). Every field that time or
paths could change is fixed, so that a build is reproducible.
"""
import os
import struct
import sys

import arm_code
import ce_pe

EXPORT = "pluginPreInitMethod"
IMPORT_DLL = "coredll.dll"
SUBSYSTEM_VERSION = (5, 0)
FILE_ALIGN, SECTION_ALIGN = 0x200, 0x1000
R_ARM_ABS32, R_ARM_CALL, R_ARM_JUMP24 = 2, 28, 29
SHT_SYMTAB, SHT_REL, SHT_RELA = 2, 9, 4
SHF_ALLOC = 2
CODE, RDATA, DATA = 0x60000020, 0x40000040, 0xC0000040
DISCARDABLE_DATA = 0x42000040


class ConvertError(Exception):
    pass


def align(value, to):
    return (value + to - 1) & ~(to - 1)


class Elf:
    """The parts of a 32-bit little-endian ARM ELF image the DLL needs."""

    def __init__(self, data):
        if data[:6] != b"\x7fELF\x01\x01" or struct.unpack_from("<H", data, 18)[0] != 40:
            raise ConvertError("not a 32-bit little-endian ARM ELF file")
        self.data = data
        self.entry = struct.unpack_from("<I", data, 24)[0]
        shoff, = struct.unpack_from("<I", data, 32)
        shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 46)
        self.sections = []
        for i in range(shnum):
            f = struct.unpack_from("<10I", data, shoff + i * shentsize)
            self.sections.append({"name_at": f[0], "type": f[1], "flags": f[2], "addr": f[3],
                                  "offset": f[4], "size": f[5], "link": f[6], "info": f[7]})
        names = self.sections[shstrndx]
        for s in self.sections:
            s["name"] = self._string(names, s["name_at"])
        self.symbols = self._symbols()

    def _string(self, table, at):
        start = table["offset"] + at
        return self.data[start:self.data.index(b"\0", start)].decode()

    def contents(self, s):
        return self.data[s["offset"]:s["offset"] + s["size"]]

    def _symbols(self):
        out = []
        for s in self.sections:
            if s["type"] != SHT_SYMTAB:
                continue
            strings = self.sections[s["link"]]
            for at in range(0, s["size"], 16):
                name, value, size, info, _, shndx = struct.unpack_from(
                    "<IIIBBH", self.data, s["offset"] + at)
                out.append((self._string(strings, name), value, info >> 4, shndx))
        return out

    def section(self, name):
        for s in self.sections:
            if s["name"] == name:
                return s
        raise ConvertError("no %s section" % name)

    def symbol(self, name):
        for sym, value, bind, shndx in self.symbols:
            if sym == name and bind == 1 and shndx:
                return value
        raise ConvertError("no global symbol %s" % name)

    def relocations(self):
        """(type, address) of every relocation of an allocated section."""
        out = []
        for s in self.sections:
            if s["type"] == SHT_RELA:
                raise ConvertError("RELA relocations in %s" % s["name"])
            if s["type"] != SHT_REL or not self.sections[s["info"]]["flags"] & SHF_ALLOC:
                continue
            for at in range(0, s["size"], 8):
                offset, info = struct.unpack_from("<II", self.data, s["offset"] + at)
                out.append((info & 0xFF, offset))
        return out

    def mapping(self):
        """{address: state} of the ARM mapping symbols ($a, $t, $d)."""
        return {value: name[1] for name, value, _, shndx in self.symbols
                if shndx and name[:2] in ("$a", "$t", "$d") and name[2:3] in ("", ".")}


def base_relocations(elf, base):
    """The .reloc contents for ELF's R_ARM_ABS32 relocations."""
    pages = {}
    for kind, address in elf.relocations():
        if kind == R_ARM_ABS32:
            rva = address - base
            pages.setdefault(rva & ~0xFFF, []).append(rva & 0xFFF)
        elif kind not in (R_ARM_CALL, R_ARM_JUMP24):
            raise ConvertError("relocation type %d at 0x%X has no CE equivalent" % (kind, address))
    out = b""
    for page in sorted(pages):
        entries = [ce_pe.RELOC_HIGHLOW << 12 | o for o in sorted(pages[page])]
        if len(entries) % 2:
            entries.append(ce_pe.RELOC_ABSOLUTE)
        out += struct.pack("<II", page, 8 + 2 * len(entries))
        out += struct.pack("<%dH" % len(entries), *entries)
    return out


def import_slots(elf, data):
    """[(entry name, address)] of the import address slots, in order; they
    must lie side by side at the head of DATA, ending in a zero word."""
    slots = sorted((value, name[6:]) for name, value, bind, shndx in elf.symbols
                   if name.startswith("__imp_") and bind == 1 and shndx)
    if not slots:
        raise ConvertError("no import slots")
    for i, (address, name) in enumerate(slots):
        if address != data["addr"] + 4 * i:
            raise ConvertError("import slot of %s is not where the table needs it" % name)
    end = data["offset"] + 4 * len(slots)
    if elf.data[end:end + 4] != b"\0\0\0\0":
        raise ConvertError("the import address table has no terminator")
    return [(name, address) for address, name in slots]


def linking_tables(at, slots, iat_rva, export_rva, dll_name):
    """The import and export directories as one blob for RVA AT, and the
    values the import address slots start with."""
    names = [name for name, _ in slots]
    n = len(names)
    lookup = at + 40
    hints = lookup + 4 * (n + 1)
    blob_hints, hint_rvas = b"", []
    for name in names:
        hint_rvas.append(hints + len(blob_hints))
        entry = b"\0\0" + name.encode() + b"\0"
        blob_hints += entry + b"\0" * (len(entry) % 2)
    dll_at = hints + len(blob_hints)
    imports_end = align(dll_at + len(IMPORT_DLL) + 1, 4)
    out = struct.pack("<5I", lookup, 0, 0, dll_at, iat_rva) + b"\0" * 20
    out += struct.pack("<%dI" % (n + 1), *(hint_rvas + [0])) + blob_hints
    out += IMPORT_DLL.encode() + b"\0"
    out += b"\0" * (imports_end - at - len(out))
    exports = imports_end
    functions, name_table, ordinals = exports + 40, exports + 44, exports + 48
    own_name, export_name = exports + 52, exports + 52 + len(dll_name) + 1
    out += struct.pack("<IIHHIIIIIII", 0, 0, 0, 0, own_name, 1, 1, 1, functions, name_table,
                       ordinals)
    out += struct.pack("<IIH2x", export_rva, export_name, 0)
    out += dll_name.encode() + b"\0" + EXPORT.encode() + b"\0"
    directories = {ce_pe.DIR_IMPORT: (at, 40), ce_pe.DIR_EXPORT: (exports, len(out) - (exports - at))}
    return out, directories, b"".join(struct.pack("<I", h) for h in hint_rvas)


def read_resources(res):
    """[(type, name, language, data)] of a compiled resource file, every
    type and name numeric."""
    found, at = [], 0
    while at + 32 <= len(res):
        size, header = struct.unpack_from("<II", res, at)
        fields = res[at + 8:at + header]
        if fields[:2] != b"\xff\xff" or fields[4:6] != b"\xff\xff":
            raise ConvertError("a resource named by a string")
        kind, name = struct.unpack_from("<2xH2xH", fields)
        language, = struct.unpack_from("<H", fields, 14)
        if size:
            found.append((kind, name, language, res[at + header:at + header + size]))
        at = align(at + header + size, 4)
    return sorted(found)


def resources(res, rva):
    """The .rsrc section for RVA RVA: type, name and language directories
    (16 bytes and 8 per entry each), the data entries, then the data."""
    tree = {}
    for kind, name, language, body in read_resources(res):
        tree.setdefault(kind, {}).setdefault(name, {})[language] = body
    # Each directory: (its offset, [(key, what the entry leads to)]).
    directories = [[(k, ("type", k)) for k in sorted(tree)]]
    directories += [[(n, ("name", k, n)) for n in sorted(tree[k])] for k in sorted(tree)]
    directories += [[(lang, ("data", k, n, lang)) for lang in sorted(tree[k][n])]
                    for k in sorted(tree) for n in sorted(tree[k])]
    offsets, at = [], 0
    for entries in directories:
        offsets.append(at)
        at += 16 + 8 * len(entries)
    # Where each directory's entries lead: directories follow the root in
    # order, types first, then names.
    where = {}
    index = 1
    for k in sorted(tree):
        where[("type", k)] = 0x80000000 | offsets[index]
        index += 1
    for k in sorted(tree):
        for n in sorted(tree[k]):
            where[("name", k, n)] = 0x80000000 | offsets[index]
            index += 1
    leaves = [(k, n, lang) for k in sorted(tree) for n in sorted(tree[k]) for lang in sorted(tree[k][n])]
    for leaf in leaves:
        where[("data",) + leaf] = at
        at += 16
    out = bytearray(at)
    for leaf in leaves:
        body = tree[leaf[0]][leaf[1]][leaf[2]]
        out += b"\0" * (align(len(out), 4) - len(out))
        struct.pack_into("<IIII", out, where[("data",) + leaf], rva + len(out), len(body), 0, 0)
        out += body
    for offset, entries in zip(offsets, directories):
        struct.pack_into("<IIHHHH", out, offset, 0, 0, 0, 0, 0, len(entries))
        for i, (key, leads_to) in enumerate(entries):
            struct.pack_into("<II", out, offset + 16 + 8 * i, key, where[leads_to])
    return bytes(out)


def check_code_map(elf, text, base, image):
    """The checker finds the code by itself (arm_code.code_words); here it
    must agree with the compiler's own mapping symbols: no Thumb code, and
    every word the compiler marks as ARM code checked as code."""
    states = sorted(elf.mapping().items())
    if any(state == "t" for _, state in states):
        raise ConvertError("Thumb code in the image")
    checked = {rva for rva, _ in arm_code.code_words(image)}
    end = text["addr"] + text["size"]
    for i, (address, state) in enumerate(states):
        if state != "a" or not text["addr"] <= address < end:
            continue
        stop = states[i + 1][0] if i + 1 < len(states) else end
        for word in range(address, min(stop, end), 4):
            if word - base not in checked:
                raise ConvertError("the code word at 0x%X escapes the instruction check" % word)


def convert(elf, res, dll_name):
    text, rdata, data, bss = (elf.section(n) for n in (".text", ".rdata", ".data", ".bss"))
    base = text["addr"] - SECTION_ALIGN
    if base & 0xFFFF or any(s["addr"] % SECTION_ALIGN for s in (text, rdata, data)):
        raise ConvertError("sections not laid out by cmake/ce-arm.ld")
    if bss["size"] and bss["addr"] < data["addr"] + data["size"]:
        raise ConvertError(".bss overlaps .data")
    for s in elf.sections:
        if s["flags"] & SHF_ALLOC and s["size"] and s not in (text, rdata, data, bss):
            raise ConvertError("unexpected section %s" % s["name"])

    slots = import_slots(elf, data)
    tables_at = align(rdata["addr"] + rdata["size"], 4) - base
    tables, directories, slot_values = linking_tables(
        tables_at, slots, data["addr"] - base, elf.symbol(EXPORT) - base, dll_name)
    rdata_bytes = elf.contents(rdata).ljust(tables_at - (rdata["addr"] - base), b"\0") + tables
    if rdata["addr"] + len(rdata_bytes) > data["addr"]:
        raise ConvertError("no room in .rdata's pages for the import and export tables")
    data_bytes = slot_values + elf.contents(data)[len(slot_values):]
    data_end = max(data["addr"] + data["size"], bss["addr"] + bss["size"])
    rsrc_rva = align(data_end - base, SECTION_ALIGN)
    rsrc = resources(res, rsrc_rva)
    reloc_rva = align(rsrc_rva + len(rsrc), SECTION_ALIGN)
    relocs = base_relocations(elf, base)
    sections = [(".text", text["addr"] - base, elf.contents(text), len(elf.contents(text)), CODE),
                (".rdata", rdata["addr"] - base, rdata_bytes, len(rdata_bytes), RDATA),
                (".data", data["addr"] - base, data_bytes, data_end - data["addr"], DATA),
                (".rsrc", rsrc_rva, rsrc, len(rsrc), RDATA),
                (".reloc", reloc_rva, relocs, len(relocs), DISCARDABLE_DATA)]
    directories[ce_pe.DIR_RESOURCE] = (rsrc_rva, len(rsrc))
    directories[ce_pe.DIR_RELOC] = (reloc_rva, len(relocs))
    directories[ce_pe.DIR_IAT] = (data["addr"] - base, 4 * (len(slots) + 1))
    image = ce_pe.Image(write_pe(base, elf.entry - base, sections, directories))
    check_code_map(elf, text, base, image)
    return image.data


def write_pe(base, entry, sections, directories):
    headers = 0x40 + 4 + 20 + 0xE0 + 40 * len(sections)
    header_size = align(headers, FILE_ALIGN)
    out = bytearray(header_size)
    out[0:2] = b"MZ"
    struct.pack_into("<I", out, 0x3C, 0x40)
    out[0x40:0x44] = b"PE\0\0"
    coff = 0x44
    # Executable, 32-bit, a DLL, no line numbers or local symbols.
    struct.pack_into("<HHIIIHH", out, coff, ce_pe.MACHINE_THUMB, len(sections), 0, 0, 0, 0xE0,
                     0x2000 | 0x0100 | 0x0002 | 0x0004 | 0x0008)
    raw, pointer = [], header_size
    for name, rva, body, vsize, flags in sections:
        size = align(len(body), FILE_ALIGN)
        raw.append((pointer, size))
        pointer += size
    code_size = sum(r[1] for s, r in zip(sections, raw) if s[4] == CODE)
    data_size = sum(r[1] for s, r in zip(sections, raw) if s[4] != CODE)
    last = sections[-1]
    image_size = align(last[1] + last[3], SECTION_ALIGN)
    opt = coff + 20
    version = SUBSYSTEM_VERSION
    struct.pack_into("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", out, opt,
                     0x10B, 14, 0, code_size, data_size, 0, entry, sections[0][1], sections[1][1],
                     base, SECTION_ALIGN, FILE_ALIGN, version[0], version[1], 0, 0,
                     version[0], version[1], 0, image_size, header_size, 0,
                     ce_pe.SUBSYSTEM_WINDOWS_CE_GUI, 0, 0x10000, 0x1000, 0x100000, 0x1000, 0, 16)
    for index, (rva, size) in directories.items():
        struct.pack_into("<II", out, opt + 96 + 8 * index, rva, size)
    at = opt + 0xE0
    for (name, rva, body, vsize, flags), (pointer, size) in zip(sections, raw):
        struct.pack_into("<8sIIIIIIHHI", out, at, name.encode(), vsize, rva, size, pointer,
                         0, 0, 0, 0, flags)
        at += 40
    for (name, rva, body, vsize, flags), (pointer, size) in zip(sections, raw):
        out += body + b"\0" * (size - len(body))
    return bytes(out)


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    elf_path, res_path, dll_path = argv[1:]
    with open(elf_path, "rb") as f:
        elf = Elf(f.read())
    with open(res_path, "rb") as f:
        res = f.read()
    try:
        dll = convert(elf, res, os.path.basename(dll_path))
    except ConvertError as e:
        sys.stderr.write("%s: %s\n" % (elf_path, e))
        return 1
    with open(dll_path, "wb") as f:
        f.write(dll)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
