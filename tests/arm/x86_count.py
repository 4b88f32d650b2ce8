#!/usr/bin/python3
"""Instruction counts of the 32-bit x86 orvane.dll's own code, on an
emulated x86 CPU (unicorn): the conversion of each shared reading
(readings.bin) and an idle poll of slots 14 and 15.

    x86_count.py build/win32/bin/orvane.dll

The DLL is mapped away from its preferred base with its relocations
applied; its KERNEL32 and msvcrt imports lead to host-side code. The
reader thread's procedure runs on the one emulated thread: each of its
waits hands it the next reading, so the instructions between two waits
are one conversion (driver fetch, conversion, publication; memcpy, which
msvcrt does, not counted). DllMain is not run: the plugin needs none of
the C runtime's start-up.
"""
import struct
import sys

from unicorn import UC_ARCH_X86, UC_HOOK_CODE, UC_MODE_32, Uc
from unicorn.x86_const import UC_X86_REG_EAX, UC_X86_REG_ESP

from pe_map import bind_imports, map_image, read_image
from readings import shared_readings

BASE, TRAPS, HEAP, STACK = 0x00400000, 0x7F000000, 0x50000000, 0x60000000
# KERNEL32 entries are stdcall: (argument count); the rest are cdecl.
STDCALL = {"LoadLibraryW": 1, "GetProcAddress": 2, "FreeLibrary": 1, "CreateEventW": 4,
           "SetEvent": 1, "CloseHandle": 1, "WaitForMultipleObjects": 4,
           "WaitForSingleObject": 2, "Sleep": 1, "CreateThread": 6}


class Run:
    def __init__(self, path, readings):
        image = read_image(path)
        self.uc = uc = Uc(UC_ARCH_X86, UC_MODE_32)
        size, _ = map_image(uc, image, BASE)
        for m in (TRAPS, HEAP, STACK):
            uc.mem_map(m, 0x100000)
        self.heap, self.traps, self.code = HEAP, {}, (BASE, BASE + size - 1)
        bind_imports(uc, image, BASE, lambda _, entry: self.trap(entry))
        self.driver = {n: self.trap(n) for n in
                       ("GPSOpenDevice", "GPSCloseDevice", "GPSGetPosition",
                        "GPSGetDeviceState", "GetSetting", "SetSetting")}
        self.return_trap = self.trap("(return)")
        uc.hook_add(UC_HOOK_CODE, self.on_trap, begin=TRAPS, end=TRAPS + 0xFFFFF)
        uc.hook_add(UC_HOOK_CODE, self.on_code, begin=self.code[0], end=self.code[1])
        self.entry = BASE + image.exports()["pluginPreInitMethod"]
        self.readings, self.waits, self.counted = list(readings), [], 0
        self.thread = None
        self.executed = None  # instructions' bytes, while collected

    def trap(self, name):
        address = TRAPS + 8 * len(self.traps)
        pops = STDCALL.get(name, 0) * 4
        self.uc.mem_write(address, b"\xC2" + struct.pack("<H", pops) if pops else b"\xC3")
        self.traps[address] = name
        return address

    def alloc(self, data):
        address, self.heap = self.heap, self.heap + ((len(data) + 7) & ~7)
        self.uc.mem_write(address, data)
        return address

    def arg(self, i):
        esp = self.uc.reg_read(UC_X86_REG_ESP)
        return struct.unpack("<I", self.uc.mem_read(esp + 4 + 4 * i, 4))[0]

    def on_code(self, uc, address, size, _):
        self.counted += 1
        if self.executed is not None:
            self.executed.append(bytes(uc.mem_read(address, size)))

    def on_trap(self, uc, address, size, _):
        name = self.traps[address]
        if name == "(return)":
            uc.emu_stop()
            return
        handler = getattr(self, "k_" + name, None)
        if handler is None:
            raise RuntimeError("the DLL called %s, which this run does not provide" % name)
        result = handler()
        if result is not None:
            uc.reg_write(UC_X86_REG_EAX, result & 0xFFFFFFFF)

    def call(self, address, *args):
        esp = STACK + 0x80000 - 4 * (len(args) + 1)
        self.uc.mem_write(esp, struct.pack("<%dI" % (len(args) + 1), self.return_trap, *args))
        self.uc.reg_write(UC_X86_REG_ESP, esp)
        self.uc.emu_start(address, self.return_trap)
        return self.uc.reg_read(UC_X86_REG_EAX)

    # KERNEL32, msvcrt, the driver and the host, as far as the run needs them.
    def k_LoadLibraryW(self):
        return 0x4D000000

    def k_GetProcAddress(self):
        name = bytes(self.uc.mem_read(self.arg(1), 32)).split(b"\0")[0].decode()
        return self.driver.get(name, 0)

    def k_CreateEventW(self):
        return 0x100 + len(self.waits)

    def k_CreateThread(self):
        self.thread = (self.arg(2), self.arg(3))
        return 0x200

    def k_WaitForMultipleObjects(self):
        self.waits.append(self.counted)
        return 1 if self.readings else 0  # the new-location event, else the stop event

    def k_GPSOpenDevice(self):
        return 0x4E000000

    def k_GPSGetDeviceState(self):
        return 0

    def k_GPSGetPosition(self):
        self.uc.mem_write(self.arg(1), self.readings.pop(0))
        return 0

    def k_GetSetting(self):
        return 0

    def k_SetSetting(self):
        return None

    def k_memcpy(self):
        self.uc.mem_write(self.arg(0), bytes(self.uc.mem_read(self.arg(1), self.arg(2))))
        return self.arg(0)

    def k_memset(self):
        self.uc.mem_write(self.arg(0), bytes([self.arg(1) & 0xFF]) * self.arg(2))
        return self.arg(0)


def main(argv):
    run = Run(argv[1], [reading for reading, _ in shared_readings()])
    descriptor = run.call(run.entry)
    slots = struct.unpack("<16I", run.uc.mem_read(descriptor, 64))
    table = run.alloc(struct.pack("<6I", 0, 0, 0, 0, run.driver["GetSetting"],
                                  run.driver["SetSetting"]))
    services = run.alloc(b"\0" * 16 + struct.pack("<Ii", table, 6))
    context = run.alloc(b"\0" * 28 + struct.pack("<I", services))
    assert run.call(slots[8], context) == 1 and run.call(slots[10]) == 1 and run.thread
    run.call(*run.thread)
    conversions = [b - a for a, b in zip(run.waits, run.waits[1:])]
    record, sats, count = run.alloc(b"\0" * 44), run.alloc(b"\0" * 384), run.alloc(b"\0" * 4)
    run.call(slots[14], record), run.call(slots[15], sats, count)  # take what is there
    idle = []
    for slot, args in ((14, (record,)), (15, (sats, count))):
        run.executed = []
        assert run.call(slots[slot], *args) == 0
        # A lock prefix, or an exchange with memory (locked by itself).
        locked = [i.hex() for i in run.executed if i[0] == 0xF0 or i[0] in (0x86, 0x87)]
        idle.append("slot %d %d instructions, %d locked" % (slot, len(run.executed), len(locked)))
    run.executed = None
    print("x86-32: %d readings converted, %d to %d instructions each (mean %.0f, the "
          "12-used-none-in-view case %d); idle polls: %s"
          % (len(conversions), min(conversions), max(conversions),
             sum(conversions) / len(conversions), conversions[-1], ", ".join(idle)))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
