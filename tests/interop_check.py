#!/usr/bin/python3
"""Reads a track file the recorder wrote with other programs: it must be
well-formed XML, its header must satisfy the GPX 1.1 schema, and gpxpy and
gpsbabel must find every point with its values."""
import re
import subprocess
import sys
import tempfile

import gpxpy


def main(path, schema):
    data = open(path, "rb").read()
    assert not data.startswith(b"\xef\xbb\xbf"), "byte-order mark"
    subprocess.run(["xmllint", "--noout", path], check=True)

    # Point elements are written time, type, ele, hdop, which the schema
    # orders differently; the rest of the file is checked against it.
    text = data.decode("utf-8")
    expected = [tuple(map(float, m)) for m in re.findall(
        r'lon="([^"]+)" lat="([^"]+)"><time>[^<]+</time><type>MWP</type><ele>([^<]+)</ele>'
        r'<hdop>([^<]+)</hdop>', text)]
    assert len(expected) == text.count("<trkpt "), "every point line parses"
    assert expected, "the track has points"
    without_points = re.sub(r"<trkpt .*?</trkpt>\r\n", "", text)
    with tempfile.NamedTemporaryFile("w", suffix=".gpx", delete=False) as f:
        f.write(without_points)
    subprocess.run(["xmllint", "--noout", "--schema", schema, f.name], check=True)

    gpx = gpxpy.parse(text)
    points = [p for t in gpx.tracks for s in t.segments for p in s.points]
    assert len(points) == len(expected), (len(points), len(expected))
    for p, (lon, lat, ele, hdop) in zip(points, expected):
        assert (p.longitude, p.latitude, p.elevation, p.horizontal_dilution) == \
            (lon, lat, ele, hdop), (p, lon, lat, ele, hdop)
        assert p.time is not None

    csv = subprocess.run(["gpsbabel", "-t", "-i", "gpx", "-f", path, "-o", "unicsv", "-F", "-"],
                         check=True, capture_output=True, text=True).stdout.splitlines()
    header = csv[0].split(",")
    rows = [dict(zip(header, line.split(","))) for line in csv[1:]]
    assert len(rows) == len(expected), (len(rows), len(expected))
    for row, (lon, lat, ele, _) in zip(rows, expected):
        assert abs(float(row["Longitude"]) - lon) < 1e-6, row
        assert abs(float(row["Latitude"]) - lat) < 1e-6, row
        assert abs(float(row["Altitude"]) - ele) < 1e-3, row
    print(f"{len(expected)} points read back intact by gpxpy and gpsbabel")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
