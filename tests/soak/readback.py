#!/usr/bin/python3
"""Reads back the soak's track files with gpxpy.

Usage: readback.py FOLDER

FOLDER/manifest.txt lists one file per line: "NAME FIRST COUNT". The file
must parse as GPX and hold exactly one track of one segment whose COUNT
points are the positions FIRST, FIRST + 1, ... of the soak's series, in
order (the series of sequenceRecord in tests/support/track_text.cpp).
"""
import datetime
import os
import sys

import gpxpy


def expected(i):
    """Longitude, latitude, elevation, hdop and time of position I."""
    lon = -180.0 + (i % 1440) / 4.0
    lat = -90.0 + ((i // 1440) % 720) / 4.0
    s = i
    second = s % 60
    s //= 60
    minute = s % 60
    s //= 60
    hour = s % 24
    s //= 24
    day = 20 + s % 8
    year = 2010 + s // 8
    when = datetime.datetime(year, 5, day, hour, minute, second, tzinfo=datetime.timezone.utc)
    return lon, lat, float(i), (i % 100) / 4.0, when


def check_file(path, first, count):
    with open(path, encoding="utf-8") as f:
        gpx = gpxpy.parse(f)
    if len(gpx.tracks) != 1 or len(gpx.tracks[0].segments) != 1:
        return f"{path}: expected one track of one segment"
    points = gpx.tracks[0].segments[0].points
    if len(points) != count:
        return f"{path}: {len(points)} points, expected {count}"
    for k, p in enumerate(points):
        lon, lat, ele, hdop, when = expected(first + k)
        got = (p.longitude, p.latitude, p.elevation, p.horizontal_dilution, p.time)
        if got != (lon, lat, ele, hdop, when):
            return f"{path}: point {k} is {got}, expected position {first + k}"
    return None


def main():
    folder = sys.argv[1]
    with open(os.path.join(folder, "manifest.txt"), encoding="ascii") as f:
        entries = [line.split() for line in f if line.strip()]
    if not entries:
        print("the manifest lists no files")
        return 1
    failures = 0
    total = 0
    for name, first, count in entries:
        problem = check_file(os.path.join(folder, name), int(first), int(count))
        if problem:
            print(problem)
            failures += 1
        else:
            total += int(count)
    print(f"read back {total} points in order from {len(entries) - failures} of "
          f"{len(entries)} files with gpxpy {gpxpy.__version__}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
