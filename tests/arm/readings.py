#!/usr/bin/python3
"""Driver readings shared by the x86 and the ARM runs of the provider, and
what the host must receive for each, worked out here independently of the
provider's code.

    readings.py [FOLDER]   writes FOLDER/readings.bin and FOLDER/records.bin
                           (default: this script's folder)

readings.bin holds GPS_POSITION structures of 344 bytes; records.bin, for
each reading, what slots 14 and 15 hand out right after it (RECORD_FORMAT).
Both builds must match records.bin byte for byte, and so each other.
"""
import ctypes
import os
import random
import struct
import sys

POSITION_SIZE = 344
POSITION_FIELDS = 0x7FF
SATELLITE_FIELDS = 0x3F800
USED_LIST = 0x0800 | 0x1000
IN_VIEW = 0x2000 | 0x4000
ALL_FIELDS = 0x3FFFF
MAX_SATELLITES = 12
KNOTS_TO_KMH = 1.852
# Every reading's sea-level altitude lies this far below its ellipsoid one.
SEPARATION = 47.5

# Per reading: position handed out (0/1), satellites handed out (0/1), two
# zero bytes, the 44-byte GpsRecord, the count, 12 SatelliteRecords (zero
# past the count).
RECORD_FORMAT = "<BB2x44si192s"
RECORD_SIZE = struct.calcsize(RECORD_FORMAT)


def single(x):
    """X rounded to IEEE single precision, to nearest, as a C cast does."""
    return ctypes.c_float(x).value


def reading_bytes(r):
    sats = (r["in_view"] + [(0, 0, 0, 0)] * 12)[:12]
    return struct.pack(
        "<IIII8Hddffdff3I3fI12II48I",
        1, POSITION_SIZE, r["valid"], 0, *r["time"], r["lat"], r["lon"], r["speed"],
        r["heading"], 0.0, r["alt"] - SEPARATION, r["alt"], 0, r["fix"], 0, r["pdop"], r["hdop"], r["vdop"],
        r["used_count"], *(r["used"] + [0] * 12)[:12], r["in_view_count"],
        *(s[k] & 0xFFFFFFFF for k in range(4) for s in sats))


def make_readings(seed=11, count=40):
    rnd = random.Random(seed)
    out = []
    for i in range(count):
        n_view = rnd.randint(0, 12)
        n_used = rnd.randint(0, 12)
        sats = [(rnd.choice([rnd.randint(1, 32), rnd.randint(0, 0x1FF)]),
                 rnd.randint(0, 90) if rnd.random() < 0.8 else rnd.getrandbits(32),
                 rnd.randint(0, 359) if rnd.random() < 0.8 else rnd.getrandbits(32),
                 rnd.randint(0, 60)) for _ in range(n_view)]
        used = [rnd.choice([s[0] for s in sats]) if sats and rnd.random() < 0.7
                else rnd.randint(0, 0x1FF) for _ in range(n_used)]
        r = {
            "valid": ALL_FIELDS if rnd.random() < 0.6 else rnd.getrandbits(18),
            "time": [rnd.randint(1980, 2100), rnd.randint(1, 12), rnd.randint(0, 6),
                     rnd.randint(1, 31), rnd.randint(0, 23), rnd.randint(0, 59),
                     rnd.randint(0, 59), rnd.randint(0, 999)],
            "lat": rnd.uniform(-90, 90), "lon": rnd.uniform(-180, 180),
            "speed": single(rnd.uniform(0, 400)), "heading": single(rnd.uniform(0, 360)),
            "alt": single(rnd.uniform(-400, 9000)), "fix": rnd.randint(0, 3),
            "pdop": single(rnd.uniform(0.5, 50)), "hdop": single(rnd.uniform(0.5, 50)),
            "vdop": single(rnd.uniform(0.5, 50)),
            "used_count": n_used if rnd.random() < 0.9 else rnd.choice([13, 0xFFFFFFFF]),
            "used": used, "in_view_count": n_view if rnd.random() < 0.9 else 0xFFFFFFFF,
            "in_view": sats,
        }
        if r["in_view_count"] == 0xFFFFFFFF:  # the driver's arrays are full
            r["in_view"] = sats + [(200 + k, k, k, k) for k in range(12 - n_view)]
        if i % 9 == 0:  # a time field above a byte keeps its low byte
            r["time"][1] = 0x10C
        out.append(r)
    # The slowest case: 12 used satellites, none of them in view.
    worst = dict(out[0], valid=ALL_FIELDS, used_count=12, used=list(range(101, 113)),
                 in_view_count=12, in_view=[(k + 1, k, k, k) for k in range(12)])
    out.append(worst)
    return out


class Provider:
    """The provider's conversion as its description gives it: every field
    keeps its last valid value, the table's slots included."""

    def __init__(self):
        self.record = [0.0] * 8 + [0] * 8
        self.used = set()
        self.slots = [[0, 0, 0, 0, 0] for _ in range(MAX_SATELLITES)]  # prn az elev snr used
        self.count = 0

    def convert(self, r):
        v = r["valid"]
        rec = self.record
        rec[9] = {1: 2, 2: 3}.get(r["fix"], 0)
        for bit, slot, value in ((0x4, 0, r["lon"]), (0x2, 1, r["lat"]), (0x80, 2, r["alt"]),
                                 (0x10, 4, r["heading"]), (0x100, 5, r["pdop"]),
                                 (0x200, 6, r["hdop"]), (0x400, 7, r["vdop"])):
            if v & bit:
                rec[slot] = single(value)
        if not v & 0x80 and v & 0x40:
            rec[2] = single(r["alt"] - SEPARATION)
        if v & 0x8:
            rec[3] = single(single(r["speed"]) * single(KNOTS_TO_KMH))
        if v & 0x1:
            t = r["time"]
            rec[8] = t[0]
            rec[10:15] = [t[3] & 0xFF, t[1] & 0xFF, t[4] & 0xFF, t[5] & 0xFF, t[6] & 0xFF]
            rec[15] = t[7]
        if v & USED_LIST == USED_LIST:
            n = min(r["used_count"], MAX_SATELLITES)
            self.used = {p & 0xFF for p in (r["used"] + [0] * 12)[:n]}
        sats = (r["in_view"] + [(0, 0, 0, 0)] * 12)[:12]
        if v & IN_VIEW == IN_VIEW:
            self.count = min(r["in_view_count"], MAX_SATELLITES)
            for i in range(self.count):
                prn = sats[i][0] & 0xFF
                self.slots[i][0] = prn
                self.slots[i][4] = int(prn in self.used)
        for i in range(self.count):
            if v & 0x8000:
                self.slots[i][2] = sats[i][1] & 0xFFFFFFFF
            if v & 0x10000:
                self.slots[i][1] = sats[i][2] & 0xFFFF
            if v & 0x20000:
                self.slots[i][3] = sats[i][3] & 0xFFFFFFFF
        record = struct.pack("<8fi6BH", *rec[:9], *rec[9:15], rec[15])
        table = b"".join(struct.pack("<HHIIB3x", *e) for e in self.slots[:self.count])
        return struct.pack(RECORD_FORMAT, int(v & POSITION_FIELDS != 0),
                           int(v & SATELLITE_FIELDS != 0), record, self.count,
                           table.ljust(192, b"\0"))


def shared_readings(folder=os.path.dirname(os.path.abspath(__file__))):
    """[(reading, record)] as bytes, from FOLDER's readings.bin and records.bin."""
    with open(os.path.join(folder, "readings.bin"), "rb") as f:
        readings = f.read()
    with open(os.path.join(folder, "records.bin"), "rb") as f:
        records = f.read()
    n = len(readings) // POSITION_SIZE
    assert n > 0 and len(records) == n * RECORD_SIZE
    return [(readings[i * POSITION_SIZE:(i + 1) * POSITION_SIZE],
             records[i * RECORD_SIZE:(i + 1) * RECORD_SIZE]) for i in range(n)]


def main(argv):
    folder = argv[1] if len(argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    readings = make_readings()
    provider = Provider()
    with open(os.path.join(folder, "readings.bin"), "wb") as f:
        for r in readings:
            f.write(reading_bytes(r))
    with open(os.path.join(folder, "records.bin"), "wb") as f:
        for r in readings:
            f.write(provider.convert(r))
    print("%d readings" % len(readings))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
