#!/usr/bin/python3
"""Reads back with gpxpy the tracks of killed recorder processes that the
durability suite kept: kill-K-N.gpx holds the first N points of the test
series, one second apart from 2010-05-20 00:00:00, each one whole."""
import datetime
import os
import re
import sys

import gpxpy


def main(folder):
    names = sorted(n for n in os.listdir(folder) if n.endswith(".gpx"))
    # Kills before the first point leave no file.
    assert len(names) >= 20, f"only {len(names)} killed tracks in {folder}"
    start = datetime.datetime(2010, 5, 20)
    total = 0
    for name in names:
        expected = int(re.fullmatch(r"(?:kill|cut)-\d+-(\d+)\.gpx", name).group(1))
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            gpx = gpxpy.parse(f)
        points = [p for t in gpx.tracks for s in t.segments for p in s.points]
        assert len(points) == expected, f"{name}: {len(points)} points"
        for i, p in enumerate(points):
            when = p.time.replace(tzinfo=None)
            assert when == start + datetime.timedelta(seconds=i), f"{name}: point {i} at {when}"
            assert p.elevation == i, f"{name}: point {i} elevation {p.elevation}"
        total += expected
    print(f"{len(names)} killed tracks read back with gpxpy {gpxpy.__version__}, "
          f"{total} points, every one in place")


if __name__ == "__main__":
    main(sys.argv[1])
