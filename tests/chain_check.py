#!/usr/bin/python3
"""Runs the whole chain over each recorded NMEA log: the simulated driver
replays the log, orvane converts and hands out each reading, the reference
host carries every position to wendmark, which writes the track, and writes
down every satellite table orvane hands out. Both are compared with a
reading of the same log made here, sentence by sentence:

- each track point: one per epoch with a fix (the sentences of one UTC
  time), in order; the time (whole seconds); the position within single
  precision; the altitude, the GGA altitude plus the geoid separation, or
  the GGA altitude where the receiver gives no separation; the hdop;
- each satellite table: one for each epoch that carries satellite data, in
  order, at that epoch's time; the satellites in view (a satellite is one
  PRN of one talker, its strongest signal, twelve at most, in the order of
  the log's complete GSV groups), their elevation, azimuth and SNR, and the
  used flag: the PRN is among the epoch's GSA PRNs. The record carries only
  the PRN, so same-numbered satellites of two systems share their flag.

No log is left out of any check. The track is also compared with gpsbabel's
conversion of the same log, as the replay check does (its default one, or
its sentence-by-sentence one for a log that pairs sentences of different
seconds); gpsbabel also makes a point of a GLL sentence of a second without
GGA or RMC, which a GPS driver does not read: such points are left out, each
verified against its GLL.

Arguments: navhost, the bench folder, then logs or folders of logs (a
folder that does not exist is passed over; a log seen twice under one name
runs once). Prints per log the points, the agreement of altitudes and
satellite tables, and the chain's wall time."""
import datetime
import os
import re
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import replay_check  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MAX_SENTENCE = 128  # '$' through the checksum
TALKERS = ("GP", "GN", "GL", "GA", "BD", "GB")
DAY_MS = 86400000


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def ulp32(x):
    """The spacing of single-precision floats at X."""
    bits = struct.unpack("<I", struct.pack("<f", abs(x)))[0]
    return struct.unpack("<f", struct.pack("<I", bits + 1))[0] - struct.unpack("<f", struct.pack("<I", bits))[0]


def close32(ours, reference, ulps=1):
    # Narrowing to float, then six printed decimals.
    return abs(ours - reference) <= ulps * ulp32(reference) + 5e-7


# ---- The log, read here ----

def sentences(log):
    """(talker, type, fields) of each sentence with a good checksum."""
    text = open(log, "rb").read().decode("ascii", "replace")
    for line in re.split(r"[\r\n]+", text):
        m = re.fullmatch(r"\$([^*$]*)\*([0-9A-Fa-f]{2})", line.strip())
        if not m or len(line.strip()) > MAX_SENTENCE:
            continue
        body, total = m.group(1), 0
        for c in body:
            total ^= ord(c)
        f = body.split(",")
        if total == int(m.group(2), 16) and len(f[0]) == 5 and f[0][:2] in TALKERS:
            yield f[0][:2], f[0][2:], f[1:]


def tod(t):
    """'hhmmss[.sss]' as ms of the day, or None."""
    if not re.fullmatch(r"\d{6}(\.\d*)?", t):
        return None
    return ((int(t[0:2]) * 60 + int(t[2:4])) * 60 + int(t[4:6])) * 1000 + int((t[7:] + "000")[:3])


def angle(value, hemisphere, negative):
    if not value or not hemisphere:
        return None
    whole = len(value.split(".")[0])
    v = int(value[:whole - 2]) + float(value[whole - 2:]) / 60
    return -v if hemisphere == negative else v


def gga_has_fix(g):
    """Whether the GGA fields G give a position with a fix quality."""
    return g[5] not in ("", "0") and g[1] and g[3]


class Epoch:
    def __init__(self, ms):
        self.ms = ms
        self.date = None
        self.gga = []     # fields of each GGA
        self.rmc = []
        self.gsa = []
        self.in_view = []  # [talker, prn, elevation, azimuth, snr]

    def gga_chosen(self):
        fixes = [g for g in self.gga if gga_has_fix(g)]
        return fixes[0] if fixes else (self.gga[0] if self.gga else None)

    def fix(self):
        """(lat, lon, altitude or None) of the epoch's fix."""
        g = self.gga_chosen()
        if g is not None and gga_has_fix(g):
            alt = None
            if g[8]:
                alt = f32(float(g[8])) + (f32(float(g[10])) if g[10] else 0.0)
            return angle(g[1], g[2], "S"), angle(g[3], g[4], "W"), alt
        for r in self.rmc:
            if r[1] == "A" and r[2] and r[4]:
                return angle(r[2], r[3], "S"), angle(r[4], r[5], "W"), None
        return None

    def hdop(self):
        g = self.gga_chosen()
        if g is not None and g[7]:
            return float(g[7])
        if self.gsa and self.gsa[0][15]:
            return float(self.gsa[0][15])
        return None

    def add_group(self, talker, satellites):
        for prn, elevation, azimuth, snr in satellites:
            same = [s for s in self.in_view if s[0] == talker and s[1] == prn]
            if same:
                same[0][4] = max(same[0][4], snr)
            elif len(self.in_view) < 12:
                self.in_view.append([talker, prn, elevation, azimuth, snr])


def epochs(log):
    """The log's epochs in order, with their dates."""
    out, group = [], None
    for talker, kind, f in sentences(log):
        if kind in ("GGA", "RMC") and f and tod(f[0]) is not None:
            ms = tod(f[0])
            if not out or out[-1].ms != ms:
                out.append(Epoch(ms))
                group = None
        if not out:
            continue
        e = out[-1]
        padded = f + [""] * 20  # a field past the end is an empty one
        if kind == "GGA":
            e.gga.append(padded)
        elif kind == "RMC":
            e.rmc.append(padded)
            if re.fullmatch(r"\d{6}", f[8] if len(f) > 8 else ""):
                e.date = f[8]
        elif kind == "GSA":
            e.gsa.append(padded)
        elif kind == "GSV":
            total, index = int(f[0]), int(f[1])
            if index == 1:
                group = (talker, total, 1, [])
            if group is None or group[0] != talker or group[1] != total or group[2] != index:
                group = None
                continue
            blocks = f[3:-1] if len(f[3:]) % 4 == 1 else f[3:]
            for i in range(0, len(blocks), 4):
                b = (blocks[i:i + 4] + ["", "", "", ""])[:4]
                if b[0]:
                    group[3].append(tuple(int(x) if x else 0 for x in b))
            group = (talker, total, index + 1, group[3])
            if index == total:
                e.add_group(talker, group[3])
                group = None
    date_all(out)
    return out


def civil(ddmmyy):
    yy = int(ddmmyy[4:6])
    return datetime.date(2000 + yy if yy < 80 else 1900 + yy, int(ddmmyy[2:4]), int(ddmmyy[0:2]))


def date_all(out):
    """Gives each epoch its day: the latest RMC's date, a day on when the
    time wraps past midnight; before the first RMC, its date, a day back
    for an epoch across midnight from it."""
    first = next(((e.date, e.ms) for e in out if e.date), None)
    current, at = None, None
    for e in out:
        if e.date:
            current, at = civil(e.date), e.ms
        if current is not None:
            if e.ms < at - DAY_MS // 2:
                current += datetime.timedelta(days=1)
            at = e.ms
            e.day = current
        elif first is not None:
            d = civil(first[0])
            e.day = d - datetime.timedelta(days=1) if e.ms > first[1] + DAY_MS // 2 else d
        else:
            e.day = None


def expected_points(es):
    """(date, ms, lat, lon, altitude, hdop, carried) of each fix. The record
    keeps a field that a reading does not give: an RMC-only fix carries the
    latest altitude, an epoch without any dilution the latest hdop."""
    out, altitude, hdop = [], 0.0, 0.0
    for e in es:
        fix, own = e.fix(), e.hdop()
        hdop = own if own is not None else hdop
        if fix is None or e.day is None:
            continue
        carried = fix[2] is None
        altitude = altitude if carried else fix[2]
        out.append((e.day.isoformat(), e.ms // 1000 * 1000, fix[0], fix[1], altitude, hdop, carried))
    return out


def expected_tables(es):
    """(time, [(prn, used, elevation, azimuth, snr)]) of each epoch that
    hands out satellites; the table and the used PRNs carry over epochs
    that lack them."""
    out, table, used = [], [], set()
    for e in es:
        g = e.gga_chosen()
        if e.gsa:
            used = {int(p) & 0xFF for f in e.gsa for p in f[2:14] if p}
        if e.in_view:
            table = [(s[1] & 0xFF, int((s[1] & 0xFF) in used), s[2], s[3] & 0xFFFF, s[4])
                     for s in e.in_view]
        if e.gsa or e.in_view or (g is not None and g[6]):
            stamp = f"{e.day.isoformat()}T{e.ms // 3600000:02d}:{e.ms // 60000 % 60:02d}:" \
                    f"{e.ms // 1000 % 60:02d}.{e.ms % 1000:03d}" if e.day else "-"
            out.append((stamp, table))
    return out


# ---- What the chain gave ----

def track_points(gpx_text):
    pts = []
    for lon, lat, when, ele, hdop in re.findall(
            r'<trkpt lon="([^"]+)" lat="([^"]+)"><time>([^<]+)</time><type>MWP</type>'
            r'<ele>([^<]+)</ele>(?:<hdop>([^<]+)</hdop>)?', gpx_text):
        date, ms = replay_check.milliseconds(when)
        pts.append((date, ms, float(lat), float(lon), float(ele), float(hdop) if hdop else None))
    return pts


def handed_out(path):
    tables = []
    for line in open(path, encoding="ascii"):
        words = line.split()
        sats = [tuple(int(x) for x in w.split(",")) for w in words[2:]]
        assert len(sats) == int(words[1]), line
        tables.append((words[0], sats))
    return tables


def run_chain(navhost, bench, log, folder):
    """Runs navhost over LOG in FOLDER: the track, the satellite tables and
    the wall time. A Windows navhost runs under Wine, with Z: paths."""
    wine = navhost.endswith(".exe")
    path = (lambda p: "Z:" + p.replace("/", "\\")) if wine else (lambda p: p)
    ext = ".dll" if wine else ".so"
    tracks = os.path.join(folder, "tracks") + os.sep
    os.makedirs(tracks)
    satellites = os.path.join(folder, "satellites.txt")
    env = dict(os.environ, GPSAPI_REPLAY_LOG=path(log), GPSAPI_REPLAY_PACE="host")
    command = [navhost, "record", "--provider", path(os.path.join(bench, "orvane" + ext)),
               "--recorder", path(os.path.join(bench, "wendmark" + ext)),
               "--settings", "navhost.ini", "--tracks", path(tracks),
               "--satellites", path(satellites), "--duration", "120"]
    if wine:
        command.insert(0, os.path.join(ROOT, "scripts", "wine-run.sh"))
    # Wine itself sometimes fails on machines that emulate 32-bit x86: a
    # failed run under Wine is started again, twice at most; a loss of
    # positions (navhost's 13) never is.
    for attempt in range(3 if wine else 1):
        for f in os.listdir(tracks):
            os.remove(os.path.join(tracks, f))
        started = time.monotonic()
        done = subprocess.run(command, env=env, cwd=folder, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True, timeout=600)
        wall = time.monotonic() - started
        if done.returncode in (0, 13):
            break
        print(f"    navhost exited with {done.returncode} (attempt {attempt + 1})")
    assert done.returncode == 0, f"navhost exited with {done.returncode}: {done.stderr.strip()}"
    gpx = [f for f in os.listdir(tracks) if f.endswith(".gpx")]
    assert len(gpx) == 1, gpx
    return open(os.path.join(tracks, gpx[0]), encoding="utf-8").read(), handed_out(satellites), wall


# ---- Comparisons ----

def compare_points(ours, expected):
    """Problems; how many points agree on altitude and hdop; how many of
    those altitudes came from the point's own GGA."""
    problems, agree, own = [], 0, 0
    if len(ours) != len(expected):
        problems.append(f"{len(ours)} points, the log has {len(expected)} epochs with a fix")
    for a, b in zip(ours, expected):
        if a[:2] != b[:2]:
            problems.append(f"time {a[:2]} but the log {b[:2]}")
        elif not (close32(a[2], b[2]) and close32(a[3], b[3])):
            problems.append(f"position {a[2:4]} but the log {b[2:4]} at {a[:2]}")
        elif not close32(a[4], b[4], 2):
            problems.append(f"altitude {a[4]} but the log {b[4]} at {a[:2]}")
        elif a[5] is None or not close32(a[5], b[5]):
            problems.append(f"hdop {a[5]} but the log {b[5]} at {a[:2]}")
        else:
            agree += 1
            own += 0 if b[6] else 1
    return problems, agree, own


def compare_tables(ours, expected):
    problems, same = [], 0
    if len(ours) != len(expected):
        problems.append(f"{len(ours)} satellite tables, the log has {len(expected)}")
    for a, b in zip(ours, expected):
        if a != b:
            problems.append(f"satellites at {a[0]}: {a[1]} but the log at {b[0]}: {b[1]}")
        else:
            same += 1
    return problems, same


def babel_differences(ours, reference):
    problems = []
    if len(ours) != len(reference):
        problems.append(f"{len(ours)} points, gpsbabel has {len(reference)}")
    for a, b in zip(ours, reference):
        # The record carries whole seconds.
        if a[:2] != (b[0], b[1] // 1000 * 1000) or not (close32(a[2], b[2]) and close32(a[3], b[3])):
            problems.append(f"point {a[:4]} but gpsbabel {b[:4]}")
    return problems


def compare_gpsbabel(log, ours):
    """As the replay check: gpsbabel's default conversion, or for a log that
    pairs sentences of different seconds its sentence-by-sentence one."""
    default = replay_check.convert(log)
    problems = babel_differences(ours, default)
    if not problems:
        return [], "gpsbabel's conversion" + replay_check.left_out(log)
    reference = replay_check.sentence_by_sentence(log, default)[2]
    return babel_differences(ours, reference), \
        f"gpsbabel's sentence-by-sentence conversion (its default has {len(default)})" + \
        replay_check.left_out(log)


def logs_of(arguments):
    found = {}
    for a in arguments:
        if os.path.isdir(a):
            for f in sorted(os.listdir(a)):
                if f.endswith(".nmea"):
                    found.setdefault(f, os.path.join(a, f))
        elif os.path.isfile(a):
            found.setdefault(os.path.basename(a), a)
    return found


def main(navhost, bench, *arguments):
    logs = logs_of(arguments)
    assert logs, f"no logs in {arguments}"
    failed = False
    for name, log in sorted(logs.items()):
        with tempfile.TemporaryDirectory() as folder:
            gpx, tables, wall = run_chain(navhost, bench, os.path.abspath(log), folder)
        ours = track_points(gpx)
        es = epochs(log)
        problems, agree, own = compare_points(ours, expected_points(es))
        table_problems, same = compare_tables(tables, expected_tables(es))
        babel_problems, what = compare_gpsbabel(log, [p[:5] for p in ours])
        problems += table_problems + babel_problems
        if not ours:
            problems.append("no point")
        print(f"{name}: {len(ours)} points, altitude and hdop agree on {agree} ({own} from "
              f"their own GGA, {agree - own} carried); {same} of {len(tables)} satellite tables "
              f"agree; points against {what}; chain {wall:.2f} s")
        if problems:
            failed = True
            print(f"{name}: FAILED")
            for p in problems[:10]:
                print("   ", p)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main(*sys.argv[1:])
