#!/usr/bin/env bash
# The soak (CTest label "soak", left out of scripts/test.sh): a million
# positions through the recorder and a million readings through the
# provider, memory and descriptors checked for flatness, and every track
# read back with gpxpy. Takes about half a minute; prints its figures.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset linux >/dev/null
cmake --build --preset linux -j "${BUILD_JOBS:-$(nproc)}"
ctest --preset linux-soak
