#!/usr/bin/env bash
# The SDK as a host vendor meets it, for a built preset (linux or win32):
# installs it into a scratch prefix, builds examples/ from there as a
# project of its own through find_package(NavPlugin), compiles the C host
# once more through pkg-config as C89, runs the C host over the example
# plugin, our recorder and our provider (the Windows builds under Wine),
# and runs "navhost check" over every plugin: ours and the CSV example
# must pass, the broken examples must fail with their violations named.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
preset=${1:-linux}
build=$root/build/$preset
work=$build/sdk-check
prefix=$work/prefix
examples=$work/examples
rm -rf "$work"
mkdir -p "$work/run"

if [ "$preset" = win32 ]; then
    toolchain=(-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchain-mingw32.cmake)
    wine=(bash "$root/scripts/wine-run.sh")
    exe=.exe
    lib=.dll
    plugins=$prefix/bin
    cc=i686-w64-mingw32-gcc
else
    toolchain=()
    wine=()
    exe=
    lib=.so
    plugins=$prefix/lib/navplugin
    cc=gcc
fi

fail() {
    echo "check-sdk: $*"
    exit 1
}

# run OUT PROGRAM ARGS...: runs the program (under Wine for win32) with its
# output in OUT, and returns its exit status. Wine sometimes fails before
# the program starts: the new process loses its Wine server connection while
# it registers ("wine client error:0:", no thread of the program exists
# yet). Nothing of the program has run then, so it is started again, twice
# at most; any other outcome is the program's own.
run() {
    local out=$1 status attempt
    shift
    for attempt in 1 2 3; do
        status=0
        "${wine[@]}" "$@" >"$out" 2>&1 || status=$?
        [ $status != 0 ] && grep -q '^wine client error:0:' "$out" || return $status
        echo "check-sdk: Wine did not start $(basename "$1") (attempt $attempt): $(grep -m1 '^wine client error' "$out")"
    done
    return $status
}

cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S "$prefix/share/navplugin/examples" -B "$examples" -G Ninja "${toolchain[@]}" \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$examples" -j 2 >/dev/null
echo "examples built against $prefix through find_package(NavPlugin)"

PKG_CONFIG_PATH=$prefix/share/pkgconfig
export PKG_CONFIG_PATH
[ "$(pkg-config --modversion navplugin)" = "$(sed -n 's/^project(navplugins VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ] ||
    fail "navplugin.pc has the wrong version"
# shellcheck disable=SC2046
$cc -std=c89 -pedantic -Wall -Wextra -Werror $(pkg-config --cflags navplugin) \
    -o "$work/c_host_pc$exe" "$prefix/share/navplugin/examples/c_host/c_host.c" \
    $([ "$preset" = win32 ] || echo -ldl)
echo "c_host compiled as C89 through pkg-config"

cd "$work/run"
host=$examples/c_host$exe
navhost=$prefix/bin/navhost$exe

# The C host over the CSV example plugin and over our recorder.
run host-csv.txt "$host" "$examples/csv_recorder$lib" csv_path=out.csv ||
    fail "c_host with csv_recorder: $(cat host-csv.txt)"
[ "$(grep -c ',3' out.csv)" = 10 ] && head -1 out.csv | grep -q '^time,latitude' ||
    fail "the CSV plugin did not write 10 positions: $(cat out.csv)"
run host-wendmark.txt "$host" "$plugins/wendmark$lib" tracks_path=tracks- ||
    fail "c_host with wendmark: $(cat host-wendmark.txt)"
[ "$(cat tracks-*.gpx | grep -c '<trkpt ')" = 10 ] || fail "wendmark did not record 10 points"
echo "c_host drove csv_recorder and wendmark: 10 positions each"

# The C host over our provider, the simulated driver replaying the bundled log.
log=$root/bench/data/bundg_zeus_9.nmea
if [ -f "$plugins/orvane$lib" ]; then
    if [ "$preset" = win32 ]; then
        cp "$build/bench/GPSAPI.DLL" "$examples/"
    else
        export LD_LIBRARY_PATH=$build/bench
    fi
    GPSAPI_REPLAY_LOG=$log GPSAPI_REPLAY_PACE=20 \
        run host-orvane.txt "$host" "$plugins/orvane$lib" || fail "orvane: $(cat host-orvane.txt)"
    grep -q 'received 10 positions' host-orvane.txt || fail "orvane: $(cat host-orvane.txt)"
    echo "c_host drove orvane: 10 positions from the replay"

    # navhost runs the example plugin as its recorder; it writes no GPX
    # track, so navhost does not look for one.
    [ "$preset" != win32 ] || cp "$build/bench/GPSAPI.DLL" "$prefix/bin/"
    GPSAPI_REPLAY_LOG=$log GPSAPI_REPLAY_PACE=host \
        run record.txt "$navhost" record --provider "$plugins/orvane$lib" \
        --recorder "$examples/csv_recorder$lib" --tracks . --duration 120 ||
        fail "navhost record with csv_recorder: $(cat record.txt)"
    grep -q 'not checked (CSVTRACK does not ask for tracks_path)' record.txt ||
        fail "navhost record with csv_recorder: $(cat record.txt)"
    positions=$(grep -c ',[23]' track.csv)
    grep -q "positions $positions " record.txt ||
        fail "navhost delivered other than the $positions positions the CSV holds: $(cat record.txt)"
    echo "navhost recorded $positions positions through csv_recorder"
fi

# navhost check: ours and the example pass, the broken example is caught.
# Under Wine the simulated driver leaks two handles per load and unload
# (its static C++ runtime), which the check rightly counts against the
# provider that loaded it; orvane is checked there without the driver.
[ "$preset" != win32 ] || rm -f "$prefix/bin/GPSAPI.DLL"
checked=()
for plugin in "$plugins/wendmark$lib" "$plugins/orvane$lib" "$examples/csv_recorder$lib"; do
    [ -f "$plugin" ] && checked+=("$plugin")
done
run check.txt "$navhost" check "${checked[@]}" || fail "$(cat check.txt)"
[ "$(grep -c 'the plugin keeps the contract' check.txt)" = ${#checked[@]} ] || fail "$(cat check.txt)"
echo "navhost check passed ${#checked[@]} plugins: $(grep -o 'descriptor (.*, kind' check.txt | cut -d'(' -f2 | cut -d, -f1 | tr '\n' ' ')"
# Named relative to the current folder, as a plugin author types it.
code=0
(cd "$examples" && run "$work/run/check.txt" "$navhost" check "./broken_provider$lib") || code=$?
[ $code = 20 ] || fail "broken_provider: exit $code, expected 20: $(cat check.txt)"
for v in "handed out a position before PluginInit" "PluginStop returned 0" \
    "thread(s) still running after PluginDeInit" "handle(s) left open after PluginDeInit" \
    "handed out the same position twice"; do
    grep -qF "$v" check.txt || fail "broken_provider: \"$v\" not reported: $(cat check.txt)"
done
code=0
run check.txt "$navhost" check "$examples/broken_crash$lib" || code=$?
[ $code = 21 ] && grep -q 'crashed.*during: PluginGetPosition' check.txt ||
    fail "broken_crash: exit $code, expected 21: $(cat check.txt)"
code=0
run check.txt "$navhost" check "$examples/broken_recorder$lib" || code=$?
[ $code = 20 ] && grep -qF 'PluginSetGPSData after PluginDeInit still records' check.txt ||
    fail "broken_recorder: exit $code, expected 20: $(cat check.txt)"
# A plugin that never returns from PluginStop: the check ends on its own.
code=0
run check.txt "$navhost" check "$examples/broken_block$lib" || code=$?
[ $code = 22 ] && grep -q 'did not return.*during: PluginStop' check.txt ||
    fail "broken_block: exit $code, expected 22: $(cat check.txt)"
echo "navhost check caught broken_provider (exit 20, 5 faults), broken_crash (exit 21)," \
    "broken_recorder (exit 20) and broken_block (exit 22)"
