"""Which ARM architecture each instruction of a CE ARM DLL needs.

The DLL is ARM code (ARM state throughout, Thumb only across `bx` into
other modules) for ARMv4T, so that it runs on every ARM generation:
ARMv4T, ARMv5TE (and XScale), ARMv6 and ARMv7. `beyond(image, arch)` lists
every instruction that ARCH lacks.

The code is found in the image alone: every word of .text is an
instruction except the literal words, which are those a PC-relative load
reads and those a base relocation moves (addresses in literal pools and
jump tables). cmake/ce_elf2pe.py checks at each build that this finds
every word the compiler's own mapping symbols mark as ARM code.
"""
import struct

# Architectures in order; "none" is what no CPU of the list may run here
# (coprocessor and undefined encodings: the DLL uses no FPU or CP15).
ORDER = ("4T", "5T", "5TE", "6", "6T2", "7", "none")


def requirement(w):
    """(architecture, what) for the ARM-state instruction word W."""
    cond, op = w >> 28, (w >> 25) & 7
    if cond == 0xF:
        return first_match(UNCONDITIONAL, w,
                           ("6", "unconditional instruction (cps, setend, srs, rfe)"))
    if op == 0:
        if w & 0x90 == 0x90:
            return extra_requirement(w)
        if (w >> 23) & 3 == 2 and not w & 0x00100000:
            return first_match(MISC, w, ("none", "undefined encoding"))
        return "4T", "data processing"
    if op == 1:
        if (w >> 23) & 3 == 2 and not w & 0x00100000:
            if w & 0x0FB00000 == 0x03000000:
                return "6T2", "movw/movt"
            if w & 0x0FFF0000 == 0x0320F000 and w & 0xF00 == 0:
                return "6", "hint (nop, yield, wfe, wfi, sev)"
            if w & 0x0FB00000 == 0x03200000:
                return "4T", "msr (immediate)"
            return "none", "undefined encoding"
        return "4T", "data processing"
    if op == 2 or op == 4 or op == 5:
        return "4T", ("load/store", None, "load/store multiple", "branch")[op - 2]
    if op == 3:
        if w & 0x10:
            return "6", "media instruction"
        return "4T", "load/store"
    if op == 7 and w & 0x01000000:
        return "4T", "swi"
    return "none", "coprocessor instruction"


def extra_requirement(w):
    """Multiplies, swaps, exclusives and the halfword and doubleword loads."""
    sh = (w >> 5) & 3
    if sh == 0:
        if w & 0x0F0000F0 == 0x00000090:
            kind = (w >> 21) & 0xF
            if kind == 2:
                return "6", "umaal"
            if kind == 3:
                return "6T2", "mls"
            rd, rm = (w >> 16) & 0xF, w & 0xF
            # Before ARMv6 the destinations must differ from Rm (and from
            # each other); the result is unpredictable otherwise.
            if rd == rm or kind >= 4 and ((w >> 12) & 0xF) in (rd, rm):
                return "6", "multiply with a destination that is an operand"
            return "4T", "multiply"
        if w & 0x0FB00FF0 == 0x01000090:
            return "4T", "swp"
        if w & 0x0F8000F0 == 0x01800090:
            return "6", "ldrex/strex"
        return "none", "undefined encoding"
    if not w & 0x01000000 and w & 0x00200000:
        return "6T2", "unprivileged halfword load/store"
    if sh >= 2 and not w & 0x00100000:
        return "5TE", "ldrd/strd"
    return "4T", "halfword/signed byte load/store"


# The compare opcodes without S: status moves, bx and later additions.
# Each row (mask, value, architecture, what).
MISC = (
    (0x0FFFFFF0, 0x012FFF10, "4T", "bx"),
    (0x0FFFFFF0, 0x012FFF30, "5T", "blx (register)"),
    (0x0FFF0FF0, 0x016F0F10, "5T", "clz"),
    (0x0FF000F0, 0x01200070, "5T", "bkpt"),
    (0x0F9000F0, 0x01000050, "5TE", "saturating add/subtract"),
    (0x0F900090, 0x01000080, "5TE", "halfword multiply"),
    (0x0FFFFFF0, 0x012FFF20, "5TE", "bxj"),
    (0x0FBF0FFF, 0x010F0000, "4T", "mrs"),
    (0x0FB0FFF0, 0x0120F000, "4T", "msr (register)"),
)


# The unconditional space (condition 1111).
UNCONDITIONAL = (
    (0x0E000000, 0x0A000000, "5T", "blx (immediate)"),
    (0x0D70F000, 0x0550F000, "5TE", "pld"),
    (0xFFFFFF00, 0xF57FF000, "7", "barrier (dmb, dsb, isb)"),
)


def first_match(table, w, default):
    """(architecture, what) of the first row of TABLE that W matches."""
    for mask, value, arch, what in table:
        if w & mask == value:
            return arch, what
    return default


def literal_targets(rva, w):
    """RVAs of the words the PC-relative load W at RVA reads."""
    if w >> 28 == 0xF:
        return []
    if w & 0x0F3F0000 == 0x051F0000:  # ldr/ldrb rt, [pc, #imm12]
        offset, words = w & 0xFFF, 1
    elif w & 0x0F6F0090 == 0x014F0090 and (w >> 5) & 3:
        # ldrh/ldrsb/ldrsh rt, [pc, #imm8]; ldrd (L clear, SH 2) reads two
        offset = (w >> 4) & 0xF0 | w & 0xF
        words = 2 if w & 0x00100060 == 0x00000040 else 1
    else:
        return []
    target = (rva + 8 + (offset if w & 0x00800000 else -offset)) & ~3
    return [target + 4 * i for i in range(words)]


def code_words(image):
    """(rva, word) of every instruction in IMAGE's .text."""
    text = [s for s in image.sections if s["name"] == ".text"][0]
    size = min(text["vsize"], text["rawsize"]) & ~3
    words = struct.unpack_from("<%dI" % (size // 4), image.data, text["rawptr"])
    start = text["rva"]
    literals = {rva for kind, rva in image.relocations() if kind == 3}  # HIGHLOW
    for i, w in enumerate(words):
        if start + 4 * i not in literals:
            literals.update(literal_targets(start + 4 * i, w))
    return [(start + 4 * i, w) for i, w in enumerate(words) if start + 4 * i not in literals]


def beyond(image, arch):
    """[(rva, word, what, architecture needed)] of every instruction of
    IMAGE that ARCH lacks."""
    limit = ORDER.index(arch)
    out = []
    for rva, w in code_words(image):
        needed, what = requirement(w)
        if ORDER.index(needed) > limit:
            out.append((rva, w, what, needed))
    return out
