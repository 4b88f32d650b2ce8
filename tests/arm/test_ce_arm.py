#!/usr/bin/python3
"""The CE ARM orvane.dll, run on an emulated ARM CPU through ce_loader, as
a CE host runs it: descriptor, settings, Start/Stop/DeInit, the readings
shared with the x86 builds (records.bin, byte for byte), a new run after
DeInit, a missing driver library or entry, and what an older CE loader or
the CPU refuses.

    test_ce_arm.py DLL [CPU] [unittest options]

CPU is one of ce_loader.CPUS (default TI925T, the oldest generation).
"""
import os
import shutil
import struct
import sys
import tempfile
import unittest

import ce_loader as ce
from readings import shared_readings

DLL = None
CPU = "TI925T"
# What an idle poll must not run: swaps, exclusive accesses, barriers.
LOCKED = ("swp", "ldrex/strex", "barrier (dmb, dsb, isb)")


class Host:
    """A host over a CeMachine: the descriptor's slots as calls."""

    def __init__(self, driver=True, path=None):
        """DRIVER: a SimulatedDriver, True for a complete one, None for none."""
        self.m = ce.CeMachine(path or DLL, ce.SimulatedDriver() if driver is True else driver,
                              CPU)
        self.descriptor = self.m.call(self.m.entry)
        self.slots = struct.unpack("<16I", self.m.read(self.descriptor, 64))
        self.context = self.m.host_context()
        self.record = self.m.alloc(b"\xAB" * 44)
        self.table = self.m.alloc(b"\xEE" * 16 * 24)
        self.count = self.m.alloc(b"\xFF" * 4)

    def init(self):
        return self.m.call(self.slots[8], self.context)

    def deinit(self):
        return self.m.call(self.slots[9])

    def start(self):
        return self.m.call(self.slots[10])

    def stop(self):
        return self.m.call(self.slots[11])

    def position(self):
        return self.m.call(self.slots[14], self.record)

    def satellites(self):
        return self.m.call(self.slots[15], self.table, self.count)

    def nothing_new(self):
        return self.position() == 0 and self.satellites() == 0

    def reader(self):
        return self.m.threads[-1]


class Lifecycle(unittest.TestCase):
    def started(self):
        """A host whose provider has started, its reader waiting."""
        h = Host()
        self.assertEqual(1, h.init())
        self.assertEqual(1, h.start())
        h.m.settle()
        return h

    def test_descriptor_and_settings(self):
        h = Host()
        m = h.m
        slots = h.slots
        self.assertEqual((3000, 0xFFFFFFFF, 16, 1001), slots[:4])
        self.assertEqual("ORVANE", m.read_wide(slots[4]))
        self.assertEqual("Marvek Ltd.", m.read_wide(slots[5]))
        self.assertEqual(slots[5], slots[6])
        self.assertEqual((0, 0, 0), (slots[7], slots[12], slots[13]))
        self.assertEqual(h.descriptor, m.call(m.entry))
        self.assertTrue(h.nothing_new())

        self.assertEqual(1, h.init())
        keys = ["log_file", "log_enabled", "trace_level"]
        self.assertEqual(keys, m.setting_sets)
        self.assertEqual({"log_file": "\\orvane.log", "log_enabled": "false",
                          "trace_level": "0"}, m.settings)
        # Values taken from the host, the long name cut to 254 characters
        # and kept: the next exchange seeds the copy.
        name = "\\" + "x" * 299
        m.settings = {"log_file": name, "log_enabled": "true", "trace_level": "7"}
        self.assertEqual(1, h.init())
        m.settings = {}
        self.assertEqual(1, h.init())
        self.assertEqual(name[:254], m.settings["log_file"])
        self.assertTrue(h.nothing_new())
        self.assertEqual(1, h.deinit())

    def test_readings_convert_as_on_x86_and_the_reader_costs_little(self):
        h = Host()
        m = h.m
        self.assertEqual(1, h.init())
        self.assertEqual(1, h.start())
        self.assertEqual(1, h.stop())  # the reader keeps going until DeInit
        self.assertEqual(["load GPSAPI.DLL", "GPSOpenDevice", "GPSGetDeviceState"], m.journal)
        m.settle()
        reader = h.reader()
        self.assertEqual("blocked", reader.state)
        conversions = []
        for i, (reading, expected) in enumerate(shared_readings()):
            m.push(reading)
            conversions.append(m.count(reader, m.settle))
            self.assertEqual(1, h.position(), i)
            self.assertEqual(expected[4:48], m.read(h.record, 44), "record of reading %d" % i)
            self.assertEqual(1, h.satellites(), i)
            count = m.u32(h.count)
            self.assertEqual(struct.unpack("<i", expected[48:52])[0], count, i)
            self.assertEqual(expected[52:52 + 16 * count], m.read(h.table, 16 * count),
                             "satellites of reading %d" % i)
            self.assertTrue(h.nothing_new(), i)
        idle = []
        for poll in (h.position, h.satellites):
            calls = len(m.journal)
            idle.append(m.count(m.host_thread, poll))
            # No swap, exclusive access or barrier, and no call when idle.
            words = [struct.unpack("<I", i)[0] for i in m.executed]
            locked = [w for w in words if ce.arm_code.requirement(w)[1] in LOCKED]
            self.assertEqual([], locked)
            self.assertEqual([], [w for w in words if w & 0x0F000000 == 0x0B000000
                                  or w == 0xE1A0E00F])  # bl; mov lr, pc
            self.assertEqual(calls, len(m.journal))
        worst = conversions[-1]  # 12 used satellites, none of them in view
        print("\n[ figures  ] ARM %s: %d readings converted, %d to %d instructions each "
              "(mean %.0f, the 12-used-none-in-view case %d), idle polls %d and %d instructions"
              % (CPU, len(conversions), min(conversions), max(conversions),
                 sum(conversions) / len(conversions), worst, idle[0], idle[1]))
        # Every stack the DLL ran on started 4 mod 8, as CE guarantees no more.
        self.assertEqual([4] * len(m.stack_starts), [sp % 8 for sp in m.stack_starts])
        self.assertGreater(len(m.stack_starts), 2)
        self.assertLessEqual(max(idle), 10)
        self.assertLessEqual(max(conversions), 600)
        self.assertEqual(1, h.deinit())

    def test_deinit_stops_and_joins_the_reader_then_releases_in_order(self):
        h = self.started()
        m = h.m
        m.push(shared_readings()[0][0])
        m.settle()
        del m.journal[:]
        self.assertEqual(1, h.deinit())
        self.assertEqual(["thread ended", "thread joined", "thread handle closed",
                          "GPSCloseDevice", "library freed", "event closed", "event closed",
                          "event closed"], m.journal)
        self.assertEqual("done", h.reader().state)
        self.assertEqual({}, m.handles)
        # Nothing of the ended run is handed out, and it all starts again.
        self.assertTrue(h.nothing_new())
        self.assertEqual(1, h.init())
        self.assertEqual(1, h.start())
        self.assertTrue(h.nothing_new())
        self.assertEqual(1, h.deinit())
        self.assertEqual({}, m.handles)

    def test_a_new_run_starts_from_nothing(self):
        h = self.started()
        m = h.m
        m.push(shared_readings()[-1][0])  # every field valid, 12 satellites
        m.settle()
        self.assertEqual(1, h.position())
        self.assertEqual(1, h.satellites())
        self.assertEqual(1, h.deinit())
        self.assertEqual(1, h.init())
        self.assertEqual(1, h.start())
        m.settle()
        # The next run's first reading marks only the position and elevations.
        reading = bytearray(shared_readings()[0][0])
        struct.pack_into("<I", reading, 8, 0x2 | 0x4 | 0x8000)
        m.push(bytes(reading))
        m.settle()
        self.assertEqual(1, h.position())
        lat, lon, fix = struct.unpack_from("<32xdd28xI", reading)
        fix_status = {1: 2, 2: 3}.get(fix, 0)
        expected = struct.pack("<8fi6BH", ce.float_of(ce.single_bits(lon)),
                               ce.float_of(ce.single_bits(lat)), *[0] * 7, fix_status, *[0] * 6)
        self.assertEqual(expected, m.read(h.record, 44))
        self.assertEqual(1, h.satellites())
        self.assertEqual(0, m.u32(h.count))
        self.assertEqual(1, h.deinit())

    def test_a_failed_wait_pauses_the_reader_for_5000_ms(self):
        h = self.started()
        m = h.m
        readings = shared_readings()
        m.failing_waits = 1
        m.push(readings[0][0])
        m.settle()  # converts, then its next wait fails
        self.assertEqual(1, h.position())
        start = m.clock
        m.push(readings[1][0])
        m.settle()
        self.assertEqual(0, h.position())
        m.schedule(lambda: h.reader().block and h.reader().block.deadline is None,
                   advance_time=True)
        self.assertEqual(5000, m.clock - start)
        self.assertEqual(1, h.position())
        self.assertEqual(readings[1][1][4:48], m.read(h.record, 44))
        self.assertEqual(1, h.deinit())

    def test_a_missing_driver_library_or_entry_starts_nothing(self):
        for missing in [None] + list(ce.DRIVER_ENTRIES):
            with self.subTest(missing=missing):
                h = Host(None if missing is None else ce.SimulatedDriver(missing))
                self.assertEqual(0, h.init())
                self.assertEqual([], h.m.setting_gets)
                self.assertEqual(0, h.start())
                self.assertEqual(1, h.deinit())
                self.assertEqual(0, h.m.driver_refs)
                self.assertEqual([], [e for e in h.m.journal if e.startswith("GPS")])
                self.assertEqual({}, h.m.handles)


class Loader(unittest.TestCase):
    """The loader takes what an older CE loader takes, and nothing else."""

    def refusal(self, patch):
        image = ce.read_image(DLL)
        patch(image)
        folder = tempfile.mkdtemp()
        try:
            path = os.path.join(folder, "orvane.dll")
            with open(path, "wb") as f:
                f.write(image.data)
            with self.assertRaises(ce.LoadRefused) as caught:
                Host(path=path)
            return str(caught.exception)
        finally:
            shutil.rmtree(folder)

    def test_refuses_a_desktop_machine_subsystem_relocation_or_import(self):
        def machine(image):
            struct.pack_into("<H", image.data, image.coff, 0x1C4)

        def subsystem(image):
            struct.pack_into("<H", image.data, image.opt + 68, 2)

        def relocation(image):  # the first entry becomes a MOVW/MOVT pair
            rva, _ = image.directory(ce.ce_pe.DIR_RELOC)
            at = image.offset(rva + 8)
            entry = struct.unpack_from("<H", image.data, at)[0]
            struct.pack_into("<H", image.data, at, 0x5000 | entry & 0xFFF)

        def import_dll(image):
            rva, _ = image.directory(ce.ce_pe.DIR_IMPORT)
            name = struct.unpack("<I", image.read(rva + 12, 4))[0]
            at = image.offset(name)
            image.data[at:at + 11] = b"msvcrt.dll\0"

        def newer_subsystem(image):  # CE 6.0's, which a CE 5.0 loader refuses
            struct.pack_into("<HH", image.data, image.opt + 48, 6, 0)

        for patch, reason in ((machine, "machine 0x1C4"), (subsystem, "subsystem 2"),
                              (newer_subsystem, "subsystem version 6.00"),
                              (relocation, "relocation types [5]"),
                              (import_dll, "imports from ['msvcrt.dll']")):
            with self.subTest(reason=reason):
                self.assertIn(reason, self.refusal(patch))


    def test_refuses_an_instruction_the_cpu_lacks(self):
        # The DLL's entry starts with one each CPU lacks.
        lacked = {"TI925T": (0xE16F0F10, "clz", "ARMv5T"),
                  "ARM926": (0xE1910F9F, "ldrex/strex", "ARMv6"),
                  "PXA270": (0xE1910F9F, "ldrex/strex", "ARMv6"),
                  "ARM1176": (0xE3000001, "movw/movt", "ARMv6T2"),
                  "CORTEX_A8": (0xEE070F9A, "coprocessor instruction", "not for the DLL")}
        word, what, needed = lacked[CPU]

        def entry(image):
            struct.pack_into("<I", image.data, image.offset(image.entry), word)

        reason = self.refusal(entry)
        self.assertIn("%s: instruction %08X at RVA 0x%X (%s)"
                      % (CPU, word, self.entry_rva(), what), reason)
        self.assertIn(needed, reason)

    def entry_rva(self):
        return ce.read_image(DLL).entry


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    DLL = sys.argv.pop(1)
    if len(sys.argv) > 1 and sys.argv[1] in ce.CPUS:
        CPU = sys.argv.pop(1)
    print("%s on %s (%s)" % (DLL, CPU, ce.CPUS[CPU][2]))
    try:
        Host()
    except ce.LoadRefused as e:
        sys.exit("%s refused: %s" % (DLL, e))
    unittest.main(verbosity=2)
