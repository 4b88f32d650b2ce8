"""A small Windows CE loader and kernel on an emulated ARM CPU (unicorn),
enough to run the provider DLL as a CE device would, with a simulated
GPSAPI.DLL and a host.

The CPU is one of CPUS, a core of each ARM generation CE runs on. The
loader takes only what an older CE loader takes (cmake/ce_pe.py), and only
instructions that CPU has; it maps the image away from its preferred base
so that every HIGHLOW relocation is applied, and resolves the coredll
imports to the implementations below. Every entry of coredll, GPSAPI.DLL
and the host is Thumb code, as it may be on an ARMV4I system, so the DLL
must enter each with `bx`; every stack starts 4 mod 8, the alignment CE
guarantees. Threads are scheduled cooperatively: a thread runs until it
blocks in a wait or a sleep, the host's thread first; time is virtual and
advances only when every thread waits.
"""
import ctypes
import struct

from unicorn import (UC_ARCH_ARM, UC_ERR_INSN_INVALID, UC_HOOK_CODE, UC_HOOK_MEM_INVALID,
                     UC_MODE_ARM, Uc, UcError)
from unicorn import arm_const
from unicorn.arm_const import (UC_ARM_REG_CPSR, UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_R0,
                               UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_SP)

from pe_map import bind_imports, ce_pe, map_image, read_image

import arm_code  # noqa: E402 (found through pe_map's path)

LOAD_BASE = 0x00400000  # not the DLL's preferred base
TRAP_BASE = 0x7F000000  # host-side entries: one `bx lr` each
HOST_BASE = 0x50000000  # the host's own data
STACK_BASE = 0x60000000
STACK_SIZE = 0x10000
STACK_SKEW = 4  # a stack starts this far below an 8-byte boundary
WAIT_TIMEOUT = 258
WAIT_FAILED = 0xFFFFFFFF
INFINITE = 0xFFFFFFFF
DRIVER_HANDLE = 0x4D000000
DEVICE_HANDLE = 0x4E000000
DRIVER_ENTRIES = ("GPSOpenDevice", "GPSCloseDevice", "GPSGetPosition", "GPSGetDeviceState")
ARG_REGS = (UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3)
THUMB_BX_LR = b"\x70\x47\x00\xbf"  # bx lr; nop

# name: (unicorn's CPU model, architecture as in cmake/arm_code.py, core)
CPUS = {
    "TI925T": ("UC_CPU_ARM_TI925T", "4T", "ARMv4T, an ARM9TDMI-class core"),
    "ARM926": ("UC_CPU_ARM_926", "5TE", "ARMv5TE, ARM926EJ-S"),
    "PXA270": ("UC_CPU_ARM_PXA270", "5TE", "ARMv5TE, XScale"),
    "ARM1176": ("UC_CPU_ARM_1176", "6", "ARMv6, ARM1176JZF-S"),
    "CORTEX_A8": ("UC_CPU_ARM_CORTEX_A8", "7", "ARMv7-A, Cortex-A8"),
}


class LoadRefused(Exception):
    pass


class EmulationFault(Exception):
    pass


class Block:
    """A kernel call that cannot complete yet: RETRY gives its result once
    it can (None until then); at DEADLINE (virtual ms) it gives TIMEOUT."""

    def __init__(self, retry, deadline=None, timeout=WAIT_TIMEOUT):
        self.retry, self.deadline, self.timeout = retry, deadline, timeout


class Thread:
    def __init__(self, name, start, context):
        self.name, self.start, self.context = name, start, context
        self.state = "ready"  # ready, blocked, done
        self.block = None
        self.resume = None  # (result) for a thread released from a block
        self.result = None
        self.instructions = 0


def single_bits(value):
    return struct.unpack("<I", struct.pack("<f", ctypes.c_float(value).value))[0]


def float_of(bits):
    return struct.unpack("<f", struct.pack("<I", bits & 0xFFFFFFFF))[0]


class SimulatedDriver:
    """GPSAPI.DLL's state: the reading it hands out, the events it signals;
    MISSING names an entry it lacks."""

    def __init__(self, missing=None):
        self.missing = missing
        self.reading = None
        self.device_events = None
        self.open = False


class CeMachine:
    def __init__(self, dll_path, driver=None, cpu="TI925T"):
        self.driver = driver
        self.cpu = cpu
        model, self.arch, _ = CPUS[cpu]
        self.uc = Uc(UC_ARCH_ARM, UC_MODE_ARM)
        self.uc.ctl_set_cpu_model(getattr(arm_const, model))
        self.stack_starts = []  # sp of every host call and thread, at its start
        self.handles = {}
        self.next_handle = 0x100
        self.threads = []
        self.current = None
        self.clock = 0
        self.journal = []  # releases and driver calls, in order
        self.traps = {}
        self.host_next = HOST_BASE
        self.settings = {}
        self.setting_gets, self.setting_sets = [], []
        self.fault = None
        self.last_call = None
        self.failing_waits = 0  # calls of WaitForMultipleObjects made to fail
        self.counting = False
        self.driver_refs = 0
        self._load(dll_path)

    # ---- loading ----

    def _load(self, path):
        image = read_image(path)
        reasons = ce_pe.problems(image, self.arch)
        if reasons:
            raise LoadRefused("%s: %s" % (self.cpu, "; ".join(reasons)))
        self.image = image
        uc = self.uc
        size, self.relocations = map_image(uc, image, LOAD_BASE)
        uc.mem_map(TRAP_BASE, 0x1000)
        uc.mem_write(TRAP_BASE, THUMB_BX_LR * 0x400)
        uc.mem_map(HOST_BASE, 0x100000)
        uc.mem_map(STACK_BASE, STACK_SIZE * 8)
        self.return_trap = self._trap("(host call return)", self._host_return)
        self.exit_trap = self._trap("(thread return)", self._thread_return)
        self._resolve_imports()
        uc.hook_add(UC_HOOK_CODE, self._on_trap, begin=TRAP_BASE, end=TRAP_BASE + 0xFFF)
        uc.hook_add(UC_HOOK_MEM_INVALID, self._bad_access)
        uc.hook_add(UC_HOOK_CODE, self._count, begin=LOAD_BASE, end=LOAD_BASE + size - 1)
        self.base, self.size = LOAD_BASE, size
        self.host_thread = Thread("host", 0, None)
        if self.call(LOAD_BASE + image.entry, LOAD_BASE, 1, 0) != 1:
            raise LoadRefused("the DLL's entry refused DLL_PROCESS_ATTACH")
        exports = image.exports()
        self.entry = LOAD_BASE + exports["pluginPreInitMethod"]

    def _trap(self, name, function):
        address = TRAP_BASE + 4 * len(self.traps)
        self.traps[address] = (name, function)
        return address | 1

    def _resolve_imports(self):
        def address_of(_, name):
            function = getattr(self, "k_" + name, None)
            if function is None:
                raise LoadRefused("coredll entry %s is not provided" % name)
            return self._trap(name, function)

        bind_imports(self.uc, self.image, LOAD_BASE, address_of)
        self.driver_traps = {n: self._trap(n, getattr(self, "d_" + n)) for n in DRIVER_ENTRIES}

    # ---- memory ----

    def alloc(self, data):
        address = self.host_next
        self.host_next = (self.host_next + len(data) + 7) & ~7
        self.uc.mem_write(address, bytes(data))
        return address

    def wide(self, text):
        return self.alloc((text + "\0").encode("utf-16-le"))

    def read_wide(self, address):
        out = b""
        while True:
            unit = bytes(self.uc.mem_read(address + len(out), 2))
            if unit == b"\0\0":
                return out.decode("utf-16-le")
            out += unit

    def read(self, address, size):
        return bytes(self.uc.mem_read(address, size))

    def u32(self, address):
        return struct.unpack("<I", self.read(address, 4))[0]

    def write_u32(self, address, value):
        self.uc.mem_write(address, struct.pack("<I", value & 0xFFFFFFFF))

    # ---- threads and scheduling ----

    def _arg(self, i):
        if i < 4:
            return self.uc.reg_read(ARG_REGS[i])
        return self.u32(self.uc.reg_read(UC_ARM_REG_SP) + 4 * (i - 4))

    def _on_trap(self, uc, address, size, _):
        name, function = self.traps.get(address, (None, None))
        if function is None:
            raise EmulationFault("jump into the trap page at 0x%X" % address)
        if not uc.reg_read(UC_ARM_REG_CPSR) & 0x20:
            # An entry reached without `bx`: on ARMv4T the CPU would run
            # the Thumb entry as ARM code.
            self.fault = "%s entered in ARM state" % name
            uc.emu_stop()
            return
        self.last_call = name
        result = function(self._arg)
        if isinstance(result, Block):
            thread = self.current
            thread.context = uc.context_save()
            thread.lr = uc.reg_read(UC_ARM_REG_LR)
            thread.state, thread.block = "blocked", result
            uc.emu_stop()
        elif result is not None:
            uc.reg_write(UC_ARM_REG_R0, result & 0xFFFFFFFF)

    def _count(self, uc, address, size, _):
        # Installed from the start: unicorn keeps code it has translated
        # without a hook that was added later.
        if self.counting:
            self.current.instructions += 1
            self.executed.append(bytes(uc.mem_read(address, size)))

    def _bad_access(self, uc, access, address, size, value, _):
        self.fault = "bad memory access at 0x%X (pc 0x%X, %s)" % (
            address, uc.reg_read(UC_ARM_REG_PC), self.current.name)
        return False

    def _lacked(self):
        """Why the CPU refused the instruction at pc."""
        pc = self.uc.reg_read(UC_ARM_REG_PC)
        if self.uc.reg_read(UC_ARM_REG_CPSR) & 0x20:
            return ": Thumb code at 0x%X, which the DLL does not have" % pc
        word = self.u32(pc)
        what, needed = arm_code.requirement(word)[::-1]
        return ": the %s (ARMv%s) lacks instruction %08X (%s, ARMv%s)" % (
            self.cpu, self.arch, word, what, needed)

    def _host_return(self, arg):
        self.current.state, self.current.result = "done", arg(0)
        self.uc.emu_stop()

    def _thread_return(self, arg):
        self.current.state, self.current.result = "done", arg(0)
        self.journal.append("thread ended")
        self.uc.emu_stop()

    def _run(self, thread):
        uc = self.uc
        self.current, self.fault = thread, None
        uc.context_restore(thread.context)
        if thread.resume is not None:
            uc.reg_write(UC_ARM_REG_R0, thread.resume & 0xFFFFFFFF)
            start, thread.resume = thread.lr, None
        else:
            start, thread.start = thread.start, None
            if start is None:
                raise EmulationFault("%s has nowhere to resume" % thread.name)
            self.stack_starts.append(uc.reg_read(UC_ARM_REG_SP))
        thread.state = "running"
        try:
            # Bit 0 of the address selects the state: the DLL is ARM code.
            uc.emu_start(start, 0xFFFFFFF0)
        except UcError as e:
            raise EmulationFault("%s: %s (pc 0x%X, last call %s)%s%s" % (
                thread.name, e, uc.reg_read(UC_ARM_REG_PC), self.last_call,
                ", " + self.fault if self.fault else "",
                self._lacked() if e.errno == UC_ERR_INSN_INVALID else ""))
        if thread.state == "running":
            raise EmulationFault("%s stopped outside any call (pc 0x%X)%s" % (
                thread.name, uc.reg_read(UC_ARM_REG_PC), ": " + self.fault if self.fault else ""))

    def _release_ready(self):
        for t in self.threads + [self.host_thread]:
            if t.state == "blocked":
                result = t.block.retry() if t.block.retry else None
                if result is not None:
                    t.state, t.resume, t.block = "ready", result, None

    def schedule(self, until, advance_time):
        """Runs threads, the host's first, until UNTIL holds or none can run."""
        while not until():
            self._release_ready()
            ready = [t for t in [self.host_thread] + self.threads if t.state == "ready"]
            if ready:
                self._run(ready[0])
                continue
            waiting = [t for t in self.threads + [self.host_thread]
                       if t.state == "blocked" and t.block.deadline is not None]
            if not advance_time or not waiting:
                return
            self.clock = min(t.block.deadline for t in waiting)
            for t in waiting:
                if t.block.deadline <= self.clock:
                    t.state, t.resume, t.block = "ready", t.block.timeout, None

    def call(self, address, *args):
        """Calls the DLL on the host's thread and returns r0."""
        uc, host = self.uc, self.host_thread
        saved = uc.context_save()
        for reg, value in zip(ARG_REGS, args):
            uc.reg_write(reg, value & 0xFFFFFFFF)
        uc.reg_write(UC_ARM_REG_SP, STACK_BASE + STACK_SIZE - STACK_SKEW)
        uc.reg_write(UC_ARM_REG_LR, self.return_trap)
        host.context, host.start, host.state = uc.context_save(), address, "ready"
        uc.context_restore(saved)
        self.schedule(lambda: host.state == "done", advance_time=True)
        if host.state != "done":
            raise EmulationFault("the host's call never returned: every thread waits")
        return host.result

    def settle(self):
        """Lets the other threads run until each waits."""
        self.schedule(lambda: False, advance_time=False)

    def count(self, thread, action):
        """Instructions of the DLL's own code THREAD runs during ACTION; their
        encodings are left in self.executed."""
        thread.instructions, self.counting, self.executed = 0, True, []
        try:
            action()
        finally:
            self.counting = False
        return thread.instructions

    # ---- kernel objects ----

    def _new_handle(self, obj):
        handle = self.next_handle
        self.next_handle += 4
        self.handles[handle] = obj
        return handle

    def _signalled(self, handle):
        obj = self.handles.get(handle)
        if obj is None:
            return None
        if isinstance(obj, Thread):
            return obj.state == "done"
        if obj["signalled"]:
            if not obj["manual"]:
                obj["signalled"] = False
            return True
        return False

    def _wait(self, handles, timeout):
        def attempt():
            for i, h in enumerate(handles):
                state = self._signalled(h)
                if state is None:
                    return WAIT_FAILED
                if state:
                    if isinstance(self.handles[h], Thread):
                        self.journal.append("thread joined")
                    return i
            return None
        result = attempt()
        if result is not None:
            return result
        if timeout == 0:
            return WAIT_TIMEOUT
        return Block(attempt, None if timeout == INFINITE else self.clock + timeout)

    def open_events(self):
        return sum(1 for o in self.handles.values() if isinstance(o, dict))

    # ---- coredll ----

    def k_CreateEventW(self, arg):
        return self._new_handle({"signalled": bool(arg(2)), "manual": bool(arg(1))})

    def k_EventModify(self, arg):
        obj = self.handles.get(arg(0))
        if not isinstance(obj, dict) or arg(1) != 3:
            return 0
        obj["signalled"] = True
        return 1

    def k_CloseHandle(self, arg):
        obj = self.handles.pop(arg(0), None)
        if obj is None:
            self.journal.append("bad handle closed")
            return 0
        self.journal.append("thread handle closed" if isinstance(obj, Thread) else "event closed")
        return 1

    def k_WaitForMultipleObjects(self, arg):
        if self.failing_waits > 0:
            self.failing_waits -= 1
            return WAIT_FAILED
        count = arg(0)
        if not 0 < count <= 64 or arg(2):
            return WAIT_FAILED
        handles = struct.unpack("<%dI" % count, self.read(arg(1), 4 * count))
        return self._wait(handles, arg(3))

    def k_WaitForSingleObject(self, arg):
        return self._wait([arg(0)], arg(1))

    def k_Sleep(self, arg):
        if arg(0) == 0:
            return 0
        return Block(None, self.clock + arg(0), timeout=0)

    def k_CreateThread(self, arg):
        uc = self.uc
        index = len(self.threads) + 1
        saved = uc.context_save()
        uc.reg_write(UC_ARM_REG_R0, arg(3))
        uc.reg_write(UC_ARM_REG_SP, STACK_BASE + STACK_SIZE * (index + 1) - STACK_SKEW)
        uc.reg_write(UC_ARM_REG_LR, self.exit_trap)
        thread = Thread("thread %d" % index, arg(2), uc.context_save())
        uc.context_restore(saved)
        if arg(4) != 0:
            return 0
        self.threads.append(thread)
        if arg(5):
            self.write_u32(arg(5), 0x1000 + index)
        return self._new_handle(thread)

    def k_LoadLibraryW(self, arg):
        name = self.read_wide(arg(0))
        self.journal.append("load " + name)
        if self.driver is None or name.upper() != "GPSAPI.DLL":
            return 0
        self.driver_refs += 1
        return DRIVER_HANDLE

    def k_GetProcAddressW(self, arg):
        name = self.read_wide(arg(1))
        if arg(0) != DRIVER_HANDLE or name == self.driver.missing:
            return 0
        return self.driver_traps.get(name, 0)

    def k_FreeLibrary(self, arg):
        if arg(0) != DRIVER_HANDLE or self.driver_refs == 0:
            self.journal.append("bad library freed")
            return 0
        self.driver_refs -= 1
        self.journal.append("library freed")
        return 1

    def k_memcpy(self, arg):
        self.uc.mem_write(arg(0), self.read(arg(1), arg(2)))
        return arg(0)

    def k_memset(self, arg):
        self.uc.mem_write(arg(0), bytes([arg(1) & 0xFF]) * arg(2))
        return arg(0)

    def k_InterlockedExchange(self, arg):
        old = self.u32(arg(0))
        self.write_u32(arg(0), arg(1))
        return old

    def k_InterlockedCompareExchange(self, arg):
        old = self.u32(arg(0))
        if old == arg(2) & 0xFFFFFFFF:
            self.write_u32(arg(0), arg(1))
        return old

    def k___muls(self, arg):
        return single_bits(float_of(arg(0)) * float_of(arg(1)))

    def k___dtos(self, arg):
        return single_bits(struct.unpack("<d", struct.pack("<II", arg(0), arg(1)))[0])

    # ---- the simulated driver ----

    def _driver_call(self, name):
        if self.driver_refs == 0:
            self.journal.append("driver called after its library was freed: " + name)
        self.journal.append(name)

    def d_GPSOpenDevice(self, arg):
        self._driver_call("GPSOpenDevice")
        self.driver.device_events = (arg(0), arg(1))
        self.driver.open = True
        return DEVICE_HANDLE

    def d_GPSCloseDevice(self, arg):
        self._driver_call("GPSCloseDevice")
        self.driver.open = False
        return 0 if arg(0) == DEVICE_HANDLE else 1

    def d_GPSGetPosition(self, arg):
        self._driver_call("GPSGetPosition")
        buffer = arg(1)
        version, size = struct.unpack("<II", self.read(buffer, 8))
        if arg(0) != DEVICE_HANDLE or (version, size) != (1, 344) or self.driver.reading is None:
            return 1
        self.uc.mem_write(buffer, self.driver.reading)
        return 0

    def d_GPSGetDeviceState(self, arg):
        self._driver_call("GPSGetDeviceState")
        return 0

    def push(self, reading):
        """The driver has READING (344 bytes) and signals new location data."""
        self.driver.reading = reading
        self.handles[self.driver.device_events[0]]["signalled"] = True

    # ---- the host ----

    def host_context(self, entry_count=6):
        get = self._trap("GetSetting", self.h_GetSetting)
        put = self._trap("SetSetting", self.h_SetSetting)
        table = self.alloc(struct.pack("<6I", 0, 0, 0, 0, get, put))
        services = self.alloc(b"\0" * 16 + struct.pack("<Ii", table, entry_count))
        return self.alloc(b"\0" * 28 + struct.pack("<I", services))

    def h_GetSetting(self, arg):
        key = self.read_wide(arg(1))
        self.setting_gets.append(key)
        if key not in self.settings:
            return 0
        self.write_u32(arg(2), self.wide(self.settings[key]))
        return 1

    def h_SetSetting(self, arg):
        key = self.read_wide(arg(1))
        self.setting_sets.append(key)
        self.settings[key] = self.read_wide(arg(2))
