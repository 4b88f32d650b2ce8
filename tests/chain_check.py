#!/usr/bin/python3
"""Runs the whole chain over each recorded NMEA log: the simulated driver
replays the log, orvane converts and hands out each reading, the reference
host carries every position to wendmark, which writes the track. The track
is then compared with gpsbabel's own conversion of the same log: the same
number of points with a fix, the same times, and positions equal within
single precision (the records carry floats, printed with six decimals).

Two differences come from the contract, not from a fault, and are checked
as such rather than ignored:
- altitude: the provider reports altitude above the ellipsoid, gpsbabel
  above mean sea level; they differ by the geoid separation of the epoch's
  GGA sentence, which the check adds to gpsbabel's figure;
- the track's metadata time is the local time of the first point, written
  with a Z; it is not part of the comparison.
The reference for each log is the one the replay check uses (gpsbabel's
default conversion, or its sentence-by-sentence conversion for a log that
pairs sentences of different seconds)."""
import os
import re
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import replay_check  # noqa: E402


def ulp32(x):
    """The spacing of single-precision floats at X."""
    bits = struct.unpack("<I", struct.pack("<f", abs(x)))[0]
    return struct.unpack("<f", struct.pack("<I", bits + 1))[0] - struct.unpack("<f", struct.pack("<I", bits))[0]


def close32(ours, reference):
    # Narrowing to float, then six printed decimals.
    return abs(ours - reference) <= ulp32(reference) + 5e-7


def separations(log):
    """Geoid separation of each GGA with a fix, by ms of the day."""
    out = {}
    for line in open(log, encoding="ascii", errors="replace"):
        f = line.strip().split("*")[0].split(",")
        if len(f) > 11 and f[0][3:] == "GGA" and f[1] and f[6] not in ("", "0") and f[11]:
            t = f[1]
            ms = ((int(t[0:2]) * 60 + int(t[2:4])) * 60) * 1000 + round(float(t[4:]) * 1000)
            out[ms] = float(f[11])
    return out


def track_points(gpx_text):
    pts = []
    for lon, lat, time, ele in re.findall(
            r'<trkpt lon="([^"]+)" lat="([^"]+)"><time>([^<]+)</time><type>MWP</type>'
            r'<ele>([^<]+)</ele>', gpx_text):
        date, ms = replay_check.milliseconds(time)
        pts.append((date, ms, float(lat), float(lon), float(ele)))
    return pts


def compare(ours, expected, seps):
    problems = []
    if len(ours) != len(expected):
        problems.append(f"{len(ours)} points, gpsbabel has {len(expected)}")
    for a, b in zip(ours, expected):
        # The record carries whole seconds.
        if (a[0], a[1]) != (b[0], b[1] // 1000 * 1000):
            problems.append(f"time {a[:2]} but gpsbabel {b[:2]}")
        elif not (close32(a[2], b[2]) and close32(a[3], b[3])):
            problems.append(f"position {a[2:4]} but gpsbabel {b[2:4]} at {a[:2]}")
        elif b[4] is not None and b[1] in seps and not close32(a[4], b[4] + seps[b[1]]):
            problems.append(f"altitude {a[4]} but gpsbabel {b[4]} + separation {seps[b[1]]}")
    return problems


def run_chain(navhost, bench, log, folder):
    env = dict(os.environ, GPSAPI_REPLAY_LOG=log, GPSAPI_REPLAY_PACE="host")
    tracks = os.path.join(folder, "tracks") + os.sep
    os.makedirs(tracks)
    subprocess.run([navhost, "record", "--provider", os.path.join(bench, "orvane.so"),
                    "--recorder", os.path.join(bench, "wendmark.so"),
                    "--settings", os.path.join(folder, "navhost.ini"), "--tracks", tracks,
                    "--duration", "120"],
                   check=True, env=env, cwd=folder, stdout=subprocess.DEVNULL)
    gpx = [f for f in os.listdir(tracks) if f.endswith(".gpx")]
    assert len(gpx) == 1, gpx
    return open(os.path.join(tracks, gpx[0]), encoding="utf-8").read()


def main(navhost, bench, logs_folder):
    logs = sorted(f for f in os.listdir(logs_folder) if f.endswith(".nmea"))
    assert logs, f"no logs in {logs_folder}"
    failed = False
    for name in logs:
        log = os.path.join(logs_folder, name)
        with tempfile.TemporaryDirectory() as folder:
            ours = track_points(run_chain(navhost, bench, log, folder))
        default = replay_check.convert(log)
        seps = separations(log)
        problems = compare(ours, default, seps)
        what = "gpsbabel's conversion"
        if problems:
            # The replay check proves this log pairs sentences of different
            # seconds; then the sentence-by-sentence conversion is the reference.
            problems = compare(ours, replay_check.sentence_by_sentence(log, default)[2], seps)
            what = f"gpsbabel's sentence-by-sentence conversion (its default has {len(default)})"
        if problems:
            failed = True
            print(f"{name}: FAILED")
            for p in problems[:10]:
                print("   ", p)
        else:
            print(f"{name}: {len(ours)} points match {what}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main(*sys.argv[1:4])
