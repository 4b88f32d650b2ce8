"""A PE image (cmake/ce_pe.py's Image) laid out in an emulated CPU's
memory, as a loader lays it out: headers and sections mapped at BASE,
HIGHLOW relocations applied, import address slots at hand. Shared by the
emulated ARM run (ce_loader.py) and the x86 instruction counts
(x86_count.py).
"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake"))
import ce_pe  # noqa: E402


def read_image(path):
    with open(path, "rb") as f:
        return ce_pe.Image(f.read())


def map_image(uc, image, base):
    """Maps IMAGE at BASE (away from its preferred base) and applies its
    HIGHLOW relocations; returns (mapped size, relocations applied)."""
    size = (image.size_of_image + 0xFFF) & ~0xFFF
    uc.mem_map(base, size)
    uc.mem_write(base, bytes(image.data[:image.u32(image.opt + 60)]))
    for s in image.sections:
        uc.mem_write(base + s["rva"],
                     bytes(image.data[s["rawptr"]:s["rawptr"] + min(s["rawsize"], s["vsize"])]))
    delta = (base - image.image_base) & 0xFFFFFFFF
    applied = 0
    for kind, rva in image.relocations():
        if kind == ce_pe.RELOC_HIGHLOW:
            value = struct.unpack("<I", uc.mem_read(base + rva, 4))[0]
            uc.mem_write(base + rva, struct.pack("<I", (value + delta) & 0xFFFFFFFF))
            applied += 1
    return size, applied


def bind_imports(uc, image, base, address_of):
    """Writes ADDRESS_OF(dll, entry name) into every import address slot."""
    imports = image.imports()
    for _, name, iat in image.import_descriptors():
        dll = image.string(name)
        for i, entry in enumerate(imports[dll]):
            uc.mem_write(base + iat + 4 * i, struct.pack("<I", address_of(dll, entry)))
