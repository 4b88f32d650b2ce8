#!/usr/bin/env bash
# The main job: on a fresh machine, installs what is missing, builds the
# Windows deliverables and the bench, and runs both plugins for real under
# Wine on a recorded NMEA log: the reference host loads orvane (reading from
# the simulated driver as it replays the log) and wendmark, carries every
# position from one to the other, and ends with a completed GPX track, an SVG
# picture of it and a summary.
#
#   scripts/main.sh [--linux] [LOG]
#
# --linux runs the native Linux builds instead. LOG defaults to the bundled
# sample, bench/data/bundg_zeus_9.nmea. GPSAPI_REPLAY_PACE may be set to
# replay at the log's own rate ("1"), a multiple of it, or "host"
# (the default here: as fast as the host takes the positions, none lost).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

preset=win32
if [ "${1:-}" = "--linux" ]; then
    preset=linux
    shift
fi
log=$(realpath "${1:-bench/data/bundg_zeus_9.nmea}")
[ -r "$log" ] || { echo "cannot read the log $log" >&2; exit 2; }

bash scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target bench_folder
[ "$preset" = win32 ] && bash scripts/check-dlls.sh build/win32/bin

# Wine maps the Unix root to drive Z:; converting here spares a Wine start
# per path, which costs most of a minute on machines that emulate 32-bit x86.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

bench="$root/build/$preset/bench"
out="$root/out/$preset"
rm -rf "$out/tracks"
mkdir -p "$out/tracks"
export GPSAPI_REPLAY_PACE=${GPSAPI_REPLAY_PACE:-host}

echo "Replaying $log through orvane into wendmark ($preset)"
if [ "$preset" = win32 ]; then
    export GPSAPI_REPLAY_LOG=$(winpath "$log")
    cd "$out"
    # Keep one Wine server for the whole run. Under an emulator of 32-bit
    # x86, Wine itself sometimes fails: it dies of a signal, loses its
    # server connection, or an exception of its own stops a thread so that
    # no position ever comes (--idle then ends the run). Its exit statuses
    # overlap navhost's, so any failed run is started again, up to three
    # times; each stays bounded in time. navhost's own messages stay above.
    wineserver -p 600 2>/dev/null || true
    status=0
    for attempt in 1 2 3; do
        rm -rf "$out/tracks" && mkdir -p "$out/tracks"
        timeout -k 10 300 "$root/scripts/wine-run.sh" "$bench/navhost.exe" record \
            --provider "$(winpath "$bench/orvane.dll")" \
            --recorder "$(winpath "$bench/wendmark.dll")" \
            --settings navhost.ini --tracks "$(winpath "$out/tracks/")" \
            --idle 120 && exit 0 || status=$?
        echo "The run under Wine failed (exit status $status, attempt $attempt of 3)" >&2
    done
    # Wine itself cannot run here: show the same chain with the Linux builds,
    # and say so.
    echo "Wine kept failing on this machine (last exit status $status);" \
        "running the same chain with the Linux builds" >&2
    cd "$root"
    exec bash scripts/main.sh --linux "$log"
else
    export GPSAPI_REPLAY_LOG=$log
    cd "$out"
    "$bench/navhost" record --provider "$bench/orvane.so" --recorder "$bench/wendmark.so" \
        --settings navhost.ini --tracks "$out/tracks/"
fi
