#!/usr/bin/python3
"""Compares the readings the simulated driver replayed from each NMEA log
(CSV files written by the replay test) with gpsbabel's conversion of the
same log: the same number of epochs with a fix, the same times, the same
positions and altitudes.

gpsbabel's default conversion (-i nmea) starts a point at each GGA and adds
the RMC that follows to it, whatever the RMC's time. Most receivers send
GGA and RMC of one second together and the result is one point per epoch,
which the driver must match exactly. Some logs (a chartplotter's, here)
stamp their RMC a second after the GGA before it; there gpsbabel's points
join the position of one second to the time of the next, and it folds
RMC-only seconds into the point before. The driver keeps each sentence's
own time, as a receiver's driver does, so for such a log the reference is
gpsbabel's conversion of the GGA sentences alone (gprmc=0) at their own
times, with its conversion of the RMC sentences (gpgga=0) for seconds that
have no GGA fix. The script then also verifies that every point of the
default conversion is such a pairing, so the difference is shown, not
hidden."""
import csv
import os
import re
import subprocess
import sys

POSITION_TOLERANCE = 1e-8  # degrees; gpsbabel writes nine decimals
ALTITUDE_TOLERANCE = 1e-3  # metres
VALID_LATITUDE, VALID_LONGITUDE = 0x2, 0x4
VALID_ALTITUDE_WRT_SEA_LEVEL = 0x40


def milliseconds(text):
    """'2018-08-20T09:47:37Z' or '...:37.802' as (date, ms of the day)."""
    m = re.match(r"(\d{4}-\d\d-\d\d)T(\d\d):(\d\d):(\d\d)(?:\.(\d+))?Z?$", text)
    assert m, text
    frac = (m.group(5) or "0")[:3].ljust(3, "0")
    ms = ((int(m.group(2)) * 60 + int(m.group(3))) * 60 + int(m.group(4))) * 1000 + int(frac)
    return m.group(1), ms


def convert(log, options=""):
    """gpsbabel's points: [(date, ms, lat, lon, ele or None)], without those
    of GLL-only seconds (see gll_only)."""
    gpx = subprocess.run(["gpsbabel", "-i", "nmea" + options, "-f", log, "-o", "gpx", "-F", "-"],
                         check=True, capture_output=True, text=True).stdout
    points = []
    for attrs, body in re.findall(r"<trkpt ([^>]*)>(.*?)</trkpt>", gpx, re.S):
        lat = float(re.search(r'lat="([^"]+)"', attrs).group(1))
        lon = float(re.search(r'lon="([^"]+)"', attrs).group(1))
        ele = re.search(r"<ele>([^<]+)</ele>", body)
        date, ms = milliseconds(re.search(r"<time>([^<]+)</time>", body).group(1))
        points.append((date, ms, lat, lon, float(ele.group(1)) if ele else None))
    kept, LEFT_OUT[log] = gll_only(log, points)
    return kept


# Points of GLL-only seconds that convert() left out, by log.
LEFT_OUT = {}


def left_out(log):
    n = LEFT_OUT.get(log, 0)
    return f"; {n} gpsbabel point(s) of GLL-only seconds left out" if n else ""


def replayed(path):
    """The driver's readings with a fix: [(date, ms, lat, lon, ele or None)]."""
    fixes = []
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            valid = int(row["valid"])
            if valid & (VALID_LATITUDE | VALID_LONGITUDE) != VALID_LATITUDE | VALID_LONGITUDE:
                continue
            date, ms = milliseconds(row["time"])
            ele = float(row["altitude"]) if valid & VALID_ALTITUDE_WRT_SEA_LEVEL else None
            fixes.append((date, ms, float(row["latitude"]), float(row["longitude"]), ele))
    return fixes


def gll_only(log, points):
    """POINTS without those gpsbabel made from a GLL sentence of a second that
    has no GGA or RMC: the driver, as a GPS driver does, reads its positions
    from GGA and RMC only. Returns the points kept and how many were left
    out; each left out must have the GLL's time and position."""
    timed, gll = set(), {}
    for line in re.split(r"[\r\n]+", open(log, encoding="ascii", errors="replace").read()):
        f = line.split("*")[0].split(",")
        if len(f) > 6 and f[0][3:] in ("GGA", "RMC") and f[1][:6].isdigit():
            timed.add(f[1][:6])
        elif len(f) > 6 and f[0][3:] == "GLL" and f[6] == "A" and f[5][:6].isdigit():
            lat = int(f[1][:2]) + float(f[1][2:]) / 60
            lon = int(f[3][:3]) + float(f[3][3:]) / 60
            gll[f[5][:6]] = (lat if f[2] == "N" else -lat, lon if f[4] == "E" else -lon)
    kept = []
    for p in points:
        s = p[1] // 1000
        hms = f"{s // 3600:02d}{s // 60 % 60:02d}{s % 60:02d}"
        if hms in gll and hms not in timed:
            assert abs(gll[hms][0] - p[2]) <= POSITION_TOLERANCE and \
                abs(gll[hms][1] - p[3]) <= POSITION_TOLERANCE, f"gpsbabel point {p} is not its GLL's"
            continue
        kept.append(p)
    return kept, len(points) - len(kept)


def differences(ours, reference, what):
    found = []
    if len(ours) != len(reference):
        found.append(f"{len(ours)} epochs with a fix, {what} has {len(reference)}")
    for a, b in zip(ours, reference):
        same = (a[0], a[1]) == (b[0], b[1]) and abs(a[2] - b[2]) <= POSITION_TOLERANCE \
            and abs(a[3] - b[3]) <= POSITION_TOLERANCE \
            and (b[4] is None or (a[4] is not None and abs(a[4] - b[4]) <= ALTITUDE_TOLERANCE))
        if not same:
            found.append(f"driver {a} but {what} {b}")
    return found


def sentence_by_sentence(log, default):
    """gpsbabel's GGA and RMC fixes of LOG, each by (date, ms of the day), and
    the two merged in time order (a GGA where both have a time); DEFAULT is
    its default conversion, which gives the date for the GGA-only one."""
    date = default[0][0].replace("-", "")
    gga = {(p[0], p[1]): p for p in convert(log, f",gprmc=0,date={date}")}
    rmc = {(p[0], p[1]): p for p in convert(log, ",gpgga=0")}
    return gga, rmc, [gga.get(t) or rmc[t] for t in sorted(set(gga) | set(rmc))]


def check(log, readings):
    ours = replayed(readings)
    assert ours, f"{readings}: no epoch with a fix"
    default = convert(log)
    if not differences(ours, default, "gpsbabel"):
        return f"{len(ours)} epochs match gpsbabel's conversion{left_out(log)}"

    # The log pairs sentences of different seconds: compare sentence by sentence.
    gga, rmc, expected = sentence_by_sentence(log, default)
    found = differences(ours, expected, "gpsbabel (sentence by sentence)")
    assert not found, "\n".join(found[:10])

    # Every point of the default conversion is a GGA fix, at its own time or
    # at the time of an RMC of a later second.
    gga_fixes = sorted(gga.values())
    for date_, ms, lat, lon, _ in default:
        sources = [g for g in gga_fixes if g[:2] <= (date_, ms)
                   and abs(g[2] - lat) <= POSITION_TOLERANCE and abs(g[3] - lon) <= POSITION_TOLERANCE]
        assert sources, f"gpsbabel point at {date_} {ms} ms has no GGA fix of its position"
        assert sources[-1][:2] == (date_, ms) or (date_, ms) in rmc, \
            f"gpsbabel point at {date_} {ms} ms has neither its GGA's time nor an RMC's"
    shifted = sum(1 for p in default if (p[0], p[1]) not in gga
                  or abs(gga[(p[0], p[1])][2] - p[2]) > POSITION_TOLERANCE)
    # Only that pairing may set the two apart.
    assert shifted, "\n".join(differences(ours, default, "gpsbabel")[:10])
    return (f"{len(ours)} epochs match gpsbabel sentence by sentence; its default conversion "
            f"has {len(default)} points, {shifted} of them a GGA position under a later RMC's time"
            f"{left_out(log)}")


def main(readings_folder, logs_folder):
    logs = sorted(f for f in os.listdir(logs_folder) if f.endswith(".nmea"))
    assert logs, f"no logs in {logs_folder}"
    for log in logs:
        readings = os.path.join(readings_folder, log + ".csv")
        assert os.path.exists(readings), f"the replay test wrote no {readings}"
        print(f"{log}: {check(os.path.join(logs_folder, log), readings)}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
